// The service's HTTP server over Boost.Beast. Its connections share one
// io_context, each on a strand of its own; every read and write has a
// deadline, past which the socket is closed and the operation ends.
#include "http.hpp"

#include <algorithm>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/http.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/src.hpp>  // Boost.URL's implementation, once in the program
#include <cctype>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

#ifndef _WIN32
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/ssl.hpp>
#define VELTRA_SERVER_TLS 1
#endif

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
}

// --- server -------------------------------------------------------------------

namespace detail {

// Open while the server lives: nothing is posted to its threads after.
struct Gate {
    std::mutex m;
    bool open = true;
};

// What a handler's answer and its connection share: the deferred answer or
// the stream's queue, guarded by m. The connection is held weakly, so that
// an answer for a peer that has gone is dropped.
struct Pending {
    enum class Mode { kNow, kDeferred, kStream };

    std::mutex m;
    std::weak_ptr<Session> session;
    std::shared_ptr<Request> request;
    std::shared_ptr<Gate> gate;
    Mode mode = Mode::kNow;
    bool sent = false;  // the deferred answer went, or the stream ended
    bool gone = false;  // the peer left first
    std::function<void()> on_gone;
    std::function<void()> on_timeout;
    // A stream's pieces not yet written.
    std::deque<std::string> queued;
    std::size_t queued_bytes = 0;
    std::size_t backlog = 0;
    bool overflowed = false;  // the stream's peer fell too far behind
    bool redeferred = false;  // deferred again by the work that answers later

    // Called with m held once the answer went or the peer left: the
    // callbacks will never run, and they may hold a Reply of this very
    // Pending (a cycle that would keep it, and all it captured, forever).
    // The caller destroys them after unlocking.
    std::pair<std::function<void()>, std::function<void()>> release_callbacks() {
        return {std::move(on_gone), std::move(on_timeout)};
    }
};

}  // namespace detail

using detail::Pending;

struct Server::Impl {
    explicit Impl(const Settings& s)
        : blocking(std::max<std::size_t>(1, s.blocking_threads)),
          threads(std::max<std::size_t>(1, s.threads)) {}

    net::io_context ioc;
    tcp::acceptor acceptor{ioc};
    net::thread_pool blocking;
    std::size_t threads;
    std::shared_ptr<detail::Gate> gate = std::make_shared<detail::Gate>();
    std::mutex m;
    std::map<const detail::Session*, std::weak_ptr<detail::Session>> open;
    std::optional<net::executor_work_guard<net::io_context::executor_type>> work;
    bool stopping = false;
#if VELTRA_SERVER_TLS
    std::unique_ptr<net::ssl::context> tls;  // HTTPS when set
#endif
};

namespace detail {

// One connection, as a pending answer reaches it from other threads.
class Session : public std::enable_shared_from_this<Session> {
public:
    virtual ~Session() = default;
    virtual void start() = 0;
    virtual net::any_io_executor socket_executor() = 0;
    virtual void close() = 0;
    virtual void drop() = 0;
    virtual void deliver(Response res) = 0;
    virtual void flush() = 0;
    virtual void start_timeout(std::chrono::milliseconds limit) = 0;
};

// One connection over Stream (TCP, or TLS over TCP): reads requests one
// after another, answers each (now, later through a Reply, or as a
// stream), all on its strand.
template <class Stream>
class SessionOn final : public Session {
public:
    SessionOn(const Server& server, Server::Impl& impl, Stream stream)
        : server_(server),
          impl_(impl),
          stream_(std::move(stream)),
          read_timer_(stream_.get_executor()),
          write_timer_(stream_.get_executor()) {}

