// A fresh simulated register for each test: its own state folder, a work
// folder, TEMP on an empty folder, and the library's TFTP port set to the
// register's. Test programs that use it link ecrsim_core.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "simulator.hpp"
#include "test_support.hpp"

namespace veltra::test {

class EcrsimTest : public ::testing::Test {
protected:
    // busy_ms: how long a command keeps the register busy.
    explicit EcrsimTest(int busy_ms = 200) : busy_ms_(busy_ms) {}

    void SetUp() override {
        ecrsim::Options o;
        o.address = "127.0.0.1";
        o.state_dir = state_.path();
        o.busy_ms = busy_ms_;
        reg_ = std::make_unique<ecrsim::Register>(o);
        port_ = std::make_unique<EnvVar>("ECR_TFTP_PORT", std::to_string(reg_->tftp_port()));
        reg_->clear_transcript();
    }

    std::string path(const std::string& name) const { return work_.file(name); }
    std::vector<std::string> commands() const { return reg_->transcript().commands; }
    // The files written to the register, but for its command files.
    std::vector<std::string> put_names() const {
        std::vector<std::string> names;
        for (const auto& p : reg_->transcript().puts) {
            if (p.name != "COMMAND.TXT") names.push_back(p.name);
        }
        return names;
    }
    bool temp_is_empty() const { return std::filesystem::is_empty(temp_.path()); }

    // TEMP is set from here on: a TempDir of a derived fixture is made in it.
    TempDir state_, work_, temp_;
    EnvVar temp_var_{"TEMP", temp_.path().string()};
    std::unique_ptr<ecrsim::Register> reg_;
    std::unique_ptr<EnvVar> port_;

private:
    int busy_ms_;
};

}  // namespace veltra::test
