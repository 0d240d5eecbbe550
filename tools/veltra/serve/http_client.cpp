// The client runs its own io_context to each deadline.
#include "http_client.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <limits>
#include <utility>

namespace veltra::http {

namespace net = boost::asio;
namespace bhttp = boost::beast::http;
using tcp = net::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

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

}  // namespace

std::string Client::Result::get_header_value(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

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
