// The backup archive: its layout, validation (size, then CRC), writing that
// never destroys an earlier archive, extraction and the header read.
#include "backup/archive.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "backup/backup_operations.hpp"
#include "backup_test_support.hpp"
#include "platform_traits.hpp"
#include "release/crc32.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kHeader = "VERSIONE=V5.02,TIPO_BITMAP=L,MATRICOLA=SIM00012345";
const std::string kSep(1, sys::kPathSep);

// Runs in another current directory and comes back.
class CurrentDir {
public:
    explicit CurrentDir(const fs::path& dir) : saved_(fs::current_path()) { fs::current_path(dir); }
    ~CurrentDir() { fs::current_path(saved_); }
    CurrentDir(const CurrentDir&) = delete;
    CurrentDir& operator=(const CurrentDir&) = delete;

private:
    fs::path saved_;
};

class ArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        write_member_files(members_);
        ASSERT_EQ(ecr_dati_write_archive(archive().c_str(), kHeader, members_.path().string()), 0);
    }
    std::string archive() const { return out_.file("backup.dat"); }
    std::vector<std::string> names_in(const TempDir& d) const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(d.path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir members_, out_, extract_;
};

TEST_F(ArchiveTest, MembersSitAtTheirOffsetsBehindTheHeaderAndAheadOfTheCrc) {
    const ByteVec a = read_bytes(archive());
    ASSERT_EQ(a.size(), 7059616u);
    EXPECT_EQ(ecr_dati_body_size(), 7059612u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.data())), kHeader);
    EXPECT_TRUE(std::all_of(a.begin() + std::strlen(kHeader), a.begin() + 512,
                            [](std::uint8_t b) { return b == 0; }));
    const std::uint32_t offsets[] = {512,  816,  894,  4894,   5126,   5242,
                                     5572, 6596, 6716, 390812, 646812, 7046812};
    for (std::size_t m = 0; m < kMemberCount; ++m) {
        EXPECT_EQ(member_offset(m), offsets[m]) << kMembers[m].name;
        const ByteVec want = member_pattern(m);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), a.begin() + offsets[m]))
            << kMembers[m].name;
    }
    const std::uint32_t crc = crc32_of(std::span<const std::uint8_t>(a.data(), 7059612));
    EXPECT_EQ(get_u32(a, 7059612), crc);
    EXPECT_FALSE(fs::exists(archive() + ".part"));
}

TEST_F(ArchiveTest, ACompleteArchiveValidatesAndTracesBothChecks) {
    TraceCapture trace;
    File f;
    ASSERT_EQ(ecr_dati_file_valid(archive().c_str(), f), 0);
    ASSERT_TRUE(f);
    EXPECT_EQ(std::ftell(f.get()), 0);
    const ByteVec a = read_bytes(archive());
    char crc[32];
    std::snprintf(crc, sizeof crc, "%08X", static_cast<unsigned>(get_u32(a, 7059612)));
    EXPECT_EQ(trace.matching("ecr_dati_file_valid"),
              (std::vector<std::string>{
                  "ecr_dati_file_valid -- size='7059616'/'7059612'",
                  std::string("ecr_dati_file_valid -- crc32='") + crc + "'/'" + crc + "'"}));
}

TEST_F(ArchiveTest, AnArchiveOneByteShortOrLongFailsOnItsSizeAlone) {
    const ByteVec good = read_bytes(archive());
    for (const std::int64_t delta : {-1, 1}) {
        ByteVec b = good;
        if (delta < 0)
            b.pop_back();
        else
            b.push_back(0);
        write_bytes(archive(), b);
        TraceCapture trace;
        File f;
        EXPECT_EQ(ecr_dati_file_valid(archive().c_str(), f), ECR_ERR_DATI_FILE_NOT_VALID);
        EXPECT_FALSE(f);
        EXPECT_EQ(trace.matching("ecr_dati_file_valid"),
                  std::vector<std::string>{"ecr_dati_file_valid -- size='" +
                                           std::to_string(b.size()) + "'/'7059612'"});
    }
}

