// ecr_enum_port_ser, ecr_conn_xonxoff_ser and the other exports of the
// serial channel, on the platform layer's serial ports.
#include "line/serial_channel.hpp"

#include <array>
#include <cstdio>
#include <cstring>

#include "frame/export_call.hpp"
#include "frame/paths.hpp"
#include "frame/result_codes.hpp"
#include "frame/trace.hpp"
#include "sys/clock.hpp"
#include "sys/serial.hpp"
#include "veltra.h"

namespace veltra {

std::int32_t ecr_ser_echo = 0;

namespace {

// The line speed of the port now open, for the write limits.
std::array<std::uint32_t, sys::kSerialPortMax + 1> g_baud{};

std::uint32_t line_ms(int port, std::size_t bytes) {
    const std::uint32_t baud =
        port >= 1 && port <= sys::kSerialPortMax ? g_baud[static_cast<std::size_t>(port)] : 0;
    // Ten bits a byte on an 8N1 line.
    const std::uint64_t ms = baud == 0 ? 0 : (static_cast<std::uint64_t>(bytes) * 10000) / baud;
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(ms + kSerialWriteMarginMs, 0xFFFFFFF));
}

}  // namespace

std::uint32_t serial_baud(std::int32_t index) {
    static constexpr std::uint32_t speeds[] = {4800, 9600, 19200, 38400, 57600, 115200};
    if (index < 0 || index > kSerialBaudIndexMax) return 0;
    return speeds[index];
}

std::size_t ecr_ser_list_ports(std::span<int> ports) {
    std::size_t found = 0;
    for (int n = 1; n <= sys::kSerialPortMax && found < ports.size(); ++n) {
        if (sys::serial_present(n)) ports[found++] = n;
    }
    return found;
}

std::string serial_port_text(std::span<const int> ports) {
    std::string text;
    for (int p : ports) {
        if (!text.empty()) text += ',';
        text += std::to_string(p);
    }
    return text;
}

std::int32_t ecr_ser_open(int port, std::uint32_t baud) {
    // Open, the line, the settings of an open: the first that fails closes the port.
    if (sys::serial_open(port) != 0 || sys::serial_set_line(port, baud) != 0 ||
        sys::serial_prepare(port) != 0) {
        sys::serial_close(port);
        return ECR_ERR_PORT_NOT_VALID;
    }
    g_baud[static_cast<std::size_t>(port)] = baud;
    return 0;
}

void ecr_ser_wait_sent(int port) {
    int pending = sys::serial_pending_output(port);
    if (pending <= 0) return;
    const std::uint64_t deadline =
        sys::monotonic_ms() + line_ms(port, static_cast<std::size_t>(pending));
    while (pending > 0 && sys::monotonic_ms() < deadline) {
        sys::sleep_ms(5);
        pending = sys::serial_pending_output(port);
    }
}

std::int32_t ecr_ser_write(int port, std::span<const std::uint8_t> data) {
    const int n = sys::serial_write(port, data, line_ms(port, data.size()));
    if (n >= 0) return 0;
    if (n == sys::kSerialWriteTimedOut) {
        return sys::serial_discard_output(port) == 0 ? ERR_TIMEOUT : ECR_ERR_PORT_NOT_VALID;
    }
    sys::serial_close(port);
    return ECR_ERR_PORT_NOT_VALID;
}

std::int32_t ecr_ser_read(int port, std::span<std::uint8_t> buf, std::size_t& count,
                          std::uint32_t wait_ms) {
    count = 0;
    const int n = sys::serial_read(port, buf, wait_ms);
    if (n > 0) {
        count = static_cast<std::size_t>(n);
        return 0;
    }
    if (n == 0) return ERR_TIMEOUT;
    sys::serial_close(port);
    return ECR_ERR_PORT_NOT_VALID;
}