    void start() override {
        error_code ec;
        // Answers go out whole at once: Nagle's wait would hold a kept-alive
        // connection's next answer until the peer's delayed acknowledgement.
        lowest().set_option(tcp::no_delay(true), ec);
        const auto peer = lowest().remote_endpoint(ec);
        remote_ = ec ? "" : peer.address().to_string();
#if VELTRA_SERVER_TLS
        if constexpr (!std::is_same_v<Stream, tcp::socket>) {
            // The handshake has the time of a request's header.
            arm(read_timer_, read_gen_, server_.settings_.read_timeout);
            stream_.async_handshake(net::ssl::stream_base::server, [self = me()](error_code e) {
                self->disarm(self->read_timer_, self->read_gen_);
                if (e) {
                    self->close();
                    return;
                }
                self->read_header();
            });
            return;
        }
#endif
        read_header();
    }

    net::any_io_executor socket_executor() override {
        return stream_.get_executor();
    }

    // From stop(): ends whatever the connection is doing.
    void close() override {
        error_code ignored;
        lowest().close(ignored);
        read_timer_.cancel();
        write_timer_.cancel();
        if (timeout_timer_) timeout_timer_->cancel();
    }

    // A stream whose peer fell behind: dropped as if it had left.
    void drop() override {
        stream_ended_ = true;
        gone();
    }

    // On the strand: a deferred answer arrived.
    void deliver(Response res) override {
        ready_ = std::move(res);
        if (watching_) {
            // The watch read ends first; it then writes the answer.
            error_code ignored;
            lowest().cancel(ignored);
            return;
        }
        write_ready();
    }

    // On the strand: a stream has pieces to write, or has ended.
    void flush() override {
        if (writing_ || !head_written_) return;
        bool last = false;
        {
            std::lock_guard lock(pending_->m);
            if (pending_->queued.empty()) {
                last = pending_->sent;
            } else {
                piece_ = std::move(pending_->queued.front());
                pending_->queued.pop_front();
                pending_->queued_bytes -= piece_.size();
            }
        }
        if (piece_.empty() && !last) return;
        writing_ = true;
        arm(write_timer_, write_gen_, server_.settings_.write_timeout);
        auto self = me();
        if (last) {
            net::async_write(stream_, bhttp::make_chunk_last(), [self](error_code ec, std::size_t) {
                self->disarm(self->write_timer_, self->write_gen_);
                self->writing_ = false;
                if (!ec) {
                    error_code ignored;
                    self->lowest().shutdown(tcp::socket::shutdown_both, ignored);
                }
                self->end(ec ? true : false);
            });
            return;
        }
        chunk_.emplace(net::const_buffer(piece_.data(), piece_.size()));
        net::async_write(stream_, *chunk_, [self](error_code ec, std::size_t) {
            self->disarm(self->write_timer_, self->write_gen_);
            self->writing_ = false;
            self->piece_.clear();
            if (ec) {
                self->end(true);
                return;
            }
            self->flush();
        });
    }

    // On the strand: arms the deferred answer's time limit.
    void start_timeout(std::chrono::milliseconds limit) override {
        timeout_timer_.emplace(stream_.get_executor());
        timeout_timer_->expires_after(limit);
        timeout_timer_->async_wait([self = me()](error_code ec) {
            if (ec) return;
            std::function<void()> f;
            {
                std::lock_guard lock(self->pending_->m);
                if (self->pending_->sent || self->pending_->gone) return;
                f = std::move(self->pending_->on_timeout);
            }
            if (f) f();
        });
    }

private:
    std::shared_ptr<SessionOn> me() {
        return std::static_pointer_cast<SessionOn>(shared_from_this());
    }
    // The TCP connection under the stream.
    tcp::socket& lowest() {
        return boost::beast::get_lowest_layer(stream_);
    }

    // A deadline for the operation about to start: past it the socket is
    // closed, which ends the operation. gen tells a stale expiry apart.
    void arm(net::steady_timer& t, unsigned& gen, Clock::duration limit) {
        t.expires_after(limit);
        t.async_wait([self = me(), g = ++gen, &gen](error_code ec) {
            if (ec || g != gen) return;
            error_code ignored;
            self->lowest().close(ignored);
        });
    }
    void disarm(net::steady_timer& t, unsigned& gen) {
        ++gen;
        t.cancel();
    }

