// The one shape of every exported function: begin line, work, end line. No
// exception leaves the library, and one that is caught never turns into 0.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

#include "frame/result_codes.hpp"
#include "frame/trace.hpp"

namespace veltra {

// Runs one exported call. `begin()` traces the begin line; `work()` returns
// the result; if it throws (only std::bad_alloc can), the result is
// `on_throw`, a failure each export declares in veltra.h; `end(result)`
// traces the end line. Both trace steps are noexcept by construction.
// Result is a result code unless named (the clock codes return values and
// texts).
template <class Result = std::int32_t, class Begin, class Work, class End>
Result export_call(std::type_identity_t<Result> on_throw, Begin&& begin, Work&& work,
                   End&& end) noexcept {
    static_assert(noexcept(begin()), "the begin line must not throw");
    static_assert(noexcept(end(on_throw)), "the end line must not throw");
    std::forward<Begin>(begin)();
    Result result = on_throw;
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

// The end line of the table and sales exports: "%s <name> -- end  : numrec='%s'".
inline void trace_end_numrec(const char* name, std::int32_t result) noexcept {
    char text[kResultTextSize];
    ecr_trace("%s %s -- end  : numrec='%s'\n", ecr_trace_time(), name, ecr_err_name(result, text));
}

// For the clock codes, which write no trace lines.
inline void no_trace() noexcept {}

}  // namespace veltra
