// Whether the standard streams are terminals, for programs that talk to a
// person (the veltra tool's progress bars and confirmations). The tool's
// own, not part of the shared library.
#pragma once

namespace veltra::sys {

enum class StdStream { kIn, kOut, kErr };

// True when the stream is an interactive terminal (a console on Windows).
bool is_terminal(StdStream stream);

}  // namespace veltra::sys
