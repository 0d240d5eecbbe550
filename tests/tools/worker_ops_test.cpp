// The service worker's operations against ecrsim: a table upload as one job
// (one download, the refusal rules, the upload, the fingerprint before it),
// and the verify op that settles a job's change by reading the register again.
#include "worker_ops.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <iostream>
#include <sstream>

#include "tool_fixture.hpp"
#include "veltra.h"
#include "verdict.hpp"
#include "worker_protocol.hpp"

namespace veltra::test {
namespace {

using Json = nlohmann::json;

// What the worker writes on stdout besides its answer, kept while alive.
class CapturedStdout {
public:
    CapturedStdout() : old_(std::cout.rdbuf(text_.rdbuf())) {}
    ~CapturedStdout() { std::cout.rdbuf(old_); }
    CapturedStdout(const CapturedStdout&) = delete;
    CapturedStdout& operator=(const CapturedStdout&) = delete;

    // The objects of the lines that start with mark.
    std::vector<Json> marked(const char* mark) const {
        std::vector<Json> found;
        std::istringstream in(text_.str());
        for (std::string line; std::getline(in, line);)
            if (line.rfind(mark, 0) == 0) found.push_back(Json::parse(line.substr(strlen(mark))));
        return found;
    }

private:
    std::ostringstream text_;
    std::streambuf* old_;
};

class WorkerOps : public ToolOnEcrsim {
protected:
    Json op(Json request) {
        request["host"] = "127.0.0.1";
        return tool::serve::run_op(request);
    }
    // The department CSV as downloaded, with edit applied to each line.
    std::string reparti_csv(const std::function<void(std::string&)>& edit) {
        EXPECT_EQ(veltra({"tables", "get", "reparti", path("rep.csv")}).status, 0);
        std::string csv;
        for (std::string line : read_lines(path("rep.csv"))) {
            edit(line);
            if (!line.empty()) csv += line + "\n";
        }
        write_file(path("put.csv"), csv);
        reg_->clear_transcript();
        return path("put.csv");
    }
    std::string renamed_csv() {
        return reparti_csv([](std::string& line) {
            if (line.rfind("1;FRUTTA;", 0) == 0) line.replace(2, 6, "MELE");
        });
    }
    std::size_t gets_of(const std::string& name) const {
        const auto gets = reg_->transcript().gets;
        return static_cast<std::size_t>(std::count(gets.begin(), gets.end(), name));
    }
    Json fingerprint_now() const {
        tool::Fingerprint fp;
        EXPECT_EQ(tool::read_fingerprint("127.0.0.1", fp), 0);
        return fp.to_json();
    }
    void stop_register() { reg_->stop(); }
};

TEST_F(WorkerOps, AConfirmedUploadDownloadsOnceUploadsAndIsApplied) {
    const std::string csv = renamed_csv();
    CapturedStdout out;
    const Json a = op({{"op", "tables-put"}, {"table", "reparti"}, {"file", csv}});
    ASSERT_EQ(a["status"], 0) << a.dump();
    EXPECT_EQ(a["result"]["verdict"], "applied");
    EXPECT_EQ(a["result"]["changed"], 1);
    EXPECT_EQ(a["result"]["uploaded"], true);
    EXPECT_EQ(gets_of("REPARTI.BIN"), 1u) << "one download: the comparison's";
    EXPECT_EQ(put_names(), std::vector<std::string>{"REPARTI.BIN"});
    // The fingerprint before the upload, as the service keeps it.
    const auto before = out.marked(tool::serve::kBeforeMark);
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0]["NUM_AZZ"], a["result"]["evidence"]["before"]["NUM_AZZ"]);
    EXPECT_TRUE(before[0].contains("TOT_GIORNO"));
}

struct RefusedCase {
    const char* name;
    std::function<void(std::string&)> edit;
    bool dry_run;
    bool allow_reset;
    const char* reason;  // in err
};
void PrintTo(const RefusedCase& c, std::ostream* os) {
    *os << c.name;
}

class RefusedUpload : public WorkerOps, public ::testing::WithParamInterface<RefusedCase> {};

