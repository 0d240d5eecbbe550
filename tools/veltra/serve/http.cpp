// The service's HTTP server and client over Boost.Beast. Each connection has
// an io_context of its own, run by the thread that serves it, so that every
// read and write is an asynchronous operation run to a deadline: past it
// the socket is closed and the operation ends.
#include "http.hpp"

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/src.hpp>  // Boost.URL's implementation, once in the program
#include <cctype>
#include <limits>
#include <mutex>
#include <set>

namespace veltra::http {

namespace net = boost::asio;
namespace bhttp = boost::beast::http;
using tcp = net::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

bool NoCase::operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](unsigned char x, unsigned char y) { return std::tolower(x) < std::tolower(y); });
}

namespace {

std::string first_of(const Headers& h, const std::string& name) {
    const auto it = h.find(name);
    return it == h.end() ? "" : it->second;
}

// Runs the operation that start() begins on ctx until it ends or the time is
// up; then the socket is closed, which ends it with operation_aborted.
template <class Start>
error_code run_until(net::io_context& ctx, tcp::socket& socket, Clock::duration limit,
                     Start start) {
    std::optional<error_code> result;
    start([&result](error_code ec, auto&&...) { result = ec; });
    ctx.restart();
    ctx.run_for(limit);
    if (result) return *result;
    error_code ignored;
    socket.close(ignored);
    ctx.restart();
    ctx.run();
    return net::error::timed_out;
}

// The query of a request target, decoded; false when the target is not a
// path with an optional query.
bool split_target(const std::string& target, Request& req) {
    auto url = boost::urls::parse_origin_form(target);
    if (!url) return false;
    req.path = std::string(url->path());
    for (const auto& p : url->params()) req.params.emplace(p.key, p.value);
    return true;
}

}  // namespace

std::string Request::get_header_value(const std::string& name) const {
    return first_of(headers, name);
}

std::string Request::get_param_value(const std::string& name) const {
    const auto it = params.find(name);
    return it == params.end() ? "" : it->second;
}

void Response::set_header(const std::string& name, const std::string& value) {
    // A value with a line break would start a header of the caller's choosing.
    if (value.find_first_of("\r\n") != std::string::npos) return;
    headers.erase(name);
    headers.emplace(name, value);
}

std::string Response::get_header_value(const std::string& name) const {
    return first_of(headers, name);
}

void Response::set_content(std::string content, const std::string& content_type) {
    body = std::move(content);
    set_header("Content-Type", content_type);
    provider = nullptr;
}

void Response::set_chunked_content_provider(const std::string& content_type,
                                            std::function<bool(DataSink&)> p) {
    body.clear();
    set_header("Content-Type", content_type);
    provider = std::move(p);
}

std::string Client::Result::get_header_value(const std::string& name) const {
    return first_of(headers, name);
}

// --- server -------------------------------------------------------------------

struct Connection {
    net::io_context ctx{1};
    tcp::socket socket{ctx};
};

struct Server::Impl {
    explicit Impl(std::size_t threads) : pool(threads) {}

    net::io_context accept_ctx{1};
    tcp::acceptor acceptor{accept_ctx};
    net::thread_pool pool;
    std::mutex m;
    std::set<std::shared_ptr<Connection>> open;
    bool stopping = false;
};

Server::Server() : Server(Settings{}) {}

Server::Server(Settings settings)
    : settings_(settings),
      impl_(std::make_unique<Impl>(std::max<std::size_t>(1, settings.threads))) {}

Server::~Server() {
    stop();
    impl_->pool.join();
}

void Server::route(const std::string& method, const std::string& pattern, Handler h) {
    routes_.push_back({method, std::regex(pattern), std::move(h)});
}

