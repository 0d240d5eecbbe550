// The worker's operations: each calls the library, or a command of the tool
// with its context, on files of the worker's directory, and answers one JSON
// object. The transfers of the long ones are reported as progress lines, and
// a change's fingerprint before it as a line of its own.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace veltra::tool::serve {

// Runs {"op": NAME, "host": ..., named fields}; answers {"status": exit,
// "result": the tool's --json object (or null), "err": text}. Throws on a
// malformed request.
nlohmann::json run_op(const nlohmann::json& request);

// Why the service refuses an upload with this comparison (the keys of
// `tables put --json`); "" when it does not: lines that do not parse,
// always; no line that applies; records reset, unless allowed.
std::string upload_refusal(const std::string& table, const nlohmann::json& comparison,
                           bool allow_reset);

}  // namespace veltra::tool::serve