    void read_header() {
        parser_.emplace();
        parser_->body_limit(server_.settings_.max_body);
        parser_->header_limit(16 * 1024);
        arm(read_timer_, read_gen_,
            first_ ? server_.settings_.read_timeout : server_.settings_.idle_timeout);
        bhttp::async_read_header(
            stream_, buffer_, *parser_,
            [self = me()](error_code ec, std::size_t) { self->on_header(ec); });
    }

    static bool peer_left(error_code ec) {
#if VELTRA_SERVER_TLS
        // A TLS peer that closes without its closing message.
        if (ec == net::ssl::error::stream_truncated) return true;
#endif
        return ec == bhttp::error::end_of_stream || ec == net::error::operation_aborted ||
               ec == net::error::connection_reset || ec == net::error::eof ||
               ec == net::error::bad_descriptor;
    }

    void on_header(error_code ec) {
        disarm(read_timer_, read_gen_);
        req_ = std::make_shared<Request>();
        req_->remote_addr = remote_;
        if (peer_left(ec)) return;
        if (ec) {
            // A Content-Length over the limit ends the header already.
            refuse(ec == bhttp::error::body_limit ? 413 : 400);
            return;
        }
        const auto& h = parser_->get();
        req_->method = std::string(h.method_string());
        req_->target = std::string(h.target());
        for (const auto& f : h) req_->headers.emplace(f.name_string(), f.value());
        if (!split_target(req_->target, *req_)) {
            refuse(400);
            return;
        }
        Response res;
        if (server_.check_header(*req_, res)) {
            if (res.status == -1) res.status = 403;
            if (res.status >= 400 && server_.error_) server_.error_(*req_, res);
            refused_ = true;
            keep_alive_ = false;
            finish(std::move(res));
            return;
        }
        if (h[bhttp::field::expect] == "100-continue") {
            auto go =
                std::make_shared<bhttp::response<bhttp::empty_body>>(bhttp::status::continue_, 11);
            arm(write_timer_, write_gen_, server_.settings_.write_timeout);
            bhttp::async_write(stream_, *go, [self = me(), go](error_code e, std::size_t) {
                self->disarm(self->write_timer_, self->write_gen_);
                if (e) return;
                self->read_body();
            });
            return;
        }
        read_body();
    }

    void read_body() {
        arm(read_timer_, read_gen_, server_.settings_.read_timeout);
        bhttp::async_read(stream_, buffer_, *parser_,
                          [self = me()](error_code ec, std::size_t) { self->on_body(ec); });
    }

    // Answered, then the connection closes: what follows is unread.
    void refuse(int status) {
        Response res;
        res.status = status;
        if (server_.error_) server_.error_(*req_, res);
        refused_ = true;
        keep_alive_ = false;
        finish(std::move(res));
    }

    void on_body(error_code ec) {
        disarm(read_timer_, read_gen_);
        if (peer_left(ec)) return;
        if (ec) {
            refuse(ec == bhttp::error::body_limit ? 413 : 400);
            return;
        }
        auto& m = parser_->get();
        req_->body = std::move(m.body());
        keep_alive_ = m.keep_alive();
        Response res;
        pending_ = std::make_shared<Pending>();
        pending_->session = weak_from_this();
        pending_->request = req_;
        pending_->gate = impl_.gate;
        pending_->backlog = server_.settings_.stream_backlog;
        res.pending = pending_;
        server_.dispatch(*req_, res);
        Pending::Mode mode;
        {
            std::lock_guard lock(pending_->m);
            mode = pending_->mode;
        }
        if (mode == Pending::Mode::kNow) {
            finish(std::move(res));
            return;
        }
        handler_res_ = std::move(res);
        if (mode == Pending::Mode::kStream) start_stream();
        watch();
    }

