// --state-dir, for the commands that read the service's state folder, and
// --store with --store-schema for a service whose journal is in PostgreSQL.
#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <string>

#include "command_table.hpp"
#include "serve/store_db.hpp"
#include "sys/state_dir.hpp"

namespace veltra::tool {

struct StateDirOption {
    std::string state_dir;
    std::string store;
    std::string store_schema = "veltra_journal";

    void declare(CLI::App& app) {
        app.add_option("--state-dir", state_dir,
                       std::string("the service's state folder (default: ") +
                           sys::default_state_dir_rule() + ")");
        app.add_option("--store", store,
                       "the service's PostgreSQL database, when its journal is there "
                       "(postgresql://USER@HOST/DB)");
        app.add_option("--store-schema", store_schema,
                       "the service's schema in that database (default: veltra_journal)");
    }
    // The journal's store; a journal in PostgreSQL needs no state folder
    // to be read.
    serve::StoreLocation location() const {
        if (store.empty()) return {path(), {}, {}};
        return {state_dir, store, store_schema};
    }
    std::filesystem::path path() const {
        if (!state_dir.empty()) return state_dir;
        std::filesystem::path p = sys::default_state_dir();
        if (p.empty()) throw UsageError{"no default state folder here: give --state-dir"};
        return p;
    }
};

}  // namespace veltra::tool
