// The trace log: ecrlog.txt beside the host program, one line per event,
// written only while ECR_TRACE is present in the environment.
#pragma once

#include <cstdint>
#include <cstdio>

#if defined(__MINGW32__)
#define ECR_PRINTF(fmt, args) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, args)))
#elif defined(__GNUC__)
#define ECR_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ECR_PRINTF(fmt, args)
#endif

namespace veltra {

// Name of the trace file in the host program's directory.
inline constexpr const char* kTraceFileName = "ecrlog.txt";

// Appends one formatted line to the trace file when ECR_TRACE is present.
// The file is opened and closed for each line; a line that cannot be written
// is dropped and never changes a result.
void ecr_trace(const char* format, ...) noexcept ECR_PRINTF(1, 2);

// The local time of day "hh:mm:ss:mmm", in a library-wide buffer that the
// next call overwrites.
const char* ecr_trace_time() noexcept;

// A caller's buffer address as trace lines show it ('0x%08X').
unsigned trace_addr(const void* p) noexcept;

// A caller's text for a '%s' value: a null pointer shows as empty.
const char* trace_text(const char* text) noexcept;

}  // namespace veltra
