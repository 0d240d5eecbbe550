// Stop requests on Windows: the console's Ctrl+C, Ctrl+Break and close
// events, delivered on a thread of their own.
#include <windows.h>

#include <atomic>

#include "stop_request.hpp"

namespace ecrsim {
namespace {

std::atomic<bool> g_stop{false};

BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            g_stop = true;
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void watch_stop_requests() {
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool stop_requested() {
    return g_stop.load();
}

void request_stop() {
    g_stop = true;
}

}  // namespace ecrsim
