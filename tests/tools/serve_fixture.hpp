// A veltra serve started as its own program against two ecrsim registers,
// and the helpers its tests share.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "backup/archive.hpp"
#include "http.hpp"
#include "http_client.hpp"
#include "release/release_file.hpp"
#include "releases.hpp"
#include "sales/sales_retrieval.hpp"
#include "simulator.hpp"
#include "sys/child_process.hpp"
#include "test_store.hpp"
#include "test_support.hpp"

#ifndef _WIN32
#include <signal.h>
#endif

namespace veltra::test {

using Json = nlohmann::json;

inline constexpr const char* kToken = "0123456789abcdef-test-token";

inline std::unique_ptr<ecrsim::Register> start_register(const TempDir& dir) {
    ecrsim::Options o;
    o.address = "127.0.0.1";
    o.state_dir = dir.path();
    o.busy_ms = 100;
    return std::make_unique<ecrsim::Register>(o);
}

inline std::string register_arg(const std::string& name, const ecrsim::Register& r) {
    return name + "=127.0.0.1:" + std::to_string(r.tftp_port()) + ":" +
           std::to_string(r.line_port()) + ":" + std::to_string(r.keyboard_port());
}

// Sets the service's test clock: written whole, then renamed, so that the
// service never reads half a time. On Windows the rename is refused while
// the service has the file open for its read; that lasts a moment, so it is
// tried again.
inline void write_test_clock(const std::filesystem::path& file, std::int64_t ms) {
    const std::filesystem::path fresh = file.string() + ".new";
    {
        std::ofstream f(fresh, std::ios::binary | std::ios::trunc);
        f << ms << "\n";
    }
    std::error_code ec;
    for (int tries = 0; tries < 500; ++tries) {
        std::filesystem::rename(fresh, file, ec);
        if (!ec) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::filesystem::filesystem_error("cannot set the test clock", fresh, file, ec);
}

// What changes a register: files written to it and resets (reads send
// INFO and SETUP around a download).
inline std::size_t changes_of(const ecrsim::Register& r) {
    const ecrsim::Transcript t = r.transcript();
    std::size_t n = 0;
    for (const std::string& c : t.commands) n += c.rfind("AZZ", 0) == 0;
    for (const auto& p : t.puts) n += p.name != "COMMAND.TXT";
    return n;
}

// How often the register was put into setup mode.
inline std::size_t setups_of(const ecrsim::Register& r) {
    const ecrsim::Transcript t = r.transcript();
    return static_cast<std::size_t>(std::count(t.commands.begin(), t.commands.end(), "SETUP 1"));
}

// The port a service just started listens on, from its "listening on" line;
// 0 when it ended or said nothing of it within 10 s.
inline int listening_port(sys::ChildProcess& service) {
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
        auto line = service.read_line(100, 4096, ended);
        if (!line) continue;
        // http:// or https://
        const std::string mark = "listening on http";
        const std::string address = "://127.0.0.1:";
        const auto at = line->find(mark);
        const auto after = at == std::string::npos ? at : line->find(address, at);
        if (after != std::string::npos && after <= at + mark.size() + 1)
            return std::stoi(line->substr(after + address.size()));
    }
    return 0;
}

class ServeOnTwoRegisters : public ::testing::Test {
protected:
    void SetUp() override {
        shop1_ = start_register(state1_);
        shop2_ = start_register(state2_);
    }

    // Starts the service; extra: more options. Returns false when it did not
    // report its address.
    void start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"serve",
                                         "--register",
                                         register_arg("shop1", *shop1_),
                                         "--register",
                                         register_arg("shop2", *shop2_),
                                         "--listen",
                                         "127.0.0.1:0",
                                         "--state-dir",
                                         state_dir()};
        args.insert(args.end(), extra.begin(), extra.end());
        for (const std::string& o : store_.service_options()) args.push_back(o);
        service_ = std::make_unique<sys::ChildProcess>(VELTRA_TOOL_PROGRAM, args,
                                                       work_.path().string(), env_);
        port_ = listening_port(*service_);
        ASSERT_GT(port_, 0) << "the service did not start";
    }

    // The service's journal: in the test's own folder, never the user's.
    std::string state_dir() const { return (work_.path() / "state").string(); }
    // Its store, from the next start on: false, with store_.why_not(),
    // when the kind cannot run here.
    bool use_store(StoreKind kind) { return store_.use(kind, state_dir()); }

    http::Client client(const std::string& token = "") {
        http::Client c("127.0.0.1", port_);
        c.set_timeout(std::chrono::seconds(60));
        if (!token.empty()) c.set_bearer_token(token);
        return c;
    }

    Json get_json(const std::string& path, int expected = 200) {
        auto c = client();
        auto r = c.get(path);
        EXPECT_TRUE(r) << path;
        if (!r) return nullptr;
        EXPECT_EQ(r->status, expected) << path << "\n" << r->body;
        EXPECT_EQ(r->get_header_value("Content-Type"), "application/json") << path;
        return Json::parse(r->body);
    }

    std::string get_csv(const std::string& reg, const std::string& table) {
        auto c = client();
        auto r = c.get("/api/v1/registers/" + reg + "/tables/" + table);
        EXPECT_TRUE(r);
        if (!r) return "";
        EXPECT_EQ(r->status, 200) << r->body;
        EXPECT_EQ(r->get_header_value("Content-Type"), "text/csv");
        return r->body;
    }

    // The service's log lines that came since the last call.
    std::vector<std::string> log_lines() {
        std::vector<std::string> lines;
        bool ended = false;
        while (auto line = service_->read_line(200, 4096, ended)) lines.push_back(*line);
        return lines;
    }

    // Polls a job until it ends.
    Json finished_job(const std::string& id) {
        Json job;
        for (int i = 0; i < 2400; ++i) {
            job = get_json("/api/v1/jobs/" + id);
            if (job["state"] == "failed" || job["state"] == "succeeded") break;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return job;
    }

    TempDir state1_, state2_, work_;
    std::unique_ptr<ecrsim::Register> shop1_, shop2_;
    std::unique_ptr<sys::ChildProcess> service_;
    std::map<std::string, std::string> env_;  // the service's, besides the test's own
    TestStore store_;                         // SQLite's journal.db unless use_store() said
    int port_ = 0;
};

// What every change but a JSON one carries (see guard.hpp).
#ifdef APPEND_INPUT_PROGRAM
// A notify command that appends each event to file, in the platform's shell.
inline std::string notify_appending_to(const std::string& file) {
#ifdef _WIN32
    // The build's path may be a POSIX one (Wine): cmd.exe wants a drive.
    std::string program = APPEND_INPUT_PROGRAM;
    if (program.starts_with('/')) program = "Z:" + program;
    std::replace(program.begin(), program.end(), '/', '\\');
    return "\"" + program + "\" \"" + file + "\"";
#else
    return "'" APPEND_INPUT_PROGRAM "' '" + file + "'";
#endif
}
#endif

inline const http::Headers kChange = {{"X-Veltra-Request", "1"}};

}  // namespace veltra::test
