// The archive store on a fresh state folder: an archive kept is compressed,
// read back and listed with what the library reads in it; a bad one never
// counts; the retention rule keeps what it should and never the newest
// good archive.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "archives.hpp"
#include "backup/archive.hpp"
#include "cmd/info_vars.hpp"
#include "gzip_file.hpp"
#include "service_clock.hpp"
#include "test_support.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;
using tool::serve::ArchiveCheck;
using tool::serve::ArchiveInfo;
using tool::serve::ArchiveStore;
using tool::serve::Journal;
using tool::serve::Retention;

constexpr std::int64_t kT0 = 1'800'000'000'000;  // 2027-01-15, ms
constexpr std::int64_t kHourMs = 60LL * 60 * 1000;
constexpr std::int64_t kDayMs = 24 * kHourMs;

// An INFO answer of 22 fields: the version first, the release name last.
std::string header_text(const std::string& version, const std::string& release) {
    std::string text;
    for (int i = 0; i < 22; ++i) {
        const std::string value = i == 0 ? version : i == 21 ? release : std::to_string(i);
        text += (i ? "," : "") + std::string("F") + std::to_string(i) + "=" + value;
    }
    return text;
}

class ArchiveStoreTest : public ::testing::Test {
protected:
    // A complete archive written by the library itself, members of varied bytes.
    std::string library_archive(const std::string& name, const std::string& header) {
        const fs::path members = dir_.path() / "members";
        fs::create_directories(members);
        unsigned seed = 1;
        for (const Member& m : kMembers) {
            std::vector<std::uint8_t> bytes(m.size, 0);
            const auto some = pattern_bytes(std::min<std::size_t>(m.size, 4000), seed++);
            std::copy(some.begin(), some.end(), bytes.begin());
            write_file((members / m.name).string(), std::string(bytes.begin(), bytes.end()));
        }
        const std::string file = dir_.file(name);
        EXPECT_EQ(ecr_dati_write_archive(file.c_str(), header, members.string()), 0);
        return file;
    }
    fs::path folder() const { return dir_.path() / "state" / "archives" / "shop1"; }
    // The files in the register's folder.
    std::set<std::string> files() const {
        std::set<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(folder(), ec))
            names.insert(e.path().filename().string());
        return names;
    }

    TempDir dir_;
    Journal journal_{dir_.path() / "state"};
    ArchiveStore store_{journal_, dir_.path() / "state" / "archives"};
};

TEST_F(ArchiveStoreTest, KeepsAGoodArchiveCompressedAndListsWhatTheLibraryReadsInIt) {
    const std::string plain = library_archive("plain.dat", header_text("V2.05", "ELT7"));
    const ArchiveInfo a = store_.keep("shop1", plain, "job-1", kT0);

    const tool::serve::LocalTime t = tool::serve::local_time(kT0);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    EXPECT_EQ(a.name, std::string("shop1-") + stamp + ".dat.gz");
    EXPECT_TRUE(a.good) << a.reason;
    EXPECT_EQ(a.reason, "");
    EXPECT_EQ(a.job_id, "job-1");
    EXPECT_EQ(a.time_ms, kT0);
    EXPECT_EQ(a.plain_size, kArchiveSize);
    EXPECT_EQ(a.size, static_cast<std::int64_t>(fs::file_size(folder() / a.name)));
    EXPECT_LT(a.size * 10, a.plain_size);
    EXPECT_EQ(files(), std::set<std::string>{a.name});
    // The plain file stays the caller's.
    EXPECT_TRUE(fs::exists(plain));

    // What the library reads in the same archive.
    std::array<char, ECR_DATI_INFO_BUFSIZE> org{}, mod{};
    VarList vars{};
    ASSERT_EQ(ecr_dati_info(plain.c_str(), org.data(), mod.data(), vars.data()), 0);
    EXPECT_EQ(a.version, vars[kInfoVersion]);
    EXPECT_EQ(a.release, vars[kInfoReleaseName]);
    EXPECT_EQ(a.version, "V2.05");
    const std::string bytes = read_file(plain);
    const std::uint32_t last4 =
        static_cast<std::uint8_t>(bytes[kArchiveBody]) |
        static_cast<std::uint8_t>(bytes[kArchiveBody + 1]) << 8 |
        static_cast<std::uint8_t>(bytes[kArchiveBody + 2]) << 16 |
        static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[kArchiveBody + 3])) << 24;
    EXPECT_EQ(a.crc32, last4);

    // Stored, it inflates to the archive itself.
    EXPECT_EQ(tool::gunzip_text(folder() / a.name, kArchiveSize), bytes);
    const auto listed = store_.list("shop1");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, a.name);
    EXPECT_EQ(listed[0].crc32, a.crc32);
    EXPECT_TRUE(listed[0].good);
    ASSERT_TRUE(store_.newest_good("shop1"));
    EXPECT_EQ(store_.newest_good("shop1")->name, a.name);
    EXPECT_EQ(store_.path_of("shop1", a.name), folder() / a.name);
    EXPECT_FALSE(store_.path_of("shop1", "shop1-20270115-000000.dat.gz"));
    EXPECT_FALSE(store_.path_of("shop2", a.name));
    EXPECT_TRUE(store_.list("shop2").empty());

    // A second one in the same second gets a name of its own.
    const ArchiveInfo b = store_.keep("shop1", plain, "job-2", kT0);
    EXPECT_EQ(b.name, std::string("shop1-") + stamp + "-2.dat.gz");
    EXPECT_TRUE(b.good);
    EXPECT_EQ(files().size(), 2u);
}

