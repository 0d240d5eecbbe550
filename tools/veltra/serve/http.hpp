// The service's HTTP layer: a small server over Boost.Beast, which parses
// and writes the messages, and Boost.URL, which splits and decodes the
// query. Both are header-only in Debian's Boost and build with
// mingw-w64 as they do on Linux, so the service is the same on both.
//
// The server serves every connection asynchronously on one io_context run
// by a few threads: an idle connection, a request waiting for its answer and
// an open stream cost no thread. Handlers run on those threads and must not
// block; one that waits answers later through a Reply, or hands its work to
// run_blocking(). Every read and write has a deadline.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace veltra::http {

namespace detail {
struct Pending;
class Session;
template <class Stream>
class SessionOn;
}  // namespace detail

// Header names compare without regard to case.
struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const;
};
using Headers = std::multimap<std::string, std::string, NoCase>;
using Params = std::multimap<std::string, std::string>;

struct Request {
    std::string method;  // "GET"
    std::string path;    // decoded, without the query
    std::string target;  // as sent
    Params params;       // the query, decoded
    Headers headers;
    std::string body;
    std::string remote_addr;  // the peer's address
    std::smatch matches;      // the route's groups, over path

    std::string get_header_value(const std::string& name) const;
    std::string get_param_value(const std::string& name) const;
    bool has_param(const std::string& name) const { return params.count(name) != 0; }
};

class Reply;
class Stream;

struct Response {
    int status = -1;  // -1: no handler answered
    Headers headers;
    std::string body;

    void set_header(const std::string& name, const std::string& value);
    std::string get_header_value(const std::string& name) const;
    void set_content(std::string content, const std::string& content_type);

    // The answer comes later, through the Reply: the handler returns at once.
    Reply defer();
    // A streamed answer (chunked) of this type, written through the Stream.
    Stream stream(const std::string& content_type);
    bool deferred() const;
    bool streamed() const;

    std::shared_ptr<detail::Pending> pending;  // the connection's, set by the server
};

// A deferred answer, sent from any thread. Copies share it.
class Reply {
public:
    Reply() = default;
    // Sends the answer once; later calls do nothing. Headers the handler set
    // stay unless this answer sets them too. False when the peer is gone,
    // the answer was sent already, or the server stopped.
    bool send(Response res) const;
    // f runs once, on a server thread, if the peer goes before the answer;
    // at once when it has gone already.
    void on_gone(std::function<void()> f) const;
    // f runs once, on a server thread, after limit unless the answer went
    // or the peer left first.
    void on_timeout(std::chrono::milliseconds limit, std::function<void()> f) const;
    // The request, kept while the Reply lives.
    const Request& request() const;
    // A Response for the work that answers later (on run_blocking()'s
    // thread): sent with send(), or deferred again by that work, in which
    // case send() leaves the answer to the inner Reply.
    Response response() const;

private:
    friend struct Response;
    friend class Stream;
    explicit Reply(std::shared_ptr<detail::Pending> p) : p_(std::move(p)) {}
    std::shared_ptr<detail::Pending> p_;
};

// A streamed answer's writer, from any thread. Copies share it.
class Stream {
public:
    Stream() = default;
    // Queues a piece. False once the peer is gone or too far behind (the
    // stream then ends), or the stream was ended.
    bool write(std::string piece) const;
    // Ends the stream after what is queued.
    void end() const;
    void on_gone(std::function<void()> f) const;

private:
    friend struct Response;
    explicit Stream(std::shared_ptr<detail::Pending> p) : p_(std::move(p)) {}
    std::shared_ptr<detail::Pending> p_;
};

using Handler = std::function<void(const Request&, Response&)>;

class Server {
public:
    // true: the request is answered (the routes are not consulted).
    using PreRouting = std::function<bool(const Request&, Response&)>;
    // Called once a request's header is read, before its body: the request
    // has its method, target, path, query, headers and peer, and no body.
    // true: answered; the body is not read and the connection closes.
    using HeaderCheck = std::function<bool(const Request&, Response&)>;
    using ErrorHandler = std::function<void(const Request&, Response&)>;
    using ExceptionHandler = std::function<void(const Request&, Response&, std::exception_ptr)>;
    using Logger = std::function<void(const Request&, const Response&)>;

    struct Settings {
        std::size_t threads = 3;                  // the io_context's threads
        std::size_t blocking_threads = 4;         // run_blocking()'s
        std::size_t max_body = 8 * 1024 * 1024;   // a longer body is answered 413
        std::chrono::seconds read_timeout{30};    // one request, from its first byte
        std::chrono::seconds idle_timeout{5};     // a kept-alive connection, between requests
        std::chrono::seconds write_timeout{30};   // one answer, or one streamed piece
        std::size_t stream_backlog = 256 * 1024;  // bytes queued for a stream's slow peer
    };

    Server();
    explicit Server(Settings settings);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Routes: the pattern must match the whole decoded path.
    void get(const std::string& pattern, Handler h) { route("GET", pattern, std::move(h)); }
    void put(const std::string& pattern, Handler h) { route("PUT", pattern, std::move(h)); }
    void post(const std::string& pattern, Handler h) { route("POST", pattern, std::move(h)); }
    void del(const std::string& pattern, Handler h) { route("DELETE", pattern, std::move(h)); }

    void set_pre_routing_handler(PreRouting h) { pre_routing_ = std::move(h); }
    // The checks run in the order added; the first that answers ends them.
    void add_header_check(HeaderCheck h) { header_checks_.push_back(std::move(h)); }
    // Called for answers of status 400 and above; the body may be empty.
    void set_error_handler(ErrorHandler h) { error_ = std::move(h); }
    void set_exception_handler(ExceptionHandler h) { exception_ = std::move(h); }
    void set_logger(Logger h) { logger_ = std::move(h); }

    // Answers HTTPS only (TLS 1.2 or later) with this certificate chain and
    // key, PEM files; before listen(). False with error set: a file that
    // cannot be used, or a build that serves no HTTPS (Windows).
    bool use_tls(const std::string& cert_file, const std::string& key_file, std::string& error);
    bool uses_tls() const;
    // Whether the HTTPS certificate names this host (a name or an address).
    bool tls_certifies(const std::string& host) const;

    // Binds host:port (port 0: any free one) and returns the port, or 0.
    int bind(const std::string& host, int port);
    // Serves until stop(); returns at once unless bound.
    void listen();
    // From any thread: ends listen(), closes the connections.
    void stop();
    // Runs f on a thread of its own pool, for work that waits.
    void run_blocking(std::function<void()> f);

    // Answers one parsed request (the routing part, for tests).
    void dispatch(Request& req, Response& res) const;

private:
    template <class Stream>
    friend class detail::SessionOn;
    void route(const std::string& method, const std::string& pattern, Handler h);
    bool check_header(const Request& req, Response& res) const;

    struct Route {
        std::string method;
        std::regex pattern;
        Handler handler;
    };
    struct Impl;

    Settings settings_;
    std::vector<Route> routes_;
    PreRouting pre_routing_;
    std::vector<HeaderCheck> header_checks_;
    ErrorHandler error_;
    ExceptionHandler exception_;
    Logger logger_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace veltra::http