TEST_F(ArchiveTest, AnyFlippedBitFailsAfterTheCrcLine) {
    const ByteVec good = read_bytes(archive());
    // The header, the first and last byte of every member, and each CRC byte.
    std::vector<std::size_t> at = {0, 511, 7059612, 7059613, 7059614, 7059615};
    for (std::size_t m = 0; m < kMemberCount; ++m) {
        at.push_back(member_offset(m));
        at.push_back(member_offset(m) + kMembers[m].size - 1);
    }
    for (std::size_t i = 0; i < at.size(); ++i) {
        ByteVec b = good;
        b[at[i]] ^= static_cast<std::uint8_t>(1u << (i % 8));
        write_bytes(archive(), b);
        TraceCapture trace;
        File f;
        EXPECT_EQ(ecr_dati_file_valid(archive().c_str(), f), ECR_ERR_DATI_FILE_NOT_VALID)
            << "byte " << at[i];
        EXPECT_FALSE(f);
        const auto lines = trace.matching("ecr_dati_file_valid");
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[1].rfind("ecr_dati_file_valid -- crc32='", 0), 0u);
    }
}

TEST_F(ArchiveTest, AMissingArchiveIsNotFoundWithoutATraceLine) {
    TraceCapture trace;
    File f;
    EXPECT_EQ(ecr_dati_file_valid(out_.file("none.dat").c_str(), f), ERR_FILE_NOT_FOUND);
    EXPECT_TRUE(trace.matching("ecr_dati_file_valid").empty());
}

// A member that is missing, short or long makes no archive and leaves the
// earlier one of the same name byte for byte.
TEST_F(ArchiveTest, AMemberNotInTheFullLayoutKeepsTheEarlierArchive) {
    const ByteVec earlier = read_bytes(archive());
    struct Case {
        const char* member;
        std::int64_t size;  // -1: missing
        std::int32_t result;
    };
    const Case cases[] = {{"PLU.BIN", -1, ERR_FILE_NOT_FOUND},
                          {"BITMAP.BIN", 230496, ERR_INVALID_FILESIZE},
                          {"REPARTI.BIN", 3360, ERR_INVALID_FILESIZE},
                          {"TAV_MIN.BIN", 12801, ERR_INVALID_FILESIZE}};
    for (const Case& c : cases) {
        write_member_files(members_);
        const std::string path = members_.file(c.member);
        if (c.size < 0)
            fs::remove(path);
        else
            fs::resize_file(path, static_cast<std::uintmax_t>(c.size));
        EXPECT_EQ(ecr_dati_write_archive(archive().c_str(), kHeader, members_.path().string()),
                  c.result)
            << c.member;
        EXPECT_EQ(read_bytes(archive()), earlier) << c.member;
        EXPECT_FALSE(fs::exists(archive() + ".part"));
    }
}

TEST_F(ArchiveTest, AnArchiveThatCannotBeCreatedIsAFileCreationFailure) {
    const std::string path = out_.file("no-such-dir") + "/backup.dat";
    EXPECT_EQ(ecr_dati_write_archive(path.c_str(), kHeader, members_.path().string()),
              ERR_FILE_CREATION);
}

TEST_F(ArchiveTest, ExtractionReplacesAnEarlierOneAndMakesTheCsvFiles) {
    // An earlier extraction's files, and a file that is not ours.
    write_file(extract_.file("PLU.CSV"), "stale\n");
    write_file(extract_.file("LOGO.BIN"), "stale");
    write_file(extract_.file("notes.txt"), "mine");
    ASSERT_EQ(ecr_dati_extract(archive().c_str(), extract_.path().string().c_str()), 0);
    for (std::size_t m = 0; m < kMemberCount; ++m)
        EXPECT_EQ(read_bytes(extract_.file(kMembers[m].name)), member_pattern(m))
            << kMembers[m].name;
    EXPECT_EQ(read_lines(extract_.file("REPARTI.CSV")).size(), 81u);
    EXPECT_EQ(read_lines(extract_.file("PLU.CSV")).size(), 100001u);
    EXPECT_EQ(read_file(extract_.file("notes.txt")), "mine");
}

