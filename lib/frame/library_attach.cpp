// Programs that link the library's objects directly rather than loading the
// shared library, so this stands in for the load and unload notifications
// that the platform sends a loaded library.
#include "frame/library_frame.hpp"
#include "sys/module.hpp"

namespace {

struct LibraryAttach {
    LibraryAttach() {
        veltra::library_notify(veltra::sys::module_handle(), veltra::kProcessAttach);
    }
    ~LibraryAttach() {
        veltra::library_notify(veltra::sys::module_handle(), veltra::kProcessDetach);
    }
};

const LibraryAttach g_attach;

}  // namespace
