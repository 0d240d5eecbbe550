// The worker's own library calls for sales, backups and releases: each is
// one call (two for a release update) on files of the worker's directory,
// with the transfers it makes reported as progress lines.
#pragma once

#include <nlohmann/json.hpp>

namespace veltra::tool::serve {

// Runs {"op": ...}; answers {"status": 0|1|2, "out": JSON text, "err": text}
// as a command of the tool does. Throws on a malformed request.
nlohmann::json run_op(const nlohmann::json& request);

}  // namespace veltra::tool::serve
