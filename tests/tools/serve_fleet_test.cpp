// Operations over a group: a service with six registers in one group, a
// table pushed to all of them (each compared first; canaries; stopping at
// the first failure when asked), and a backup and the day's sales of each,
// driven through `veltra fleet` as a head office would.
#include "serve_fixture.hpp"
#include "tool_fixture.hpp"

namespace veltra::test {
namespace {

constexpr int kRegisters = 6;

class ServeFleet : public ::testing::Test {
protected:
    void SetUp() override {
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
        service_ = std::make_unique<sys::ChildProcess>(
            VELTRA_TOOL_PROGRAM, args, work_.path().string(), std::map<std::string, std::string>{});
        port_ = listening_port(*service_);
        ASSERT_GT(port_, 0) << "the service did not start";
    }
    static std::string name(int i) { return "r" + std::to_string(i + 1); }
    std::string service_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // The articles table of the first register with one article renamed:
    // a change every register takes without resetting anything.
    std::string edited_plu() {
        http::Client c("127.0.0.1", port_);
        c.set_timeout(std::chrono::seconds(60));
        const auto r = c.get("/api/v1/registers/r1/tables/plu");
        EXPECT_TRUE(r && r->status == 200);
        std::string csv = r ? r->body : "";
        const std::size_t line2 = csv.find('\n') + 1;
        const std::size_t field2 = csv.find(';', line2) + 1;
        csv.replace(field2, csv.find(';', field2) - field2, "ARTICOLO FLOTTA");
        const std::string file = (work_.path() / "plu.csv").string();
        write_file(file, csv);
        return file;
    }
    // Articles tables written to the register, as its transcript shows them.
    std::size_t plu_puts(int i) const {
        std::size_t n = 0;
        for (const auto& p : regs_[static_cast<std::size_t>(i)]->transcript().puts)
            n += p.name == "PLU.BIN";
        return n;
    }
    ToolRun fleet(std::vector<std::string> args) {
        args.insert(args.begin(), "fleet");
        args.insert(args.end(), {"--service", service_url(), "--json"});
        return run_tool(args);
    }
    // The third transfer of PLU.BIN (after the comparison's and the upload
    // job's own downloads) is the upload: its first block is refused.
    void refuse_upload(int i) {
        regs_[static_cast<std::size_t>(i)]->add_fault(
            *ecrsim::parse_tftp_fault("error:2:3@PLU.BIN#3"));
    }
    std::vector<std::string> states(const Json& op) const {
        std::vector<std::string> s;
        for (const Json& step : op["registers"]) s.push_back(step["state"]);
        return s;
    }

    TempDir work_;
    std::vector<std::unique_ptr<TempDir>> states_;
    std::vector<std::unique_ptr<ecrsim::Register>> regs_;
    std::unique_ptr<sys::ChildProcess> service_;
    int port_ = 0;
};

TEST_F(ServeFleet, APushReachesEveryRegisterOnce) {
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

TEST_F(ServeFleet, StopOnFailureLeavesTheRestUntouched) {
    start();
    const std::string csv = edited_plu();
    refuse_upload(3);
    const ToolRun r =
        fleet({"tables", "put", "plu", csv, "--group", "shops", "--yes", "--stop-on-failure"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const Json op = r.json();
    EXPECT_EQ(op["state"], "stopped");
    EXPECT_EQ(states(op), (std::vector<std::string>{"applied", "applied", "applied", "not_applied",
                                                    "untouched", "untouched"}));
    EXPECT_NE(op["reason"].get<std::string>().find("r4 did not take the table"), std::string::npos);
    EXPECT_EQ(op["counts"]["applied"], 3);
    EXPECT_EQ(op["counts"]["untouched"], 2);
    for (int i : {0, 1, 2}) EXPECT_EQ(plu_puts(i), 1u) << name(i);
    for (int i : {3, 4, 5}) EXPECT_EQ(plu_puts(i), 0u) << name(i);
}

TEST_F(ServeFleet, AFailedCanaryStopsThePushWithoutStopOnFailure) {
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

TEST_F(ServeFleet, WithoutStopOnFailureTheOthersStillTakeIt) {
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

TEST_F(ServeFleet, ATableOneRegisterWouldRefuseIsUploadedNowhere) {
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

TEST_F(ServeFleet, BackupAndSalesOfEveryRegister) {
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

TEST_F(ServeFleet, UnknownGroupsAndBadRequestsAreRefused) {
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

}  // namespace
}  // namespace veltra::test
