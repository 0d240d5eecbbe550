// The entry point of `veltra serve --service`, the process the Windows
// service control manager starts.
#pragma once

#include <functional>

namespace veltra::sys {

// Hands the process to the service manager: body runs as the service and
// its result is the service's exit code; stop is called from the manager's
// thread when the service is to stop or the machine shuts down. Returns
// body's result. Throws std::runtime_error where no service manager started
// this process (or on POSIX, which has none of this kind).
int run_as_service(const std::function<int()>& body, const std::function<void()>& stop);

}  // namespace veltra::sys