int Server::bind(const std::string& host, int port) {
    if (port < 0 || port > 65535) return 0;
    error_code ec;
    tcp::endpoint at;
    const auto address = net::ip::make_address(host, ec);
    if (!ec) {
        at = tcp::endpoint(address, static_cast<unsigned short>(port));
    } else {
        tcp::resolver resolver(impl_->accept_ctx);
        const auto found = resolver.resolve(host, std::to_string(port), ec);
        if (ec || found.empty()) return 0;
        at = found.begin()->endpoint();
    }
    tcp::acceptor& a = impl_->acceptor;
    a.open(at.protocol(), ec);
    if (ec) return 0;
#ifndef _WIN32
    // On Windows this option would let a second server take the same port.
    a.set_option(net::socket_base::reuse_address(true), ec);
#endif
    a.bind(at, ec);
    if (!ec) a.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        a.close(ec);
        return 0;
    }
    return a.local_endpoint(ec).port();
}

void Server::listen() {
    Impl& im = *impl_;
    if (!im.acceptor.is_open()) return;
    net::steady_timer pause(im.accept_ctx);
    std::function<void()> next = [this, &im, &next, &pause] {
        auto conn = std::make_shared<Connection>();
        im.acceptor.async_accept(conn->socket, [this, &im, &next, &pause, conn](error_code ec) {
            if (ec == net::error::operation_aborted || !im.acceptor.is_open()) return;  // stop()
            if (ec) {
                // A failed accept (no descriptor left, a peer gone before it
                // was taken) is tried again shortly; the service goes on.
                pause.expires_after(std::chrono::milliseconds(50));
                pause.async_wait([&next](error_code) { next(); });
                return;
            }
            {
                std::lock_guard lock(im.m);
                if (im.stopping) return;
                im.open.insert(conn);
            }
            net::post(im.pool, [this, conn] {
                serve(*conn);
                std::lock_guard lock(impl_->m);
                impl_->open.erase(conn);
            });
            next();
        });
    };
    next();
    im.accept_ctx.run();
}

void Server::stop() {
    Impl& im = *impl_;
    std::lock_guard lock(im.m);
    im.stopping = true;
    net::post(im.accept_ctx, [&im] {
        error_code ignored;
        im.acceptor.close(ignored);
    });
    for (const auto& c : im.open) {
        // A weak reference: a connection whose thread has left its loop
        // never runs this, and a strong one would keep it alive through its
        // own io_context.
        net::post(c->ctx, [w = std::weak_ptr<Connection>(c)] {
            if (const auto live = w.lock()) {
                error_code ignored;
                live->socket.close(ignored);
            }
        });
    }
}

void Server::dispatch(Request& req, Response& res) const {
    try {
        if (!(pre_routing_ && pre_routing_(req, res))) {
            bool path_known = false;
            bool answered = false;
            for (const Route& r : routes_) {
                if (!std::regex_match(req.path, req.matches, r.pattern)) continue;
                path_known = true;
                if (r.method != req.method) continue;
                r.handler(req, res);
                answered = true;
                break;
            }
            if (!answered) res.status = path_known ? 405 : 404;
        }
        if (res.status == -1) res.status = 200;
    } catch (...) {
        res = Response{};
        res.status = 500;
        if (exception_) exception_(req, res, std::current_exception());
    }
    if (res.status >= 400 && error_) error_(req, res);
}

namespace {

bhttp::response<bhttp::string_body> message_of(const Response& res, bool keep_alive) {
    bhttp::response<bhttp::string_body> m;
    m.result(static_cast<unsigned>(res.status));
    m.version(11);
    for (const auto& [name, value] : res.headers) m.insert(name, value);
    m.body() = res.body;
    m.keep_alive(keep_alive);
    m.prepare_payload();
    return m;
}

}  // namespace

