// Serial ports on POSIX: termios in raw mode, poll() for the time limits,
// and an exclusive flock() so that a port in use elsewhere is refused.
#include "sys/serial.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>

#include "sys/clock.hpp"
#include "sys/env.hpp"

namespace veltra::sys {
namespace {

std::array<int, kSerialPortMax + 1> g_fds = [] {
    std::array<int, kSerialPortMax + 1> a{};
    a.fill(-1);
    return a;
}();

int fd_of(int port) {
    if (port < 1 || port > kSerialPortMax) return -1;
    return g_fds[static_cast<std::size_t>(port)];
}

speed_t speed_of(std::uint32_t baud) {
    switch (baud) {
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B0;
    }
}

// Opens the device without waiting for a carrier and locks it; -1 with
// errno set when that fails (EBUSY when another open holds the lock).
int open_locked(const std::string& device) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        errno = e;
        return -1;
    }
    if (!isatty(fd)) {
        close(fd);
        errno = ENOTTY;
        return -1;
    }
    return fd;
}

int remaining_ms(std::uint64_t deadline) {
    const std::uint64_t now = monotonic_ms();
    return now >= deadline ? 0 : static_cast<int>(deadline - now);
}

}  // namespace

std::string serial_device(int port) {
    const std::string name = "ECR_COM" + std::to_string(port);
    if (std::optional<std::string> v = env_get(name.c_str()); v && !v->empty()) return *v;
    return "/dev/ttyS" + std::to_string(port - 1);
}

bool serial_present(int port) {
    const int fd = open_locked(serial_device(port));
    if (fd >= 0) {
        close(fd);
        return true;
    }
    // EIO is what Linux gives for a device node without a port behind it.
    return errno == EACCES || errno == EPERM || errno == EBUSY;
}

int serial_open(int port) {
    if (port < 1 || port > kSerialPortMax) return EINVAL;
    serial_close(port);
    const int fd = open_locked(serial_device(port));
    if (fd < 0) return errno;
    ioctl(fd, TIOCEXCL);
    g_fds[static_cast<std::size_t>(port)] = fd;
    return 0;
}

int serial_set_line(int port, std::uint32_t baud) {
    const int fd = fd_of(port);
    if (fd < 0) return EBADF;
    const speed_t speed = speed_of(baud);
    if (speed == B0) return EINVAL;
    termios t{};
    if (tcgetattr(fd, &t) != 0) return errno;
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return errno;
    if (tcsetattr(fd, TCSANOW, &t) != 0) return errno;
    return 0;
}

int serial_prepare(int port) {
    const int fd = fd_of(port);
    if (fd < 0) return EBADF;
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);  // a pseudo-terminal has no modem lines
    return tcflush(fd, TCIOFLUSH) == 0 ? 0 : errno;
}

int serial_write(int port, std::span<const std::uint8_t> data, std::uint32_t timeout_ms) {
    const int fd = fd_of(port);
    if (fd < 0) return -1;
    const std::uint64_t deadline = monotonic_ms() + timeout_ms;
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        const int left = remaining_ms(deadline);
        if (left == 0) return kSerialWriteTimedOut;
        pollfd p{fd, POLLOUT, 0};
        const int r = poll(&p, 1, left);
        if (r < 0 && errno != EINTR) return -1;
        if (r > 0 && (p.revents & (POLLERR | POLLNVAL)) != 0) return -1;
    }
    return static_cast<int>(done);
}

int serial_read(int port, std::span<std::uint8_t> buf, std::uint32_t timeout_ms) {
    const int fd = fd_of(port);
    if (fd < 0) return -1;
    const std::uint64_t deadline = monotonic_ms() + timeout_ms;
    bool hung_up = false;
    for (;;) {
        const ssize_t n = read(fd, buf.data(), buf.size());
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        // Nothing read after the line reported a hang-up: the other end is gone.
        if (hung_up) return -1;
        const int left = remaining_ms(deadline);
        if (left == 0) return 0;
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, left);
        if (r < 0 && errno != EINTR) return -1;
        if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) hung_up = true;
    }
}

int serial_discard_input(int port) {
    const int fd = fd_of(port);
    if (fd < 0) return EBADF;
    return tcflush(fd, TCIFLUSH) == 0 ? 0 : errno;
}

int serial_discard_output(int port) {
    const int fd = fd_of(port);
    if (fd < 0) return EBADF;
    return tcflush(fd, TCOFLUSH) == 0 ? 0 : errno;
}

int serial_pending_output(int port) {
    const int fd = fd_of(port);
    if (fd < 0) return -1;
    int count = 0;
    if (ioctl(fd, TIOCOUTQ, &count) != 0) return -1;
    return count;
}

void serial_close(int port) {
    const int fd = fd_of(port);
    if (fd < 0) return;
    close(fd);
    g_fds[static_cast<std::size_t>(port)] = -1;
}

}  // namespace veltra::sys
