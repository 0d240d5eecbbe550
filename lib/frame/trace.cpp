// The trace writer. Each line is opened, appended and closed on its own so
// that it is on disk when the call returns, and another program may read or
// delete the file between lines.
#include "frame/trace.hpp"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "frame/paths.hpp"
#include "sys/clock.hpp"
#include "sys/env.hpp"
#include "sys/files.hpp"

namespace veltra {

void ecr_trace(const char* format, ...) noexcept {
    if (!sys::env_present("ECR_TRACE")) return;
    try {
        const std::string path = ecr_module_path(kTraceFileName);
        // A path the platform cannot take loses the line, like any other
        // file that cannot be opened.
        if (path.size() >= sys::kPathMax) return;
        std::FILE* file = std::fopen(path.c_str(), "a");
        if (file == nullptr) return;
        va_list args;
        va_start(args, format);
        std::vfprintf(file, format, args);
        va_end(args);
        std::fclose(file);
    } catch (...) {
        // Tracing never fails the caller.
    }
}

const char* ecr_trace_time() noexcept {
    // One per thread: concurrent exchanges each stamp their own lines.
    static thread_local char text[32];
    const sys::LocalTime now = sys::local_time_now();
    std::snprintf(text, sizeof text, "%02u:%02u:%02u:%03u", now.hour, now.minute, now.second,
                  now.millisecond);
    return text;
}

unsigned trace_addr(const void* p) noexcept {
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p));
}

const char* trace_text(const char* text) noexcept {
    return text != nullptr ? text : "";
}

}  // namespace veltra