std::int32_t ecr_ser_send(int port, std::string_view text) {
    if (text.empty()) return 0;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    if (ecr_ser_echo == 0) {
        sys::serial_discard_input(port);
        return ecr_ser_write(port, std::span<const std::uint8_t>(bytes, text.size()));
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (const std::int32_t r = ecr_ser_write(port, std::span<const std::uint8_t>(bytes + i, 1));
            r != 0) {
            return r;
        }
        ecr_ser_wait_sent(port);
        // The echo must come within one read time, whatever else arrives.
        const std::uint64_t deadline = sys::monotonic_ms() + kSerialReadMs;
        for (;;) {
            const std::uint64_t now = sys::monotonic_ms();
            if (now >= deadline) return ERR_TIMEOUT;
            std::uint8_t got = 0;
            std::size_t count = 0;
            const std::int32_t r = ecr_ser_read(port, std::span<std::uint8_t>(&got, 1), count,
                                                static_cast<std::uint32_t>(deadline - now));
            if (r != 0) return r;
            if (got == bytes[i]) break;
        }
    }
    return 0;
}

std::int32_t ser_connect(int port, std::int32_t baud, std::int32_t echo) {
    std::int32_t result = ECR_ERR_BAUD_NOT_VALID;
    if (baud >= 0 && baud <= kSerialBaudIndexMax) {
        result = port >= 1 && port <= sys::kSerialPortMax ? ecr_ser_open(port, serial_baud(baud))
                                                          : ECR_ERR_PORT_NOT_VALID;
    }
    ecr_ser_echo = echo != 0 ? 1 : 0;
    return result;
}

namespace {

class SerialReader final : public ByteReader {
public:
    explicit SerialReader(int port) : port_(port) {}
    ReadStep read(std::span<std::uint8_t> room) override {
        std::size_t count = 0;
        const std::int32_t r = ecr_ser_read(port_, room, count);
        ReadStep step;
        if (r == 0) {
            step.kind = ReadStep::Kind::kData;
            step.bytes = count;
        } else if (r == ERR_TIMEOUT) {
            step.kind = ReadStep::Kind::kTimedOut;
        } else {
            step.result = r;
        }
        return step;
    }
    std::int32_t after_wait(std::int32_t) override { return 0; }

private:
    int port_;
};

}  // namespace

Received ser_receive(int port, std::uint8_t* buf, std::int32_t buflen, std::int32_t numsec) {
    if (receive_mode(buflen) == ReceiveMode::kDrain) {
        sys::serial_discard_input(port);
        return {};
    }
    if (buf == nullptr) return {ECR_ERR_PARAMETRI, 0};
    SerialReader reader(port);
    return receive_into(reader, buf, buflen, numsec);
}

}  // namespace veltra

using namespace veltra;

extern "C" ECR_API int32_t ECR_CALL ecr_enum_port_ser(char* string) {
    std::string text;
    return export_call(
        ECR_ERR_PORT_NOT_VALID,
        [&]() noexcept {
            ecr_trace("%s ecr_enum_port_ser -- begin: string='%08X'\n", ecr_trace_time(),
                      trace_addr(string));
        },
        [&] {
            if (string == nullptr) return static_cast<std::int32_t>(ECR_ERR_PARAMETRI);
            std::array<int, kSerialListMax> ports{};
            const std::size_t n = ecr_ser_list_ports(ports);
            text = serial_port_text(std::span<const int>(ports.data(), n));
            std::memcpy(string, text.c_str(), text.size() + 1);
            return static_cast<std::int32_t>(n);
        },
        [&](std::int32_t result) noexcept {
            ecr_trace("%s ecr_enum_port_ser -- end  : count='%d' string='%s'\n", ecr_trace_time(),
                      static_cast<int>(result), result >= 0 ? text.c_str() : "");
        });
}

