// --state-dir, for the commands that read the service's state folder.
#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <string>

#include "command_table.hpp"
#include "sys/state_dir.hpp"

namespace veltra::tool {

struct StateDirOption {
    std::string state_dir;

    void declare(CLI::App& app) {
        app.add_option("--state-dir", state_dir,
                       std::string("the service's state folder (default: ") +
                           sys::default_state_dir_rule() + ")");
    }
    std::filesystem::path path() const {
        if (!state_dir.empty()) return state_dir;
        std::filesystem::path p = sys::default_state_dir();
        if (p.empty()) throw UsageError{"no default state folder here: give --state-dir"};
        return p;
    }
};

}  // namespace veltra::tool