void Server::serve(Connection& c) {
    boost::beast::flat_buffer buffer;
    error_code ec;
    // Answers go out whole at once: Nagle's wait would hold a kept-alive
    // connection's next answer until the peer's delayed acknowledgement.
    c.socket.set_option(tcp::no_delay(true), ec);
    const auto peer = c.socket.remote_endpoint(ec);
    const std::string remote = ec ? "" : peer.address().to_string();
    for (bool first = true;; first = false) {
        bhttp::request_parser<bhttp::string_body> parser;
        parser.body_limit(settings_.max_body);
        parser.header_limit(16 * 1024);
        ec =
            run_until(c.ctx, c.socket, first ? settings_.read_timeout : settings_.idle_timeout,
                      [&](auto done) { bhttp::async_read_header(c.socket, buffer, parser, done); });
        Request req;
        req.remote_addr = remote;
        Response res;
        if (!ec) {
            const auto& h = parser.get();
            if (h[bhttp::field::expect] == "100-continue") {
                bhttp::response<bhttp::empty_body> go{bhttp::status::continue_, 11};
                ec = run_until(c.ctx, c.socket, settings_.write_timeout,
                               [&](auto done) { bhttp::async_write(c.socket, go, done); });
                if (ec) return;
            }
            ec = run_until(c.ctx, c.socket, settings_.read_timeout,
                           [&](auto done) { bhttp::async_read(c.socket, buffer, parser, done); });
        }
        if (ec == bhttp::error::end_of_stream || ec == net::error::timed_out ||
            ec == net::error::operation_aborted || ec == net::error::connection_reset ||
            ec == net::error::eof) {
            return;
        }
        bool keep_alive = false;
        if (ec) {
            // Answered, then the connection closes: what follows is unread.
            res.status = ec == bhttp::error::body_limit ? 413 : 400;
            if (error_) error_(req, res);
        } else {
            auto& m = parser.get();
            req.method = std::string(m.method_string());
            req.target = std::string(m.target());
            for (const auto& f : m) req.headers.emplace(f.name_string(), f.value());
            req.body = std::move(m.body());
            keep_alive = m.keep_alive();
            if (split_target(req.target, req)) {
                dispatch(req, res);
            } else {
                res.status = 400;
                if (error_) error_(req, res);
            }
        }
        if (logger_) logger_(req, res);
        {
            std::lock_guard lock(impl_->m);
            if (impl_->stopping) keep_alive = false;
        }
        if (res.provider) {
            stream(c, res);
            return;
        }
        auto m = message_of(res, keep_alive);
        const error_code wrote =
            run_until(c.ctx, c.socket, settings_.write_timeout,
                      [&](auto done) { bhttp::async_write(c.socket, m, done); });
        if (wrote) return;
        if (!keep_alive) {
            // What the peer is still sending (a refused body) is read and
            // dropped for a while: closing with it unread would reset the
            // connection, and the peer could lose the answer.
            if (ec) drain(c);
            c.socket.shutdown(tcp::socket::shutdown_both, ec);
            return;
        }
    }
}

void Server::drain(Connection& c) {
    error_code ec;
    c.socket.shutdown(tcp::socket::shutdown_send, ec);
    const auto end = Clock::now() + std::chrono::seconds(2);
    std::vector<char> sink(16 * 1024);
    while (!ec && Clock::now() < end) {
        ec = run_until(c.ctx, c.socket, end - Clock::now(),
                       [&](auto done) { c.socket.async_read_some(net::buffer(sink), done); });
    }
}

void Server::stream(Connection& c, Response& res) {
    bhttp::response<bhttp::empty_body> head{static_cast<bhttp::status>(res.status), 11};
    for (const auto& [name, value] : res.headers) head.insert(name, value);
    head.chunked(true);
    head.keep_alive(false);
    bhttp::response_serializer<bhttp::empty_body> sr{head};
    error_code ec = run_until(c.ctx, c.socket, settings_.write_timeout,
                              [&](auto done) { bhttp::async_write_header(c.socket, sr, done); });
    if (ec) return;
    bool open = true;
    DataSink sink;
    sink.write = [&](const char* data, std::size_t size) {
        if (!open) return false;
        if (size == 0) return true;
        const auto chunk = bhttp::make_chunk(net::const_buffer(data, size));
        open = !run_until(c.ctx, c.socket, settings_.write_timeout,
                          [&](auto done) { net::async_write(c.socket, chunk, done); });
        return open;
    };
    while (open && res.provider(sink)) {
    }
    if (open) {
        const auto last = bhttp::make_chunk_last();
        run_until(c.ctx, c.socket, settings_.write_timeout,
                  [&](auto done) { net::async_write(c.socket, last, done); });
    }
    c.socket.shutdown(tcp::socket::shutdown_both, ec);
}

// --- client -------------------------------------------------------------------