// Refused in the same job, after its one download: nothing is sent, no
// fingerprint is read for a change that is not made.
TEST_P(RefusedUpload, DownloadsOnceAndSendsNothing) {
    const RefusedCase& c = GetParam();
    const std::string csv = reparti_csv(c.edit);
    const ecrsim::Bytes table = *reg_->file("REPARTI.BIN");
    CapturedStdout out;
    const Json a = op({{"op", "tables-put"},
                       {"table", "reparti"},
                       {"file", csv},
                       {"dry_run", c.dry_run},
                       {"allow_reset", c.allow_reset}});
    EXPECT_EQ(a["status"], 2) << a.dump();
    EXPECT_NE(a["err"].get<std::string>().find(c.reason), std::string::npos) << a.dump();
    EXPECT_EQ(a["result"]["refused"], a["err"]);
    EXPECT_EQ(a["result"]["uploaded"], false);
    EXPECT_EQ(gets_of("REPARTI.BIN"), 1u);
    EXPECT_TRUE(put_names().empty());
    EXPECT_EQ(*reg_->file("REPARTI.BIN"), table);
    EXPECT_TRUE(out.marked(tool::serve::kBeforeMark).empty());
}

void commas(std::string& line) {
    if (line.rfind("2;", 0) == 0) std::replace(line.begin(), line.end(), ';', ',');
}
void drop_first(std::string& line) {
    if (line.rfind("1;FRUTTA;", 0) == 0) line.clear();
}
void nothing_applies(std::string& line) {
    line = "x;y";
}

INSTANTIATE_TEST_SUITE_P(
    Rules, RefusedUpload,
    ::testing::Values(
        RefusedCase{"BadLine", commas, false, false, "1 line of the CSV do not parse: 3"},
        RefusedCase{"BadLineWithAllowReset", commas, false, true, "do not parse"},
        RefusedCase{"BadLineInADryRun", commas, true, false, "do not parse"},
        RefusedCase{"Reset", drop_first, false, false, "would reset 1 reparti records"},
        RefusedCase{"NothingApplies", nothing_applies, false, true, "no line of the CSV applies"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WorkerOps, ADryRunComparesAndNeverUploads) {
    const std::string csv = reparti_csv(drop_first);
    const Json a =
        op({{"op", "tables-put"}, {"table", "reparti"}, {"file", csv}, {"dry_run", true}});
    ASSERT_EQ(a["status"], 0) << a.dump();
    EXPECT_EQ(a["result"]["reset"], 1) << "a dry run lists resets, it does not refuse them";
    EXPECT_EQ(a["result"]["dry_run"], true);
    EXPECT_FALSE(a["result"].contains("refused"));
    EXPECT_EQ(gets_of("REPARTI.BIN"), 1u);
    EXPECT_TRUE(put_names().empty());
}

TEST_F(WorkerOps, ACommandHandsBackItsResultObjectAndFingerprint) {
    const std::int64_t closures = std::stoll(reg_->info_values()[6]);
    CapturedStdout out;
    const Json a = op({{"op", "command"}, {"name", "azzfis"}});
    ASSERT_EQ(a["status"], 0) << a.dump();
    EXPECT_EQ(a["result"]["function"], "ecr_command");
    EXPECT_EQ(a["result"]["verdict"], "applied");
    const auto before = out.marked(tool::serve::kBeforeMark);
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0]["NUM_AZZ"], closures);
    EXPECT_EQ(std::stoll(reg_->info_values()[6]), closures + 1);
}

TEST_F(WorkerOps, AMalformedOpIsABadRequest) {
    EXPECT_THROW(op({{"op", "command"}, {"name", "format"}}), std::exception);
    EXPECT_THROW(op({{"op", "no-such-op"}}), std::exception);
    EXPECT_THROW(op({{"op", "verify"}, {"kind", "tables get plu"}}), std::exception);
}

