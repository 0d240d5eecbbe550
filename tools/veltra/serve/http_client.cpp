// The client runs its own io_context to each deadline. HTTPS: OpenSSL
// under Boost.Asio on Linux; WinHTTP on Windows (http_client_win.cpp),
// where Debian has no OpenSSL to link.
#include "http_client.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/url/parse.hpp>
#include <limits>
#include <utility>

#ifdef _WIN32
#include "http_client_win.hpp"
#else
#include <openssl/ssl.h>

#include <boost/asio/ssl.hpp>
#define VELTRA_CLIENT_OPENSSL 1
#endif

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

#if VELTRA_CLIENT_OPENSSL
namespace ssl = net::ssl;

// TLS 1.2 or later, the peer verified against the given authorities or the
// system's. Empty with error set when the file cannot be used.
std::unique_ptr<ssl::context> client_context(const TlsOptions& tls, std::string& error) {
    auto c = std::make_unique<ssl::context>(ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(c->native_handle(), TLS1_2_VERSION);
    c->set_verify_mode(ssl::verify_peer);
    error_code ec;
    if (tls.ca_file.empty()) {
        c->set_default_verify_paths(ec);
    } else {
        c->load_verify_file(tls.ca_file, ec);
    }
    if (ec) {
        error = "cannot load the trusted certificates" +
                (tls.ca_file.empty() ? std::string() : " of " + tls.ca_file) + ": " + ec.message();
        return nullptr;
    }
    return c;
}

bool is_ip_literal(const std::string& host) {
    error_code ec;
    net::ip::make_address(host, ec);
    return !ec;
}
#endif

}  // namespace

std::string Endpoint::url() const {
    return std::string(tls ? "https://" : "http://") + host + ":" + std::to_string(port);
}

std::string windows_trust_advice(const std::string& ca_file, const std::string& option) {
    return "on Windows the machine's certificate store decides whom HTTPS trusts: import " +
           ca_file + " into its Trusted Root store (certutil -addstore Root " + ca_file +
           ") and leave out " + option;
}

bool parse_endpoint(std::string_view url, Endpoint& out, std::string& error) {
    const auto u = boost::urls::parse_uri(url);
    const bool known = u && (u->scheme_id() == boost::urls::scheme::http ||
                             u->scheme_id() == boost::urls::scheme::https);
    if (!known || u->host().empty() || u->has_userinfo() || u->has_query() || u->has_fragment() ||
        !(u->encoded_path().empty() || u->encoded_path() == "/") ||
        (u->has_port() && (u->port().empty() || u->port_number() == 0))) {
        error = "not a service's address (http://HOST:PORT or https://HOST:PORT): " +
                std::string(url.substr(0, 200));
        return false;
    }
    out.tls = u->scheme_id() == boost::urls::scheme::https;
    out.host = u->host_address();
    if (u->host_type() != boost::urls::host_type::name &&
        u->host_type() != boost::urls::host_type::ipv4) {
        error = "an IPv6 address is not taken here: " + std::string(url.substr(0, 200));
        return false;
    }
    out.port = u->has_port() ? u->port_number() : (out.tls ? 443 : 80);
    return true;
}

