// veltra serve keeps the sales it exports: the reports over its history
// equal the sums of the CSV files the same jobs handed out, a day exported
// again is replaced, and the history outlives the service.
#include <map>

#include "serve_fixture.hpp"
#include "tool_fixture.hpp"

namespace veltra::test {
namespace {

constexpr std::uint32_t kDay = 86400;
constexpr std::uint32_t k20240120 = 1705708800;  // 20 January 2024

// Sums of the files of a sales answer: by number (column 0) of the amount
// column, per kind ("REP", "PLU") and per day (YYYY-MM-DD).
struct CsvSums {
    std::map<std::string, std::map<std::int64_t, std::int64_t>> by_number;
    std::map<std::string, std::int64_t> rep_by_day;
    std::int64_t rep_total = 0, plu_total = 0;
};

CsvSums sums_of(const Json& files) {
    CsvSums s;
    for (const auto& [name, text] : files.items()) {
        const std::string kind = name.substr(5, 3);
        const int amount_column = kind == "REP" ? 14 : 9;
        const std::string day =
            "20" + name.substr(13, 2) + "-" + name.substr(11, 2) + "-" + name.substr(9, 2);
        std::istringstream in(text.get<std::string>());
        std::string line;
        std::getline(in, line);  // header
        while (std::getline(in, line)) {
            const std::int64_t amount = std::stoll(csv_field(line, amount_column));
            s.by_number[kind][std::stoll(csv_field(line, 0))] += amount;
            if (kind == "REP") {
                s.rep_by_day[day] += amount;
                s.rep_total += amount;
            } else {
                s.plu_total += amount;
            }
        }
    }
    return s;
}

class ServeSalesHistory : public ServeOnTwoRegisters,
                          public ::testing::WithParamInterface<StoreKind> {
protected:
    void SetUp() override {
        ServeOnTwoRegisters::SetUp();
        if (!use_store(GetParam())) GTEST_SKIP() << store_.why_not();
    }
    // Archived days on shop1 from 20 January 2024, the simulator's sample
    // sales; department 1's name has a Latin-1 letter.
    void archive_days(int days) {
        auto tables = ecrsim::load_sales_tables(shop1_->state_dir(), ecrsim::Layout{});
        const std::string frutta = "FRUTTA";
        auto at =
            std::search(tables.reparti.begin(), tables.reparti.end(), frutta.begin(), frutta.end());
        ASSERT_NE(at, tables.reparti.end());
        *(at + 5) = static_cast<std::uint8_t>(0xC0);  // FRUTTÀ
        for (int d = 0; d < days; ++d) {
            const std::uint32_t oro = k20240120 + static_cast<std::uint32_t>(d) * kDay;
            shop1_->put_file("VEND" + ecrsim::oro_ddmmyy(oro) + ".DAT",
                             ecrsim::build_sales_file(ecrsim::sample_day(d), oro, tables));
        }
    }

    std::map<std::int64_t, std::int64_t> groups(const Json& report, const char* key) {
        std::map<std::int64_t, std::int64_t> out;
        for (const Json& g : report["groups"]) out[g[key].get<std::int64_t>()] = g["amount_cents"];
        return out;
    }
};

TEST_P(ServeSalesHistory, ReportsEqualTheFilesTheExportHandedOut) {
    archive_days(20);
    start();
    const Json answer = get_json("/api/v1/registers/shop1/sales?from=20-01-24&to=08-02-24");
    ASSERT_EQ(answer["state"], "succeeded") << answer.dump().substr(0, 400);
    EXPECT_EQ(answer["result"]["history"]["stored"], true) << answer["result"].dump();
    EXPECT_EQ(answer["result"]["history"]["days"], 20);
    // The Latin-1 name reaches JSON as UTF-8.
    EXPECT_NE(answer["files"]["VEND_REP_200124.CSV"].get<std::string>().find("FRUTT\xC3\x80"),
              std::string::npos);
    const CsvSums csv = sums_of(answer["files"]);

    const std::string range = "/api/v1/reports/sales?from=20-01-24&to=08-02-24&register=shop1";
    const Json deps = get_json(range + "&by=department");
    EXPECT_EQ(groups(deps, "department"), csv.by_number.at("REP"));
    EXPECT_EQ(deps["total"]["amount_cents"], csv.rep_total);
    EXPECT_DOUBLE_EQ(deps["total"]["amount"].get<double>(), csv.rep_total / 100.0);
    bool named = false;
    for (const Json& g : deps["groups"]) named = named || g["descr"] == "FRUTT\xC3\x80";
    EXPECT_TRUE(named) << deps.dump();

    const Json arts = get_json(range + "&by=article");
    EXPECT_EQ(groups(arts, "article"), csv.by_number.at("PLU"));
    EXPECT_EQ(arts["articles_total"]["amount_cents"], csv.plu_total);

    const Json days = get_json(range + "&by=day");
    std::map<std::string, std::int64_t> by_day;
    for (const Json& g : days["groups"]) by_day[g["day"]] = g["amount_cents"];
    EXPECT_EQ(by_day, csv.rep_by_day);
    EXPECT_EQ(days["days"], 20);

    // A part of the range: only its days.
    const Json part = get_json("/api/v1/reports/sales?from=31-01-24&to=01-02-24");
    EXPECT_EQ(part["total"]["amount_cents"],
              csv.rep_by_day.at("2024-01-31") + csv.rep_by_day.at("2024-02-01"));

    // The same numbers for Excel: a BOM, CR LF, decimal commas.
    auto c = client();
    auto excel = c.get(range + "&by=day&format=excel-csv");
    ASSERT_TRUE(excel);
    EXPECT_EQ(excel->status, 200);
    EXPECT_EQ(excel->body.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_NE(excel->body.find("\r\n"), std::string::npos);
}

TEST_P(ServeSalesHistory, TodayExportedAgainIsReplacedNotAdded) {
    ecrsim::SalesBook book;
    book.sell_department(3, 1250, 2);
    shop1_->set_sales(book);
    start();
    const Json first = get_json("/api/v1/registers/shop1/sales/today");
    ASSERT_EQ(first["state"], "succeeded") << first.dump();
    const std::string name = first["files"].begin().key();
    const std::string day = name.substr(9, 2) + "-" + name.substr(11, 2) + "-" + name.substr(13, 2);
    const std::string report = "/api/v1/reports/sales?from=" + day + "&to=" + day;
    EXPECT_EQ(get_json(report)["total"]["amount_cents"], 1250);

    book.sell_department(4, 700, 1);
    shop1_->set_sales(book);
    const Json second = get_json("/api/v1/registers/shop1/sales/today");
    ASSERT_EQ(second["state"], "succeeded");
    EXPECT_EQ(get_json(report)["total"]["amount_cents"], sums_of(second["files"]).rep_total);
    EXPECT_EQ(get_json(report)["total"]["amount_cents"], 1950);

    // The history outlives the service.
    service_.reset();
    port_ = 0;
    start();
    EXPECT_EQ(get_json(report)["total"]["amount_cents"], 1950);
    EXPECT_EQ(get_json(report + "&by=register")["groups"][0]["register"], "shop1");
}

TEST_P(ServeSalesHistory, BadQueriesAreRefusedWithTheirReason) {
    start();
    struct Case {
        const char* what;
        std::string query;
        int status;
    };
    const Case cases[] = {
        {"no dates", "", 400},
        {"31 April", "from=31-04-24&to=01-05-24", 400},
        {"from after to", "from=02-01-24&to=01-01-24", 400},
        {"eleven years", "from=01-01-14&to=02-01-25", 400},
        {"unknown grouping", "from=01-01-24&to=02-01-24&by=week", 400},
        {"top not a number", "from=01-01-24&to=02-01-24&by=article&top=-1", 400},
        {"unknown format", "from=01-01-24&to=02-01-24&format=pdf", 400},
        {"register never kept", "from=01-01-24&to=02-01-24&register=nowhere", 404},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const Json j = get_json("/api/v1/reports/sales?" + k.query, k.status);
        EXPECT_TRUE(j.contains("error")) << j.dump();
    }
    // Nothing kept yet: an empty report, not an error.
    const Json empty = get_json("/api/v1/reports/sales?from=01-01-24&to=31-12-24");
    EXPECT_EQ(empty["days"], 0);
    EXPECT_EQ(empty["total"]["amount_cents"], 0);
}

INSTANTIATE_TEST_SUITE_P(Stores, ServeSalesHistory, ::testing::ValuesIn(store_kinds()),
                         store_kind_name);

}  // namespace
}  // namespace veltra::test
