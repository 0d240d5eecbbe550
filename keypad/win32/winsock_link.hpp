// A TCP client connection on Winsock for the session, its events posted to
// the window as a message (WSAAsyncSelect), so everything runs on the
// window's thread.
#pragma once

#include <winsock2.h>

#include <string>

#include "session.hpp"

namespace delpad::win32 {

class WinsockLink : public Link {
public:
    enum class Event { none, connected, failed, readable, closed };

    WinsockLink(HWND window, UINT message) : window_(window), message_(message) {}
    ~WinsockLink() override { close(); }
    WinsockLink(const WinsockLink&) = delete;
    WinsockLink& operator=(const WinsockLink&) = delete;

    void open(const std::string& host, std::uint16_t port) override;
    bool open_now(const std::string& host, std::uint16_t port) override;
    void close() override;
    bool is_open() const override { return state_ == State::open; }
    bool is_idle() const override { return state_ == State::idle; }
    bool send(std::string_view bytes) override;

    // What a posted message means for this connection; messages of an older
    // socket say nothing.
    Event on_message(WPARAM socket, LPARAM event);
    // The bytes waiting now, at most `limit`.
    std::string receive(std::size_t limit);

private:
    enum class State { idle, connecting, open };
    bool start(const std::string& host, std::uint16_t port, long events);

    HWND window_;
    UINT message_;
    SOCKET socket_ = INVALID_SOCKET;
    State state_ = State::idle;
};

}  // namespace delpad::win32
