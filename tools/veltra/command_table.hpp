// The veltra tool's commands. Each family of the library contributes its
// commands through one function listed in command_table.cpp: a table of its
// commands, each with the library functions it calls, an example and the
// struct that holds its options. Adding a family is one entry in that list
// plus the family's file.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <utility>
#include <vector>

#include "tool_context.hpp"

namespace CLI {
class App;
}

namespace veltra::tool {

// A command's options struct as the command line holds it: made when the
// command line is built, its members bound to the command's CLI11 app, and
// alive until the command has run.
class CommandRun {
public:
    virtual ~CommandRun() = default;
    virtual void declare(CLI::App& app) = 0;
    virtual int run(Context& ctx) = 0;
};

// A command's struct: its options as members, declare binds them on the
// command's app, run does the command with what the parse stored.
template <class T>
concept CommandStruct = std::default_initializable<T> &&
    requires(T t, CLI::App& app, Context& ctx) {
    t.declare(app);
    { t.run(ctx) } -> std::same_as<int>;
};

struct Command {
    std::vector<std::string> path;  // {"tables", "put"}: a group word, then the command
    std::string summary;
    std::string calls;  // the library functions the command calls
    std::string example;
    std::unique_ptr<CommandRun> (*make)();
};

// The table entry of the command whose struct is T.
template <CommandStruct T>
Command command(std::vector<std::string> path, std::string summary, std::string calls,
                std::string example) {
    struct Held final : CommandRun {
        T options;
        void declare(CLI::App& app) override { options.declare(app); }
        int run(Context& ctx) override { return options.run(ctx); }
    };
    return {std::move(path), std::move(summary), std::move(calls), std::move(example),
            []() -> std::unique_ptr<CommandRun> { return std::make_unique<Held>(); }};
}

// The families.
std::vector<Command> register_commands();       // ping, status, command, file
std::vector<Command> discover_commands();       // discover
std::vector<Command> table_commands();          // tables, invoices
std::vector<Command> sales_commands();          // sales
std::vector<Command> sales_history_commands();  // sales import, sales report
std::vector<Command> release_commands();        // release
std::vector<Command> backup_commands();         // backup
std::vector<Command> line_commands();           // line
std::vector<Command> keys_commands();           // keys
std::vector<Command> serial_commands();         // serial
std::vector<Command> clock_commands();          // clock
std::vector<Command> sim_commands();            // sim
std::vector<Command> demo_commands();           // demo
std::vector<Command> serve_commands();          // serve
std::vector<Command> fleet_commands();          // fleet
std::vector<Command> service_commands();        // service
std::vector<Command> audit_commands();          // audit

// Two-digit fields "aa/bb/cc" (sep '/') or "aa:bb:cc" (sep ':'), each of one
// or two digits.
bool parse_triple(const std::string& text, char sep, std::array<int, 3>& out);

// --max and --seconds of the channels' receive commands.
struct ReceiveOptions {
    int max = 1024;
    int seconds = 10;
};
void add_receive_options(CLI::App& app, ReceiveOptions& o);

// Reports a channel's receive: the bytes as they came on stdout, or with
// --json the keys "text" (each byte one code point) and "hex".
int finish_received(Context& ctx, const char* function, std::int32_t r, const char* bytes,
                    nlohmann::json extra);

// An INFO answer's fields in order, each {"name", "value"}.
nlohmann::json info_fields(const std::string& answer);

// Runs the tool with its arguments (without the program's name). Returns the
// exit status: 0, 1 (a library failure) or 2 (a usage error).
int run_tool(const std::vector<std::string>& args, Io& io);

// The text --version prints.
std::string version_text();

}  // namespace veltra::tool