    // While an answer is pending, a read tells when the peer leaves; what a
    // peer sends ahead (its next request) is kept for later.
    void watch() {
        if (buffer_.size() > 16 * 1024) {
            close();
            return;
        }
        watching_ = true;
        stream_.async_read_some(buffer_.prepare(1024), [self = me()](error_code ec, std::size_t n) {
            self->on_watch(ec, n);
        });
    }

    void on_watch(error_code ec, std::size_t n) {
        watching_ = false;
        buffer_.commit(n);
        if (ready_) {
            write_ready();
            return;
        }
        if (!ec && !stream_ended_) {
            watch();
            return;
        }
        gone();
    }

    void gone() {
        std::function<void()> f;
        std::pair<std::function<void()>, std::function<void()>> dropped;
        {
            std::lock_guard lock(pending_->m);
            if (!pending_->gone && !pending_->sent) f = std::move(pending_->on_gone);
            pending_->gone = true;
            dropped = pending_->release_callbacks();
        }
        close();
        if (f) f();
    }

    void write_ready() {
        if (timeout_timer_) timeout_timer_->cancel();
        Response res = std::move(*ready_);
        ready_.reset();
        for (const auto& [name, value] : handler_res_.headers)
            if (res.headers.find(name) == res.headers.end()) res.headers.emplace(name, value);
        if (res.status == -1) res.status = 200;
        if (res.status >= 400 && server_.error_) server_.error_(*req_, res);
        finish(std::move(res));
    }

    // Logs the answer and writes it.
    void finish(Response res) {
        if (server_.logger_) server_.logger_(*req_, res);
        {
            std::lock_guard lock(impl_.m);
            if (impl_.stopping) keep_alive_ = false;
        }
        out_ = std::make_shared<bhttp::response<bhttp::string_body>>();
        out_->result(static_cast<unsigned>(res.status));
        out_->version(11);
        for (const auto& [name, value] : res.headers) out_->insert(name, value);
        out_->body() = std::move(res.body);
        out_->keep_alive(keep_alive_);
        out_->prepare_payload();
        arm(write_timer_, write_gen_, server_.settings_.write_timeout);
        bhttp::async_write(stream_, *out_, [self = me()](error_code ec, std::size_t) {
            self->disarm(self->write_timer_, self->write_gen_);
            self->out_.reset();
            if (ec) return;
            if (self->keep_alive_) {
                self->first_ = false;
                self->pending_.reset();
                self->read_header();
                return;
            }
            // What the peer is still sending (a refused body) is read and
            // dropped for a while: closing with it unread would reset the
            // connection, and the peer could lose the answer.
            error_code ignored;
            if (self->refused_) {
                self->lowest().shutdown(tcp::socket::shutdown_send, ignored);
                self->arm(self->read_timer_, self->read_gen_, std::chrono::seconds(2));
                self->drain();
                return;
            }
            self->lowest().shutdown(tcp::socket::shutdown_both, ignored);
        });
    }

    void drain() {
        scratch_.resize(16 * 1024);
        stream_.async_read_some(net::buffer(scratch_), [self = me()](error_code ec, std::size_t) {
            if (ec) {
                self->disarm(self->read_timer_, self->read_gen_);
                return;
            }
            self->drain();
        });
    }

    void start_stream() {
        if (server_.logger_) server_.logger_(*req_, handler_res_);
        head_.emplace(
            static_cast<bhttp::status>(handler_res_.status == -1 ? 200 : handler_res_.status), 11);
        for (const auto& [name, value] : handler_res_.headers) head_->insert(name, value);
        head_->chunked(true);
        head_->keep_alive(false);
        serializer_.emplace(*head_);
        writing_ = true;
        arm(write_timer_, write_gen_, server_.settings_.write_timeout);
        bhttp::async_write_header(stream_, *serializer_, [self = me()](error_code ec, std::size_t) {
            self->disarm(self->write_timer_, self->write_gen_);
            self->writing_ = false;
            if (ec) {
                self->end(true);
                return;
            }
            self->head_written_ = true;
            self->flush();
        });
    }