std::string Client::Result::get_header_value(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

struct Client::Impl {
    net::io_context ctx{1};
    tcp::socket socket{ctx};
#if VELTRA_CLIENT_OPENSSL
    std::unique_ptr<ssl::context> tls_context;
    std::optional<ssl::stream<tcp::socket>> tls;  // a new one for each connection
    tcp::socket& lowest() {
        return tls ? tls->next_layer() : socket;
    }
    // f(the stream the messages go over).
    template <class F>
    error_code on_stream(F f) {
        if (tls) return f(*tls);
        return f(socket);
    }
#else
    tcp::socket& lowest() {
        return socket;
    }
    template <class F>
    error_code on_stream(F f) {
        return f(socket);
    }
#endif
    boost::beast::flat_buffer buffer;
};

Client::Client(std::string host, int port)
    : host_(std::move(host)), port_(port), impl_(std::make_unique<Impl>()) {}

Client::Client(const Endpoint& where, TlsOptions tls)
    : host_(where.host),
      port_(where.port),
      use_tls_(where.tls),
      tls_(std::move(tls)),
      impl_(std::make_unique<Impl>()) {}

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
    error_.clear();
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
#ifdef _WIN32
    if (use_tls_) {
        return winhttp_send({host_, port_, tls_, timeout_}, req, receiver, error_);
    }
#endif

    // A kept connection the service has closed fails at once: then once more
    // on a new one.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool reused = im.lowest().is_open();
        error_code ec;
        if (!reused && !connect()) return std::nullopt;
        // A write cut short may still have an answer behind it (a refused
        // body): it is read all the same.
        const error_code wrote = im.on_stream([&](auto& stream) {
            return run_until(im.ctx, im.lowest(), timeout_,
                             [&](auto done) { bhttp::async_write(stream, req, done); });
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
        if (im.lowest().is_open()) {
            ec = im.on_stream([&](auto& stream) {
                return run_until(im.ctx, im.lowest(), timeout_, [&](auto done) {
                    bhttp::async_read(stream, im.buffer, parser, done);
                });
            });
        } else {
            ec = wrote;
        }
        if (ec && !stopped) {
            error_code ignored;
            im.lowest().close(ignored);
            if (reused && !parser.got_some()) continue;
            error_ = "no answer from " + host_ + ":" + std::to_string(port_) + ": " + ec.message();
            return std::nullopt;
        }
        Result r;
        auto& m = parser.get();
        r.status = static_cast<int>(m.result_int());
        for (const auto& f : m) r.headers.emplace(f.name_string(), f.value());
        r.body = std::move(m.body());
        if (stopped || !m.keep_alive()) {
            error_code ignored;
            im.lowest().close(ignored);
        }
        if (receiver && !stopped && !r.body.empty()) receiver(r.body.data(), r.body.size());
        return r;
    }
    return std::nullopt;
}

bool Client::connect() {
    Impl& im = *impl_;
    error_code ec;
    const std::string where = host_ + ":" + std::to_string(port_);
    im.buffer.clear();
    tcp::resolver resolver(im.ctx);
    const auto found = resolver.resolve(host_, std::to_string(port_), ec);
    if (ec) {
        error_ = "cannot find " + host_ + ": " + ec.message();
        return false;
    }
#if VELTRA_CLIENT_OPENSSL
    im.tls.reset();
    if (use_tls_) {
        if (!im.tls_context) im.tls_context = client_context(tls_, error_);
        if (!im.tls_context) return false;
        im.tls.emplace(im.ctx, *im.tls_context);
    }
#endif
    ec = run_until(im.ctx, im.lowest(), timeout_,
                   [&](auto done) { net::async_connect(im.lowest(), found, done); });
    if (ec) {
        error_ = "cannot connect to " + where + ": " + ec.message();
        return false;
    }
    im.lowest().set_option(tcp::no_delay(true), ec);
#if VELTRA_CLIENT_OPENSSL
    if (use_tls_) {
        // The certificate must name the host dialled: its name (also sent,
        // so that a server of many names picks the right one) or address.
        if (!is_ip_literal(host_)) SSL_set_tlsext_host_name(im.tls->native_handle(), host_.c_str());
        im.tls->set_verify_callback(ssl::host_name_verification(host_));
        ec = run_until(im.ctx, im.lowest(), timeout_,
                       [&](auto done) { im.tls->async_handshake(ssl::stream_base::client, done); });
        if (ec) {
            error_code ignored;
            im.lowest().close(ignored);
            error_ = "no trusted HTTPS at " + where + ": " + ec.message();
            return false;
        }
    }
#endif
    return true;
}

}  // namespace veltra::http
