// A TCP listener that takes no more connections (POSIX only): what a
// register with a full accept queue, or a firewall dropping SYNs, looks like.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace veltra::test {

// A listener on 127.0.0.1 whose accept queue is full: Linux then drops the
// SYNs of further connects, which retry for minutes.
class FullListener {
public:
    FullListener() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof at;
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&at), len) != 0 ||
            listen(listener_, 0) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &len) != 0) {
            return;
        }
        port_ = ntohs(at.sin_port);
        // Connections nobody accepts, until one is left hanging.
        for (int i = 0; i < 16 && !full_; ++i) {
            const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            if (c < 0) return;
            clients_.push_back(c);
            connect(c, reinterpret_cast<sockaddr*>(&at), sizeof at);
            pollfd p{c, POLLOUT, 0};
            full_ = poll(&p, 1, 300) == 0;
        }
    }
    ~FullListener() {
        for (int c : clients_) close(c);
        if (listener_ >= 0) close(listener_);
    }
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;
    // True once a connect to it hangs.
    bool full() const { return full_; }
    std::uint16_t port() const { return port_; }

private:
    int listener_ = -1;
    std::vector<int> clients_;
    std::uint16_t port_ = 0;
    bool full_ = false;
};

}  // namespace veltra::test
