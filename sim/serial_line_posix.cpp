// The serial endpoint on POSIX: a pseudo-terminal master, or a device in raw mode.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "serial_line.hpp"

namespace ecrsim {

struct SerialLine::Impl {
    SerialOptions options;
    std::string device;
    int fd = -1;       // the register's end
    int keep_fd = -1;  // the library's end kept open, so that its close is no hang-up
    std::atomic<bool> echo{false};
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    std::string received;
    std::thread thread;

    void run();
    void write_all(const char* p, std::size_t n) {
        while (n > 0) {
            const ssize_t w = ::write(fd, p, n);
            if (w > 0) {
                p += w;
                n -= static_cast<std::size_t>(w);
            } else if (w < 0 && errno != EINTR && errno != EAGAIN) {
                return;
            }
        }
    }
};

namespace {

void make_raw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);
}

std::string printable(const char* p, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n && i < 60; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        s += c >= 32 && c < 127 ? static_cast<char>(c) : '.';
    }
    return n > 60 ? s + "..." : s;
}

}  // namespace

void SerialLine::Impl::run() {
    char buf[4096];
    while (!stopping.load()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            // A pseudo-terminal with no open other end reads EIO: wait for one.
            if (n < 0 && errno != EAGAIN && errno != EINTR) usleep(20000);
            continue;
        }
        {
            std::lock_guard lock(mutex);
            received.append(buf, static_cast<std::size_t>(n));
        }
        if (echo.load()) write_all(buf, static_cast<std::size_t>(n));
        if (options.log) {
            options.log("serial: " + std::to_string(n) + " bytes '" +
                        printable(buf, static_cast<std::size_t>(n)) + "'" +
                        (echo.load() ? ", echoed" : ""));
        }
    }
}

SerialLine::SerialLine(SerialOptions options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->echo = impl_->options.echo;
    if (impl_->options.path.empty()) {
        impl_->fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (impl_->fd < 0 || grantpt(impl_->fd) != 0 || unlockpt(impl_->fd) != 0) {
            throw std::runtime_error(std::string("pseudo-terminal: ") + std::strerror(errno));
        }
        const char* name = ptsname(impl_->fd);
        if (name == nullptr) throw std::runtime_error("pseudo-terminal has no name");
        impl_->device = name;
        impl_->keep_fd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (impl_->keep_fd >= 0) make_raw(impl_->keep_fd);
    } else {
        impl_->device = impl_->options.path;
        impl_->fd = ::open(impl_->device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (impl_->fd < 0) {
            throw std::runtime_error(impl_->device + ": " + std::strerror(errno));
        }
        make_raw(impl_->fd);
    }
    impl_->thread = std::thread([this] { impl_->run(); });
}

SerialLine::~SerialLine() {
    impl_->stopping = true;
    if (impl_->thread.joinable()) impl_->thread.join();
    if (impl_->keep_fd >= 0) ::close(impl_->keep_fd);
    if (impl_->fd >= 0) ::close(impl_->fd);
}

const std::string& SerialLine::device() const {
    return impl_->device;
}

void SerialLine::set_echo(bool on) {
    impl_->echo = on;
}

void SerialLine::send(const std::string& bytes) {
    impl_->write_all(bytes.data(), bytes.size());
}

std::string SerialLine::received() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->received;
}

}  // namespace ecrsim