// A file that is not a whole archive is listed with its reason, its file
// goes at once, and it never counts as good.
TEST_F(ArchiveStoreTest, ABadArchiveIsListedNotGoodAndNeverCounts) {
    const std::string plain = library_archive("plain.dat", header_text("V2.05", "ELT7"));
    std::string bytes = read_file(plain);
    std::string wrong_crc = bytes;
    wrong_crc[600] = static_cast<char>(wrong_crc[600] ^ 0x01);
    std::string wrong_stored = bytes;
    wrong_stored[kArchiveBody + 2] = static_cast<char>(wrong_stored[kArchiveBody + 2] ^ 0x80);

    struct Case {
        const char* name;
        std::optional<std::string> content;  // none: no file
        const char* reason;
    };
    const Case cases[] = {
        {"a byte of the body changed", wrong_crc, "CRC-32"},
        {"its CRC-32 changed", wrong_stored, "CRC-32"},
        {"one byte short", bytes.substr(0, bytes.size() - 1), "bytes, not"},
        {"one byte long", bytes + "x", "inflates to more than"},
        {"empty", std::string(), "0 bytes, not"},
        {"missing", std::nullopt, "cannot read"},
    };
    std::int64_t when = kT0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = dir_.file("bad.dat");
        fs::remove(file);
        if (c.content) write_file(file, *c.content);
        when += 1000;
        const ArchiveInfo a = store_.keep("shop1", file, "job", when);
        EXPECT_FALSE(a.good);
        EXPECT_NE(a.reason.find(c.reason), std::string::npos) << a.reason;
        EXPECT_EQ(a.size, 0);
        EXPECT_TRUE(files().empty()) << *files().begin();
        EXPECT_FALSE(store_.path_of("shop1", a.name));
        ASSERT_TRUE(store_.find("shop1", a.name));
        EXPECT_EQ(store_.find("shop1", a.name)->reason, a.reason);
        EXPECT_FALSE(store_.newest_good("shop1"));
    }
    EXPECT_EQ(store_.list("shop1").size(), std::size(cases));
    // Retention never takes a bad one for the newest good.
    const ArchiveInfo good = store_.keep("shop1", plain, "job", when + 1000);
    EXPECT_EQ(store_.newest_good("shop1")->name, good.name);
}

// The check takes the bytes in pieces of any size: a piece boundary inside
// the header or the last four bytes changes nothing.
TEST_F(ArchiveStoreTest, TheCheckIsTheSameWhateverThePieces) {
    const std::string bytes = read_file(library_archive("plain.dat", header_text("V3.00", "ELT9")));
    for (const std::size_t piece :
         {std::size_t{7}, std::size_t{511}, std::size_t{65536}, bytes.size()}) {
        SCOPED_TRACE(piece);
        ArchiveCheck check;
        for (std::size_t at = 0; at < bytes.size(); at += piece)
            check.add(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at,
                                std::min(piece, bytes.size() - at)));
        ArchiveInfo a;
        check.result(a);
        EXPECT_TRUE(a.good) << a.reason;
        EXPECT_EQ(a.version, "V3.00");
        EXPECT_EQ(a.release, "ELT9");
        EXPECT_EQ(a.plain_size, kArchiveSize);
    }
}

