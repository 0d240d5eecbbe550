// ecr_conn_xonxoff_ntw and the other four exports of the network channel.
#include "line/net_channel.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "cmd/info_vars.hpp"
#include "frame/export_call.hpp"
#include "frame/paths.hpp"
#include "frame/result_codes.hpp"
#include "frame/trace.hpp"
#include "net/endpoints.hpp"
#include "sys/clock.hpp"
#include "sys/sockets.hpp"
#include "sys/tcp.hpp"
#include "veltra.h"

namespace veltra {

std::int32_t ecr_v10_ntw = 0;

namespace {

// The library is single-threaded by contract; the lock costs nothing and
// keeps two hosts' threads from tearing the set.
class OpenIds {
public:
    void add(std::int32_t id) {
        const std::lock_guard lock(mutex_);
        ids_.insert(id);
    }
    bool contains(std::int32_t id) {
        const std::lock_guard lock(mutex_);
        return ids_.count(id) != 0;
    }
    bool remove(std::int32_t id) {
        const std::lock_guard lock(mutex_);
        return ids_.erase(id) != 0;
    }

private:
    std::mutex mutex_;
    std::set<std::int32_t> ids_;
};

OpenIds& open_ids() {
    static OpenIds ids;
    return ids;
}

}  // namespace

bool ntw_is_open(std::int32_t sock) {
    return open_ids().contains(sock);
}

bool ntw_close(std::int32_t sock) {
    // An id the host opened itself, perhaps reusing the number of one this
    // library closed, is never closed here.
    if (!open_ids().remove(sock)) return false;
    sys::tcp_close(sock);
    return true;
}

std::int32_t ecr_tcp_connect(std::uint32_t addr_be, std::uint32_t wait_ms) {
    int error = 0;
    const std::int32_t sock = sys::tcp_open(error);
    if (sock < 0) {
        ecr_trace("%s socket_tcp fallita: ip_address='%s' esito='%d'\n", ecr_trace_time(),
                  sys::dotted(addr_be).c_str(), error);
        return ERR_SOCKET_LIBRARY;
    }
    error = sys::tcp_connect(sock, addr_be, line_port(), wait_ms);
    if (error != 0) {
        ecr_trace("%s connect fallita: ip_address='%s' esito='%d'\n", ecr_trace_time(),
                  sys::dotted(addr_be).c_str(), error);
        sys::tcp_close(sock);
        return ERR_CONNECT_FAILED;
    }
    sys::tcp_no_linger(sock);
    return sock;
}

int ecr_tcp_pending(std::int32_t sock) {
    int error = 0;
    const int n = sys::tcp_pending(sock, error);
    if (n < 0) ecr_trace("%s ioctlsocket fallita: esito='%d'\n", ecr_trace_time(), error);
    return n;
}

void ecr_tcp_drain(std::int32_t sock) {
    // Large reads, and a limit in time and bytes: a register that sends
    // without pause would otherwise keep this loop going as long as it does.
    std::vector<std::uint8_t> sink(kLineDrainRead);
    const std::uint64_t deadline = sys::monotonic_ms() + kLineDrainMaxMs;
    std::size_t dropped = 0;
    while (dropped < kLineDrainMaxBytes && sys::monotonic_ms() < deadline) {
        const int pending = ecr_tcp_pending(sock);
        if (pending <= 0) break;
        const std::size_t want = std::min(
            {sink.size(), static_cast<std::size_t>(pending), kLineDrainMaxBytes - dropped});
        const sys::TcpIo io = sys::tcp_recv(sock, std::span<std::uint8_t>(sink.data(), want));
        if (io.status != sys::TcpStatus::kDone) break;
        dropped += io.bytes;
    }
}

std::int32_t NetPieceLink::send_piece(std::span<const std::uint8_t> piece) {
    const sys::TcpIo io = sys::tcp_send(sock_, piece);
    if (io.status == sys::TcpStatus::kDone) return 0;
    ecr_trace("%s send fallita: esito='%d'\n", ecr_trace_time(), io.error);
    // A register that stops reading is a time-out; a broken connection is closed.
    return io.status == sys::TcpStatus::kTimedOut ? ERR_TIMEOUT : ERR_CONNECT_CLOSED;
}

std::int32_t NetPieceLink::read_answer(std::uint8_t& byte, std::uint32_t wait_ms) {
    sys::tcp_set_timeouts(sock_, wait_ms == 0 ? 1 : wait_ms, kLineSendWaitMs);
    const sys::TcpIo io = sys::tcp_recv(sock_, std::span<std::uint8_t>(&byte, 1));
    if (io.status == sys::TcpStatus::kDone) return 0;
    ecr_trace("%s recv fallita: esito='%d'\n", ecr_trace_time(), io.error);
    return io.status == sys::TcpStatus::kTimedOut ? ERR_TIMEOUT : ERR_CONNECT_CLOSED;
}

void NetPieceLink::pause_ms(std::uint32_t ms) {
    sys::sleep_ms(ms);
}

std::int32_t ntw_connect(const char* hostname, std::uint32_t wait_ms) {
    std::uint32_t addr = 0;
    VarList vars{};
    std::int32_t hst_conn = 0;
    std::int32_t sco_fis = 0;
    const std::int32_t status = ecr_eval_status(hostname, addr, vars, hst_conn, sco_fis);
    if (status != 0) return status;
    if (hst_conn != 0) return ERR_CONNECT_GIA_IN_CORSO;
    const std::int32_t sock = ecr_tcp_connect(addr, wait_ms);
    if (sock < 0) return sock;
    open_ids().add(sock);
    ecr_v10_ntw = ecr_info_generation(vars) == 0 ? 1 : 0;
    return sock;
}

std::int32_t ntw_send(std::int32_t sock, std::string_view text, PieceLink& link) {
    // Writing to a socket the host opened itself is as bad as closing it.
    if (!ntw_is_open(sock)) return ERR_CONNECT_CLOSED;
    // Bounded waits instead of none: a silent or stalled register ends the
    // send with ERR_TIMEOUT instead of holding the caller for ever.
    sys::tcp_set_timeouts(sock, kLineAnswerWaitMs, kLineSendWaitMs);
    ecr_tcp_drain(sock);
    return send_paced(link, text, ecr_v10_ntw != 0);
}

namespace {

class NetReader final : public ByteReader {
public:
    explicit NetReader(std::int32_t sock) : sock_(sock) {}

