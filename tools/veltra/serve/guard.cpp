// The service's checks of where a request comes from and how it is sent.
#include "guard.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <regex>

#include "net/dotted_address.hpp"
#include "sys/sockets.hpp"

namespace veltra::tool::serve {
namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Listening on every address, the service is reached by whichever of the
// PC's addresses a client knows; an address cannot be rebound as a name can.
bool listens_everywhere(const std::string& host) {
    return host == "0.0.0.0" || host == "::" || host == "[::]";
}

// A Host value (or an origin's host and port) that names this service.
bool is_our_host(std::string_view value, const ListenAddress& listen) {
    const std::string v = lower(trimmed(value));
    const std::string port = std::to_string(listen.port);
    std::string name = v;
    const std::size_t colon = v.rfind(':');
    if (colon != std::string::npos && v.find(']', colon) == std::string::npos) {
        if (v.substr(colon + 1) != port) return false;
        name = v.substr(0, colon);
    } else if (listen.port != (listen.tls ? 443 : 80)) {
        // A browser leaves out only the scheme's own port.
        return false;
    }
    if (name.empty()) return false;
    const std::array<std::string, 3> ours = {lower(listen.host), "localhost", "127.0.0.1"};
    if (std::find(ours.begin(), ours.end(), name) != ours.end()) return true;
    if (listen.certified && listen.certified(name)) return true;
    return listens_everywhere(listen.host) && ipv4_literal(name).has_value();
}

bool is_our_origin(std::string_view origin, const ListenAddress& listen) {
    const std::string o = lower(trimmed(origin));
    // "null" (a local file), the other scheme, others: not ours.
    const std::string_view scheme = listen.tls ? "https://" : "http://";
    if (o.rfind(scheme, 0) != 0) return false;
    const std::string hostport = o.substr(scheme.size());
    if (hostport.find_first_of("/?#@") != std::string::npos) return false;
    return is_our_host(hostport, listen);
}

bool changes_something(std::string_view method) {
    return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

// "application/json; charset=utf-8" is JSON; the parameters do not matter.
bool is_json_type(std::string_view content_type) {
    const std::size_t semi = content_type.find(';');
    return lower(trimmed(content_type.substr(0, semi))) == "application/json";
}

std::string first_of(const http::Headers& h, const std::string& name, bool& present) {
    const auto it = h.find(name);
    present = it != h.end();
    return present ? it->second : "";
}

}  // namespace

bool same_secret(const std::string& a, const std::string& b) {
    unsigned diff = static_cast<unsigned>(a.size() ^ b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |=
            static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i % (b.size() + 1)]);
    return diff == 0;
}

bool takes_json(std::string_view path) {
    static const std::regex json_routes(R"(/api/v1/registers/[^/]+/keys)");
    return std::regex_match(path.begin(), path.end(), json_routes);
}

std::optional<Refusal> refusal_for(std::string_view method, std::string_view path,
                                   const http::Headers& headers, const ListenAddress& listen) {
    bool present = false;
    const std::string host = first_of(headers, "Host", present);
    if (!is_our_host(host, listen))
        return Refusal{421, "this service answers only to its own address (Host: " +
                                std::string(trimmed(host)).substr(0, 100) + ")"};
    const std::string origin = first_of(headers, "Origin", present);
    if (present && !is_our_origin(origin, listen))
        return Refusal{403, "requests from other web pages are refused (Origin: " +
                                std::string(trimmed(origin)).substr(0, 100) + ")"};
    if (!changes_something(method)) return std::nullopt;
    if (takes_json(path)) {
        if (!is_json_type(first_of(headers, "Content-Type", present)))
            return Refusal{415, "this call takes a JSON body (Content-Type: application/json)"};
        return std::nullopt;
    }
    if (trimmed(first_of(headers, kRequestHeader, present)) != "1")
        return Refusal{403, std::string("a change needs the header ") + kRequestHeader +
                                ": 1, which no other web page can send"};
    return std::nullopt;
}

std::optional<std::uint32_t> ipv4_literal(std::string_view text) {
    // The library's parser takes the classic short forms and trailing text;
    // only the address's own written form is taken here.
    std::uint32_t addr = 0;
    if (!veltra::parse_dotted(text, addr) || sys::dotted(addr) != text) return std::nullopt;
    return addr;
}

}  // namespace veltra::tool::serve