extern "C" ECR_API int32_t ECR_CALL ecr_conn_xonxoff_ser(int32_t port, int32_t baud, int32_t echo) {
    return export_call(
        ECR_ERR_PORT_NOT_VALID,
        [&]() noexcept {
            ecr_trace("%s ecr_conn_xonxoff_ser -- begin: port='%d' baud='%d' echo='%d'\n",
                      ecr_trace_time(), static_cast<int>(port), static_cast<int>(baud),
                      static_cast<int>(echo));
        },
        [&] { return ser_connect(port, baud, echo); },
        [](std::int32_t result) noexcept { trace_end("ecr_conn_xonxoff_ser", result); });
}

extern "C" ECR_API int32_t ECR_CALL ecr_disc_xonxoff_ser(int32_t port) {
    return export_call(
        ECR_ERR_PORT_NOT_VALID,
        [&]() noexcept {
            ecr_trace("%s ecr_disc_xonxoff_ser -- begin: port='%d'\n", ecr_trace_time(),
                      static_cast<int>(port));
        },
        [&] {
            ecr_ser_wait_sent(port);
            sys::serial_close(port);
            return 0;
        },
        [](std::int32_t) noexcept {
            ecr_trace("%s ecr_disc_xonxoff_ser -- end  :\n", ecr_trace_time());
        });
}

extern "C" ECR_API int32_t ECR_CALL ecr_send_xonxoff_ser(int32_t port, const char* string) {
    const std::size_t length = string != nullptr ? std::strlen(string) : 0;
    return export_call(
        ECR_ERR_PORT_NOT_VALID,
        [&]() noexcept {
            ecr_trace("%s ecr_send_xonxoff_ser -- begin: port='%d' string='%s' length='%d'\n",
                      ecr_trace_time(), static_cast<int>(port), trace_text(string),
                      static_cast<int>(length));
        },
        [&] {
            if (string == nullptr) return static_cast<std::int32_t>(ECR_ERR_PARAMETRI);
            return ecr_ser_send(port, std::string_view(string, length));
        },
        [](std::int32_t result) noexcept { trace_end("ecr_send_xonxoff_ser", result); });
}

extern "C" ECR_API int32_t ECR_CALL ecr_recv_xonxoff_ser(int32_t port, char* bufptr, int32_t buflen,
                                                         int32_t numsec) {
    return export_call(
        ECR_ERR_PORT_NOT_VALID,
        [&]() noexcept {
            ecr_trace(
                "%s ecr_recv_xonxoff_ser -- begin: port='%d' bufptr='%08X' buflen='%d' "
                "numsec='%d'\n",
                ecr_trace_time(), static_cast<int>(port), trace_addr(bufptr),
                static_cast<int>(buflen), static_cast<int>(numsec));
        },
        [&] {
            return ser_receive(port, reinterpret_cast<std::uint8_t*>(bufptr), buflen, numsec)
                .value();
        },
        [](std::int32_t result) noexcept {
            char text[kResultTextSize];
            ecr_trace("%s ecr_recv_xonxoff_ser -- end  : esito='%s' length='%d'\n",
                      ecr_trace_time(), ecr_err_name(result, text),
                      static_cast<int>(result > 0 ? result : 0));
        });
}

extern "C" ECR_API int32_t ECR_CALL ecr_file_xonxoff_ser(int32_t port, const char* filename) {
    const std::int32_t size = filename != nullptr ? ecr_file_size(filename) : -1;
    return export_call(
        ERR_FILE_NOT_FOUND,
        [&]() noexcept {
            ecr_trace("%s ecr_file_xonxoff_ser -- begin: port='%d' filename='%s' size='%d'\n",
                      ecr_trace_time(), static_cast<int>(port), trace_text(filename),
                      static_cast<int>(size));
        },
        [&] {
            return send_file_blocks(
                filename, size, [&](const char* text) { return ecr_send_xonxoff_ser(port, text); });
        },
        [](std::int32_t result) noexcept { trace_end("ecr_file_xonxoff_ser", result); });
}
