// `veltra tables put` refuses a CSV with lines that do not parse, and one
// that would reset records to their defaults unless --allow-reset is given.
#include <functional>

#include "tool_fixture.hpp"

namespace veltra::test {
namespace {

using Lines = std::vector<std::string>;

// The register's department table as downloaded (a header, then 80 rows),
// changed by the case.
struct PutCase {
    const char* name;
    std::function<void(ecrsim::Register&)> prepare;  // before the download
    std::function<Lines(Lines)> edit;
    std::vector<std::string> options;
    int status;
    std::string message;  // on stderr; "" for none
    bool uploaded;
    std::string row_after;  // a row of the table afterwards
};

void PrintTo(const PutCase& c, std::ostream* os) {
    *os << c.name;
}

class TablesPut : public ToolOnEcrsim, public ::testing::WithParamInterface<PutCase> {};

TEST_P(TablesPut, RefusesOrUploads) {
    const PutCase& c = GetParam();
    if (c.prepare) c.prepare(*reg_);
    ASSERT_EQ(veltra({"tables", "get", "reparti", path("rep.csv")}).status, 0);
    std::string csv;
    for (const std::string& line : c.edit(read_lines(path("rep.csv")))) csv += line + "\n";
    write_file(path("put.csv"), csv);
    const ecrsim::Bytes before = *reg_->file("REPARTI.BIN");
    reg_->clear_transcript();
    std::vector<std::string> args = {"tables", "put", "reparti", path("put.csv"), "--yes"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const ToolRun r = veltra(args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    if (!c.message.empty()) {
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(!put_names().empty(), c.uploaded);
    if (!c.uploaded) {
        EXPECT_EQ(*reg_->file("REPARTI.BIN"), before);
    }
    ASSERT_EQ(veltra({"tables", "get", "reparti", path("after.csv")}).status, 0);
    const Lines after = read_lines(path("after.csv"));
    EXPECT_NE(std::find(after.begin(), after.end(), c.row_after), after.end()) << c.row_after;
}

// Rows 1 to 3 left out: FRUTTA, VERDURA and PANE go back to their defaults.
Lines without_first_three(Lines lines) {
    lines.erase(lines.begin() + 1, lines.begin() + 4);
    return lines;
}

Lines commas_after_row_1(Lines lines) {
    for (std::size_t i = 2; i < lines.size(); ++i)
        std::replace(lines[i].begin(), lines[i].end(), ';', ',');
    return lines;
}

void semicolon_in_pane(ecrsim::Register& reg) {
    ecrsim::Bytes table = *reg.file("REPARTI.BIN");
    const std::string text = "PANE;DOLCI";
    std::copy(text.begin(), text.end(), table.begin() + 2 * 50 + 1);
    reg.put_file("REPARTI.BIN", table);
}

const std::string kFrutta = "1;FRUTTA;2;0;0;1;1;0;0;99999;0;0";

INSTANTIATE_TEST_SUITE_P(
    Tool, TablesPut,
    ::testing::Values(
        // 79 of 80 lines written with "," as a spreadsheet of another locale does.
        PutCase{"CommaSeparatedLinesAreNamed",
                nullptr,
                [](Lines l) {
                    l.erase(l.begin());  // 80 lines: row 1 with ";", rows 2 to 80 with ","
                    for (std::size_t i = 1; i < l.size(); ++i)
                        std::replace(l[i].begin(), l[i].end(), ';', ',');
                    return l;
                },
                {},
                2,
                "do not parse (lines 2-80; line 2: 1 field separated by ';', 12 expected)",
                false,
                "2;VERDURA;2;0;0;1;1;0;0;99999;0;0"},
        PutCase{"BadLinesAreRefusedEvenWithAllowReset",
                nullptr,
                commas_after_row_1,
                {"--allow-reset"},
                2,
                "do not parse (lines 3-81; line 3: 1 field separated by",
                false,
                "3;PANE;2;0;0;1;1;0;0;99999;0;0"},
        // A register text holding ";" shifts its row in the download.
        PutCase{"ARowShiftedByASemicolonFedBack",
                semicolon_in_pane,
                [](Lines l) { return l; },
                {"--allow-reset"},
                2,
                "does not parse (line 4: 13 fields separated by ';', 12 expected)",
                false,
                kFrutta},
        PutCase{"ResetsAreRefusedAndNamed",
                nullptr,
                without_first_three,
                {},
                2,
                "would reset 3 reparti records to their defaults (1 FRUTTA, 2 VERDURA, 3 PANE)",
                false,
                kFrutta},
        PutCase{"ResetsGoThroughWithAllowReset",
                nullptr,
                without_first_three,
                {"--allow-reset"},
                0,
                "",
                true,
                "1;REPARTO 1;1;0;0;1;1;0;0;0;0;0"},
        // A line that sets its record to the default values names it: no reset.
        PutCase{"ARecordSetToItsDefaultByALineIsNoReset",
                nullptr,
                [](Lines l) {
                    l[1] = "1;REPARTO 1;1;0;0;1;1;0;0;0;0;0";
                    return l;
                },
                {},
                0,
                "",
                true,
                "1;REPARTO 1;1;0;0;1;1;0;0;0;0;0"},
        PutCase{"ACleanCsvUploads",
                nullptr,
                [](Lines l) {
                    l[1] = "1;MELE;2;0;0;1;1;0;0;99999;0;0";
                    return l;
                },
                {},
                0,
                "",
                true,
                "1;MELE;2;0;0;1;1;0;0;99999;0;0"}),
    [](const ::testing::TestParamInfo<PutCase>& info) { return std::string(info.param.name); });

TEST_F(ToolOnEcrsim, TablesPutDryRunListsBadLinesAndResetsAndWhatAnUploadWouldDo) {
    ASSERT_EQ(veltra({"tables", "get", "reparti", path("rep.csv")}).status, 0);
    Lines lines = without_first_three(read_lines(path("rep.csv")));
    lines.push_back("81;TOO FAR;;;;;;;;;;");
    std::string csv;
    for (const std::string& line : lines) csv += line + "\n";
    write_file(path("put.csv"), csv);
    reg_->clear_transcript();
    const ToolRun r = veltra({"--json", "tables", "put", "reparti", path("put.csv"), "--dry-run"});
    ASSERT_EQ(r.status, 0) << r.err;
    const ToolJson j = r.json();
    EXPECT_EQ(j["reset"], 3);
    ASSERT_EQ(j["reset_list"].size(), 3u);
    EXPECT_EQ(j["reset_list"][1], (ToolJson{{"id", 2}, {"descr", "VERDURA"}}));
    EXPECT_EQ(j["bad_lines"], 1);
    EXPECT_EQ(j["bad_line_list"][0]["line"], 79);
    EXPECT_EQ(j["bad_line_list"][0]["reason"], "record number '81' not from 1 to 80");
    EXPECT_NE(j["refused"].get<std::string>().find("1 line of"), std::string::npos) << j.dump();
    EXPECT_TRUE(put_names().empty());
    // As text: the lines and the records, for a person.
    const ToolRun t = veltra({"tables", "put", "reparti", path("put.csv"), "--dry-run"});
    EXPECT_NE(t.out.find("  line 79: record number '81' not from 1 to 80\n"), std::string::npos)
        << t.out;
    EXPECT_NE(t.out.find("reset to their defaults: 1 FRUTTA, 2 VERDURA, 3 PANE\n"),
              std::string::npos)
        << t.out;
}

}  // namespace
}  // namespace veltra::test
