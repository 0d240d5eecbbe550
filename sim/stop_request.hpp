// How the ecrsim program learns that it should stop: SIGINT or SIGTERM on
// POSIX, Ctrl+C, Ctrl+Break or the console closing on Windows. One file per
// platform implements it.
#pragma once

namespace ecrsim {

// Starts watching for a stop request; call once, early in main.
void watch_stop_requests();
// Whether a stop was requested since.
bool stop_requested();
// Asks for a stop as a signal would: the Windows service manager's stop
// takes this way, so that a service stops as a console program does.
void request_stop();

}  // namespace ecrsim
