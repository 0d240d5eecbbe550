// The veltra tool's test fixture: the commands run in process with their
// streams captured, against an ecrsim register on free ports.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "command_table.hpp"
#include "simulator.hpp"
#include "test_support.hpp"

namespace veltra::test {

using tool::Io;
using ToolJson = nlohmann::json;

struct ToolRun {
    int status = -1;
    std::string out, err;
    ToolJson json() const { return ToolJson::parse(out); }
};

struct Terminal {
    bool in = false;
    bool err = false;
    std::string input;
};

inline ToolRun run_tool(const std::vector<std::string>& args, const Terminal& term = {}) {
    std::ostringstream out, err;
    std::istringstream in(term.input);
    Io io{out, err, in, term.in, term.err};
    ToolRun r;
    r.status = tool::run_tool(args, io);
    r.out = out.str();
    r.err = err.str();
    return r;
}

inline std::size_t count_lines(const std::string& path) {
    return read_lines(path).size();
}

class ToolOnEcrsim : public ::testing::Test {
protected:
    void SetUp() override {
        ecrsim::Options o;
        o.address = "127.0.0.1";
        o.state_dir = state_.path();
        o.busy_ms = 200;
        reg_ = std::make_unique<ecrsim::Register>(o);
        port_ = std::make_unique<EnvVar>("ECR_TFTP_PORT", std::to_string(reg_->tftp_port()));
        line_port_ = std::make_unique<EnvVar>("ECR_LINE_PORT", std::to_string(reg_->line_port()));
        reg_->clear_transcript();
    }

    // The tool against the register, --host first.
    ToolRun veltra(std::vector<std::string> args, const Terminal& term = {}) {
        args.insert(args.begin(), {"--host", "127.0.0.1"});
        return run_tool(args, term);
    }
    std::string path(const std::string& name) const { return work_.file(name); }
    std::vector<std::string> put_names() const {
        std::vector<std::string> names;
        for (const auto& p : reg_->transcript().puts) {
            if (p.name != "COMMAND.TXT") names.push_back(p.name);
        }
        return names;
    }
    std::vector<std::string> commands() const { return reg_->transcript().commands; }

    // Marks records (1-based ids) of a table as changed on the register.
    void mark_changed(const std::string& file, std::size_t record_size, std::vector<int> ids) {
        ecrsim::Bytes table = *reg_->file(file);
        for (int id : ids) table[static_cast<std::size_t>(id - 1) * record_size] = 1;
        reg_->put_file(file, table);
    }

    TempDir state_, work_, temp_;
    EnvVar temp_var_{"TEMP", temp_.path().string()};
    EnvVar host_var_{"ECR_HOST", std::nullopt};
    std::unique_ptr<ecrsim::Register> reg_;
    std::unique_ptr<EnvVar> port_, line_port_;
};

}  // namespace veltra::test
