// The lines between `veltra serve` and a register's worker process. The
// service writes one JSON request per line on the worker's input; the worker
// answers with one line that starts with kAnswerMark, so that anything else
// a library call might print is never taken for an answer.
//
// Requests: {"args": [...]}, a command of the tool run with --json in the
// worker, answered {"status": exit, "out": stdout, "err": stderr};
// {"keys": ["5C", ...]}, key codes sent on the register's raw channel,
// answered {"status": 0|1, "sent": n, "err": text}.
#pragma once

#include <cstddef>

namespace veltra::tool::serve {

inline constexpr const char* kAnswerMark = "@@veltra-worker ";
// An answer line longer than this ends the worker: it is not trusted.
inline constexpr std::size_t kMaxAnswerBytes = 1u << 20;

// The worker's loop on stdin and stdout. Returns its exit status.
int run_worker();

}  // namespace veltra::tool::serve
