// Operations over a group: a service with six registers in one group, its
// journal in SQLite or in PostgreSQL, a table pushed to all of them (each
// compared first; canaries; stopping at the first failure when asked), and
// a backup and the day's sales of each, driven through `veltra fleet` as a
// head office would.
#include "fleet.hpp"
#include "fleet_suite.hpp"

namespace veltra::test {
namespace {

constexpr int kRegisters = 6;

class ServeFleet : public ::testing::TestWithParam<StoreKind> {
protected:
    void SetUp() override {
        if (!store_.use(GetParam(), work_.path() / "state")) GTEST_SKIP() << store_.why_not();
        for (int i = 0; i < kRegisters; ++i) {
            states_.push_back(std::make_unique<TempDir>());
            regs_.push_back(start_register(*states_.back()));
        }
    }
    void start(const std::string& group = "shops=r1,r2,r3,r4,r5,r6") {
        std::vector<std::string> args = {
            "serve",   "--listen", "127.0.0.1:0", "--state-dir", (work_.path() / "state").string(),
            "--group", group};
        for (int i = 0; i < kRegisters; ++i)
            args.insert(args.end(), {"--register", register_arg(name(i), *regs_[i])});
        for (const std::string& o : store_.service_options()) args.push_back(o);
        service_ = std::make_unique<sys::ChildProcess>(
            VELTRA_TOOL_PROGRAM, args, work_.path().string(), std::map<std::string, std::string>{});
        port_ = listening_port(*service_);
        ASSERT_GT(port_, 0) << "the service did not start";
    }
    static std::string name(int i) { return "r" + std::to_string(i + 1); }
    std::string service_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    std::string edited_plu() {
        return test::edited_plu(port_, "r1", work_.path() / "plu.csv", "ARTICOLO FLOTTA");
    }
    std::size_t plu_puts(int i) const {
        return test::plu_puts(*regs_[static_cast<std::size_t>(i)]);
    }
    ToolRun fleet(std::vector<std::string> args) {
        args.insert(args.begin(), "fleet");
        args.insert(args.end(), {"--service", service_url(), "--json"});
        return run_tool(args);
    }
    void refuse_upload(int i) { test::refuse_upload(*regs_[static_cast<std::size_t>(i)]); }
    static Json get(http::Client& c, const std::string& path) {
        const auto r = c.get(path);
        EXPECT_TRUE(r && r->status == 200) << path << " " << (r ? r->body : "no answer");
        return r ? Json::parse(r->body, nullptr, false) : Json(nullptr);
    }
    static std::vector<std::string> states(const Json& op) { return step_states(op); }

