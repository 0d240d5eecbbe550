// The veltra tool's commands. Each family of the library contributes its
// commands through one function listed in command_table.cpp; a command names
// the library function it calls and an example, declares its own arguments
// and returns the handler that runs it. Adding a family is one entry in that
// list plus the family's file.
#pragma once

#include <CLI/CLI.hpp>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "tool_context.hpp"

namespace veltra::tool {

using Handler = std::function<int(Context&)>;

struct Command {
    std::vector<std::string> path;  // {"tables", "put"}: a group word, then the command
    std::string summary;
    std::string calls;  // the library functions the command calls
    std::string example;
    // Declares the command's options and positionals on its CLI11 app;
    // returns the handler, which reads what the parse stored.
    std::function<Handler(CLI::App&)> declare;
};

// The families.
std::vector<Command> register_commands();  // ping, status, command, file
std::vector<Command> table_commands();     // tables, invoices
std::vector<Command> sales_commands();     // sales
std::vector<Command> release_commands();   // release
std::vector<Command> backup_commands();    // backup
std::vector<Command> line_commands();      // line
std::vector<Command> serial_commands();    // serial
std::vector<Command> clock_commands();     // clock
std::vector<Command> sim_commands();       // sim
std::vector<Command> demo_commands();      // demo
std::vector<Command> serve_commands();     // serve

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
