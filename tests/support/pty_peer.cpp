// The pseudo-terminal peer: openpty, the master end played by the script.
#include "pty_peer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "test_support.hpp"

namespace veltra::test {
using Clock = std::chrono::steady_clock;

std::optional<std::string> PtyIo::read(std::size_t n, int timeout_ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string got;
    while (got.size() < n) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, left_ms(end)) <= 0) return std::nullopt;
        char buf[4096];
        const ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - got.size()));
        if (r > 0) {
            got.append(buf, static_cast<std::size_t>(r));
            received.append(buf, static_cast<std::size_t>(r));
        } else if (left_ms(end) == 0) {
            return std::nullopt;
        } else {
            usleep(5000);  // EIO while the library has the line closed
        }
    }
    return got;
}

std::string PtyIo::read_some(int timeout_ms) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return {};
    char buf[4096];
    const ssize_t r = ::read(master_, buf, sizeof buf);
    if (r <= 0) {
        usleep(5000);
        return {};
    }
    received.append(buf, static_cast<std::size_t>(r));
    return std::string(buf, static_cast<std::size_t>(r));
}

void PtyIo::write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
        } else if (errno != EINTR && errno != EAGAIN) {
            return;
        }
    }
}

void PtyIo::echo_until_stopped() {
    while (!stopping()) {
        const std::string got = read_some(20);
        if (!got.empty()) write(got);
    }
}

PtyPeer::PtyPeer(Script script) {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    // Raw from the start: no echo by the line discipline before the library sets up.
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    path_ = name;
    if (script) {
        thread_ = std::thread([this, script = std::move(script)] {
            PtyIo io(master_, stopping_);
            script(io);
            received_ = io.received;
        });
    }
}

PtyPeer::~PtyPeer() {
    finish();
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
}

std::string PtyPeer::finish() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    return received_;
}

void PtyPeer::hang_up() {
    finish();
    if (slave_ >= 0) ::close(slave_);
    slave_ = -1;
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

}  // namespace veltra::test