    TempDir work_;
    TestStore store_;
    std::vector<std::unique_ptr<TempDir>> states_;
    std::vector<std::unique_ptr<ecrsim::Register>> regs_;
    std::unique_ptr<sys::ChildProcess> service_;
    int port_ = 0;
};

TEST_P(ServeFleet, APushReachesEveryRegisterOnce) {
    start();
    const std::string csv = edited_plu();
    const ToolRun r = fleet({"tables", "put", "plu", csv, "--group", "shops", "--yes"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const Json op = r.json();
    EXPECT_EQ(op["state"], "done");
    EXPECT_EQ(states(op), std::vector<std::string>(kRegisters, "applied"));
    for (int i = 0; i < kRegisters; ++i) {
        EXPECT_EQ(plu_puts(i), 1u) << name(i);
        EXPECT_EQ(op["registers"][i]["register"], name(i));
        EXPECT_TRUE(op["registers"][i].contains("compare_job"));
    }
    // Each register's upload is a change of the journal, with its verdict.
    http::Client c("127.0.0.1", port_);
    const auto job = c.get("/api/v1/jobs/" + op["registers"][3]["job"].get<std::string>());
    ASSERT_TRUE(job);
    EXPECT_EQ(Json::parse(job->body)["verdict"], "applied") << job->body;
}

TEST_P(ServeFleet, StopOnFailureLeavesTheRestUntouched) {
    start();
    const std::string csv = edited_plu();
    refuse_upload(3);
    expect_stopped_at_the_fourth(
        fleet({"tables", "put", "plu", csv, "--group", "shops", "--yes", "--stop-on-failure"}),
        "r4", [this](int i) { return plu_puts(i); });
}

TEST_P(ServeFleet, AFailedCanaryStopsThePushWithoutStopOnFailure) {
    start();
    const std::string csv = edited_plu();
    refuse_upload(0);
    const ToolRun r =
        fleet({"tables", "put", "plu", csv, "--group", "shops", "--yes", "--canary", "2"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const Json op = r.json();
    EXPECT_EQ(op["state"], "stopped");
    EXPECT_EQ(states(op), (std::vector<std::string>{"not_applied", "untouched", "untouched",
                                                    "untouched", "untouched", "untouched"}));
    EXPECT_EQ(op["registers"][0]["canary"], true);
    EXPECT_EQ(op["registers"][1]["canary"], true);
    EXPECT_EQ(op["registers"][2]["canary"], false);
    for (int i = 0; i < kRegisters; ++i) EXPECT_EQ(plu_puts(i), 0u) << name(i);
}

TEST_P(ServeFleet, WithoutStopOnFailureTheOthersStillTakeIt) {
    start();
    const std::string csv = edited_plu();
    refuse_upload(3);
    const ToolRun r = fleet({"tables", "put", "plu", csv, "--group", "shops", "--yes"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const Json op = r.json();
    EXPECT_EQ(op["state"], "done");
    EXPECT_EQ(states(op), (std::vector<std::string>{"applied", "applied", "applied", "not_applied",
                                                    "applied", "applied"}));
}

TEST_P(ServeFleet, ATableOneRegisterWouldRefuseIsUploadedNowhere) {
    start("two=r1,r2");
    // Only the header and the first article: every other article would be
    // reset, which a single upload refuses too.
    const std::string full = read_file(edited_plu());
    std::size_t cut = full.find('\n');
    cut = full.find('\n', cut + 1) + 1;
    const std::string file = (work_.path() / "short.csv").string();
    write_file(file, full.substr(0, cut));
    ToolRun r = fleet({"tables", "put", "plu", file, "--group", "two", "--yes"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    Json op = r.json();
    EXPECT_EQ(op["state"], "refused");
    EXPECT_EQ(states(op), (std::vector<std::string>{"refused", "refused"}));
    EXPECT_NE(op["registers"][0]["error"]["message"].get<std::string>().find("would reset"),
              std::string::npos);
    EXPECT_EQ(plu_puts(0) + plu_puts(1), 0u);

    r = fleet({"tables", "put", "plu", file, "--group", "two", "--yes", "--allow-reset"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(plu_puts(0) + plu_puts(1), 2u);
}

TEST_P(ServeFleet, BackupAndSalesOfEveryRegister) {
    start("pair=r2,r5");
    ToolRun r = fleet({"backup", "--group", "pair"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    Json op = r.json();
    EXPECT_EQ(states(op), (std::vector<std::string>{"succeeded", "succeeded"}));
    for (const Json& step : op["registers"])
        EXPECT_EQ(step["result"]["archive"]["good"], true) << step.dump();
    http::Client c("127.0.0.1", port_);
    const auto archives = c.get("/api/v1/registers/r5/archives");
    ASSERT_TRUE(archives);
    EXPECT_EQ(Json::parse(archives->body)["archives"].size(), 1u) << archives->body;

    r = fleet({"sales-today", "--group", "pair"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    op = r.json();
    EXPECT_EQ(states(op), (std::vector<std::string>{"succeeded", "succeeded"}));
    for (const Json& step : op["registers"])
        EXPECT_TRUE(step["result"].contains("history")) << step.dump();
}

TEST_P(ServeFleet, UnknownGroupsAndBadRequestsAreRefused) {
    start();
    ToolRun r = fleet({"backup", "--group", "nobody"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unknown group: nobody"), std::string::npos) << r.err;
    http::Client c("127.0.0.1", port_);
    // A push changes registers: confirm=1, as a single upload.
    auto put = c.put("/api/v1/groups/shops/tables/plu", "1;X", "text/csv", kChange);
    ASSERT_TRUE(put);
    EXPECT_EQ(put->status, 400) << put->body;
    put = c.put("/api/v1/groups/shops/tables/plu?confirm=1&canary=x", "1;X", "text/csv", kChange);
    ASSERT_TRUE(put);
    EXPECT_EQ(put->status, 400) << put->body;
    const auto groups = c.get("/api/v1/groups");
    ASSERT_TRUE(groups);
    EXPECT_EQ(Json::parse(groups->body)["groups"][0]["registers"].size(), 6u);
    r = run_tool({"fleet", "backup", "--group", "shops", "--service", "ftp://x"});
    EXPECT_EQ(r.status, 2);
}

// An operation's summary is in the journal: it outlives its service. A push
// its service was killed in is closed at the next start: stopped, the
// register it was uploading to judged by that job's verdict, the registers
// after it untouched.
TEST_P(ServeFleet, OperationsOutliveTheirServiceAndAnInterruptedPushIsClosed) {
    start();
    const std::string csv = edited_plu();
    const ToolRun done = fleet({"tables", "put", "plu", csv, "--group", "shops", "--yes"});
    ASSERT_EQ(done.status, 0) << done.out << done.err;
    const Json before = done.json();

    // The second push, one register after another; the upload to r2 is
    // slowed, and the service killed while it runs.
    // Counted from here: r2's comparison, the upload job's own read, then
    // the upload, whose first acknowledgement comes 3 s late.
    regs_[1]->add_fault(*ecrsim::parse_tftp_fault("delay:out:2:3000@PLU.BIN#3"));
    http::Client c("127.0.0.1", port_);
    c.set_timeout(std::chrono::seconds(60));
    auto put = c.put("/api/v1/groups/shops/tables/plu?confirm=1&stop_on_failure=1", read_file(csv),
                     "text/csv", kChange);
    ASSERT_TRUE(put);
    ASSERT_EQ(put->status, 202) << put->body;
    const std::string id = Json::parse(put->body)["id"];
    Json op;
    for (int i = 0; i < 3000; ++i) {
        op = get(c, "/api/v1/fleet/" + id);
        // Running, and its job started by the register's worker (before it
        // is handed over, a kill leaves the register untouched, rightly).
        if (op["state"] != "running") break;
        // The step names its job a moment before the job is launched and
        // known to the jobs API: not found yet is asked again.
        if (op["registers"][1]["state"] == "running") {
            const auto job = c.get("/api/v1/jobs/" + op["registers"][1]["job"].get<std::string>());
            const Json got =
                job && job->status == 200 ? Json::parse(job->body, nullptr, false) : Json(nullptr);
            if (got.is_object() && got.value("state", "") == "running") break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(op["registers"][1]["state"], "running") << op.dump();
    service_->kill();
    service_.reset();

    start();
    http::Client again("127.0.0.1", port_);
    again.set_timeout(std::chrono::seconds(60));
    const Json kept = get(again, "/api/v1/fleet/" + before["id"].get<std::string>());
    for (const char* field : {"state", "counts", "registers", "created_ms", "ended_ms"})
        EXPECT_EQ(kept[field], before[field]) << field;
    // The register reached is judged by its job; a verification may settle
    // an unknown verdict between the two reads, so they are read until they
    // agree.
    Json closed, job;
    for (int i = 0; i < 5; ++i) {
        closed = get(again, "/api/v1/fleet/" + id);
        job = get(again, "/api/v1/jobs/" + closed["registers"][1].value("job", "none"));
        if (closed["registers"][1]["state"] == job["verdict"]) break;
    }
    EXPECT_EQ(closed["state"], "stopped");
    EXPECT_EQ(closed["reason"], "the service stopped during the operation");
    EXPECT_TRUE(closed.contains("ended_ms"));
    EXPECT_EQ(closed["registers"][0]["state"], "applied");
    EXPECT_EQ(closed["registers"][1]["state"], job["verdict"]) << closed.dump();
    EXPECT_NE(job["verdict"], "applied") << "the upload was cut short: " << job.dump();
    for (int i = 2; i < kRegisters; ++i)
        EXPECT_EQ(closed["registers"][i]["state"], "untouched") << name(i);
    EXPECT_EQ(closed["counts"]["untouched"], kRegisters - 2);
    // Both listed, the newer first.
    const Json list = get(again, "/api/v1/fleet")["operations"];
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["id"], id);
    EXPECT_EQ(list[1]["id"], before["id"]);
    // Waiting for an ended operation of an earlier run answers at once.
    EXPECT_EQ(get(again, "/api/v1/fleet/" + id + "?wait=30")["state"], "stopped");
}

INSTANTIATE_TEST_SUITE_P(Stores, ServeFleet, ::testing::ValuesIn(store_kinds()), store_kind_name);

// Closing an operation its service left running, case by case.
TEST(FleetSummary, AnInterruptedOperationIsClosedByItsJobsVerdicts) {
    const std::map<std::string, std::string> verdicts = {
        {"j-applied", "applied"}, {"j-unknown", "unknown"}, {"j-read", "succeeded"}};
    auto verdict_of = [&](const std::string& job) {
        const auto it = verdicts.find(job);
        return it == verdicts.end() ? std::string() : it->second;
    };
    struct Case {
        Json step;
        const char* state;  // after closing
    };
    const Case cases[] = {
        {{{"state", "applied"}, {"job", "j-applied"}}, "applied"},
        {{{"state", "running"}, {"job", "j-unknown"}}, "unknown"},
        {{{"state", "running"}, {"job", "j-applied"}}, "applied"},
        {{{"state", "running"}, {"job", "j-read"}}, "succeeded"},
        {{{"state", "running"}, {"job", "j-gone"}}, "untouched"},
        {{{"state", "running"}}, "untouched"},
        {{{"state", "waiting"}}, "untouched"},
        {{{"state", "comparing"}, {"compare_job", "c1"}}, "untouched"},
        {{{"state", "compared"}}, "untouched"},
        {{{"state", "refused"}}, "refused"},
        {{{"state", "not_applied"}, {"job", "j-x"}}, "not_applied"},
    };
    Json summary = {
        {"id", "fleet-1-5"}, {"state", "running"}, {"created_ms", 5}, {"registers", Json::array()}};
    for (const Case& c : cases) summary["registers"].push_back(c.step);
    const Json closed = tool::serve::close_interrupted(summary, verdict_of, 99);
    EXPECT_EQ(closed["state"], "stopped");
    EXPECT_EQ(closed["ended_ms"], 99);
    ASSERT_EQ(closed["registers"].size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].step.dump());
        EXPECT_EQ(closed["registers"][i]["state"], cases[i].state);
    }
    EXPECT_EQ(closed["registers"][1]["verdict"], "unknown");
    EXPECT_EQ(closed["counts"]["untouched"], 5);
    // One that had ended is left as it was.
    Json ended = summary;
    ended["state"] = "done";
    ended["ended_ms"] = 50;
    EXPECT_EQ(tool::serve::close_interrupted(ended, verdict_of, 99), ended);
}

}  // namespace
}  // namespace veltra::test