// The verify op: the register read again, the job's rule applied.
class VerifyOp : public WorkerOps {
protected:
    Json verify(const std::string& kind, const Json& request, const Json& before) {
        return op({{"op", "verify"}, {"kind", kind}, {"request", request}, {"before", before}});
    }
    void expect_verdict(const Json& a, const char* verdict, int status) {
        EXPECT_EQ(a["status"], status) << a.dump();
        EXPECT_EQ(a["result"]["verdict"], verdict) << a.dump();
        EXPECT_FALSE(a["result"]["reason"].get<std::string>().empty());
        EXPECT_TRUE(a["result"].contains("evidence"));
    }
};

TEST_F(VerifyOp, ACommandIsSettledByItsCountersAgainstBefore) {
    const Json before = fingerprint_now();
    const Json request = {{"op", "command"}, {"name", "azzfis"}};
    expect_verdict(verify("command azzfis", request, before), "not_applied", 1);
    ASSERT_EQ(ecr_command("127.0.0.1", "", 8, nullptr, 0), 0);
    const Json a = verify("command azzfis", request, before);
    expect_verdict(a, "applied", 0);
    EXPECT_EQ(a["result"]["evidence"]["changes"]["NUM_AZZ"]["after"],
              before["NUM_AZZ"].get<std::int64_t>() + 1);
    expect_verdict(verify("command azzfis", request, nullptr), "unknown", 3);
}

TEST_F(VerifyOp, ATableUploadIsSettledByItsReadBack) {
    const std::string csv = renamed_csv();
    const Json request = {{"op", "tables-put"}, {"table", "reparti"}, {"file", csv}};
    expect_verdict(verify("tables put reparti", request, nullptr), "not_applied", 1);
    ASSERT_GT(ecr_send_reparti("127.0.0.1", csv.c_str()), 0);
    const Json a = verify("tables put reparti", request, nullptr);
    expect_verdict(a, "applied", 0);
    EXPECT_EQ(a["result"]["evidence"]["read_back"]["records"], 80);
    const Json gone = {{"op", "tables-put"}, {"table", "reparti"}, {"file", path("gone.csv")}};
    expect_verdict(verify("tables put reparti", gone, nullptr), "unknown", 3);
}

TEST_F(VerifyOp, KeysStayUnknown) {
    expect_verdict(verify("keys", {{"op", "keys"}, {"keys", {"1"}}}, fingerprint_now()), "unknown",
                   3);
}

// The case users met: the register closes the day, its answer is lost, and
// the job is verified later.
TEST_F(VerifyOp, ALostAnswerOfAClosureIsAppliedSlow) {
    const Json before = fingerprint_now();
    port_.reset();
    line_port_.reset();
    reg_.reset();
    ecrsim::Options o;
    o.address = "127.0.0.1";
    o.state_dir = state_.path();
    o.busy_ms = 200;
    o.linger_ms = 0;
    reg_ = std::make_unique<ecrsim::Register>(o);
    port_ = std::make_unique<EnvVar>("ECR_TFTP_PORT", std::to_string(reg_->tftp_port()));
    line_port_ = std::make_unique<EnvVar>("ECR_LINE_PORT", std::to_string(reg_->line_port()));
    auto f = ecrsim::parse_tftp_fault("drop:out:2@COMMAND.TXT");
    ASSERT_TRUE(f);
    f->transfers = 1;
    reg_->add_fault(*f);
    EXPECT_LT(ecr_command("127.0.0.1", "", 8, nullptr, 0), 0) << "the answer is lost";
    const Json a = verify("command azzfis", {{"op", "command"}, {"name", "azzfis"}}, before);
    expect_verdict(a, "applied", 0);
    EXPECT_EQ(a["result"]["evidence"]["answer"], "lost");
}

TEST_F(VerifyOp, AStoppedRegisterIsUnknownSlow) {
    const Json before = fingerprint_now();
    const std::string csv = renamed_csv();
    stop_register();
    expect_verdict(verify("command azzfis", {{"op", "command"}, {"name", "azzfis"}}, before),
                   "unknown", 3);
    expect_verdict(verify("tables put reparti",
                          {{"op", "tables-put"}, {"table", "reparti"}, {"file", csv}}, nullptr),
                   "unknown", 3);
}

}  // namespace
}  // namespace veltra::test
