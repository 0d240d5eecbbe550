// Load and unload on POSIX: a constructor and a destructor of the shared
// object stand in for the process attach and detach notifications.
#include "frame/library_frame.hpp"
#include "sys/module.hpp"

namespace {

__attribute__((constructor)) void veltra_on_load() {
    veltra::library_notify(veltra::sys::module_handle(), veltra::kProcessAttach);
}

__attribute__((destructor)) void veltra_on_unload() {
    veltra::library_notify(veltra::sys::module_handle(), veltra::kProcessDetach);
}

}  // namespace
