// ICMP echo on Linux. An unprivileged ICMP datagram socket is tried first
// (the kernel then fills in the identifier and hands us only our replies);
// where the system refuses it, a raw socket, which sees every ICMP packet and
// so filters by identifier itself.
#include "sys/icmp.hpp"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "sys/clock.hpp"

namespace veltra::sys {
namespace {

constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kDestUnreachable = 3;
constexpr std::uint8_t kEchoRequest = 8;
constexpr std::size_t kIcmpHeader = 8;

std::uint16_t checksum(const std::uint8_t* data, std::size_t len) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < len; i += 2) sum += (data[i] << 8) | data[i + 1];
    if (len % 2 != 0) sum += data[len - 1] << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

std::uint16_t read_be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// Status of a destination-unreachable answer, by its ICMP code.
std::uint32_t unreachable_status(std::uint8_t code) {
    switch (code) {
        case 0:
            return kIcmpDestNetUnreachable;
        case 1:
            return kIcmpDestHostUnreachable;
        case 2:
            return kIcmpDestProtUnreachable;
        case 3:
            return kIcmpDestPortUnreachable;
        default:
            return kIcmpDestHostUnreachable;
    }
}

std::uint16_t next_ident() {
    static std::atomic<std::uint16_t> counter{0};
    return static_cast<std::uint16_t>(getpid() * 31 + counter.fetch_add(1));
}

}  // namespace

IcmpEcho::IcmpEcho() : handle_(-1), ident_(next_ident()) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    raw_ = false;
    if (fd < 0) {
        fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        raw_ = true;
    } else {
        // Unreachable answers come back as queued socket errors.
        int on = 1;
        setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    }
    handle_ = fd;
}

IcmpEcho::~IcmpEcho() {
    if (handle_ >= 0) close(static_cast<int>(handle_));
}

bool IcmpEcho::is_open() const {
    return handle_ >= 0;
}

EchoReply IcmpEcho::send_echo(std::uint32_t addr_be, std::uint32_t payload,
                              std::uint32_t timeout_ms) {
    const int fd = static_cast<int>(handle_);
    EchoReply reply;

    std::array<std::uint8_t, kIcmpHeader + 4> request{};
    request[0] = kEchoRequest;
    request[4] = static_cast<std::uint8_t>(ident_ >> 8);
    request[5] = static_cast<std::uint8_t>(ident_);
    request[6] = static_cast<std::uint8_t>(payload >> 8);
    request[7] = static_cast<std::uint8_t>(payload);
    std::memcpy(request.data() + kIcmpHeader, &payload, 4);
    const std::uint16_t sum = checksum(request.data(), request.size());
    request[2] = static_cast<std::uint8_t>(sum >> 8);
    request[3] = static_cast<std::uint8_t>(sum);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addr_be;
    if (sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) <
        0) {
        reply.last_error = errno;
        // No route from here: the register is off the network.
        if (errno == EHOSTUNREACH || errno == ENETUNREACH) {
            reply.status = kIcmpDestHostUnreachable;
        } else {
            reply.status = kIcmpGeneralFailure;
        }
        return reply;
    }

    const std::uint64_t deadline = monotonic_ms() + timeout_ms;
    std::array<std::uint8_t, 1500> buf{};
    for (;;) {
        const std::uint64_t now = monotonic_ms();
        if (now >= deadline) break;
        pollfd pfd{fd, POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(deadline - now));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;

        if (!raw_ && (pfd.revents & POLLERR) != 0) {
            std::array<std::uint8_t, 512> control{};
            msghdr msg{};
            msg.msg_control = control.data();
            msg.msg_controllen = control.size();
            if (recvmsg(fd, &msg, MSG_ERRQUEUE) >= 0) {
                for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                    if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
                    sock_extended_err err{};
                    std::memcpy(&err, CMSG_DATA(c), sizeof err);
                    if (err.ee_origin == SO_EE_ORIGIN_ICMP && err.ee_type == kDestUnreachable) {
                        reply.replies = 1;
                        reply.status = unreachable_status(err.ee_code);
                        return reply;
                    }
                }
            }
            continue;
        }

        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            reply.last_error = errno;
            reply.status = kIcmpGeneralFailure;
            return reply;
        }
        const std::uint8_t* icmp = buf.data();
        std::size_t len = static_cast<std::size_t>(n);
        if (raw_) {
            // Raw sockets deliver the IP header as well.
            if (len < sizeof(ip)) continue;
            const std::size_t ihl = static_cast<std::size_t>(buf[0] & 0x0F) * 4;
            if (ihl < sizeof(ip) || len < ihl + kIcmpHeader) continue;
            icmp += ihl;
            len -= ihl;
        }
        if (len < kIcmpHeader) continue;

        if (icmp[0] == kEchoReply) {
            if (raw_ && read_be16(icmp + 4) != ident_) continue;
            reply.replies = 1;
            reply.status = kIcmpSuccess;
            if (len >= kIcmpHeader + 4) std::memcpy(&reply.echoed, icmp + kIcmpHeader, 4);
            return reply;
        }
        if (raw_ && icmp[0] == kDestUnreachable) {
            // The answer quotes our request: its IP header, then 8 bytes of ICMP.
            const std::uint8_t* inner = icmp + kIcmpHeader;
            const std::size_t inner_len = len - kIcmpHeader;
            if (inner_len < sizeof(ip)) continue;
            const std::size_t inner_ihl = static_cast<std::size_t>(inner[0] & 0x0F) * 4;
            if (inner_ihl < sizeof(ip) || inner_len < inner_ihl + kIcmpHeader) continue;
            if (inner[9] != IPPROTO_ICMP) continue;
            const std::uint8_t* quoted = inner + inner_ihl;
            if (quoted[0] != kEchoRequest || read_be16(quoted + 4) != ident_) continue;
            reply.replies = 1;
            reply.status = unreachable_status(icmp[1]);
            return reply;
        }
        // Anything else (our own request seen on loopback, other traffic): keep waiting.
    }
    reply.last_error = static_cast<int>(kIcmpRequestTimedOut);
    reply.status = kIcmpRequestTimedOut;
    return reply;
}

}  // namespace veltra::sys