// --- retention -------------------------------------------------------------------

struct Kept {
    int age_hours;
    bool good;
};

struct RetentionCase {
    const char* name;
    std::vector<Kept> archives;
    Retention rule;
    std::set<int> kept;  // the ages (hours) still listed afterwards
};
void PrintTo(const RetentionCase& c, std::ostream* os) {
    *os << c.name;
}

class RetentionRule : public ::testing::TestWithParam<RetentionCase> {
protected:
    TempDir dir_;
    Journal journal_{dir_.path() / "state"};
    ArchiveStore store_{journal_, dir_.path() / "state" / "archives"};
};

// Rows listed directly, each good one with a small file: the rule reads the
// catalogue, not the archives' contents.
TEST_P(RetentionRule, KeepsWhatTheRuleSays) {
    const fs::path folder = dir_.path() / "state" / "archives" / "shop1";
    fs::create_directories(folder);
    const std::int64_t now = kT0 + 400 * kDayMs;
    std::map<std::string, int> age_of;
    for (const Kept& k : GetParam().archives) {
        ArchiveInfo a;
        a.register_name = "shop1";
        a.name = "shop1-" + std::to_string(k.age_hours) + ".dat.gz";
        a.time_ms = now - k.age_hours * kHourMs;
        a.good = k.good;
        a.reason = k.good ? "" : "the archive is 0 bytes";
        journal_.add_archive(a);
        if (k.good) write_file((folder / a.name).string(), "gz");
        age_of[a.name] = k.age_hours;
    }
    const std::vector<std::string> deleted = store_.retain("shop1", GetParam().rule, now);

    std::set<int> listed;
    for (const ArchiveInfo& a : store_.list("shop1")) listed.insert(age_of.at(a.name));
    EXPECT_EQ(listed, GetParam().kept);
    EXPECT_EQ(deleted.size() + listed.size(), GetParam().archives.size());
    for (const std::string& name : deleted) {
        EXPECT_FALSE(fs::exists(folder / name)) << name;
        EXPECT_FALSE(store_.find("shop1", name)) << name;
        EXPECT_EQ(journal_.find_archive("shop1", name)->deleted_ms, now) << name;
    }
    for (const ArchiveInfo& a : store_.list("shop1"))
        EXPECT_EQ(fs::exists(folder / a.name), a.good) << a.name;
    // A second pass at the same time finds nothing more to delete.
    EXPECT_TRUE(store_.retain("shop1", GetParam().rule, now).empty());
}

const std::vector<Kept> kFiveNights = {{1, true}, {25, true}, {49, true}, {73, true}, {97, true}};

INSTANTIATE_TEST_SUITE_P(
    Cases, RetentionRule,
    ::testing::Values(
        RetentionCase{"count_3", kFiveNights, {3, 0}, {1, 25, 49}},
        RetentionCase{"days_2", kFiveNights, {0, 2}, {1, 25}},
        RetentionCase{"count_keeps_more_than_days", kFiveNights, {4, 1}, {1, 25, 49, 73}},
        RetentionCase{"days_keep_more_than_count", kFiveNights, {1, 3}, {1, 25, 49}},
        RetentionCase{"both_0_keep_everything", kFiveNights, {0, 0}, {1, 25, 49, 73, 97}},
        RetentionCase{"never_the_newest_good", {{240, true}, {264, true}}, {0, 2}, {240}},
        RetentionCase{"never_the_newest_good_behind_bad_ones",
                      {{1, false}, {2, false}, {240, true}, {264, true}},
                      {1, 0},
                      {1, 2, 240}},
        // Backups that fail for a week: the last good one stays, the
        // failures since it stay listed, those before it go.
        RetentionCase{"a_week_of_failures_keeps_the_last_good",
                      {{24, false},
                       {48, false},
                       {72, false},
                       {96, false},
                       {120, false},
                       {144, false},
                       {168, false},
                       {192, true},
                       {216, false},
                       {240, true}},
                      {1, 2},
                      {24, 48, 72, 96, 120, 144, 168, 192}},
        RetentionCase{"bad_ones_older_than_the_newest_good_go",
                      {{1, true}, {2, false}, {3, false}, {4, true}},
                      {5, 0},
                      {1, 4}},
        RetentionCase{"only_bad_ones_stay", {{1, false}, {500, false}}, {1, 1}, {1, 500}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace veltra::test
