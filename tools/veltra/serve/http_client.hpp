// A blocking HTTP client over Boost.Beast, as the service's server is:
// `veltra fleet` asks a service with it, and the service's tests and
// benchmark drive one.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "http.hpp"

namespace veltra::http {

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
