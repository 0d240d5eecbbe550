// The reachability test: up to three ICMP echo requests.
#pragma once

#include <cstdint>

#include "sys/icmp.hpp"

namespace veltra {

// One echo exchange: the platform's ICMP facility, or a script in tests.
class EchoChannel {
public:
    virtual ~EchoChannel() = default;
    virtual sys::EchoReply send_echo(std::uint32_t addr_be, std::uint32_t seq,
                                     std::uint32_t timeout_ms) = 0;
};

// Pings the address with the platform's ICMP facility: 0, ERR_SOCKET_OPEN,
// ERR_RETE_NON_DISP or ERR_TIMEOUT. numsec of 0 or less waits 3 s per try.
std::int32_t ecr_icmp_ping(std::uint32_t addr_be, std::int32_t numsec);

// The same exchange over a given channel.
std::int32_t ecr_icmp_ping(EchoChannel& channel, std::uint32_t addr_be, std::int32_t numsec);

}  // namespace veltra
