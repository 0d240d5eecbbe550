// Table uploads through the service: a CSV with lines that do not parse is
// refused with their numbers, one that resets records needs allow_reset=1,
// and the register's table stays as it was when refused.
#include <functional>

#include "serve_fixture.hpp"

namespace veltra::test {
namespace {

using Lines = std::vector<std::string>;

Lines split_lines(const std::string& text) {
    Lines lines;
    std::size_t at = 0;
    for (std::size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
        std::string line = text.substr(at, nl - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();  // Windows writes CRLF
        lines.push_back(std::move(line));
    }
    return lines;
}

std::string joined(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

struct UploadCase {
    const char* name;
    std::function<Lines(Lines)> edit;  // of the downloaded CSV (a header, 80 rows)
    const char* query;
    int status;
    std::string message;  // in the error; "" for none
    bool uploaded;
    std::string row_after = "";  // in the table afterwards, when uploaded
};

void PrintTo(const UploadCase& c, std::ostream* os) {
    *os << c.name;
}

// Downloads of a register file, as the register logged them.
std::size_t gets_of(const ecrsim::Register& r, const std::string& name) {
    const auto gets = r.transcript().gets;
    return static_cast<std::size_t>(std::count(gets.begin(), gets.end(), name));
}

class TableUploads : public ServeOnTwoRegisters,
                     public ::testing::WithParamInterface<UploadCase> {};

// 80 lines: row 1 with ";", rows 2 to 80 written with "," by a spreadsheet
// of another locale.
Lines commas(Lines l) {
    l.erase(l.begin());
    for (std::size_t i = 1; i < l.size(); ++i) std::replace(l[i].begin(), l[i].end(), ';', ',');
    return l;
}

// Rows 1 to 3 (FRUTTA, VERDURA, PANE) left out.
Lines without_first_three(Lines l) {
    l.erase(l.begin() + 1, l.begin() + 4);
    return l;
}

Lines renamed_first(Lines l) {
    l[1].replace(0, l[1].find(';', 2), "1;MELE");
    return l;
}

TEST_P(TableUploads, RefusedOrUploaded) {
    const UploadCase& c = GetParam();
    start();
    const std::string before = get_csv("shop1", "reparti");
    const std::string csv = joined(c.edit(split_lines(before)));
    ASSERT_NE(csv, before);
    const std::size_t changes = changes_of(*shop1_);
    const std::size_t downloads = gets_of(*shop1_, "REPARTI.BIN");
    auto put = client().put(std::string("/api/v1/registers/shop1/tables/reparti?") + c.query, csv,
                            "text/csv", kChange);
    ASSERT_TRUE(put);
    EXPECT_EQ(put->status, c.status) << put->body;
    // One job: the comparison's download, and no other (an acknowledged
    // upload needs no read-back).
    EXPECT_EQ(gets_of(*shop1_, "REPARTI.BIN"), downloads + 1);
    const Json j = Json::parse(put->body);
    if (!c.message.empty()) {
        EXPECT_NE(j["error"]["message"].get<std::string>().find(c.message), std::string::npos)
            << put->body;
        // The comparison that refused it comes with the refusal.
        EXPECT_EQ(j["result"]["applied"].is_number(), true) << put->body;
    }
    if (c.status == 200) {
        EXPECT_EQ(j["result"]["verdict"], "applied") << put->body;
    }
    EXPECT_EQ(changes_of(*shop1_) > changes, c.uploaded);
    const std::string after = get_csv("shop1", "reparti");
    if (c.uploaded) {
        const Lines rows = split_lines(after);
        EXPECT_NE(std::find(rows.begin(), rows.end(), c.row_after), rows.end()) << after;
    } else {
        EXPECT_EQ(after, before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Serve, TableUploads,
    ::testing::Values(
        UploadCase{"CommaSeparatedLinesAreNamed", commas, "confirm=1", 400,
                   "79 lines of the CSV do not parse: 2-80 (line 2: 1 field separated by ';', 12 "
                   "expected); nothing uploaded",
                   false},
        UploadCase{"BadLinesAreRefusedEvenWithAllowReset", commas, "confirm=1&allow_reset=1", 400,
                   "79 lines of the CSV do not parse", false},
        UploadCase{"BadLinesAreRefusedByADryRunToo", commas, "dry_run=1", 400,
                   "79 lines of the CSV do not parse", false},
        UploadCase{"ResetsAreRefusedAndNamed", without_first_three, "confirm=1", 400,
                   "would reset 3 reparti records to their defaults (1 FRUTTA, 2 VERDURA, 3 PANE)",
                   false},
        UploadCase{"ResetsGoThroughWithAllowReset", without_first_three, "confirm=1&allow_reset=1",
                   200, "", true, "1;REPARTO 1;1;0;0;1;1;0;0;0;0;0"},
        UploadCase{"ACleanUploadGoesThrough", renamed_first, "confirm=1", 200, "", true,
                   "1;MELE;2;0;0;1;1;0;0;99999;0;0"}),
    [](const ::testing::TestParamInfo<UploadCase>& info) { return std::string(info.param.name); });

TEST_F(ServeOnTwoRegisters, ATableUploadDryRunListsWhatWouldBeReset) {
    start();
    const std::string before = get_csv("shop1", "reparti");
    auto dry = client().put("/api/v1/registers/shop1/tables/reparti?dry_run=1",
                            joined(without_first_three(split_lines(before))), "text/csv", kChange);
    ASSERT_TRUE(dry);
    ASSERT_EQ(dry->status, 200) << dry->body;
    const Json r = Json::parse(dry->body)["result"];
    EXPECT_EQ(r["reset"], 3);
    EXPECT_EQ(r["reset_list"], (Json{{{"id", 1}, {"descr", "FRUTTA"}},
                                     {{"id", 2}, {"descr", "VERDURA"}},
                                     {{"id", 3}, {"descr", "PANE"}}}));
    EXPECT_EQ(r["bad_lines"], 0);
    EXPECT_FALSE(r.contains("refused"));
    EXPECT_FALSE(r.contains("csv"));
    EXPECT_EQ(get_csv("shop1", "reparti"), before);
}

}  // namespace
}  // namespace veltra::test
