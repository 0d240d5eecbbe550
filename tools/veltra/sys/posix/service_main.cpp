// POSIX has no service dispatcher to hand the process to: systemd runs
// `veltra serve` as it is, its log on standard output.
#include "sys/service_main.hpp"

#include <stdexcept>

namespace veltra::sys {

int run_as_service(const std::function<int()>&, const std::function<void()>&) {
    throw std::runtime_error(
        "--service is for the Windows service manager; under systemd 'veltra serve' runs as it "
        "is ('veltra service install' writes its unit)");
}

}  // namespace veltra::sys