    // The stream is over: the peer went (lost) or it was ended.
    void end(bool lost) {
        stream_ended_ = true;
        if (lost) {
            gone();
            return;
        }
        close();
    }

    const Server& server_;
    Server::Impl& impl_;
    Stream stream_;
    net::steady_timer read_timer_;
    net::steady_timer write_timer_;
    std::optional<net::steady_timer> timeout_timer_;
    unsigned read_gen_ = 0;
    unsigned write_gen_ = 0;
    boost::beast::flat_buffer buffer_;
    std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
    std::string remote_;
    std::shared_ptr<Request> req_;
    bool first_ = true;
    bool keep_alive_ = false;
    bool refused_ = false;  // answered without its body read: drained, then closed
    std::shared_ptr<Pending> pending_;
    Response handler_res_;  // what the handler set before it deferred
    std::optional<Response> ready_;
    bool watching_ = false;
    std::shared_ptr<bhttp::response<bhttp::string_body>> out_;
    std::vector<char> scratch_;
    // A stream's header, its serializer and the piece being written.
    std::optional<bhttp::response<bhttp::empty_body>> head_;
    std::optional<bhttp::response_serializer<bhttp::empty_body>> serializer_;
    std::string piece_;
    std::optional<bhttp::chunk_body<net::const_buffer>> chunk_;
    bool writing_ = false;
    bool head_written_ = false;
    bool stream_ended_ = false;
};

// Posts work for a pending answer's connection, unless the server or the
// connection is gone.
template <class F>
bool post_to_session(Pending& p, F f) {
    std::lock_guard gate(p.gate->m);
    if (!p.gate->open) return false;
    auto s = p.session.lock();
    if (!s) return false;
    net::post(s->socket_executor(), [s, f = std::move(f)]() mutable { f(*s); });
    return true;
}

}  // namespace detail

// ---- the answers' handles

Reply Response::defer() {
    if (!pending) pending = std::make_shared<Pending>();
    std::lock_guard lock(pending->m);
    if (pending->mode == Pending::Mode::kDeferred) pending->redeferred = true;
    pending->mode = Pending::Mode::kDeferred;
    return Reply(pending);
}

Stream Response::stream(const std::string& content_type) {
    if (!pending) pending = std::make_shared<Pending>();
    set_header("Content-Type", content_type);
    body.clear();
    std::lock_guard lock(pending->m);
    pending->mode = Pending::Mode::kStream;
    return Stream(pending);
}

bool Response::deferred() const {
    if (!pending) return false;
    std::lock_guard lock(pending->m);
    return pending->mode == Pending::Mode::kDeferred;
}

bool Response::streamed() const {
    if (!pending) return false;
    std::lock_guard lock(pending->m);
    return pending->mode == Pending::Mode::kStream;
}

Response Reply::response() const {
    Response res;
    res.pending = p_;
    return res;
}

bool Reply::send(Response res) const {
    if (!p_) return false;
    std::pair<std::function<void()>, std::function<void()>> dropped;
    {
        std::lock_guard lock(p_->m);
        // Deferred again by the work that answers: the inner Reply sends.
        if (res.pending == p_ && p_->redeferred) return !p_->gone;
        if (p_->sent || p_->gone) return false;
        p_->sent = true;
        dropped = p_->release_callbacks();
    }
    if (!p_->gate) return true;  // a Response outside a server (tests of dispatch)
    return detail::post_to_session(
        *p_, [r = std::move(res)](detail::Session& s) mutable { s.deliver(std::move(r)); });
}

void Reply::on_gone(std::function<void()> f) const {
    if (!p_) return;
    {
        std::lock_guard lock(p_->m);
        if (p_->sent && !p_->gone) return;  // answered: the peer's leaving is no news
        if (!p_->gone) {
            p_->on_gone = std::move(f);
            return;
        }
    }
    f();
}

