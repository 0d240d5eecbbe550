// Release file checks on files built in the test: each check of the layout
// on its own, the identity read from a sound file, and the exported call's
// buffers and trace lines.
#include "release/release_file.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "frame/library_frame.hpp"
#include "frame/trace.hpp"
#include "le_bytes.hpp"
#include "releases.hpp"
#include "test_support.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

using ecrsim::Bytes;
using ecrsim::ReleaseFields;

class ReleaseFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_dir_ = dirname();
        set_dirname(dir_.path().string());
    }
    void TearDown() override { set_dirname(saved_dir_); }

    std::string write(const Bytes& image, const std::string& name = "release.bin") {
        write_file(dir_.file(name), std::string(image.begin(), image.end()));
        return dir_.file(name);
    }
    std::int32_t info(const std::string& path) {
        std::memset(name_, 'x', sizeof name_);
        std::memset(versione_, 'x', sizeof versione_);
        std::memset(bitmap_, 'x', sizeof bitmap_);
        return ecr_rel_info_file(path.c_str(), name_, versione_, bitmap_);
    }
    bool outputs_empty() const { return !name_[0] && !versione_[0] && !bitmap_[0]; }
    std::vector<std::string> trace() const { return read_lines(dir_.file("ecrlog.txt")); }

    TempDir dir_;
    std::string saved_dir_;
    EnvVar trace_on_{"ECR_TRACE", "1"};
    char name_[ECR_REL_TEXT_BUFSIZE + 8];
    char versione_[ECR_REL_TEXT_BUFSIZE + 8];
    char bitmap_[ECR_REL_BITMAP_BUFSIZE + 8];
};

struct BadCase {
    const char* what;
    Bytes image;
};

