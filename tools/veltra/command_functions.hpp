// The commands the service's worker runs without a command line: each sets
// its command's options as the parse would, with --yes, and runs it with the
// context, whose result_sink takes the --json object. The checks a register
// read makes to settle a change come from the same families.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tool_context.hpp"
#include "verdict.hpp"

namespace veltra::tool {

// status
int status_command(Context& ctx);

// command NAME --yes; UsageError for a name that is no register command.
int register_command(Context& ctx, const std::string& word);
// The ecr_command request of a register command's name (setup-on, azzfis...).
std::optional<std::int32_t> register_command_request(std::string_view word);

// tables get TABLE CSV [--changed]
int tables_get(Context& ctx, const std::string& table, const std::string& csv, bool changed);

struct TablesPutOptions {
    std::string table;
    std::string csv;
    bool dry_run = false;
    bool allow_reset = false;
    // Why an upload with this comparison (the --json object's comparison
    // keys) is refused, "" when it is not; unset, the command line's rule.
    // A dry run that it refuses says so in "refused".
    std::function<std::string(const nlohmann::json&)> refuse;
};
// tables put TABLE CSV --yes [--dry-run] [--allow-reset]
int tables_put(Context& ctx, TablesPutOptions options);

// invoices get CSV
int invoices_get(Context& ctx, const std::string& csv);

// backup restore FILE --yes
int backup_restore(Context& ctx, const std::string& file);

// release update FILE --yes
int release_update(Context& ctx, const std::string& file);

// Whether the register's table holds what uploading csv makes of it: one
// read-back, then decide_table.
Decision verify_table(const char* host, const std::string& table, const std::string& csv);

// Each file of the archive read back from the register and compared with
// the archive's own.
std::vector<RestoredFile> read_back_restore(const char* host, const std::string& archive);

}  // namespace veltra::tool