void Reply::on_timeout(std::chrono::milliseconds limit, std::function<void()> f) const {
    if (!p_) return;
    {
        std::lock_guard lock(p_->m);
        if (p_->sent || p_->gone) return;  // too late to matter
        p_->on_timeout = std::move(f);
    }
    if (p_->gate)
        detail::post_to_session(*p_, [limit](detail::Session& s) { s.start_timeout(limit); });
}

const Request& Reply::request() const {
    static const Request none;
    return p_ && p_->request ? *p_->request : none;
}

bool Stream::write(std::string piece) const {
    if (!p_) return false;
    bool overflow = false;
    {
        std::lock_guard lock(p_->m);
        if (p_->sent || p_->gone || p_->overflowed) return false;
        if (piece.empty()) return true;
        if (p_->queued_bytes + piece.size() > p_->backlog) {
            // A peer this far behind is dropped rather than held in memory.
            p_->overflowed = true;
            p_->queued.clear();
            p_->queued_bytes = 0;
            overflow = true;
        } else {
            p_->queued_bytes += piece.size();
            p_->queued.push_back(std::move(piece));
        }
    }
    if (overflow) {
        detail::post_to_session(*p_, [](detail::Session& s) { s.drop(); });
        return false;
    }
    return detail::post_to_session(*p_, [](detail::Session& s) { s.flush(); });
}

void Stream::end() const {
    if (!p_) return;
    std::pair<std::function<void()>, std::function<void()>> dropped;
    {
        std::lock_guard lock(p_->m);
        if (p_->sent || p_->gone) return;
        p_->sent = true;
        dropped = p_->release_callbacks();
    }
    detail::post_to_session(*p_, [](detail::Session& s) { s.flush(); });
}

void Stream::on_gone(std::function<void()> f) const {
    Reply(p_).on_gone(std::move(f));
}

// ---- the server

Server::Server() : Server(Settings{}) {}

Server::Server(Settings settings) : settings_(settings), impl_(std::make_unique<Impl>(settings)) {}

Server::~Server() {
    {
        std::lock_guard lock(impl_->gate->m);
        impl_->gate->open = false;
    }
    stop();
    impl_->blocking.join();
}

void Server::route(const std::string& method, const std::string& pattern, Handler h) {
    routes_.push_back({method, std::regex(pattern), std::move(h)});
}

void Server::run_blocking(std::function<void()> f) {
    net::post(impl_->blocking, std::move(f));
}

bool Server::check_header(const Request& req, Response& res) const {
    try {
        for (const auto& check : header_checks_)
            if (check(req, res)) return true;
    } catch (...) {
        res = Response{};
        res.status = 500;
        if (exception_) exception_(req, res, std::current_exception());
        return true;
    }
    return false;
}

bool Server::use_tls(const std::string& cert_file, const std::string& key_file,
                     std::string& error) {
#if VELTRA_SERVER_TLS
    auto c = std::make_unique<net::ssl::context>(net::ssl::context::tls_server);
    SSL_CTX_set_min_proto_version(c->native_handle(), TLS1_2_VERSION);
    c->set_options(net::ssl::context::default_workarounds | net::ssl::context::single_dh_use);
    error_code ec;
    c->use_certificate_chain_file(cert_file, ec);
    if (ec) {
        error = "cannot use the certificate " + cert_file + ": " + ec.message();
        return false;
    }
    c->use_private_key_file(key_file, net::ssl::context::pem, ec);
    if (ec) {
        error = "cannot use the key " + key_file + ": " + ec.message();
        return false;
    }
    if (SSL_CTX_check_private_key(c->native_handle()) != 1) {
        error = "the key " + key_file + " is not the certificate's (" + cert_file + ")";
        return false;
    }
    impl_->tls = std::move(c);
    return true;
#else
    (void)cert_file;
    (void)key_file;
    error = "this build serves no HTTPS: put a TLS front before it, or run the Linux build";
    return false;
#endif
}

bool Server::uses_tls() const {
#if VELTRA_SERVER_TLS
    return impl_->tls != nullptr;
#else
    return false;
#endif
}

