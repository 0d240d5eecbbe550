// veltra sales import and sales report: archived days fetched with
// `sales range`, kept, and read back as JSON, a terminal table and a CSV for
// Excel, each equal to the sums of the CSV files the library wrote.
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "test_store.hpp"
#include "tool_fixture.hpp"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kDay = 86400;
constexpr std::uint32_t k20240125 = 1706140800;  // 25 January 2024

// The amount column summed, per file kind and per day (ddmmyy).
struct Sums {
    std::int64_t rep = 0, plu = 0;
    std::map<std::string, std::int64_t> rep_by_day;
};

Sums sums_in(const fs::path& dir) {
    Sums s;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        const bool rep = name.rfind("VEND_REP_", 0) == 0;
        std::ifstream in(e.path());
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            const std::int64_t amount = std::stoll(csv_field(line, rep ? 14 : 9));
            (rep ? s.rep : s.plu) += amount;
            if (rep) s.rep_by_day[name.substr(9, 6)] += amount;
        }
    }
    return s;
}

class SalesReportTool : public ToolOnEcrsim, public ::testing::WithParamInterface<StoreKind> {
protected:
    void SetUp() override {
        ToolOnEcrsim::SetUp();
        if (!store_.use(GetParam(), work_.path() / "state")) GTEST_SKIP() << store_.why_not();
        const auto tables = ecrsim::load_sales_tables(reg_->state_dir(), ecrsim::Layout{});
        for (int d = 0; d < 12; ++d) {
            const std::uint32_t oro = k20240125 + static_cast<std::uint32_t>(d) * kDay;
            reg_->put_file("VEND" + ecrsim::oro_ddmmyy(oro) + ".DAT",
                           ecrsim::build_sales_file(ecrsim::sample_day(d), oro, tables));
        }
        csv_ = work_.path() / "vendite";
        state_ = (work_.path() / "state").string();
        ASSERT_EQ(veltra({"sales", "range", "25/01/24", "05/02/24", csv_.string()}).status, 0);
        sums_ = sums_in(csv_);
    }
    ToolRun report(std::vector<std::string> extra) {
        std::vector<std::string> args = {"sales", "report", "25/01/24", "05/02/24"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_tool(with_store(args));
    }
    ToolRun import() {
        return run_tool(
            with_store({"--json", "sales", "import", csv_.string(), "--register", "cassa1"}));
    }

    // The command with the history's store: --state-dir, or --store and
    // --store-schema.
    std::vector<std::string> with_store(std::vector<std::string> args) const {
        for (const std::string& o : store_.tool_options()) args.push_back(o);
        return args;
    }

    fs::path csv_;
    std::string state_;
    TestStore store_;
    Sums sums_;
};

TEST_P(SalesReportTool, ImportedDaysReportTheSumsOfTheirFiles) {
    const ToolRun imported = import();
    ASSERT_EQ(imported.status, 0) << imported.err;
    EXPECT_EQ(imported.json()["days"], 12);
    // A journal in PostgreSQL needs no state folder: nothing is made where
    // the command ran.
    if (store_.kind() == StoreKind::postgresql) {
        EXPECT_FALSE(fs::exists(fs::current_path() / "files"));
    }
    const ToolRun deps = run_tool(
        with_store({"--json", "sales", "report", "25/01/24", "05/02/24", "--by", "department"}));
    ASSERT_EQ(deps.status, 0) << deps.err;
    EXPECT_EQ(deps.json()["total"]["amount_cents"], sums_.rep);
    const ToolRun arts = run_tool(
        with_store({"--json", "sales", "report", "25/01/24", "05/02/24", "--by", "article"}));
    const ToolJson articles = arts.json();
    EXPECT_EQ(articles["articles_total"]["amount_cents"], sums_.plu);
    std::int64_t groups = 0;
    for (const auto& g : articles["groups"]) groups += g["amount_cents"].get<std::int64_t>();
    EXPECT_EQ(groups, sums_.plu);
    // Imported again, the days are replaced, not added.
    ASSERT_EQ(import().status, 0);
    EXPECT_EQ(run_tool(with_store({"--json", "sales", "report", "25/01/24", "05/02/24"}))
                  .json()["total"]["amount_cents"],
              sums_.rep);
}

TEST_P(SalesReportTool, TheTerminalTableDrawsEachDayToScale) {
    ASSERT_EQ(import().status, 0);
    const ToolRun table = report({});
    ASSERT_EQ(table.status, 0) << table.err;
    std::int64_t largest = 0;
    for (const auto& [day, amount] : sums_.rep_by_day) largest = std::max(largest, amount);
    std::istringstream in(table.out);
    std::string line;
    int days = 0;
    std::size_t longest = 0;
    while (std::getline(in, line)) {
        // "25/01/24    1.234,56 €   42  ####"
        if (line.size() < 8 || line[2] != '/' || line[5] != '/') continue;
        const std::string ddmmyy = line.substr(0, 2) + line.substr(3, 2) + line.substr(6, 2);
        ASSERT_TRUE(sums_.rep_by_day.count(ddmmyy)) << line;
        const std::size_t bar = line.size() - line.find_last_not_of('#') - 1;
        const double want =
            40.0 * static_cast<double>(sums_.rep_by_day[ddmmyy]) / static_cast<double>(largest);
        EXPECT_NEAR(static_cast<double>(bar), want, 1.0) << line;
        longest = std::max(longest, bar);
        ++days;
    }
    EXPECT_EQ(days, 12);
    EXPECT_EQ(longest, 40u);
    EXPECT_NE(table.out.find("\ntotale"), std::string::npos) << table.out;
}

TEST_P(SalesReportTool, TheCsvForExcelIsWholeWithItsTotal) {
    ASSERT_EQ(import().status, 0);
    const fs::path file = work_.path() / "vendite.csv";
    ASSERT_EQ(report({"--excel-csv", file.string()}).status, 0);
    std::ifstream in(file, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_EQ(text.find('\n'), text.find("\r\n") + 1);
    char cents[8];
    std::snprintf(cents, sizeof cents, ",%02d", static_cast<int>(sums_.rep % 100));
    EXPECT_NE(text.find(std::to_string(sums_.rep / 100) + cents), std::string::npos) << text;
    EXPECT_FALSE(fs::exists(file.string() + ".part"));
}

TEST_P(SalesReportTool, MistakesAreRefusedAndABadFileKeepsNothing) {
    // A file that is not what the library writes: the import keeps no day.
    std::ofstream(csv_ / "VEND_REP_260124.CSV", std::ios::app) << "not;a;line\n";
    const ToolRun bad = import();
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("VEND_REP_260124.CSV"), std::string::npos) << bad.err;
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {"nothing kept yet", {"--register", "cassa1"}, 2},
        {"unknown grouping", {"--by", "week"}, 2},
        {"two files at once", {"--xlsx", "a.xlsx", "--excel-csv", "a.csv"}, 2},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        EXPECT_EQ(report(k.args).status, k.status);
    }
    EXPECT_EQ(run_tool(with_store({"sales", "report", "30/02/24", "05/02/24"})).status, 2);
}

INSTANTIATE_TEST_SUITE_P(Stores, SalesReportTool, ::testing::ValuesIn(store_kinds()),
                         store_kind_name);

}  // namespace
}  // namespace veltra::test