TEST_F(ArchiveTest, AFailedExtractionLeavesNoMemberOrCsvFile) {
    ASSERT_EQ(ecr_dati_extract(archive().c_str(), extract_.path().string().c_str()), 0);
    write_file(extract_.file("notes.txt"), "mine");
    ByteVec b = read_bytes(archive());
    b[700000] ^= 0x10;
    write_bytes(archive(), b);
    EXPECT_EQ(ecr_dati_extract(archive().c_str(), extract_.path().string().c_str()),
              ECR_ERR_DATI_FILE_NOT_VALID);
    EXPECT_EQ(names_in(extract_), std::vector<std::string>{"notes.txt"});
    EXPECT_EQ(ecr_dati_extract(out_.file("none.dat").c_str(), extract_.path().string().c_str()),
              ERR_FILE_NOT_FOUND);
}

// Extraction, cleaning and the conversions form every path here.
TEST(MemberPath, AnEmptyFolderIsTheCurrentOneNeverTheRoot) {
    const struct {
        std::string dir, path;
    } cases[] = {
        {"", "." + kSep + "REPARTI.CSV"},
        {"out", "out" + kSep + "REPARTI.CSV"},
        {"out" + kSep, "out" + kSep + "REPARTI.CSV"},
        {kSep, kSep + "REPARTI.CSV"},
    };
    for (const auto& c : cases) EXPECT_EQ(member_path(c.dir, "REPARTI.CSV"), c.path) << c.dir;
}

TEST_F(ArchiveTest, ExtractionIntoAnEmptyFolderNameWritesIntoTheCurrentOne) {
    // Stops before the extraction rather than write into the root.
    ASSERT_EQ(member_path("", "PLU.BIN").substr(0, 2), "." + kSep);
    const CurrentDir here(extract_.path());
    ASSERT_EQ(ecr_dati_extract(archive().c_str(), ""), 0);
    for (std::size_t m = 0; m < kMemberCount; ++m)
        EXPECT_EQ(read_bytes(extract_.file(kMembers[m].name)), member_pattern(m))
            << kMembers[m].name;
    for (const char* csv : {"REPARTI.CSV", "PLU.CSV", "CLIENTI.CSV"})
        EXPECT_TRUE(fs::exists(extract_.file(csv))) << csv;
}

TEST_F(ArchiveTest, ANullFolderIsAParameterError) {
    EXPECT_EQ(ecr_dati_extract(archive().c_str(), nullptr), ECR_ERR_PARAMETRI);
    EXPECT_EQ(ecr_dati_extract(nullptr, extract_.path().string().c_str()), ECR_ERR_PARAMETRI);
}

#ifndef _WIN32
// A folder that takes no new files while its old ones can be written over:
// the earlier extraction (members, no REPARTI.CSV) must stay whole rather
// than get some new members beside old ones. Root writes through permission
// bits, so the child that extracts drops to an unprivileged user.
TEST_F(ArchiveTest, AFolderThatTakesNoNewFilesKeepsItsEarlierExtractionWhole) {
    const std::string dir = extract_.path().string();
    for (const Member& m : kMembers) {
        write_file(extract_.file(m.name), std::string("old ") + m.name);
        fs::permissions(extract_.file(m.name), fs::perms::all & ~fs::perms::others_exec &
                                                   ~fs::perms::group_exec & ~fs::perms::owner_exec);
    }
    fs::permissions(extract_.path(), fs::perms::owner_read | fs::perms::owner_exec |
                                         fs::perms::group_read | fs::perms::group_exec |
                                         fs::perms::others_read | fs::perms::others_exec);
    const auto child = [&]() -> int {
        constexpr uid_t kNobody = 65534;
        if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) return 2;
        if (ecr_dati_extract(archive().c_str(), dir.c_str()) == 0) return 3;
        int changed = 0;
        for (const Member& m : kMembers) {
            const std::string path = extract_.file(m.name);
            if (fs::exists(path) && read_file(path) != std::string("old ") + m.name) {
                std::fprintf(stderr, "%s was written over\n", m.name);
                ++changed;
            }
        }
        return changed == 0 ? 0 : 4;
    };
    EXPECT_EXIT(std::_Exit(child()), ::testing::ExitedWithCode(0), "");
    fs::permissions(extract_.path(), fs::perms::owner_all);
}
#endif

