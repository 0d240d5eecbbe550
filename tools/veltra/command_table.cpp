// The command table and the one command line of the tool: global options,
// groups, help with the library function and an example on every level,
// exit status 2 and the usage line for anything the parse refuses.
#include "command_table.hpp"

#include <CLI/CLI.hpp>
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
    discover_commands,
    table_commands,
    sales_commands,
    sales_history_commands,
    release_commands,
    backup_commands,
    line_commands,
    keys_commands,
    serial_commands,
    clock_commands,
    sim_commands,
    demo_commands,
#ifdef VELTRA_WITH_SERVE
    serve_commands,
    fleet_commands,
    service_commands,
#endif
    audit_commands,
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
    {"service", "veltra serve as the machine's service: install, start, stop, status"},
    {"audit", "the service's audit trail of changes to registers: list, verify"},
    {"fleet", "a group of registers through the shop's service: tables, backup, sales"},
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

// Where the command words of a command line lead: the deepest group or
// command they name, and the first word that names none ("" when every one
// does). Words after a command are its own arguments.
struct CommandWords {
    const CLI::App* at;
    std::string name;     // "veltra tables"
    std::string unknown;  // "tables nosuch"
};

// An option of app or of a group or the tool above it (they fall through).
const CLI::Option* known_option(const CLI::App* app, const std::string& name) {
    for (; app != nullptr; app = app->get_parent()) {
        if (const CLI::Option* option = app->get_option_no_throw(name)) return option;
    }
    return nullptr;
}

CommandWords command_words(const CLI::App& app, const std::vector<std::string>& args) {
    CommandWords w{&app, app.get_name(), ""};
    std::string path;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word.empty()) continue;
        if (word[0] == '-') {
            // An option the walk does not know may take the next word as its
            // value: the parse judges the rest.
            const std::size_t eq = word.find('=');
            const CLI::Option* option = known_option(w.at, word.substr(0, eq));
            if (option == nullptr) break;
            if (eq == std::string::npos && option->get_items_expected_min() > 0) ++i;
            continue;
        }
        if (w.at->get_subcommands({}).empty()) break;  // a command: its arguments follow
        path += (path.empty() ? "" : " ") + word;
        const auto subs =
            w.at->get_subcommands([&word](const CLI::App* s) { return s->get_name() == word; });
        if (subs.empty()) {
            w.unknown = path;
            break;
        }
        w.at = subs.front();
        w.name += " " + word;
    }
    return w;
}

void usage_error(const CLI::App* at, const std::string& name, std::ostream& err,
                 const std::string& message) {
    err << "veltra: " << message << "\n"
        << CLI::Formatter().make_usage(at, name) << "Run '" << name << " --help' for more.\n";
}

void usage_error(const CLI::App& app, std::ostream& err, const std::string& message) {
    std::string name;
    const CLI::App* at = selected(app, name);
    usage_error(at, name, err, message);
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
    // Each command's struct, kept with its app until the parse is done and
    // the one selected has run.
    std::vector<std::pair<CLI::App*, std::unique_ptr<CommandRun>>> commands;
    for (Family family : kFamilies) {
        for (Command& c : family()) {
            CLI::App* parent = &app;
            std::string words;  // the group's whole path: "fleet tables" is not "tables"
            for (std::size_t i = 0; i + 1 < c.path.size(); ++i) {
                words += (i == 0 ? "" : " ") + c.path[i];
                CLI::App*& group = groups[words];
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
            std::unique_ptr<CommandRun> command = c.make();
            command->declare(*leaf);
            const std::string more = leaf->get_footer();
            leaf->footer("Calls: " + c.calls + "\nExample: " + c.example +
                         (more.empty() ? "" : "\n\n" + more));
            commands.emplace_back(leaf, std::move(command));
        }
    }
    // CLI11 takes a word that names no command for an extra argument: it
    // answers --help with the help of the words it knows, and reports a
    // missing command without one. Both are this word's usage error.
    const CommandWords words = command_words(app, args);
    if (!words.unknown.empty()) {
        usage_error(words.at, words.name, io.err, "unknown command: " + words.unknown);
        return kExitUsage;
    }
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::Success& e) {
        app.exit(e, io.out, io.err);
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        usage_error(app, io.err, e.what());
        return kExitUsage;
    }

    for (auto& [leaf, command] : commands) {
        if (!leaf->parsed()) continue;
        try {
            ProgressBar bar(ctx);
            const int status = command->run(ctx);
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
