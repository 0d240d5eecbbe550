// Stop requests on POSIX: SIGINT and SIGTERM.
#include <atomic>
#include <csignal>

#include "stop_request.hpp"

namespace ecrsim {
namespace {

std::atomic<bool> g_stop{false};

extern "C" void on_signal(int) {
    g_stop = true;
}

}  // namespace

void watch_stop_requests() {
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
}

bool stop_requested() {
    return g_stop.load();
}

void request_stop() {
    g_stop = true;
}

}  // namespace ecrsim
