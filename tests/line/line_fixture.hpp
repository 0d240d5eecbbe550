// What the raw channel suites share: a fresh simulated register for the
// readiness check, the trace log in a temporary directory, and its lines.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "frame/library_frame.hpp"
#include "simulator.hpp"
#include "test_support.hpp"

namespace veltra::test {

class LineFixture : public ::testing::Test {
protected:
    void SetUp() override {
        saved_dirname_ = dirname();
        set_dirname(log_dir_.path().string());
        ecrsim::Options o;
        o.address = "127.0.0.1";
        o.state_dir = state_.path();
        reg_ = std::make_unique<ecrsim::Register>(o);
        tftp_port_ = std::make_unique<EnvVar>("ECR_TFTP_PORT", std::to_string(reg_->tftp_port()));
        use_line_port(reg_->line_port());
    }
    void TearDown() override { set_dirname(saved_dirname_); }

    void use_line_port(std::uint16_t port) {
        line_port_.reset();
        line_port_ = std::make_unique<EnvVar>("ECR_LINE_PORT", std::to_string(port));
    }
    std::vector<std::string> trace() const { return read_lines(log_dir_.file("ecrlog.txt")); }
    // Trace lines without their time stamp that contain what.
    std::vector<std::string> traced(const std::string& what) const {
        std::vector<std::string> found;
        for (const std::string& l : trace()) {
            const std::size_t space = l.find(' ');
            const std::string rest = space == std::string::npos ? l : l.substr(space + 1);
            if (rest.find(what) != std::string::npos) found.push_back(rest);
        }
        return found;
    }

    TempDir log_dir_, state_, work_, temp_;
    EnvVar trace_var_{"ECR_TRACE", "1"};
    EnvVar temp_var_{"TEMP", temp_.path().string()};
    std::unique_ptr<ecrsim::Register> reg_;
    std::unique_ptr<EnvVar> tftp_port_, line_port_;
    std::string saved_dirname_;
};

}  // namespace veltra::test