    ReadStep read(std::span<std::uint8_t> room) override {
        const sys::TcpIo io = sys::tcp_recv(sock_, room);
        ReadStep step;
        switch (io.status) {
            case sys::TcpStatus::kDone:
                step.kind = ReadStep::Kind::kData;
                step.bytes = io.bytes;
                so_far_ += io.bytes;
                return step;
            case sys::TcpStatus::kTimedOut:
                step.kind = ReadStep::Kind::kTimedOut;
                return step;
            case sys::TcpStatus::kClosed:
                ecr_trace("%s recv fallita: esito='%d' length='%d'\n", ecr_trace_time(),
                          sys::last_socket_error(), static_cast<int>(so_far_));
                step.result = ERR_CONNECT_CLOSED;
                return step;
            case sys::TcpStatus::kFailed:
                break;
        }
        ecr_trace("%s recv fallita: esito='%d'\n", ecr_trace_time(), io.error);
        sys::tcp_shutdown(sock_);
        step.result = ERR_CONNECT_CLOSED;
        return step;
    }

    std::int32_t after_wait(std::int32_t waits) override {
        if (waits % kLineCheckEvery != 0) return 0;
        // The register still serves a host while it reports one; else it
        // has dropped this connection without closing it.
        std::uint32_t peer = 0;
        if (!sys::tcp_peer_address(sock_, peer)) {
            sys::tcp_shutdown(sock_);
            return ERR_CONNECT_CLOSED;
        }
        VarList vars{};
        if (ecr_read_info(peer, vars) != 0) {
            sys::tcp_shutdown(sock_);
            return ERR_TIMEOUT;
        }
        if (info_number(vars[kInfoHostConn]) != 0) return 0;
        sys::tcp_shutdown(sock_);
        return ERR_CONNECT_CLOSED;
    }

private:
    std::int32_t sock_;
    std::size_t so_far_ = 0;
};

}  // namespace

Received ntw_receive(std::int32_t sock, std::uint8_t* buf, std::int32_t buflen,
                     std::int32_t numsec) {
    if (!ntw_is_open(sock)) return {ERR_CONNECT_CLOSED, 0};
    if (receive_mode(buflen) == ReceiveMode::kDrain) {
        ecr_tcp_drain(sock);
        return {};
    }
    if (buf == nullptr) return {ECR_ERR_PARAMETRI, 0};
    sys::tcp_set_timeouts(sock, kLineRecvWaitMs, kLineSendWaitMs);
    NetReader reader(sock);
    return receive_into(reader, buf, buflen, numsec);
}

}  // namespace veltra

