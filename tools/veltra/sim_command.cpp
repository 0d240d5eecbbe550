// `veltra sim`: the simulated register, with ecrsim's own options.
#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "command_table.hpp"
#include "options_parse.hpp"
#include "program.hpp"

namespace veltra::tool {
namespace {

struct Sim {
    const CLI::App* app = nullptr;

    void declare(CLI::App& sim) {
        // Everything after `sim` is ecrsim's, options included.
        sim.fallthrough(false);
        sim.prefix_command();
        sim.footer(std::string("ecrsim's options:\n") + ecrsim::kUsage);
        app = &sim;
    }
    int run(Context& ctx) {
        const std::vector<std::string> args = app->remaining();
        return ecrsim::run_program(args, ctx.out(), ctx.err(), "veltra sim");
    }
};

}  // namespace

std::vector<Command> sim_commands() {
    return {
        command<Sim>({"sim"},
                     "run the simulated register (ecrsim) until Ctrl+C; takes ecrsim's options",
                     "ecrsim, embedded",
                     "veltra sim --address 127.0.0.1 --state ./register --tftp-port 6969"),
    };
}

}  // namespace veltra::tool
