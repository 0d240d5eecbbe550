// The dotted IPv4 parser against the C library's own classic parser
// (inet_aton): both must take and refuse the same texts, with one value.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/dotted_address.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::uint32_t ours = 0;
    const bool taken = veltra::parse_dotted(text, ours);
    // inet_aton stops at a NUL; compare on texts without one.
    if (std::memchr(text.data(), '\0', text.size()) != nullptr) return 0;
    in_addr theirs{};
    const bool libc_taken = ::inet_aton(text.c_str(), &theirs) != 0;
    if (taken != libc_taken) std::abort();
    if (taken && ours != theirs.s_addr) std::abort();
    return 0;
}
