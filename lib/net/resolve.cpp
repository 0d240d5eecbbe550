// Host resolution: names through the platform's name service, everything
// else through the dotted parser.
#include "net/resolve.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "frame/library_frame.hpp"
#include "frame/trace.hpp"
#include "net/dotted_address.hpp"
#include "net/endpoints.hpp"
#include "veltra.h"

namespace veltra {
namespace {

bool is_ascii_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

std::int32_t ecr_resolve_host(const char* hostname, std::uint32_t& addr, NameLookup lookup) {
    addr = kNoAddress;
    if (esito_sock() != 0) return ERR_SOCKET_LIBRARY;

    std::string_view host = hostname != nullptr ? std::string_view(hostname) : std::string_view();
    // A cut name would reach a different host: refuse what does not fit.
    if (host.size() > kHostTextMax) return ERR_INVALID_IP_ADDRESS;
    if (host.empty() || host.front() == '@') host = kDefaultHostName;

    if (is_ascii_letter(host.front())) {
        const std::string name(host);
        std::uint32_t found = 0;
        const int error = lookup(name.c_str(), found);
        if (error != 0) {
            ecr_trace("%s gethostbyname fallita: esito='%d'\n", ecr_trace_time(), error);
            return sys::name_error_is_nonrecoverable(error) ? ERR_RETE_NON_DISP
                                                            : ERR_HOSTNAME_NON_RISOLTO;
        }
        addr = found;
        return 0;
    }

    std::uint32_t parsed = kNoAddress;
    if (!parse_dotted(host, parsed)) return ERR_INVALID_IP_ADDRESS;
    addr = parsed;
    if (parsed == 0 || parsed == kNoAddress) return ERR_INVALID_IP_ADDRESS;
    return 0;
}

}  // namespace veltra
