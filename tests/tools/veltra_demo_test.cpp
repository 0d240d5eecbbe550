// `veltra demo`: the tour against its own simulated register passes and
// leaves its files; a step that fails is reported on its one line while the
// rest still run, and the exit status says so.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "command_table.hpp"
#include "sys/env.hpp"
#include "test_support.hpp"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;

struct DemoRun {
    int status = -1;
    std::string out, err;
};

DemoRun demo(std::vector<std::string> args, bool err_terminal = false) {
    args.insert(args.begin(), "demo");
    std::ostringstream out, err;
    std::istringstream in;
    tool::Io io{out, err, in, false, err_terminal};
    DemoRun r;
    r.status = tool::run_tool(args, io);
    r.out = out.str();
    r.err = err.str();
    return r;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The one file of dir whose name starts with prefix ("" when there is none or several).
std::string only_file(const fs::path& dir, const std::string& prefix) {
    std::string found;
    int n = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().filename().string().rfind(prefix, 0) == 0) found = e.path().string(), ++n;
    }
    return n == 1 ? found : "";
}

class Demo : public ::testing::Test {
protected:
    fs::path dir() const { return work_.path() / "tour"; }
    std::string file(const std::string& name) const { return (dir() / name).string(); }

    TempDir work_, temp_;
    EnvVar temp_var_{"TEMP", temp_.path().string()};
    // The demo sets the library's ports for its register and puts these back.
    EnvVar tftp_var_{"ECR_TFTP_PORT", "6969"};
    EnvVar line_var_{"ECR_LINE_PORT", std::nullopt};
};

