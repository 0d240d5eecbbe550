// The settings files: first-field rule, port conversion, the file lookup and
// the record SALVA IP writes.
#include "settings_files.hpp"

#include <gtest/gtest.h>

#include <iterator>

#include "test_support.hpp"

using namespace delpad;
namespace fs = std::filesystem;

using veltra::test::TempDir;

namespace {

void write_file(const fs::path& file, const std::string& bytes) {
    veltra::test::write_file(file.string(), bytes);
}

std::string read_file(const fs::path& file) {
    return veltra::test::read_file(file.string());
}

struct FieldCase {
    const char* label;
    std::string content;
    std::string field;
};

}  // namespace

TEST(SettingsFiles, FirstFieldRule) {
    const FieldCase cases[] = {
        {"plain address", "192.168.1.20\r\n", "192.168.1.20"},
        {"quoted address", "\"192.168.1.20\"\r\n", "192.168.1.20"},
        {"no line end", "9930", "9930"},
        {"comma ends the field", "9930,more text\r\n", "9930"},
        {"leading blanks skipped", "   10.0.0.1\r\n", "10.0.0.1"},
        {"trailing blanks kept", "1723  ,x\r\n", "1723  "},
        {"only the first line", "alpha\r\nbeta\r\n", "alpha"},
        {"unix line end", "alpha\nbeta", "alpha"},
        {"quoted comma kept", "\"a,b\",c\r\n", "a,b"},
        {"after the quote ignored", "\"cassa\" 12,x", "cassa"},
        {"blanks then quotes", "  \" host \"\r\n", " host "},
        {"unclosed quote to line end", "\"cassa\r\nnext", "cassa"},
        {"empty file", "", ""},
        {"empty first line", "\r\n9930\r\n", ""},
        {"blank first line", "    \r\n9930", ""},
        {"leading comma", ",9930", ""},
        {"byte-order mark skipped", "\xEF\xBB\xBF\"10.0.0.7\"\r\n", "10.0.0.7"},
        {"byte-order mark before blanks", "\xEF\xBB\xBF  9930\r\n", "9930"},
        {"only a byte-order mark", "\xEF\xBB\xBF", ""},
        {"a lone first byte of a mark stays",
         "\xEF"
         "9930",
         "\xEF"
         "9930"},
    };
    for (const auto& c : cases) EXPECT_EQ(first_field(c.content), c.field) << c.label;
}

TEST(SettingsFiles, PortConversion) {
    const struct {
        const char* text;
        bool fits;
        int port;
    } cases[] = {
        {"9930", true, 9930},      {"", true, 0},           {"abc", true, 0},
        {"1723xyz", true, 1723},   {"   1723", true, 1723}, {"1723   ", true, 1723},
        {"+80", true, 80},         {"-1", true, -1},        {"32767", true, 32767},
        {"2.5", true, 2},          {"3.5", true, 4},        {"2.5001", true, 3},
        {"1723.4999", true, 1723}, {".7", true, 1},         {"-32768.5", true, -32768},
        {"32768", false, 0},       {"65535", false, 0},     {"99999999999999999999999", false, 0},
        {"32767.5", false, 0},     {"-32769", false, 0},
    };
    for (const auto& c : cases) {
        // A failed conversion keeps the value the port had.
        constexpr std::int16_t previous = 4321;
        std::int16_t value = previous;
        EXPECT_EQ(convert_port(c.text, value), c.fits) << c.text;
        EXPECT_EQ(int(value), c.fits ? c.port : int(previous)) << c.text;
    }
}

TEST(SettingsFiles, TrimBlanksTouchesOnlySpaces) {
    EXPECT_EQ(trim_blanks("  a b  "), "a b");
    EXPECT_EQ(trim_blanks("\t a \r\n"), "\t a \r\n");
    EXPECT_EQ(trim_blanks("     "), "");
}

TEST(SettingsFiles, ReadSettingByNameWithoutCase) {
    const struct {
        const char* file;
        std::string content;
        std::string_view asked;
        std::string field;
    } cases[] = {
        {"ip.txt", "\"127.0.0.1\"\r\n", ip_file, "127.0.0.1"},
        {"ip.txt", "127.0.0.1\r\n", ip_file, "127.0.0.1"},
        {"ip.txt", "\xEF\xBB\xBF\"127.0.0.1\"\r\n", ip_file, "127.0.0.1"},
        {"data.txt", "9930,x\r\n", data_file, "9930"},
        {"SEND.TXT", "1723\r\n", send_file, "1723"},
        {"Send.txt", "", send_file, ""},
    };
    for (const auto& c : cases) {
        TempDir dir;
        write_file(dir.path() / c.file, c.content);
        EXPECT_EQ(read_setting(dir.path(), c.asked), c.field) << c.file;
    }
}

TEST(SettingsFiles, ReadSettingMissingOrNotAFile) {
    TempDir dir;
    fs::create_directory(dir.path() / "Send.txt");
    write_file(dir.path() / "other.txt", "9930\r\n");
    EXPECT_EQ(read_setting(dir.path(), data_file), "");
    EXPECT_EQ(read_setting(dir.path(), send_file), "");
    EXPECT_EQ(read_setting(dir.path() / "absent", ip_file), "");
}

TEST(SettingsFiles, ReadSettingPrefersTheExactName) {
    TempDir dir;
    write_file(dir.path() / "IP.TXT", "10.0.0.9\r\n");
    write_file(dir.path() / "ip.txt", "\"127.0.0.1\"\r\n");
    // Windows folders ignore case: there the two names are one file.
    EXPECT_EQ(read_setting(dir.path(), ip_file), "127.0.0.1");
}

TEST(SettingsFiles, SaveIpWritesOneQuotedRecordThatReadsBack) {
    TempDir dir;
    write_file(dir.path() / "ip.txt", "\"10.1.2.3\"\r\nsecond line that must go\r\n");
    ASSERT_TRUE(save_ip(dir.path(), "   127.0.0.1  "));
    EXPECT_EQ(read_file(dir.path() / "ip.txt"), "\"127.0.0.1\"\r\n");
    EXPECT_EQ(ip_record(""), "\"\"\r\n");
    ASSERT_TRUE(save_ip(dir.path(), " cassa "));
    EXPECT_EQ(read_setting(dir.path(), ip_file), "cassa");
}

TEST(SettingsFiles, SaveIpSaysWhenItCannotWrite) {
    TempDir dir;
    EXPECT_FALSE(save_ip(dir.path() / "absent", "127.0.0.1"));
    EXPECT_FALSE(fs::exists(dir.path() / "absent" / "ip.txt"));

    // A directory where the new record would go makes the write fail, as a
    // read-only folder does; the saved address stays.
    write_file(dir.path() / "ip.txt", "\"10.1.2.3\"\r\n");
    fs::create_directory(dir.path() / "ip.txt.new");
    EXPECT_FALSE(save_ip(dir.path(), "127.0.0.1"));
    EXPECT_EQ(read_file(dir.path() / "ip.txt"), "\"10.1.2.3\"\r\n");
    fs::remove(dir.path() / "ip.txt.new");
    EXPECT_TRUE(save_ip(dir.path(), "127.0.0.1"));
    EXPECT_EQ(read_file(dir.path() / "ip.txt"), "\"127.0.0.1\"\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}
