// ICMP echo: one request, one reply record, as the platform's echo service
// reports it. Statuses are the IP_STATUS values of the Windows echo service;
// the POSIX side maps the ICMP answers it sees onto them.
#pragma once

#include <cstdint>

namespace veltra::sys {

inline constexpr std::uint32_t kIcmpSuccess = 0;
inline constexpr std::uint32_t kIcmpDestNetUnreachable = 11002;
inline constexpr std::uint32_t kIcmpDestHostUnreachable = 11003;
inline constexpr std::uint32_t kIcmpDestProtUnreachable = 11004;
inline constexpr std::uint32_t kIcmpDestPortUnreachable = 11005;
inline constexpr std::uint32_t kIcmpRequestTimedOut = 11010;
inline constexpr std::uint32_t kIcmpGeneralFailure = 11050;

// What one echo call reports: the number of replies, the platform's last
// error after the call, the reply record's status and the first four data
// bytes of the reply in host order (0 when nothing came back).
struct EchoReply {
    std::uint32_t replies = 0;
    int last_error = 0;
    std::uint32_t status = 0;
    std::uint32_t echoed = 0;
};

// An open ICMP echo facility; closed when the object goes.
class IcmpEcho {
public:
    IcmpEcho();
    ~IcmpEcho();
    IcmpEcho(const IcmpEcho&) = delete;
    IcmpEcho& operator=(const IcmpEcho&) = delete;

    bool is_open() const;

    // Sends one echo request carrying the 4 bytes of payload (host order) to
    // the address and waits at most timeout_ms for the answer.
    EchoReply send_echo(std::uint32_t addr_be, std::uint32_t payload, std::uint32_t timeout_ms);

private:
    std::intptr_t handle_;
    std::uint16_t ident_;
    bool raw_ = false;
};

}  // namespace veltra::sys
