// A blocking HTTP client over Boost.Beast, as the service's server is:
// `veltra fleet` asks a service with it, a shop's service its chain's
// central service, and the service's tests and benchmark drive one.
// HTTPS goes through OpenSSL on Linux and WinHTTP on Windows; either way
// the service's certificate must be trusted and name the host dialled.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "http.hpp"

namespace veltra::http {

// Where a service answers: "http://HOST[:PORT]" or "https://HOST[:PORT]",
// a trailing "/" allowed and nothing else after the port.
struct Endpoint {
    std::string host;
    int port = 0;
    bool tls = false;
    std::string url() const;
};
// False with error set.
bool parse_endpoint(std::string_view url, Endpoint& out, std::string& error);

// How an HTTPS service is trusted.
struct TlsOptions {
    // A PEM file of the certificates a service's certificate must chain
    // to (a chain's own authority); empty: the system's. On Windows the
    // system's store decides: a file given there is refused by the caller.
    std::string ca_file;
};

// Why a file of authorities is refused on Windows, and what to do instead:
// "on Windows the machine's certificate store decides ... import FILE into
// its Trusted Root store (certutil -addstore Root FILE) and leave out
// OPTION".
std::string windows_trust_advice(const std::string& ca_file, const std::string& option);

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
    // HTTPS when the endpoint says so: the connection fails (no answer)
    // unless the service's certificate is trusted and names its host.
    explicit Client(const Endpoint& where, TlsOptions tls = {});
    ~Client();
    Client(Client&&) noexcept;
    Client& operator=(Client&&) noexcept;

    void set_bearer_token(const std::string& token) { token_ = token; }
    void set_timeout(std::chrono::seconds t) { timeout_ = t; }
    // Why the last request had no answer ("" when it had one).
    const std::string& last_error() const { return error_; }

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
    // A new connection (and its TLS handshake); false with error_ set.
    bool connect();
    struct Impl;
    std::string host_;
    int port_;
    bool use_tls_ = false;
    TlsOptions tls_;
    std::string token_;
    std::chrono::seconds timeout_{60};
    std::string error_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace veltra::http
