// The pieces of the fleet suite that run the same on one shop's service
// with six registers (its SQLite journal) and on three shops' services
// behind a chain's central service (its PostgreSQL queue): the table
// pushed, what the registers were sent, and what a push stopped at the
// fourth register must show.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "serve_fixture.hpp"
#include "tool_fixture.hpp"

namespace veltra::test {

// The articles table of register reg of the service on port with its
// first article renamed (a change every register takes without resetting
// anything), written to file.
inline std::string edited_plu(int port, const std::string& reg, const std::filesystem::path& file,
                              const std::string& new_name) {
    http::Client c("127.0.0.1", port);
    c.set_timeout(std::chrono::seconds(60));
    const auto r = c.get("/api/v1/registers/" + reg + "/tables/plu");
    EXPECT_TRUE(r && r->status == 200);
    std::string csv = r ? r->body : "";
    const std::size_t line2 = csv.find('\n') + 1;
    const std::size_t field2 = csv.find(';', line2) + 1;
    csv.replace(field2, csv.find(';', field2) - field2, new_name);
    std::ofstream(file, std::ios::binary) << csv;
    return file.string();
}

// Articles tables written to the register, as its transcript shows them.
inline std::size_t plu_puts(const ecrsim::Register& r) {
    std::size_t n = 0;
    for (const auto& p : r.transcript().puts) n += p.name == "PLU.BIN";
    return n;
}

// The third transfer of PLU.BIN (after the comparison's and the upload
// job's own downloads) is the upload: its first block is refused.
inline void refuse_upload(ecrsim::Register& r) {
    r.add_fault(*ecrsim::parse_tftp_fault("error:2:3@PLU.BIN#3"));
}

// Every command exchange of the register answers ms late: an upload, which
// enters and leaves setup mode through them, takes seconds.
inline void slow_commands(ecrsim::Register& r, int ms) {
    ecrsim::TftpFault slow;
    slow.kind = ecrsim::FaultKind::Delay;
    slow.direction = ecrsim::Direction::Out;
    slow.nth = 1;
    slow.delay_ms = ms;
    slow.file = "COMMAND.TXT";
    slow.transfers = 0;
    r.add_fault(slow);
}

inline std::vector<std::string> step_states(const Json& op) {
    std::vector<std::string> s;
    for (const Json& step : op["registers"]) s.push_back(step["state"]);
    return s;
}

// A push of six registers with --stop-on-failure whose fourth register
// refused the upload: three applied, the fourth not, two untouched, and
// the summary says so; puts(i) is what register i was sent.
inline void expect_stopped_at_the_fourth(const ToolRun& r, const std::string& fourth,
                                         const std::function<std::size_t(int)>& puts) {
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const Json op = r.json();
    EXPECT_EQ(op["state"], "stopped") << op.dump();
    EXPECT_EQ(step_states(op), (std::vector<std::string>{"applied", "applied", "applied",
                                                         "not_applied", "untouched", "untouched"}));
    EXPECT_NE(op["reason"].get<std::string>().find(fourth + " did not take the table"),
              std::string::npos);
    EXPECT_EQ(op["counts"]["applied"], 3);
    EXPECT_EQ(op["counts"]["untouched"], 2);
    for (int i : {0, 1, 2}) EXPECT_EQ(puts(i), 1u) << i;
    for (int i : {3, 4, 5}) EXPECT_EQ(puts(i), 0u) << i;
    // The untouched registers got no upload job.
    EXPECT_FALSE(op["registers"][4].contains("job"));
    EXPECT_FALSE(op["registers"][5].contains("job"));
}

}  // namespace veltra::test
