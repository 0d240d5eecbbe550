// The service's HTTP layer: a small server and client over Boost.Beast,
// which parses and writes the messages, and Boost.URL, which splits and
// decodes the query. Both are header-only in Debian's Boost and build with
// mingw-w64 as they do on Linux, so the service is the same on both.
//
// The server takes each connection on a pool thread and runs the handlers
// there, so a handler may wait on a register's job without holding up
// anyone else. Every read and write has a deadline.
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

struct Connection;

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

// Where a streamed answer writes: write() is false once the peer is gone or
// stops reading past the write deadline.
struct DataSink {
    std::function<bool(const char* data, std::size_t size)> write;
};

struct Response {
    int status = -1;  // -1: no handler answered
    Headers headers;
    std::string body;
    // A streamed answer (chunked): called until it returns false.
    std::function<bool(DataSink&)> provider;

    void set_header(const std::string& name, const std::string& value);
    std::string get_header_value(const std::string& name) const;
    void set_content(std::string content, const std::string& content_type);
    void set_chunked_content_provider(const std::string& content_type,
                                      std::function<bool(DataSink&)> provider);
};

using Handler = std::function<void(const Request&, Response&)>;

class Server {
public:
    // true: the request is answered (the routes are not consulted).
    using PreRouting = std::function<bool(const Request&, Response&)>;
    using ErrorHandler = std::function<void(const Request&, Response&)>;
    using ExceptionHandler = std::function<void(const Request&, Response&, std::exception_ptr)>;
    using Logger = std::function<void(const Request&, const Response&)>;

    struct Settings {
        std::size_t threads = 32;                // connections served at once
        std::size_t max_body = 8 * 1024 * 1024;  // a longer body is answered 413
        std::chrono::seconds read_timeout{30};   // one request, from its first byte
        std::chrono::seconds idle_timeout{5};    // a kept-alive connection, between requests
        std::chrono::seconds write_timeout{30};  // one answer, or one streamed piece
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
    // Called for answers of status 400 and above; the body may be empty.
    void set_error_handler(ErrorHandler h) { error_ = std::move(h); }
    void set_exception_handler(ExceptionHandler h) { exception_ = std::move(h); }
    void set_logger(Logger h) { logger_ = std::move(h); }

    // Binds host:port (port 0: any free one) and returns the port, or 0.
    int bind(const std::string& host, int port);
    // Serves until stop(); returns at once unless bound.
    void listen();
    // From any thread: ends listen(), closes the connections.
    void stop();

    // Answers one parsed request (the routing part, for tests).
    void dispatch(Request& req, Response& res) const;

private:
    void route(const std::string& method, const std::string& pattern, Handler h);
    void serve(Connection& c);
    void stream(Connection& c, Response& res);
    void drain(Connection& c);

    struct Route {
        std::string method;
        std::regex pattern;
        Handler handler;
    };
    struct Impl;

    Settings settings_;
    std::vector<Route> routes_;
    PreRouting pre_routing_;
    ErrorHandler error_;
    ExceptionHandler exception_;
    Logger logger_;
    std::unique_ptr<Impl> impl_;
};

// A blocking client on one kept-alive connection, reconnecting as needed.
class Client {
public:
    struct Result {
        int status = 0;
        Headers headers;
        std::string body;
        std::string get_header_value(const std::string& name) const;
    };
    // Receives a streamed body as it comes; false ends the request.
    using Receiver = std::function<bool(const char* data, std::size_t size)>;

    Client(std::string host, int port);
    ~Client();
    Client(Client&&) noexcept;
    Client& operator=(Client&&) noexcept;

    void set_bearer_token(const std::string& token) { token_ = token; }
    void set_timeout(std::chrono::seconds t) { timeout_ = t; }

    // Empty when the service could not be reached or the answer was broken.
    std::optional<Result> get(const std::string& target, const Headers& headers = {});
    std::optional<Result> get(const std::string& target, Receiver receiver);
    std::optional<Result> put(const std::string& target, const std::string& body,
                              const std::string& content_type, const Headers& headers = {});
    std::optional<Result> post(const std::string& target, const std::string& body,
                               const std::string& content_type, const Headers& headers = {});
    std::optional<Result> send(const std::string& method, const std::string& target,
                               const std::string& body, const std::string& content_type,
                               const Headers& headers, const Receiver& receiver = {});

private:
    struct Impl;
    std::string host_;
    int port_;
    std::string token_;
    std::chrono::seconds timeout_{60};
    std::unique_ptr<Impl> impl_;
};

}  // namespace veltra::http