TEST_F(ArchiveTest, ExtractionIntoAMissingDirectoryFailsAndCreatesNothing) {
    const std::string dir = extract_.file("absent");
    EXPECT_EQ(ecr_dati_extract(archive().c_str(), dir.c_str()), ERR_FILE_CREATION);
    EXPECT_FALSE(fs::exists(dir));
}

TEST_F(ArchiveTest, InfoGivesTheHeaderAndItsVariables) {
    char org[ECR_DATI_INFO_BUFSIZE];
    char mod[ECR_DATI_INFO_BUFSIZE];
    char* vars[22] = {};
    ASSERT_EQ(ecr_dati_info(archive().c_str(), org, mod, vars), 0);
    EXPECT_STREQ(org, kHeader);
    EXPECT_STREQ(vars[0], "V5.02");
    EXPECT_STREQ(vars[1], "L");
    EXPECT_STREQ(vars[2], "SIM00012345");
    EXPECT_STREQ(vars[21], "");

    std::memset(org, 'x', sizeof org);
    ASSERT_EQ(ecr_dati_info(archive().c_str(), org, nullptr, nullptr), 0);
    EXPECT_STREQ(org, kHeader);
}

TEST_F(ArchiveTest, InfoOnAMissingOrBrokenArchiveLeavesEverythingEmpty) {
    ByteVec b = read_bytes(archive());
    b[3] ^= 1;
    write_bytes(out_.file("broken.dat"), b);
    const std::pair<std::string, std::int32_t> cases[] = {
        {out_.file("none.dat"), ERR_FILE_NOT_FOUND},
        {out_.file("broken.dat"), ECR_ERR_DATI_FILE_NOT_VALID}};
    for (const auto& [path, result] : cases) {
        char org[ECR_DATI_INFO_BUFSIZE] = "previous";
        char mod[ECR_DATI_INFO_BUFSIZE] = "previous";
        char* vars[22];
        for (auto& v : vars) v = org;
        EXPECT_EQ(ecr_dati_info(path.c_str(), org, mod, vars), result);
        EXPECT_STREQ(org, "");
        EXPECT_STREQ(mod, "");
        for (char* v : vars) EXPECT_STREQ(v, "");
    }
}

// An archive the library did not write: 512 header characters, no NUL.
TEST_F(ArchiveTest, InfoOfAHeaderWithoutNulStaysInsideTheCallersBuffers) {
    ByteVec b = read_bytes(archive());
    const std::string prefix = "VERSIONE=V5.02,TIPO_BITMAP=S,MATRICOLA=";
    std::string header = prefix;
    header.resize(512, 'A');
    std::memcpy(b.data(), header.data(), 512);
    put_u32(b, 7059612, crc32_of(std::span<const std::uint8_t>(b.data(), 7059612)));
    write_bytes(archive(), b);

    constexpr std::size_t kGuard = 16;
    std::vector<char> org(ECR_DATI_INFO_BUFSIZE + kGuard, '#');
    std::vector<char> mod(ECR_DATI_INFO_BUFSIZE + kGuard, '#');
    char* vars[22] = {};
    ASSERT_EQ(ecr_dati_info(archive().c_str(), org.data(), mod.data(), vars), 0);
    EXPECT_EQ(std::string(org.data()), header);
    EXPECT_STREQ(vars[1], "S");
    EXPECT_EQ(std::string(vars[2]), std::string(511 - prefix.size(), 'A'));
    for (std::size_t i = ECR_DATI_INFO_BUFSIZE; i < org.size(); ++i) {
        EXPECT_EQ(org[i], '#') << "info_org written at " << i;
        EXPECT_EQ(mod[i], '#') << "info_mod written at " << i;
    }
}

TEST_F(ArchiveTest, CleaningRemovesMembersAndCsvFilesOnly) {
    for (const char* extra : {"REPARTI.CSV", "PLU.CSV", "CLIENTI.CSV", "PLU.TMP", "other.bin"})
        write_file(members_.file(extra), "x");
    ecr_dati_clean_dir(members_.path().string());
    EXPECT_EQ(names_in(members_), (std::vector<std::string>{"PLU.TMP", "other.bin"}));
}

}  // namespace
}  // namespace veltra::test
