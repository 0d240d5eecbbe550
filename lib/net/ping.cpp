// ecr_ping: resolve the host, then up to three echo requests, each carrying
// its sequence number as the whole payload. Only a reply that echoes the
// current number counts; a late answer to an earlier request is a lost try.
#include "net/ping.hpp"

#include <string>

#include "frame/export_call.hpp"
#include "frame/result_codes.hpp"
#include "frame/trace.hpp"
#include "net/resolve.hpp"
#include "sys/sockets.hpp"
#include "veltra.h"

namespace veltra {
namespace {

constexpr int kTries = 3;
constexpr std::int32_t kDefaultWaitSeconds = 3;

class PlatformEcho final : public EchoChannel {
public:
    bool is_open() const { return icmp_.is_open(); }
    sys::EchoReply send_echo(std::uint32_t addr_be, std::uint32_t seq,
                             std::uint32_t timeout_ms) override {
        return icmp_.send_echo(addr_be, seq, timeout_ms);
    }

private:
    sys::IcmpEcho icmp_;
};

std::uint32_t wait_ms(std::int32_t numsec) {
    const std::uint64_t seconds =
        numsec <= 0 ? kDefaultWaitSeconds : static_cast<std::uint64_t>(numsec);
    const std::uint64_t ms = seconds * 1000u;
    return ms > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(ms);
}

}  // namespace

std::int32_t ecr_icmp_ping(EchoChannel& channel, std::uint32_t addr_be, std::int32_t numsec) {
    const std::uint32_t timeout_ms = wait_ms(numsec);
    const std::string address = sys::dotted(addr_be);
    std::uint32_t seq = 0;
    for (int tries_left = kTries;;) {
        ++seq;
        ecr_trace("%s icmp-ping send     : ip_address='%s' seq_no='%u'\n", ecr_trace_time(),
                  address.c_str(), static_cast<unsigned>(seq));
        const sys::EchoReply reply = channel.send_echo(addr_be, seq, timeout_ms);
        ecr_trace("%s icmp-ping receive  : esito='%d(%d)' Status='%d' seq_no='%d'\n",
                  ecr_trace_time(), static_cast<int>(reply.replies), reply.last_error,
                  static_cast<int>(reply.status), static_cast<int>(reply.echoed));
        if (reply.status == sys::kIcmpSuccess && reply.echoed == seq) {
            ecr_trace("%s icmp-ping completed:\n", ecr_trace_time());
            return 0;
        }
        if (reply.status == sys::kIcmpDestHostUnreachable) {
            ecr_trace("%s icmp-ping error    :\n", ecr_trace_time());
            return ERR_RETE_NON_DISP;
        }
        if (--tries_left <= 0) {
            ecr_trace("%s icmp-ping aborted  :\n", ecr_trace_time());
            return ERR_TIMEOUT;
        }
    }
}

std::int32_t ecr_icmp_ping(std::uint32_t addr_be, std::int32_t numsec) {
    PlatformEcho echo;
    if (!echo.is_open()) return ERR_SOCKET_OPEN;
    return ecr_icmp_ping(echo, addr_be, numsec);
}

}  // namespace veltra

using namespace veltra;

extern "C" ECR_API int32_t ECR_CALL ecr_ping(const char* hostname, int32_t numsec) {
    return export_call(
        ERR_SOCKET_OPEN,
        [&]() noexcept {
            ecr_trace("%s ecr_ping -- begin: hostname='%s' numsec='%d'\n", ecr_trace_time(),
                      trace_text(hostname), static_cast<int>(numsec));
        },
        [&] {
            std::uint32_t addr = kNoAddress;
            const std::int32_t result = ecr_resolve_host(hostname, addr);
            return result != 0 ? result : ecr_icmp_ping(addr, numsec);
        },
        [](std::int32_t result) noexcept { trace_end("ecr_ping", result); });
}
