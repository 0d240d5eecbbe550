// `veltra discover`: the registers that answer in a range of addresses, with
// their serial numbers, so that a shop's configuration can name them.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "command_table.hpp"
#include "discover.hpp"
#include "work_dir.hpp"

namespace veltra::tool {
namespace {

struct Discover {
    std::string range_text;
    DiscoverOptions options;

    void declare(CLI::App& app) {
        app.add_option("RANGE", range_text,
                       "the addresses to ask, e.g. 192.168.1.0/24 (up to a /22)")
            ->required();
        app.add_option("--parallel", options.parallel, "addresses asked at once (128)")
            ->check(CLI::Range(1, 256));
        app.add_option("--timeout-ms", options.timeout_ms,
                       "how long one address may take to answer, in ms (2000)")
            ->check(CLI::Range(100, 30000));
        app.footer(
            "Only INFO requests go out, through the register's TFTP port (ECR_TFTP_PORT, else\n"
            "500). An address that does not answer in time is left out. Exit status 0, also\n"
            "when no register answered.");
    }

    int run(Context& ctx) {
        std::string error;
        const auto range = parse_range(range_text, error);
        if (!range) throw UsageError{error};
        const WorkDir work;
        const std::vector<FoundRegister> found = discover(*range, options, work.dir());
        if (ctx.json) {
            nlohmann::json list = nlohmann::json::array();
            for (const FoundRegister& r : found) {
                list.push_back({{"address", r.address},
                                {"matricola", r.matricola},
                                {"version", r.version},
                                {"release", r.release},
                                {"bitmap", r.bitmap}});
            }
            ctx.emit({{"range", range->text}, {"asked", range->count}, {"registers", list}});
            return kExitOk;
        }
        if (found.empty()) {
            ctx.out() << "no register answered in " << range->text << " (" << range->count
                      << " addresses asked)\n";
            return kExitOk;
        }
        char line[160];
        std::snprintf(line, sizeof line, "%-16s %-20s %-8s %-12s %s\n", "ADDRESS", "MATRICOLA",
                      "VERSION", "RELEASE", "BITMAP");
        ctx.out() << line;
        for (const FoundRegister& r : found) {
            std::snprintf(line, sizeof line, "%-16s %-20s %-8s %-12s %s\n", r.address.c_str(),
                          r.matricola.c_str(), r.version.c_str(),
                          r.release.empty() ? "-" : r.release.c_str(), r.bitmap.c_str());
            ctx.out() << line;
        }
        ctx.out() << found.size() << (found.size() == 1 ? " register" : " registers")
                  << " answered of " << range->count << " addresses asked\n";
        return kExitOk;
    }
};

}  // namespace

std::vector<Command> discover_commands() {
    std::vector<Command> c;
    c.push_back(command<Discover>({"discover"},
                                  "list the registers that answer in a range of addresses, with "
                                  "serial number, version, release and bitmap type",
                                  "INFO through the TFTP port, many addresses at once",
                                  "veltra discover 192.168.1.0/24 --json"));
    return c;
}

}  // namespace veltra::tool