struct Client::Impl {
    net::io_context ctx{1};
    tcp::socket socket{ctx};
    boost::beast::flat_buffer buffer;
};

Client::Client(std::string host, int port)
    : host_(std::move(host)), port_(port), impl_(std::make_unique<Impl>()) {}

Client::~Client() = default;
Client::Client(Client&&) noexcept = default;
Client& Client::operator=(Client&&) noexcept = default;

std::optional<Client::Result> Client::get(const std::string& target, const Headers& headers) {
    return send("GET", target, "", "", headers);
}

std::optional<Client::Result> Client::get(const std::string& target, Receiver receiver) {
    return send("GET", target, "", "", {}, receiver);
}

std::optional<Client::Result> Client::put(const std::string& target, const std::string& body,
                                          const std::string& content_type, const Headers& headers) {
    return send("PUT", target, body, content_type, headers);
}

std::optional<Client::Result> Client::post(const std::string& target, const std::string& body,
                                           const std::string& content_type,
                                           const Headers& headers) {
    return send("POST", target, body, content_type, headers);
}

std::optional<Client::Result> Client::send(const std::string& method, const std::string& target,
                                           const std::string& body, const std::string& content_type,
                                           const Headers& headers, const Receiver& receiver) {
    Impl& im = *impl_;
    bhttp::request<bhttp::string_body> req;
    req.method_string(method);
    req.target(target);
    req.version(11);
    req.set(bhttp::field::host, host_ + ":" + std::to_string(port_));
    if (!token_.empty()) req.set(bhttp::field::authorization, "Bearer " + token_);
    if (!content_type.empty()) req.set(bhttp::field::content_type, content_type);
    for (const auto& [name, value] : headers) req.insert(name, value);
    req.body() = body;
    req.keep_alive(true);
    req.prepare_payload();

    // A kept connection the service has closed fails at once: then once more
    // on a new one.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool reused = im.socket.is_open();
        error_code ec;
        if (!reused) {
            im.buffer.clear();
            tcp::resolver resolver(im.ctx);
            const auto found = resolver.resolve(host_, std::to_string(port_), ec);
            if (ec) return std::nullopt;
            ec = run_until(im.ctx, im.socket, timeout_,
                           [&](auto done) { net::async_connect(im.socket, found, done); });
            if (ec) return std::nullopt;
            im.socket.set_option(tcp::no_delay(true), ec);
        }
        // A write cut short may still have an answer behind it (a refused
        // body): it is read all the same.
        const error_code wrote = run_until(im.ctx, im.socket, timeout_, [&](auto done) {
            bhttp::async_write(im.socket, req, done);
        });
        bhttp::response_parser<bhttp::string_body> parser;
        parser.body_limit(std::numeric_limits<std::uint64_t>::max());
        bool stopped = false;
        std::function<std::size_t(std::uint64_t, boost::string_view, error_code&)> on_chunk =
            [&](std::uint64_t, boost::string_view piece, error_code& e) -> std::size_t {
            if (!receiver(piece.data(), piece.size())) {
                stopped = true;
                e = net::error::operation_aborted;
            }
            return piece.size();
        };
        if (receiver) parser.on_chunk_body(on_chunk);
        if (im.socket.is_open()) {
            ec = run_until(im.ctx, im.socket, timeout_, [&](auto done) {
                bhttp::async_read(im.socket, im.buffer, parser, done);
            });
        } else {
            ec = wrote;
        }
        if (ec && !stopped) {
            error_code ignored;
            im.socket.close(ignored);
            if (reused && !parser.got_some()) continue;
            return std::nullopt;
        }
        Result r;
        auto& m = parser.get();
        r.status = static_cast<int>(m.result_int());
        for (const auto& f : m) r.headers.emplace(f.name_string(), f.value());
        r.body = std::move(m.body());
        if (stopped || !m.keep_alive()) {
            error_code ignored;
            im.socket.close(ignored);
        }
        if (receiver && !stopped && !r.body.empty()) receiver(r.body.data(), r.body.size());
        return r;
    }
    return std::nullopt;
}

}  // namespace veltra::http
