// `veltra audit`: the service's audit trail of changes to registers, listed
// and checked link by link, read from the journal in its state folder.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "command_table.hpp"
#include "journal.hpp"
#include "state_dir_option.hpp"

namespace veltra::tool {
namespace {

// UTC, to the millisecond: "2026-12-09T06:10:00.123Z".
std::string utc_text(std::int64_t ms) {
    using namespace std::chrono;
    const sys_time<milliseconds> t{milliseconds(ms)};
    const sys_days day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss<milliseconds> hms{t - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()), static_cast<int>(hms.hours().count()),
                  static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()),
                  static_cast<int>(hms.subseconds().count()));
    return text;
}

nlohmann::json row_json(const serve::AuditEntry& row) {
    return {{"row", row.seq},   {"time", utc_text(row.time_ms)}, {"time_ms", row.time_ms},
            {"who", row.who},   {"register", row.register_name}, {"job", row.job_id},
            {"what", row.what}, {"verdict", row.verdict},        {"hash", row.hash}};
}

struct AuditVerify {
    StateDirOption dir;

    void declare(CLI::App& app) {
        dir.declare(app);
        app.footer(
            "Exit status 0 when every row's hash covers the row and the one before it,\n"
            "1 naming the first row that does not (altered, or the one after a removed row).");
    }
    int run(Context& ctx) {
        const serve::Journal journal(dir.location(), serve::Journal::Access::read_only);
        const serve::AuditCheck check = journal.verify_audit();
        if (ctx.json) {
            nlohmann::json j = {{"rows", check.rows}, {"holds", !check.first_altered}};
            if (check.first_altered) j["first_altered"] = row_json(*check.first_altered);
            ctx.out() << j.dump(2) << "\n";
        }
        if (check.first_altered) {
            const serve::AuditEntry& row = *check.first_altered;
            ctx.err() << "veltra: the audit trail was altered at row " << row.seq << " ("
                      << utc_text(row.time_ms) << "): its hash does not match\n";
            return kExitFailure;
        }
        if (!ctx.json)
            ctx.out() << "the audit trail holds: " << check.rows
                      << (check.rows == 1 ? " row\n" : " rows\n");
        return kExitOk;
    }
};

struct AuditList {
    StateDirOption dir;

    void declare(CLI::App& app) { dir.declare(app); }
    int run(Context& ctx) {
        const serve::Journal journal(dir.location(), serve::Journal::Access::read_only);
        const std::vector<serve::AuditEntry> rows = journal.audit();
        if (ctx.json) {
            nlohmann::json list = nlohmann::json::array();
            for (const serve::AuditEntry& row : rows) list.push_back(row_json(row));
            ctx.out() << nlohmann::json{{"rows", list}}.dump(2) << "\n";
            return kExitOk;
        }
        for (const serve::AuditEntry& row : rows) {
            ctx.out() << row.seq << "  " << utc_text(row.time_ms) << "  " << row.who << "  "
                      << row.register_name << "  " << row.what << "  " << row.verdict
                      << (row.job_id.empty() ? "" : "  job " + row.job_id) << "\n";
        }
        return kExitOk;
    }
};

}  // namespace

std::vector<Command> audit_commands() {
    std::vector<Command> c;
    c.push_back(command<AuditVerify>(
        {"audit", "verify"}, "check the audit trail's SHA-256 chain and name the first altered row",
        "none: reads the service's journal", "veltra audit verify --state-dir /var/lib/veltra"));
    c.push_back(command<AuditList>({"audit", "list"},
                                   "list the audit trail: who changed which register, when, the "
                                   "verdict",
                                   "none: reads the service's journal",
                                   "veltra audit list --state-dir /var/lib/veltra --json"));
    return c;
}

}  // namespace veltra::tool
