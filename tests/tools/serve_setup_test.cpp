// veltra serve and setup mode: a job that changes nothing puts setup mode
// back as it found it when its worker dies half way; a restore leaves it
// on, and says how to end it.
#include "serve_fixture.hpp"

#ifndef _WIN32

namespace veltra::test {
namespace {

class ServeSetupMode : public ServeOnTwoRegisters {
protected:
    // The register's INFO variable, read through the service.
    std::string info(const std::string& reg, const std::string& name) {
        const Json s = get_json("/api/v1/registers/" + reg + "/status");
        for (const Json& v : s["result"]["info"])
            if (v["name"] == name) return v["value"];
        ADD_FAILURE() << "no " << name << " in " << s.dump();
        return "";
    }

    // Waits until the register is asked for name, then kills shop1's worker.
    void kill_worker_at(const ecrsim::Register& r, const std::string& request) {
        auto asked = [&] {
            const auto t = r.transcript();
            return std::find(t.requests.begin(), t.requests.end(), request) != t.requests.end();
        };
        for (int i = 0; i < 800 && !asked(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        ASSERT_TRUE(asked()) << request;
        const long pid = get_json("/api/v1/registers?check=0")["registers"][0]["worker_pid"];
        ASSERT_GT(pid, 0);
        ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGKILL), 0);
    }
};

TEST_F(ServeSetupMode, ABackupWhoseWorkerIsKilledPutsSetupModeBack) {
    // The register stalls in the middle of the archive's bitmap.
    shop1_->add_fault(*ecrsim::parse_tftp_fault("delay:out:5:30000@BITMAP.BIN"));
    start();
    ASSERT_EQ(info("shop1", "SETUP"), "0");
    auto r = client().post("/api/v1/registers/shop1/backup?wait=0", "", "text/plain", kChange);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 202) << r->body;
    kill_worker_at(*shop1_, "get BITMAP.BIN");
    const Json job = finished_job(Json::parse(r->body)["id"]);
    EXPECT_EQ(job["state"], "failed");
    EXPECT_NE(job["error"].value("setup_mode", "").find("put back"), std::string::npos)
        << job.dump();
    // The register sells again.
    EXPECT_EQ(info("shop1", "SETUP"), "0");
    EXPECT_EQ(info("shop1", "OPERATIVO"), "1");
    // Through the register's own command, after the backup's.
    const auto commands = shop1_->transcript().commands;
    const auto on = std::find(commands.rbegin(), commands.rend(), "SETUP 1");
    ASSERT_NE(on, commands.rend());
    EXPECT_NE(std::find(commands.rbegin(), on, "SETUP 0"), on);
}

TEST_F(ServeSetupMode, ABackupPastTheJobTimePutsSetupModeBackSlow) {
    // The register never answers for its bitmap: the job runs out of time.
    shop1_->add_fault(*ecrsim::parse_tftp_fault("silent@BITMAP.BIN"));
    start({"--job-seconds", "3"});
    auto r = client().post("/api/v1/registers/shop1/backup", "", "text/plain", kChange);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 504) << r->body;  // the service's own limit, not the library's
    const Json job = Json::parse(r->body);
    EXPECT_EQ(job["state"], "failed") << r->body;
    EXPECT_NE(job["error"].value("setup_mode", "").find("put back"), std::string::npos)
        << job.dump();
    EXPECT_EQ(info("shop1", "SETUP"), "0");
    EXPECT_EQ(info("shop1", "OPERATIVO"), "1");
}

TEST_F(ServeSetupMode, ABackupLeavesSetupModeOnWhenItFoundItOn) {
    shop1_->add_fault(*ecrsim::parse_tftp_fault("delay:out:5:30000@BITMAP.BIN"));
    start();
    auto on = client().post("/api/v1/registers/shop1/commands/setup-on?confirm=1", "", "text/plain",
                            kChange);
    ASSERT_TRUE(on);
    ASSERT_EQ(on->status, 200) << on->body;
    auto r = client().post("/api/v1/registers/shop1/backup?wait=0", "", "text/plain", kChange);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 202) << r->body;
    kill_worker_at(*shop1_, "get BITMAP.BIN");
    const Json job = finished_job(Json::parse(r->body)["id"]);
    EXPECT_EQ(job["state"], "failed");
    EXPECT_FALSE(job["error"].contains("setup_mode")) << job.dump();
    EXPECT_EQ(info("shop1", "SETUP"), "1");
}

TEST_F(ServeSetupMode, ARestoreWhoseWorkerIsKilledLeavesSetupModeOnAndSaysHowToEndIt) {
    start();
    auto saved = client().post("/api/v1/registers/shop2/backup", "", "text/plain", kChange);
    ASSERT_TRUE(saved);
    ASSERT_EQ(saved->status, 200);
    shop1_->add_fault(*ecrsim::parse_tftp_fault("delay:out:5:30000@BITMAP.BIN"));
    std::optional<http::Client::Result> r;
    std::thread restore([&] {
        r = client().put("/api/v1/registers/shop1/backup?confirm=1&wait=0", saved->body,
                         "application/octet-stream", kChange);
    });
    restore.join();
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 202) << r->body;
    kill_worker_at(*shop1_, "put BITMAP.BIN");
    const Json job = finished_job(Json::parse(r->body)["id"]);
    EXPECT_EQ(job["state"], "failed");
    const std::string said = job["error"].value("setup_mode", "");
    EXPECT_NE(said.find("setup-off"), std::string::npos) << job.dump();
    EXPECT_NE(said.find("again"), std::string::npos) << job.dump();
    // A register written in part does not sell.
    EXPECT_EQ(info("shop1", "SETUP"), "1");
    EXPECT_EQ(info("shop1", "OPERATIVO"), "0");
}

}  // namespace
}  // namespace veltra::test

#endif
