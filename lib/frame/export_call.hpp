// The one shape of every exported function: begin line, work, end line. No
// exception leaves the library, and one that is caught never turns into 0.
#pragma once

#include <cstdint>
#include <utility>

#include "frame/result_codes.hpp"
#include "frame/trace.hpp"

namespace veltra {

// Runs one exported call. `begin()` traces the begin line; `work()` returns
// the result; if it throws (only std::bad_alloc can), the result is
// `on_throw`, a failure code each export declares in veltra.h; `end(result)`
// traces the end line. Both trace steps are noexcept by construction.
template <class Begin, class Work, class End>
std::int32_t export_call(std::int32_t on_throw, Begin&& begin, Work&& work, End&& end) noexcept {
    static_assert(noexcept(begin()), "the begin line must not throw");
    std::forward<Begin>(begin)();
    std::int32_t result = on_throw;
    try {
        result = std::forward<Work>(work)();
    } catch (...) {
        result = on_throw;
    }
    std::forward<End>(end)(result);
    return result;
}

// The end line most exports share: "%s <name> -- end  : esito='%s'".
inline void trace_end(const char* name, std::int32_t result) noexcept {
    char text[kResultTextSize];
    ecr_trace("%s %s -- end  : esito='%s'\n", ecr_trace_time(), name, ecr_err_name(result, text));
}

}  // namespace veltra
