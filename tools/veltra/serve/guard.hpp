// Which requests the service refuses before routing, so that a web page the
// shop's PC opens cannot drive the registers: a page of another origin, a
// name rebound to this address, and any change a browser would send without
// asking first (a form, an image, a no-cors fetch).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "http.hpp"

namespace veltra::tool::serve {

// The header every change but a JSON one carries. A browser sends a header
// of a page's own only after a preflight, which this service never answers.
inline constexpr const char* kRequestHeader = "X-Veltra-Request";

// Where the service listens: the address given to --listen and the port.
struct ListenAddress {
    std::string host;
    int port = 0;
    bool tls = false;  // answers https://
    // Names it answers to besides its own address: those its certificate
    // gives (a browser trusts the connection only for them).
    std::function<bool(const std::string&)> certified = nullptr;
};

struct Refusal {
    int status;  // 421 foreign Host, 403 foreign Origin or no header of ours, 415 not JSON
    std::string message;
};

// Nothing when the request may go on to the routes.
std::optional<Refusal> refusal_for(std::string_view method, std::string_view path,
                                   const http::Headers& headers, const ListenAddress& listen);

// Whether a given secret (a token) is the expected one, in a time that
// does not tell how much of it matched.
bool same_secret(const std::string& given, const std::string& expected);

// True for the routes whose body is a JSON object.
bool takes_json(std::string_view path);

// An IPv4 address written as four decimal numbers and nothing else (no
// short forms, no leading zeros, nothing after), in network byte order.
std::optional<std::uint32_t> ipv4_literal(std::string_view text);

}  // namespace veltra::tool::serve