TEST_F(Demo, PassesAndLeavesTheFilesItNames) {
    const DemoRun r = demo({dir().string()}, true);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("veltra demo: 7 of 7 steps ok; "), std::string::npos) << r.out;
    EXPECT_EQ(count(r.out, "    ok  "), 7u) << r.out;
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos) << r.out;

    // The article table: every record, and its bar drawn to its end once.
    EXPECT_EQ(read_lines(file("plu.csv")).size(), 100001u);
    EXPECT_NE(r.err.find("\rPLU.BIN ["), std::string::npos) << r.err;
    EXPECT_EQ(count(r.err, "PLU.BIN [########################] 100%"), 2u) << r.err;  // save too

    // Department 1 renamed in the CSV is what the register sends back.
    const std::vector<std::string> before = text_file_lines(file("reparti.csv"));
    const std::vector<std::string> after = text_file_lines(file("reparti-after.csv"));
    ASSERT_EQ(before.size(), 81u);
    ASSERT_EQ(after.size(), 81u);
    EXPECT_EQ(after[1].rfind("1;DEMO VELTRA;", 0), 0u) << after[1];
    EXPECT_NE(before[1], after[1]);
    EXPECT_EQ(std::vector<std::string>(before.begin() + 2, before.end()),
              std::vector<std::string>(after.begin() + 2, after.end()));
    EXPECT_EQ(text_file_lines(file("reparti-edited.csv")), after);

    // The keyed sale shows on the display and in the day's sales.
    EXPECT_NE(r.out.find("display: TOTALE         12,50"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("the keyed sale of 12,50 is in it"), std::string::npos) << r.out;
    EXPECT_NE(only_file(dir() / "sales", "VEND_REP_"), "");
    EXPECT_NE(only_file(dir() / "sales", "VEND_PLU_"), "");

    EXPECT_EQ(fs::file_size(file("backup.dat")), 7059616u);
    std::size_t members = 0;
    for (const auto& e : fs::directory_iterator(dir() / "backup")) members += e.is_regular_file();
    EXPECT_EQ(members, 15u);  // twelve files and three CSV
    EXPECT_EQ(read_lines((dir() / "backup" / "PLU.CSV").string()).size(), 100001u);

    EXPECT_EQ(fs::file_size(file("ELT5_V5.03.BIN")), 131072u);
    EXPECT_NE(r.out.find("installed: the register runs ELT5 V5.03"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::is_regular_file(file("ecrsim.log")));

    EXPECT_EQ(sys::env_get("ECR_TFTP_PORT"), "6969");
    EXPECT_EQ(sys::env_get("ECR_LINE_PORT"), std::nullopt);
}

struct FailingStep {
    const char* label;
    const char* fault;     // what the register does wrong
    const char* step;      // the step that fails
    const char* function;  // the function its failure line names
};
void PrintTo(const FailingStep& c, std::ostream* os) {
    *os << c.label;
}

class DemoFailure : public Demo, public ::testing::WithParamInterface<FailingStep> {};

TEST_P(DemoFailure, IsOneLineAndTheRestStillRun) {
    const FailingStep& c = GetParam();
    const DemoRun r = demo({dir().string(), "--fault", c.fault});
    EXPECT_EQ(r.status, 1);
    // Not a terminal: the failure line is all of stderr.
    EXPECT_EQ(r.err.rfind(std::string("veltra: ") + c.function + ": ", 0), 0u) << r.err;
    EXPECT_EQ(count(r.err, "\n"), 1u) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
    EXPECT_EQ(count(r.out, "    FAILED  "), 1u) << r.out;
    EXPECT_EQ(count(r.out, "    ok  "), 6u) << r.out;
    EXPECT_NE(r.out.find(std::string("6 of 7 steps ok; failed: ") + c.step + ";"),
              std::string::npos)
        << r.out;
    // The steps after the failing one made their files.
    EXPECT_EQ(fs::file_size(file("backup.dat")), 7059616u);
    EXPECT_TRUE(fs::is_regular_file(file("ELT5_V5.03.BIN")));
}

INSTANTIATE_TEST_SUITE_P(
    Tool, DemoFailure,
    ::testing::Values(FailingStep{"PluTable", "error:1:1@PLU.BIN", "PLU table to CSV",
                                  "ecr_recv_plu_all"},
                      FailingStep{"Release", "error:1:2@ELT5.BIN", "release checked and installed",
                                  "ecr_rel_update"}),
    [](const ::testing::TestParamInfo<FailingStep>& info) { return info.param.label; });

TEST_F(Demo, JsonIsOneObjectWithEveryStepsResult) {
    const DemoRun r = demo({dir().string(), "--json", "--fault", "error:1:1@PLU.BIN"});
    EXPECT_EQ(r.status, 1);
    const nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["dir"], dir().string());
    EXPECT_EQ(j["passed"], 6);
    EXPECT_EQ(j["failed"], 1);
    ASSERT_EQ(j["steps"].size(), 7u);
    const std::vector<std::string> names = {"status",
                                            "PLU table to CSV",
                                            "one department edited and uploaded",
                                            "a sale keyed on the register",
                                            "the day's sales to CSV",
                                            "backup saved, inspected, extracted",
                                            "release checked and installed"};
    for (std::size_t i = 0; i < names.size(); ++i) {
        const nlohmann::json& step = j["steps"][i];
        EXPECT_EQ(step["name"], names[i]);
        EXPECT_EQ(step["ok"], i != 1) << step.dump();
        EXPECT_GE(step["seconds"].get<double>(), 0.0);
        if (i == 1) {
            // The failure line is the one stderr carries.
            EXPECT_EQ(step["failure"].get<std::string>() + "\n", r.err);
        } else {
            EXPECT_TRUE(step["failure"].is_null()) << step.dump();
        }
    }
}

TEST_F(Demo, RefusesADirThatIsAFile) {
    write_file(dir().string(), "not a folder");
    const DemoRun r = demo({dir().string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("is not a folder"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(dir().string()), "not a folder");
}

TEST_F(Demo, RefusesAFaultItCannotRead) {
    const DemoRun r = demo({dir().string(), "--fault", "sometimes"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("not a fault: sometimes"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir()));
}

}  // namespace
}  // namespace veltra::test
