// Splitting the INFO answer by position, reading numbers, the register's
// generation, and the register file list.
#include "cmd/info_vars.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmd/command_exchange.hpp"
#include "frame/library_frame.hpp"
#include "platform_traits.hpp"
#include "test_support.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

struct Split {
    int count;
    std::vector<std::string> values;  // all 22 entries
};

Split split(const std::string& answer, std::size_t mod_size = 600) {
    std::vector<char> mod(mod_size, '#');
    VarList vars{};
    Split s;
    s.count = ecr_parse_info(answer.c_str(), mod, vars.data());
    for (char* v : vars) s.values.push_back(v);
    return s;
}

std::vector<std::string> entries(std::initializer_list<std::string> first) {
    std::vector<std::string> v(first);
    v.resize(kInfoVars);
    return v;
}

TEST(ParseInfo, FieldsByPosition) {
    const struct {
        std::string answer;
        int count;
        std::vector<std::string> values;
    } cases[] = {
        {"A=1,B=2", 2, entries({"1", "2"})},
        {"A=1,B", 2, entries({"1", ""})},
        {"A=x=y", 1, entries({"x=y"})},
        {"", 1, entries({})},
        {",,C=3", 3, entries({"", "", "3"})},
        {"A=1,B=2\r\n", 2, entries({"1", "2\r\n"})},  // the line end stays in the last value
        {"=,NAME=", 2, entries({"", ""})},
    };
    for (const auto& c : cases) {
        const Split s = split(c.answer);
        EXPECT_EQ(s.count, c.count) << c.answer;
        EXPECT_EQ(s.values, c.values) << c.answer;
    }
}

TEST(ParseInfo, FieldsBeyondTheTwentySecondAreCountedNotKept) {
    std::string answer;
    for (int i = 0; i < 25; ++i) answer += veltra::test::cat(i ? "," : "", "F", i, "=", i);
    const Split s = split(answer);
    EXPECT_EQ(s.count, 25);
    EXPECT_EQ(s.values[0], "0");
    EXPECT_EQ(s.values[21], "21");
}

TEST(ParseInfo, AnAnswerLongerThanTheCopyIsCutNotOverflowed) {
    const std::string answer = "A=" + std::string(100, 'x') + ",B=2";
    std::vector<char> mod(20 + 8, '#');
    VarList vars{};
    const int count = ecr_parse_info(answer.c_str(), std::span<char>(mod.data(), 20), vars.data());
    EXPECT_EQ(count, 1);
    EXPECT_EQ(std::string(vars[0]), std::string(16, 'x'));  // 18 characters kept
    for (std::size_t i = 20; i < mod.size(); ++i)
        EXPECT_EQ(mod[i], '#') << "wrote past the copy at " << i;
}

TEST(ParseInfo, TraceLinesWithoutTimestamp) {
    TempDir dir;
    const std::string saved = dirname();
    set_dirname(dir.path().string());
    {
        EnvVar trace("ECR_TRACE", "1");
        EnvVar inf("ECR_TRCINF", "1");
        split("A=1,B=2");
    }
    set_dirname(saved);
    const auto lines = read_lines(dir.file("ecrlog.txt"));
    ASSERT_EQ(lines.size(), 2u + kInfoVars);
    EXPECT_EQ(lines[0], "inf -- input='A=1,B=2'");
    EXPECT_EQ(lines[1], "inf -- count='2'");
    EXPECT_EQ(lines[2], "inf -- var [ 0]='1'");
    EXPECT_EQ(lines[3], "inf -- var [ 1]='2'");
    EXPECT_EQ(lines[23], "inf -- var [21]=''");
}

TEST(InfoNumber, StandardDecimalConversion) {
    const struct {
        const char* text;
        std::int32_t value;
    } cases[] = {
        {"", 0},
        {"0", 0},
        {"7", 7},
        {"  12", 12},
        {"3abc", 3},
        {"abc", 0},
        {"-4", -4},
        {"+5", 5},
        {"99999999999", INT32_MAX},
        {"-99999999999", INT32_MIN},
        {"1\r\n", 1},
    };
    for (const auto& c : cases) EXPECT_EQ(info_number(c.text), c.value) << '"' << c.text << '"';
    EXPECT_EQ(info_number(nullptr), 0);
}

TEST(InfoGeneration, FromReleaseNameAndVersion) {
    const struct {
        const char* version;
        const char* name;
        int generation;
    } cases[] = {
        {"V1.23", "", 0}, {"V1.", "", 0}, {"V2.01", "", 1},   {"v1.2", "", 1},
        {"V1", "", 1},    {"", "", 1},    {"V1.23", "R7", 2}, {"V3.00", "REL_2014", 2},
    };
    for (const auto& c : cases) {
        std::string version = c.version, name = c.name, empty;
        VarList vars{};
        for (auto& v : vars) v = empty.data();
        vars[kInfoVersion] = version.data();
        vars[kInfoReleaseName] = name.data();
        EXPECT_EQ(ecr_info_generation(vars), c.generation) << c.version << " / " << c.name;
    }
}

TEST(FilesList, FourteenNamesInOrder) {
    const std::vector<std::string> expected = {
        "LOG.BIN",       "INTESTAZIONE.BIN", "IVA.BIN",     "REPARTI.BIN", "VAL.BIN",
        "OPERATORI.BIN", "CORTESIA.BIN",     "LOGO.BIN",    "BITMAP.BIN",  "PROG_PARAM.BIN",
        "PLU.BIN",       "CLIENTI.BIN",      "FATTURE.BIN", "TAV_MIN.BIN"};
    std::vector<std::string> got;
    for (const char* const* p = ecr_files_list; *p != nullptr; ++p) got.push_back(*p);
    EXPECT_EQ(got, expected);
}

TEST(FilesList, AllowedByBaseNameWithoutRegardToCase) {
    const std::string sep(1, sys::kPathSep);
    for (const std::string& path : {std::string("PLU.BIN"), std::string("plu.bin"),
                                    "dir" + sep + "Clienti.Bin", std::string("TAV_MIN.BIN")}) {
        EXPECT_TRUE(ecr_file_allowed(path)) << path;
    }
    for (const std::string& path :
         {std::string("README.TXT"), std::string("PLU.BIN.bak"), std::string("PLU"),
          std::string(""), "PLU.BIN" + sep, std::string("XPLU.BIN")}) {
        EXPECT_FALSE(ecr_file_allowed(path)) << path;
    }
}

}  // namespace
}  // namespace veltra::test
