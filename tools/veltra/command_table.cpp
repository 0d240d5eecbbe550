// The command table and the one command line of the tool: global options,
// groups, help with the library function and an example on every level,
// exit status 2 and the usage line for anything the parse refuses.
#include "command_table.hpp"

#include <algorithm>
#include <exception>
#include <map>
#include <ostream>

#include "progress.hpp"
#include "veltra.h"

namespace veltra::tool {
namespace {

// Every family's commands, in the order help lists them.
using Family = std::vector<Command> (*)();
// clang-format off
constexpr Family kFamilies[] = {
    register_commands,
    table_commands,
    sales_commands,
    release_commands,
    backup_commands,
    line_commands,
    serial_commands,
    clock_commands,
    sim_commands,
    demo_commands,
#ifdef VELTRA_WITH_SERVE
    serve_commands,
#endif
};
// clang-format on

struct Group {
    const char* name;
    const char* summary;
};
constexpr Group kGroups[] = {
    {"file", "put and get register files by name"},
    {"tables", "departments, articles and customers as CSV"},
    {"invoices", "the register's invoices as CSV"},
    {"sales", "the day's and archived days' sales as CSV"},
    {"release", "the register's firmware release: check, show, install"},
    {"backup", "the register's data as one archive: save, inspect, extract, restore"},
    {"line", "the raw TCP line channel: text to the register, bytes back"},
    {"serial", "the serial line channel: ports, text out, bytes back"},
    {"clock", "the register's packed date and time (oro values)"},
};

const char* group_summary(const std::string& name) {
    for (const Group& g : kGroups) {
        if (name == g.name) return g.summary;
    }
    return "";
}

// The deepest subcommand the parse reached, and its full name.
const CLI::App* selected(const CLI::App& app, std::string& name) {
    const CLI::App* at = &app;
    name = app.get_name();
    for (;;) {
        const auto subs = at->get_subcommands();
        if (subs.empty()) return at;
        at = subs.front();
        name += " " + at->get_name();
    }
}

// CLI11 reports a word that names no command as a missing one: name the word.
std::string unknown_command(const CLI::App& app, const std::vector<std::string>& args) {
    const CLI::App* at = &app;
    std::string path;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--host") {
            ++i;
            continue;
        }
        if (word.empty() || word[0] == '-') continue;
        path += (path.empty() ? "" : " ") + word;
        const auto subs =
            at->get_subcommands([&word](const CLI::App* s) { return s->get_name() == word; });
        if (subs.empty()) return "unknown command: " + path;
        at = subs.front();
    }
    return "";
}

void usage_error(const CLI::App& app, std::ostream& err, const std::string& message) {
    std::string name;
    const CLI::App* at = selected(app, name);
    err << "veltra: " << message << "\n"
        << CLI::Formatter().make_usage(at, name) << "Run '" << name << " --help' for more.\n";
}

}  // namespace

std::string version_text() {
    char library[ECR_VER_BUFSIZE];
    return std::string("veltra ") + VELTRA_TOOL_VERSION + " (" + ecr_get_ver(library) + ")";
}

int run_tool(const std::vector<std::string>& args, Io& io) {
    Context ctx(io);
    CLI::App app{
        "veltra: work with the register from the command line, through the library VELTRA.\n"
        "The register is --host, else ECR_HOST, else the default host name."};
    app.name("veltra");
    app.set_version_flag("--version", version_text(),
                         "print the tool's and the library's versions");
    app.add_option("--host", ctx.host_option, "the register: host name or dotted IPv4 address");
    app.add_flag("--json", ctx.json, "print the result as a JSON object on stdout");
    app.add_flag("-q,--quiet", ctx.quiet, "no progress bars");
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(
        "Example: veltra --host 192.168.1.20 status\n"
        "Every command's --help names the library function it calls.");

    std::map<std::string, CLI::App*> groups;
    std::vector<std::pair<CLI::App*, Handler>> handlers;
    for (Family family : kFamilies) {
        for (Command& c : family()) {
            CLI::App* parent = &app;
            for (std::size_t i = 0; i + 1 < c.path.size(); ++i) {
                CLI::App*& group = groups[c.path[i]];
                if (group == nullptr) {
                    group = parent->add_subcommand(c.path[i], group_summary(c.path[i]));
                    group->require_subcommand(1);
                    group->fallthrough();
                    // A group's help shows its first command's example.
                    group->footer("Example: " + c.example);
                }
                parent = group;
            }
            CLI::App* leaf =
                parent->add_subcommand(c.path.back(), c.summary + " [" + c.calls + "]");
            leaf->fallthrough();
            Handler handler = c.declare(*leaf);
            const std::string more = leaf->get_footer();
            leaf->footer("Calls: " + c.calls + "\nExample: " + c.example +
                         (more.empty() ? "" : "\n\n" + more));
            handlers.emplace_back(leaf, std::move(handler));
        }
    }
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::Success& e) {
        app.exit(e, io.out, io.err);
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        const std::string what = e.what();
        const std::string unknown =
            what.find("ubcommand") != std::string::npos ? unknown_command(app, args) : "";
        usage_error(app, io.err, unknown.empty() ? e.what() : unknown);
        return kExitUsage;
    }

    for (auto& [leaf, handler] : handlers) {
        if (!leaf->parsed()) continue;
        try {
            ProgressBar bar(ctx);
            const int status = handler(ctx);
            bar.finish();
            return status;
        } catch (const UsageError& e) {
            usage_error(app, io.err, e.message);
            return kExitUsage;
        } catch (const std::exception& e) {
            io.err << "veltra: " << e.what() << "\n";
            return kExitFailure;
        }
    }
    usage_error(app, io.err, "no command given");
    return kExitUsage;
}

}  // namespace veltra::tool
