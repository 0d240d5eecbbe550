// The service's configuration from its command line and file.
#include "config.hpp"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "guard.hpp"

namespace veltra::tool::serve {
namespace {

bool parse_port(const std::string& text, std::uint16_t& port, bool zero_ok) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    const long v = std::stol(text);
    if (v > 65535 || (v == 0 && !zero_ok)) return false;
    port = static_cast<std::uint16_t>(v);
    return true;
}

}  // namespace

bool valid_name(const std::string& name) {
    if (name.empty() || name.size() > 32) return false;
    return std::all_of(name.begin(), name.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '_'; });
}

bool parse_register(const std::string& text, RegisterConfig& out, std::string& error) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos) {
        error = "a register is NAME=HOST[:TFTP[:LINE[:DISPLAY]]]: " + text;
        return false;
    }
    out = {};
    out.name = text.substr(0, eq);
    if (!valid_name(out.name)) {
        error = "a register name has 1 to 32 letters, digits, '-' or '_': " + out.name;
        return false;
    }
    std::vector<std::string> parts;
    std::stringstream rest(text.substr(eq + 1));
    std::string part;
    while (std::getline(rest, part, ':')) parts.push_back(part);
    if (parts.empty() || parts[0].empty() || parts.size() > 4) {
        error = "a register is NAME=HOST[:TFTP[:LINE[:DISPLAY]]]: " + text;
        return false;
    }
    out.host = parts[0];
    if (out.host.size() > 1 && out.host[0] == '@') {
        out.matricola = out.host.substr(1);
        const bool printable = std::all_of(out.matricola.begin(), out.matricola.end(),
                                           [](unsigned char c) { return c > 0x20 && c < 0x7F; });
        if (out.matricola.size() > 20 || !printable ||
            out.matricola.find_first_of(",=") != std::string::npos) {
            error =
                "a serial number has 1 to 20 printable characters, no ',' or '=': " + out.matricola;
            return false;
        }
    }
    std::uint16_t p = 0;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        if (!parse_port(parts[i], p, false)) {
            error = "not a port: " + parts[i];
            return false;
        }
        if (i == 1) out.tftp_port = p;
        if (i == 2) out.line_port = p;
        if (i == 3) out.display_port = p;
    }
    return true;
}

bool parse_group(const std::string& text, Group& out, std::string& error) {
    out = {};
    const std::size_t eq = text.find('=');
    const std::size_t blank = text.find_first_of(" \t");
    const std::size_t cut = std::min(eq, blank);
    out.name = text.substr(0, cut);
    std::string rest = cut == std::string::npos ? "" : text.substr(cut + 1);
    if (eq == cut) std::replace(rest.begin(), rest.end(), ',', ' ');
    std::stringstream words(rest);
    for (std::string w; words >> w;) out.registers.push_back(w);
    if (!valid_name(out.name)) {
        error = "a group name has 1 to 32 letters, digits, '-' or '_': " + text;
        return false;
    }
    if (out.registers.empty()) {
        error = "group " + out.name + " names no register";
        return false;
    }
    for (std::size_t i = 0; i < out.registers.size(); ++i) {
        if (std::find(out.registers.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                      out.registers.end(), out.registers[i]) != out.registers.end()) {
            error = "group " + out.name + " names register " + out.registers[i] + " twice";
            return false;
        }
    }
    return true;
}

bool check_groups(const std::vector<Group>& groups, const std::vector<RegisterConfig>& registers,
                  std::string& error) {
    for (std::size_t i = 0; i < groups.size(); ++i) {
        for (std::size_t k = 0; k < i; ++k) {
            if (groups[k].name == groups[i].name) {
                error = "group " + groups[i].name + " given twice";
                return false;
            }
        }
        for (const std::string& name : groups[i].registers) {
            const bool known = std::any_of(registers.begin(), registers.end(),
                                           [&](const RegisterConfig& r) { return r.name == name; });
            if (!known) {
                error = "group " + groups[i].name + " names register " + name +
                        ", which is not configured";
                return false;
            }
        }
    }
    return true;
}

bool parse_listen(const std::string& text, ServiceConfig& out, std::string& error) {
    const std::size_t colon = text.rfind(':');
    const std::string host = colon == std::string::npos ? out.listen_host : text.substr(0, colon);
    const std::string port_text = colon == std::string::npos ? text : text.substr(colon + 1);
    std::uint16_t port = 0;
    if (host.empty() || !parse_port(port_text, port, true)) {
        error = "--listen is HOST:PORT or PORT: " + text;
        return false;
    }
    out.listen_host = host;
    out.listen_port = port;
    return true;
}

bool is_loopback(const std::string& host) {
    if (host == "localhost") return true;
    const auto addr = ipv4_literal(host);
    if (!addr) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&*addr);
    return bytes[0] == 127;  // network order: the first byte is the first number
}

}  // namespace veltra::tool::serve