using namespace veltra;

extern "C" ECR_API int32_t ECR_CALL ecr_conn_xonxoff_ntw(const char* hostname) {
    return export_call(
        ERR_CONNECT_FAILED,
        [&]() noexcept {
            ecr_trace("%s ecr_conn_xonxoff_ntw -- begin: hostname='%s'\n", ecr_trace_time(),
                      trace_text(hostname));
        },
        [&] { return ntw_connect(hostname); },
        [](std::int32_t result) noexcept {
            char text[kResultTextSize];
            ecr_trace("%s ecr_conn_xonxoff_ntw -- end  : sockid='%s'\n", ecr_trace_time(),
                      ecr_err_name(result, text));
        });
}

extern "C" ECR_API int32_t ECR_CALL ecr_disc_xonxoff_ntw(int32_t sockid) {
    return export_call(
        ERR_CONNECT_CLOSED,
        [&]() noexcept {
            ecr_trace("%s ecr_disc_xonxoff_ntw -- begin: sockid='%d'\n", ecr_trace_time(),
                      static_cast<int>(sockid));
        },
        [&] {
            ntw_close(sockid);
            return 0;
        },
        [](std::int32_t) noexcept {
            ecr_trace("%s ecr_disc_xonxoff_ntw -- end  :\n", ecr_trace_time());
        });
}

extern "C" ECR_API int32_t ECR_CALL ecr_send_xonxoff_ntw(int32_t sockid, const char* string) {
    const std::size_t length = string != nullptr ? std::strlen(string) : 0;
    return export_call(
        ERR_CONNECT_CLOSED,
        [&]() noexcept {
            ecr_trace(
                "%s ecr_send_xonxoff_ntw -- begin: sockid='%d' string='%s' length='%d' "
                "ecr_v10_ntw='%d'\n",
                ecr_trace_time(), static_cast<int>(sockid), trace_text(string),
                static_cast<int>(length), static_cast<int>(ecr_v10_ntw));
        },
        [&] {
            if (string == nullptr) return static_cast<std::int32_t>(ECR_ERR_PARAMETRI);
            NetPieceLink link(sockid);
            return ntw_send(sockid, std::string_view(string, length), link);
        },
        [](std::int32_t result) noexcept { trace_end("ecr_send_xonxoff_ntw", result); });
}

extern "C" ECR_API int32_t ECR_CALL ecr_recv_xonxoff_ntw(int32_t sockid, char* bufptr,
                                                         int32_t buflen, int32_t numsec) {
    Received got{ERR_CONNECT_CLOSED, 0};
    return export_call(
        ERR_CONNECT_CLOSED,
        [&]() noexcept {
            ecr_trace(
                "%s ecr_recv_xonxoff_ntw -- begin: sockid='%d' bufptr='%08X' buflen='%d' "
                "numsec='%d'\n",
                ecr_trace_time(), static_cast<int>(sockid), trace_addr(bufptr),
                static_cast<int>(buflen), static_cast<int>(numsec));
        },
        [&] {
            got = ntw_receive(sockid, reinterpret_cast<std::uint8_t*>(bufptr), buflen, numsec);
            return got.value();
        },
        [&](std::int32_t result) noexcept {
            char text[kResultTextSize];
            ecr_trace("%s ecr_recv_xonxoff_ntw -- end  : esito='%s' length='%d'\n",
                      ecr_trace_time(), ecr_err_name(result, text),
                      static_cast<int>(result > 0 ? result : 0));
        });
}

extern "C" ECR_API int32_t ECR_CALL ecr_file_xonxoff_ntw(int32_t sockid, const char* filename) {
    const std::int32_t size = filename != nullptr ? ecr_file_size(filename) : -1;
    return export_call(
        ERR_FILE_NOT_FOUND,
        [&]() noexcept {
            ecr_trace("%s ecr_file_xonxoff_ntw -- begin: sockid='%d' filename='%s' size='%d'\n",
                      ecr_trace_time(), static_cast<int>(sockid), trace_text(filename),
                      static_cast<int>(size));
        },
        [&] {
            return send_file_blocks(filename, size, [&](const char* text) {
                return ecr_send_xonxoff_ntw(sockid, text);
            });
        },
        [](std::int32_t result) noexcept { trace_end("ecr_file_xonxoff_ntw", result); });
}
