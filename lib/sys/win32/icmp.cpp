// ICMP echo through the Windows ICMP service.
#include "sys/icmp.hpp"

// Order matters: winsock2.h before windows.h, and both before the ICMP
// headers, which use their types.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>
// clang-format on

#include <array>
#include <cstring>

namespace veltra::sys {

static_assert(IP_SUCCESS == kIcmpSuccess);
static_assert(IP_DEST_HOST_UNREACHABLE == kIcmpDestHostUnreachable);
static_assert(IP_REQ_TIMED_OUT == kIcmpRequestTimedOut);

IcmpEcho::IcmpEcho() : handle_(0), ident_(0) {
    const HANDLE h = IcmpCreateFile();
    handle_ = h == INVALID_HANDLE_VALUE ? 0 : reinterpret_cast<std::intptr_t>(h);
}

IcmpEcho::~IcmpEcho() {
    if (handle_ != 0) IcmpCloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool IcmpEcho::is_open() const {
    return handle_ != 0;
}

EchoReply IcmpEcho::send_echo(std::uint32_t addr_be, std::uint32_t payload,
                              std::uint32_t timeout_ms) {
    // One reply record, the 4 echoed bytes and 4 spare. The record is larger
    // on 64-bit Windows, where a fixed size would be refused.
    std::array<unsigned char, sizeof(ICMP_ECHO_REPLY) + 4 + 4> area{};
    std::uint32_t request = payload;
    EchoReply reply;
    reply.replies =
        IcmpSendEcho(reinterpret_cast<HANDLE>(handle_), addr_be, &request, sizeof request, nullptr,
                     area.data(), static_cast<DWORD>(area.size()), timeout_ms);
    reply.last_error = static_cast<int>(GetLastError());
    ICMP_ECHO_REPLY record;
    std::memcpy(&record, area.data(), sizeof record);
    reply.status = record.Status;
    std::memcpy(&reply.echoed, area.data() + sizeof record, 4);
    return reply;
}

}  // namespace veltra::sys