bool Server::tls_certifies(const std::string& host) const {
#if VELTRA_SERVER_TLS
    if (!impl_->tls || host.empty()) return false;
    X509* cert = SSL_CTX_get0_certificate(impl_->tls->native_handle());
    if (cert == nullptr) return false;
    error_code ec;
    net::ip::make_address(host, ec);
    if (!ec) return X509_check_ip_asc(cert, host.c_str(), 0) == 1;
    return X509_check_host(cert, host.data(), host.size(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS,
                           nullptr) == 1;
#else
    (void)host;
    return false;
#endif
}

int Server::bind(const std::string& host, int port) {
    if (port < 0 || port > 65535) return 0;
    error_code ec;
    tcp::endpoint at;
    const auto address = net::ip::make_address(host, ec);
    if (!ec) {
        at = tcp::endpoint(address, static_cast<unsigned short>(port));
    } else {
        tcp::resolver resolver(impl_->ioc);
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
    {
        std::lock_guard lock(im.m);
        if (im.stopping) return;
        im.work.emplace(im.ioc.get_executor());
    }
    net::steady_timer pause(im.ioc);
    std::function<void()> next = [this, &im, &next, &pause] {
        im.acceptor.async_accept(net::make_strand(im.ioc), [this, &im, &next, &pause](
                                                               error_code ec, tcp::socket s) {
            if (ec == net::error::operation_aborted || !im.acceptor.is_open()) return;
            if (ec) {
                // A failed accept (no descriptor left, a peer gone before
                // it was taken) is tried again shortly; the service goes on.
                pause.expires_after(std::chrono::milliseconds(50));
                pause.async_wait([&next](error_code) { next(); });
                return;
            }
            std::shared_ptr<detail::Session> session;
#if VELTRA_SERVER_TLS
            if (im.tls) {
                using Tls = net::ssl::stream<tcp::socket>;
                session =
                    std::make_shared<detail::SessionOn<Tls>>(*this, im, Tls(std::move(s), *im.tls));
            }
#endif
            if (!session)
                session = std::make_shared<detail::SessionOn<tcp::socket>>(*this, im, std::move(s));
            {
                std::lock_guard lock(im.m);
                if (im.stopping) return;
                // Closed connections leave the list as new ones come.
                for (auto it = im.open.begin(); it != im.open.end();)
                    it = it->second.expired() ? im.open.erase(it) : std::next(it);
                im.open.emplace(session.get(), session);
            }
            net::dispatch(session->socket_executor(), [session] { session->start(); });
            next();
        });
    };
    next();
    std::vector<std::thread> more;
    for (std::size_t i = 1; i < im.threads; ++i) more.emplace_back([&im] { im.ioc.run(); });
    im.ioc.run();
    for (auto& t : more) t.join();
}

void Server::stop() {
    Impl& im = *impl_;
    std::lock_guard lock(im.m);
    im.stopping = true;
    net::post(im.ioc, [&im] {
        error_code ignored;
        im.acceptor.close(ignored);
    });
    for (const auto& [key, weak] : im.open) {
        if (auto s = weak.lock()) net::post(s->socket_executor(), [s] { s->close(); });
    }
    im.work.reset();
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
        if (res.deferred() || res.streamed()) return;
        if (res.status == -1) res.status = 200;
    } catch (...) {
        if (res.pending) {
            // A handler that deferred and then threw answers now, once.
            std::pair<std::function<void()>, std::function<void()>> dropped;
            std::lock_guard lock(res.pending->m);
            res.pending->mode = Pending::Mode::kNow;
            res.pending->sent = true;
            dropped = res.pending->release_callbacks();
        }
        auto pending = std::move(res.pending);
        res = Response{};
        res.pending = std::move(pending);
        res.status = 500;
        if (exception_) exception_(req, res, std::current_exception());
    }
    if (res.status >= 400 && error_) error_(req, res);
}

}  // namespace veltra::http
