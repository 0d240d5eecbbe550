// Windows has no pseudo-terminals: the serial endpoint is not available
// there, and asking for it says so.
#include <stdexcept>

#include "serial_line.hpp"

namespace ecrsim {

struct SerialLine::Impl {
    std::string device;
};

SerialLine::SerialLine(SerialOptions) {
    throw std::runtime_error("the serial endpoint needs a POSIX system (pseudo-terminals)");
}

SerialLine::~SerialLine() = default;

const std::string& SerialLine::device() const {
    return impl_->device;
}

void SerialLine::set_echo(bool) {}

void SerialLine::send(const std::string&) {}

std::string SerialLine::received() const {
    return {};
}

}  // namespace ecrsim
