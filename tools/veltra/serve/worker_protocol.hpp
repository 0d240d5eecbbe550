// The lines between `veltra serve` and a register's worker process. The
// service writes one JSON request per line on the worker's input; the worker
// answers with one line that starts with kAnswerMark, so that anything else
// a library call might print is never taken for an answer.
//
// Requests are {"op": NAME, "host": ..., named fields} (see run_op in
// worker_ops.cpp): "status"; "command" (name); "tables-get" (table, file,
// changed); "tables-put" (table, file, dry_run, allow_reset); "invoices-get"
// (file); "keys" (keys: key codes for the raw channel); "sales-today" (dir);
// "sales-range" (dir, from, to: [d, m, y]); "backup-save", "backup-restore",
// "release-update" (file); "release-show"; "setup-restore", which ends setup
// mode if the register is in it; and "verify" (kind, request, before: a
// job's kind, request and fingerprint), which reads the register again and
// answers the job's verdict. Every answer is {"status": exit, "result": the
// tool's --json object, or null, "err": text}; verify's result is
// {"verdict", "reason", "evidence"} and its status 0 applied, 1 not applied,
// 3 unknown.
// While an op moves files the worker writes lines starting with
// kProgressMark and a JSON object (see ProgressLines in worker_ops.cpp).
// A request with "report_setup": true first has the worker read whether the
// register is in setup mode, written as kSetupMark {"in_setup": 0|1}.
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
