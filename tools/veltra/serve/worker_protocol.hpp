// The lines between `veltra serve` and a register's worker process. The
// service writes one JSON request per line on the worker's input; the worker
// answers with one line that starts with kAnswerMark, so that anything else
// a library call might print is never taken for an answer.
//
// Requests: {"args": [...]}, a command of the tool run with --json in the
// worker, answered {"status": exit, "out": stdout, "err": stderr};
// {"keys": ["5C", ...]}, key codes sent on the register's raw channel,
// answered {"status": 0|1, "sent": n, "err": text};
// {"op": "sales-today"|"sales-range"|"backup-save"|"backup-restore"|
// "release-show"|"release-update", "host": ..., "dir"/"file": ..., "from"/"to":
// [d, m, y]}, a library call made in the worker, answered like a command.
// While an op moves files the worker writes lines starting with
// kProgressMark and a JSON object (see progress_json in worker.cpp).
// A request with "report_setup": true first has the worker read whether the
// register is in setup mode, written as kSetupMark {"in_setup": 0|1}; op
// "setup-restore" ends setup mode if the register is in it.
#pragma once

#include <cstddef>

namespace veltra::tool::serve {

inline constexpr const char* kAnswerMark = "@@veltra-worker ";
inline constexpr const char* kProgressMark = "@@veltra-progress ";
inline constexpr const char* kSetupMark = "@@veltra-setup ";
// Before a change the worker writes the register's fingerprint (the tool's
// Fingerprint::to_json) after this mark, so that a verdict can be reached
// should the change's answer, or the service itself, be lost.
inline constexpr const char* kBeforeMark = "@@veltra-before ";
// An answer line longer than this ends the worker: it is not trusted.
inline constexpr std::size_t kMaxAnswerBytes = 1u << 20;

// The worker's loop on stdin and stdout. Returns its exit status.
int run_worker();

}  // namespace veltra::tool::serve
