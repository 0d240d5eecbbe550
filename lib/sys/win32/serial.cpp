// Serial ports on Windows: CreateFile on the COM device, SetCommState for
// the line, SetCommTimeouts for the time limits of each read and write.
#include "sys/serial.hpp"

#include <windows.h>

#include <array>
#include <optional>

#include "sys/env.hpp"

namespace veltra::sys {
namespace {

struct PortSlot {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD read_ms = 0;  // the time limits now set on the handle
    DWORD write_ms = 0;
    bool timeouts_set = false;
};

std::array<PortSlot, kSerialPortMax + 1> g_ports;

PortSlot* slot_of(int port) {
    if (port < 1 || port > kSerialPortMax) return nullptr;
    PortSlot& s = g_ports[static_cast<std::size_t>(port)];
    return s.handle == INVALID_HANDLE_VALUE ? nullptr : &s;
}

HANDLE open_device(const std::string& device) {
    return CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

// A read returns as soon as one byte is there, or after read_ms with none;
// a write gives up after write_ms.
bool set_limits(PortSlot& s, DWORD read_ms, DWORD write_ms) {
    if (s.timeouts_set && s.read_ms == read_ms && s.write_ms == write_ms) return true;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = read_ms == 0 ? 1 : read_ms;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = write_ms;
    if (!SetCommTimeouts(s.handle, &t)) return false;
    s.read_ms = read_ms;
    s.write_ms = write_ms;
    s.timeouts_set = true;
    return true;
}

}  // namespace

std::string serial_device(int port) {
    const std::string name = "ECR_COM" + std::to_string(port);
    if (std::optional<std::string> v = env_get(name.c_str()); v && !v->empty()) return *v;
    return "\\\\.\\COM" + std::to_string(port);
}

bool serial_present(int port) {
    const HANDLE h = open_device(serial_device(port));
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return true;
    }
    const DWORD e = GetLastError();
    return e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION || e == ERROR_SEM_TIMEOUT ||
           e == ERROR_GEN_FAILURE;
}

int serial_open(int port) {
    if (port < 1 || port > kSerialPortMax) return ERROR_INVALID_PARAMETER;
    serial_close(port);
    const HANDLE h = open_device(serial_device(port));
    if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    PortSlot& s = g_ports[static_cast<std::size_t>(port)];
    s = PortSlot{};
    s.handle = h;
    return 0;
}

int serial_set_line(int port, std::uint32_t baud) {
    PortSlot* s = slot_of(port);
    if (s == nullptr) return ERROR_INVALID_HANDLE;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(s->handle, &dcb)) return static_cast<int>(GetLastError());
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(s->handle, &dcb)) return static_cast<int>(GetLastError());
    return 0;
}

int serial_prepare(int port) {
    PortSlot* s = slot_of(port);
    if (s == nullptr) return ERROR_INVALID_HANDLE;
    if (!PurgeComm(s->handle, PURGE_RXCLEAR | PURGE_TXCLEAR)) {
        return static_cast<int>(GetLastError());
    }
    return 0;
}

int serial_write(int port, std::span<const std::uint8_t> data, std::uint32_t timeout_ms) {
    PortSlot* s = slot_of(port);
    if (s == nullptr) return -1;
    if (!set_limits(*s, s->timeouts_set ? s->read_ms : 1, timeout_ms)) return -1;
    DWORD written = 0;
    if (!WriteFile(s->handle, data.data(), static_cast<DWORD>(data.size()), &written, nullptr)) {
        return GetLastError() == ERROR_TIMEOUT ? kSerialWriteTimedOut : -1;
    }
    if (written < data.size()) return kSerialWriteTimedOut;
    return static_cast<int>(written);
}

int serial_read(int port, std::span<std::uint8_t> buf, std::uint32_t timeout_ms) {
    PortSlot* s = slot_of(port);
    if (s == nullptr) return -1;
    if (!set_limits(*s, timeout_ms, s->timeouts_set ? s->write_ms : 0)) return -1;
    DWORD got = 0;
    if (!ReadFile(s->handle, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr)) {
        return GetLastError() == ERROR_TIMEOUT ? 0 : -1;
    }
    return static_cast<int>(got);
}

int serial_discard_input(int port) {
    PortSlot* s = slot_of(port);
    if (s == nullptr) return ERROR_INVALID_HANDLE;
    return PurgeComm(s->handle, PURGE_RXCLEAR) ? 0 : static_cast<int>(GetLastError());
}

int serial_discard_output(int port) {
    PortSlot* s = slot_of(port);
    if (s == nullptr) return ERROR_INVALID_HANDLE;
    return PurgeComm(s->handle, PURGE_TXCLEAR | PURGE_TXABORT) ? 0
                                                               : static_cast<int>(GetLastError());
}

int serial_pending_output(int port) {
    PortSlot* s = slot_of(port);
    if (s == nullptr) return -1;
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(s->handle, &errors, &stat)) return -1;
    return stat.cbOutQue > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(stat.cbOutQue);
}

void serial_close(int port) {
    PortSlot* s = slot_of(port);
    if (s == nullptr) return;
    CloseHandle(s->handle);
    *s = PortSlot{};
}

}  // namespace veltra::sys
