// Which lines of a CSV an upload applies, which it does not (with their
// numbers and why), and which records they name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tables/table_formats.hpp"
#include "tables/table_upload.hpp"
#include "test_support.hpp"

namespace veltra {
namespace {

using test::cat;
using test::TempDir;
using test::write_file;

struct LinesCase {
    const char* name;
    std::string csv;
    std::int32_t applied;
    std::vector<std::int64_t> bad_lines;  // their numbers
    std::string first_reason;             // of the first bad line
    std::vector<int> named;               // department numbers
};
void PrintTo(const LinesCase& c, std::ostream* os) {
    *os << c.name;
}

class DepartmentLines : public ::testing::TestWithParam<LinesCase> {
protected:
    TempDir dir_;
};

TEST_P(DepartmentLines, AreReportedByNumber) {
    const LinesCase& c = GetParam();
    write_file(dir_.file("in.csv"), c.csv);
    CsvLineReport report;
    const std::int32_t applied = build_table_from_csv(
        RebuiltTable::kReparti, dir_.file("in.csv").c_str(), dir_.file("t.bin").c_str(), &report);
    EXPECT_EQ(applied, c.applied);
    std::vector<std::int64_t> lines;
    for (const auto& b : report.bad) lines.push_back(b.line);
    EXPECT_EQ(lines, c.bad_lines);
    EXPECT_EQ(report.bad_count, c.bad_lines.size());
    EXPECT_EQ(report.bad.empty() ? "" : report.bad.front().reason, c.first_reason);
    ASSERT_EQ(report.named.size(), kReparti.records);
    std::vector<int> named;
    for (std::size_t i = 0; i < report.named.size(); ++i)
        if (report.named[i]) named.push_back(static_cast<int>(i) + 1);
    EXPECT_EQ(named, c.named);
}

const std::string kHeader =
    "id_reparto;descr;iva;batt_sing;tipo_sconto;id_aux_lan;id_gruppo;prezzo;min_valore;"
    "max_valore;valore_sconto;non_fiscale\n";

INSTANTIATE_TEST_SUITE_P(
    Upload, DepartmentLines,
    ::testing::Values(
        LinesCase{"HeaderAndGoodLines",
                  kHeader + "1;A;1;0;0;1;1;0;0;0;0;0\n3;C;;;;;;;;;;\n",
                  2,
                  {},
                  "",
                  {1, 3}},
        LinesCase{"CommaSeparated",
                  "1;A;1;0;0;1;1;0;0;0;0;0\n2,B,1,0,0,1,1,0,0,0,0,0\n3,C,1,0,0,1,1,0,0,0,0,0\n",
                  1,
                  {2, 3},
                  "1 field separated by ';', 12 expected",
                  {1}},
        LinesCase{"ACommaHeaderIsStillAHeader",
                  "id_reparto,descr\r\n2;B;1;0;0;1;1;0;0;0;0;0\r\n",
                  1,
                  {},
                  "",
                  {2}},
        // A text holding ";" shifts the rest of its row.
        LinesCase{"TextWithASemicolon",
                  kHeader + "1;A;1;0;0;1;1;0;0;0;0;0\n2;PANE;DOLCI;1;0;0;1;1;0;0;0;0;0\n",
                  1,
                  {3},
                  "13 fields separated by ';', 12 expected",
                  {1}},
        // Empty lines count in the numbering; a header in the middle does not pass.
        LinesCase{"EmptyLinesAreCounted",
                  "\n\n5;E;;;;;;;;;;\n\nid_reparto;descr;iva;batt_sing;tipo_sconto;id_aux_lan;"
                  "id_gruppo;prezzo;min_valore;max_valore;valore_sconto;non_fiscale\n",
                  1,
                  {5},
                  "record number 'id_reparto' not from 1 to 80",
                  {5}},
        LinesCase{"RecordNumbersOutOfRange",
                  kHeader + "0;Z;;;;;;;;;;\n81;Z;;;;;;;;;;\n80;Z;;;;;;;;;;\n",
                  1,
                  {2, 3},
                  "record number '0' not from 1 to 80",
                  {80}},
        LinesCase{"ALineTooLong",
                  cat("7;", std::string(1100, 'L'), ";;;;;;;;;;\n8;H;;;;;;;;;;\n"),
                  1,
                  {1},
                  "longer than 1022 characters",
                  {8}}),
    [](const ::testing::TestParamInfo<LinesCase>& info) { return std::string(info.param.name); });

TEST(UploadLines, AllBadLinesAreCountedTheFirstHundredListed) {
    TempDir dir;
    std::string csv;
    for (int i = 0; i < 250; ++i) csv += "x\n";
    write_file(dir.file("in.csv"), csv);
    CsvLineReport report;
    EXPECT_EQ(build_table_from_csv(RebuiltTable::kPlu, dir.file("in.csv").c_str(),
                                   dir.file("t.bin").c_str(), &report),
              0);
    EXPECT_EQ(report.bad_count, 250u - 1);  // the first line passes as a header
    ASSERT_EQ(report.bad.size(), CsvLineReport::kListed);
    EXPECT_EQ(report.bad.front().line, 2);
    EXPECT_EQ(report.bad.back().line, 101);
}

TEST(UploadLines, CustomerLinesAreReportedByTheMergeToo) {
    TempDir dir;
    write_file(dir.file("t.bin"), std::string(kClienti.file_size(), '\0'));
    write_file(dir.file("in.csv"), "id_cliente;ragione_sociale\n4;ROSSI;;;;\n5;BIANCHI;VIA;X\n");
    CsvLineReport report;
    EXPECT_EQ(merge_clienti_csv(dir.file("in.csv").c_str(), dir.file("t.bin").c_str(), &report), 1);
    ASSERT_EQ(report.bad.size(), 1u);
    EXPECT_EQ(report.bad[0].line, 3);
    EXPECT_EQ(report.bad[0].reason, "4 fields separated by ';', 6 expected");
    ASSERT_EQ(report.named.size(), kClienti.records);
    EXPECT_TRUE(report.named[3]);
    EXPECT_FALSE(report.named[4]);
}

}  // namespace
}  // namespace veltra
