// Load and unload on Windows: DllMain passes the four notifications on.
#include <windows.h>

#include "frame/library_frame.hpp"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    return veltra::library_notify(reinterpret_cast<std::uintptr_t>(instance),
                                  static_cast<unsigned>(reason));
}

static_assert(DLL_PROCESS_DETACH == veltra::kProcessDetach);
static_assert(DLL_PROCESS_ATTACH == veltra::kProcessAttach);
static_assert(DLL_THREAD_ATTACH == veltra::kThreadAttach);
static_assert(DLL_THREAD_DETACH == veltra::kThreadDetach);
