// `veltra sim`: the simulated register, with ecrsim's own options.
#include <memory>

#include "command_table.hpp"
#include "options_parse.hpp"
#include "program.hpp"

namespace veltra::tool {
namespace {

Command sim() {
    return {{"sim"},
            "run the simulated register (ecrsim) until Ctrl+C; takes ecrsim's options",
            "ecrsim, embedded",
            "veltra sim --address 127.0.0.1 --state ./register --tftp-port 6969",
            [](CLI::App& app) -> Handler {
                // Everything after `sim` is ecrsim's, options included.
                app.fallthrough(false);
                app.prefix_command();
                app.footer(std::string("ecrsim's options:\n") + ecrsim::kUsage);
                return [&app](Context& ctx) {
                    const std::vector<std::string> args = app.remaining();
                    return ecrsim::run_program(args, ctx.out(), ctx.err(), "veltra sim");
                };
            }};
}

}  // namespace

std::vector<Command> sim_commands() {
    return {sim()};
}

}  // namespace veltra::tool
