// Connects never block the window, except the one bounded wait a key press
// allows itself; sends wait at most a second for room.
#include "winsock_link.hpp"

#include <ws2tcpip.h>

namespace delpad::win32 {
namespace {

bool resolve(const std::string& host, std::uint16_t port, sockaddr_in& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
    address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    address.sin_port = htons(port);
    freeaddrinfo(found);
    return true;
}

// Waits until the socket can be written or has failed, at most `ms`.
bool wait_writable(SOCKET s, int ms) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    if (select(0, nullptr, &writable, &failed, &limit) <= 0) return false;
    return FD_ISSET(s, &writable) && !FD_ISSET(s, &failed);
}

}  // namespace

// Connect is begun on a non-blocking socket whose events, when `events` is
// not 0, are posted to the window from the start (a connect that completes
// at once is still reported); false when it cannot even begin.
bool WinsockLink::start(const std::string& host, std::uint16_t port, long events) {
    close();
    sockaddr_in address{};
    if (!resolve(host, port, address)) return false;
    socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket_ == INVALID_SOCKET) return false;
    if (events != 0) {
        WSAAsyncSelect(socket_, window_, message_, events);
    } else {
        u_long non_blocking = 1;
        ioctlsocket(socket_, FIONBIO, &non_blocking);
    }
    state_ = State::connecting;
    if (::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
        WSAGetLastError() == WSAEWOULDBLOCK)
        return true;
    close();
    return false;
}

void WinsockLink::open(const std::string& host, std::uint16_t port) {
    start(host, port, FD_CONNECT | FD_READ | FD_CLOSE);
}

bool WinsockLink::open_now(const std::string& host, std::uint16_t port) {
    if (!start(host, port, 0)) return false;
    int error = 0;
    int size = sizeof error;
    if (!wait_writable(socket_, reconnect_wait_ms) ||
        getsockopt(socket_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 ||
        error != 0) {
        close();
        return false;
    }
    state_ = State::open;
    WSAAsyncSelect(socket_, window_, message_, FD_READ | FD_CLOSE);
    return true;
}

void WinsockLink::close() {
    if (socket_ != INVALID_SOCKET) {
        WSAAsyncSelect(socket_, window_, 0, 0);
        closesocket(socket_);
    }
    socket_ = INVALID_SOCKET;
    state_ = State::idle;
}

bool WinsockLink::send(std::string_view bytes) {
    if (state_ != State::open) return false;
    while (!bytes.empty()) {
        const int sent = ::send(socket_, bytes.data(), static_cast<int>(bytes.size()), 0);
        if (sent > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        if (sent < 0 && WSAGetLastError() == WSAEWOULDBLOCK && wait_writable(socket_, 1000))
            continue;
        return false;
    }
    return true;
}

WinsockLink::Event WinsockLink::on_message(WPARAM socket, LPARAM event) {
    if (static_cast<SOCKET>(socket) != socket_ || socket_ == INVALID_SOCKET) return Event::none;
    const int error = WSAGETSELECTERROR(event);
    switch (WSAGETSELECTEVENT(event)) {
        case FD_CONNECT:
            if (error != 0) {
                close();
                return Event::failed;
            }
            state_ = State::open;
            return Event::connected;
        case FD_READ:
            return Event::readable;
        case FD_CLOSE:
            close();
            return Event::closed;
        default:
            return Event::none;
    }
}

std::string WinsockLink::receive(std::size_t limit) {
    std::string bytes;
    char buffer[1024];
    while (socket_ != INVALID_SOCKET && bytes.size() < limit) {
        const int want = static_cast<int>(std::min(sizeof buffer, limit - bytes.size()));
        const int got = ::recv(socket_, buffer, want, 0);
        if (got <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
}

}  // namespace delpad::win32