TEST_F(ReleaseFileTest, EveryBrokenRuleMakesTheFileNotValid) {
    ReleaseFields f;
    ReleaseFields no_blank = f;
    no_blank.text = "ELT5";
    ReleaseFields empty_text = f;
    empty_text.text = "";
    ReleaseFields bitmap_14c = f;
    bitmap_14c.bitmap = 0x14C;  // low byte 76, but not the word 76
    ReleaseFields bitmap_x = f;
    bitmap_x.bitmap = 'X';
    ReleaseFields no_mark = f;
    no_mark.mark20 = 0;
    no_mark.mark28 = 0xE1A00001u;
    ReleaseFields short_file = f;
    short_file.size = 65544;  // CRC sound, but text and bitmap type lie beyond the end
    ReleaseFields too_big = f;
    too_big.size = 516100;
    ReleaseFields odd = f;
    odd.size = 131074;
    const BadCase cases[] = {
        {"size 0", Bytes{}},
        {"size 516100", ecrsim::build_release(too_big)},
        {"size not a multiple of 4", ecrsim::build_release(odd)},
        {"size 3", Bytes{1, 2, 3}},
        {"text without a blank", ecrsim::build_release(no_blank)},
        {"empty text", ecrsim::build_release(empty_text)},
        {"bitmap word 0x14C", ecrsim::build_release(bitmap_14c)},
        {"bitmap word 88", ecrsim::build_release(bitmap_x)},
        {"no mark at 20 or 28", ecrsim::build_release(no_mark)},
        {"too short for its text", ecrsim::build_release(short_file)},
        {"4 bytes, CRC mismatch", Bytes(4, 0xFF)},
        {"4 zero bytes: CRC sound, no text", Bytes(4, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(info(write(c.image)), ECR_ERR_REL_FILE_NOT_VALID);
        EXPECT_TRUE(outputs_empty());
    }
}

TEST_F(ReleaseFileTest, AnyChangedByteIsCaughtByTheCrc) {
    const Bytes sound = ecrsim::build_release({});
    ASSERT_EQ(info(write(sound)), 0);
    const std::size_t n = sound.size();
    for (std::size_t at : {std::size_t{0}, std::size_t{20}, std::size_t{4096}, std::size_t{65540},
                           std::size_t{65544}, std::size_t{65607}, n - 5, n - 4, n - 1}) {
        for (std::uint8_t flip : {std::uint8_t{0x01}, std::uint8_t{0x80}}) {
            SCOPED_TRACE("byte " + std::to_string(at) + " ^ " + std::to_string(flip));
            Bytes image = sound;
            image[at] ^= flip;
            EXPECT_EQ(info(write(image)), ECR_ERR_REL_FILE_NOT_VALID);
            EXPECT_TRUE(outputs_empty());
        }
    }
}

struct GoodCase {
    const char* what;
    ReleaseFields fields;
    std::string name, versione, bitmap;
};

// GCC 12 at -O3 takes the default members of aggregate-initialised
// ReleaseFields in this table for uninitialised (a false warning).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
TEST_F(ReleaseFileTest, IdentityOfSoundFiles) {
    const std::string blank_last = std::string(63, 'N') + " ";
    const GoodCase cases[] = {
        {"name and version", {"ELT5 V5.03", 'L'}, "ELT5", "V5.03", "L"},
        {"second blank stays in the version", {"R1 2.05 beta", 'S'}, "R1", "2.05 beta", "S"},
        {"text starting with the blank", {" 2.05", 'L'}, "", "2.05", "L"},
        {"empty version", {"R1 ", 'L'}, "R1", "", "L"},
        {"64 characters without NUL",
         {"R1 " + std::string(61, 'v'), 'L'},
         "R1",
         std::string(61, 'v'),
         "L"},
        {"63-character name", {blank_last, 'L'}, std::string(63, 'N'), "", "L"},
        {"mark only at 28", {"R1 1", 'L', 0, 0xE1A00000u}, "R1", "1", "L"},
        {"no mark at 20, zero at 28", {"R1 1", 'L', 0x12345678u, 0}, "R1", "1", "L"},
        {"largest size", {"R1 1", 'L', 0xE1A00000u, 0, 516096}, "R1", "1", "L"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(info(write(ecrsim::build_release(c.fields))), 0);
        EXPECT_EQ(std::string(name_), c.name);
        EXPECT_EQ(std::string(versione_), c.versione);
        EXPECT_EQ(std::string(bitmap_), c.bitmap);
        // Nothing beyond the documented sizes.
        EXPECT_EQ(name_[ECR_REL_TEXT_BUFSIZE], 'x');
        EXPECT_EQ(versione_[ECR_REL_TEXT_BUFSIZE], 'x');
        EXPECT_EQ(bitmap_[ECR_REL_BITMAP_BUFSIZE], 'x');
    }
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

TEST_F(ReleaseFileTest, MemoryAndFileChecksAgree) {
    ReleaseFields f;
    f.text = "R1 2.05 beta";
    f.bitmap = 'S';
    const Bytes image = ecrsim::build_release(f);
    ReleaseIdentity from_file, from_memory;
    EXPECT_EQ(ecr_rel_read_file(write(image).c_str(), from_file), 0);
    EXPECT_EQ(ecr_rel_check_image(image, from_memory), 0);
    EXPECT_EQ(from_file, from_memory);
    EXPECT_EQ(from_file, (ReleaseIdentity{"R1", "2.05 beta", "S"}));
    Bytes bad = image;
    bad[100] ^= 1;
    EXPECT_EQ(ecr_rel_check_image(bad, from_memory), ECR_ERR_REL_FILE_NOT_VALID);
    EXPECT_EQ(from_memory, ReleaseIdentity{});
}

TEST_F(ReleaseFileTest, AMissingFileIsNotFound) {
    EXPECT_EQ(info(dir_.file("none.bin")), ERR_FILE_NOT_FOUND);
    EXPECT_TRUE(outputs_empty());
    EXPECT_EQ(ecr_rel_info_file(nullptr, name_, versione_, bitmap_), ERR_FILE_NOT_FOUND);
    EXPECT_EQ(
        ecr_rel_info_file(write(ecrsim::build_release({})).c_str(), nullptr, versione_, bitmap_),
        ECR_ERR_PARAMETRI);
    EXPECT_TRUE(!versione_[0] && !bitmap_[0]);
}

TEST_F(ReleaseFileTest, AFileThatCannotBeReadIsNotValid) {
    const std::string path = write(ecrsim::build_release({}), "locked.bin");
    std::filesystem::permissions(path, std::filesystem::perms::none);
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fclose(f);
        GTEST_SKIP() << "this user reads a file without read permission";
    }
    EXPECT_EQ(info(path), ECR_ERR_REL_FILE_NOT_VALID);
    EXPECT_TRUE(outputs_empty());
}

TEST_F(ReleaseFileTest, TraceLinesShowTheBuffersAndTheIdentity) {
    ReleaseFields f;
    f.text = "R1 2.05 beta";
    const std::string path = write(ecrsim::build_release(f));
    ASSERT_EQ(info(path), 0);
    char begin[256];
    std::snprintf(begin, sizeof begin,
                  " ecr_rel_info_file -- begin: filename='%s' name='%08X' versione='%08X' "
                  "tipo_bitmap='%08X'",
                  path.c_str(), trace_addr(name_), trace_addr(versione_), trace_addr(bitmap_));
    ASSERT_EQ(info(dir_.file("none.bin")), ERR_FILE_NOT_FOUND);
    const auto lines = trace();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].substr(12), begin);
    EXPECT_EQ(lines[1].substr(12),
              " ecr_rel_info_file -- end  : esito='0' name='R1' versione='2.05 beta' "
              "tipo_bitmap='L'");
    EXPECT_EQ(lines[3].substr(12),
              " ecr_rel_info_file -- end  : esito='ERR_FILE_NOT_FOUND' name='' versione='' "
              "tipo_bitmap=''");
}

}  // namespace
}  // namespace veltra::test
