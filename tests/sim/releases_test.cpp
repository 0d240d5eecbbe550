// The simulated register's releases: a sound release of its own name is
// installed and reported by INFO, anything else is refused with the old
// release kept, and the sample releases pass the library's check.
#include "releases.hpp"

#include <algorithm>

#include "net/endpoints.hpp"
#include "options_parse.hpp"
#include "release/release_file.hpp"
#include "sim_fixture.hpp"

namespace ecrsim::test {
namespace {

class ReleaseTest : public SimTest {
protected:
    void SetUp() override {
        start();
        command("SETUP 1");
    }
    bool logged(const std::string& text) const {
        const auto lines = reg_->transcript().lines;
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }
};

TEST_F(ReleaseTest, ASoundReleaseIsInstalledAndKeptAcrossStarts) {
    ReleaseFields f;
    f.text = "ELT5 V5.03 beta";
    const Bytes image = build_release(f);
    ASSERT_EQ(put("ELT5.BIN", image)->opcode(), veltra::kTftpAck);
    EXPECT_EQ(info(0), "V5.03 beta");
    EXPECT_EQ(info(21), "ELT5");
    EXPECT_EQ(info(1), "L");
    EXPECT_EQ(reg_->file("ELT5.BIN"), image);
    EXPECT_TRUE(logged("release file ELT5.BIN installed: ELT5 V5.03 beta (131072 bytes)"));

    reg_.reset();
    start();
    EXPECT_EQ(info(0), "V5.03 beta");
    EXPECT_EQ(info(21), "ELT5");
}

struct RefusedCase {
    const char* what;
    Bytes image;
    const char* why;
};

Bytes changed(Bytes image, std::size_t at) {
    image[at] ^= 0x40;
    return image;
}

Bytes built(std::string text, std::uint32_t bitmap = 'L', std::uint32_t mark20 = 0xE1A00000u,
            std::uint32_t mark28 = 0, std::size_t size = 131072) {
    return build_release({std::move(text), bitmap, mark20, mark28, size});
}

TEST_F(ReleaseTest, AnythingElseIsRefusedAndTheOldReleaseKept) {
    const Bytes sound = built("ELT5 V5.03");
    const RefusedCase cases[] = {
        {"changed byte", changed(sound, 1000), "CRC does not match"},
        {"changed CRC", changed(sound, sound.size() - 2), "CRC does not match"},
        {"no mark", built("ELT5 V5.03", 'L', 0, 7), "no image mark"},
        {"no blank", built("ELT5"), "release text 'ELT5' without a blank"},
        {"bitmap word 0x14C", built("ELT5 V5.03", 0x14C), "bitmap type 332"},
        {"size", built("ELT5 V5.03", 'L', 0xE1A00000u, 0, 131070), "size 131070 out of range"},
        {"another release", built("ELT7 V7.01"), "release ELT7 is not ELT5"},
        {"letter case", built("elt5 V5.03"), "release elt5 is not ELT5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reg_->clear_transcript();
        ASSERT_EQ(put("ELT5.BIN", c.image)->opcode(), veltra::kTftpAck);
        EXPECT_TRUE(logged(std::string("release file ELT5.BIN refused: ") + c.why));
        EXPECT_EQ(info(0), "V5.02");
        EXPECT_EQ(info(21), "ELT5");
        EXPECT_FALSE(reg_->file("ELT5.BIN"));
    }
    EXPECT_EQ(reg_->releases().size(), std::size(cases));
}

TEST_F(ReleaseTest, ARegisterWithoutReleaseNameTakesNoUpdate) {
    reg_->set_layout({Generation::Unsupported, 'L'}, false);
    ASSERT_EQ(put("ELT5.BIN", built("ELT5 V5.03"))->opcode(), veltra::kTftpAck);
    EXPECT_TRUE(logged("refused: this register takes no release update"));
    EXPECT_EQ(info(0), "V2.30");
    EXPECT_EQ(info(21), "");
}

TEST_F(ReleaseTest, SampleReleasesPassTheLibrarysCheck) {
    const auto files = write_sample_releases(dir_.path() / "rel", "ELT5", "V5.02", 'S');
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].filename(), "ELT5_V5.03.BIN");
    EXPECT_EQ(files[1].filename(), "ELT7_V7.01.BIN");
    veltra::ReleaseIdentity id;
    ASSERT_EQ(veltra::ecr_rel_read_file(files[0].string().c_str(), id), 0);
    EXPECT_EQ(id, (veltra::ReleaseIdentity{"ELT5", "V5.03", "S"}));
    ASSERT_EQ(veltra::ecr_rel_read_file(files[1].string().c_str(), id), 0);
    EXPECT_EQ(id, (veltra::ReleaseIdentity{"ELT7", "V7.01", "S"}));
    // A register without release name gets the other one only.
    EXPECT_EQ(write_sample_releases(dir_.path() / "old", "", "V1.07", 'L').size(), 1u);
}

TEST(ReleaseVersions, NextVersionCountsUpTheLastNumber) {
    const std::pair<const char*, const char*> cases[] = {
        {"V5.02", "V5.03"},      {"V5.09", "V5.10"}, {"V9", "V10"},
        {"1.99 rc", "1.100 rc"}, {"beta", "beta1"},  {"", "1"},
    };
    for (const auto& [from, to] : cases) EXPECT_EQ(next_version(from), to) << from;
}

TEST(ReleaseOptions, SeedReleasesTakesADirectory) {
    ProgramOptions p;
    std::string error;
    ASSERT_TRUE(parse_program_options({"--state", "s", "--seed-releases", "/tmp/r"}, p, error));
    EXPECT_EQ(p.release_dir, "/tmp/r");
    ProgramOptions q;
    EXPECT_FALSE(parse_program_options({"--state", "s", "--seed-releases"}, q, error));
    EXPECT_FALSE(parse_program_options({"--state", "s", "--seed-releases", ""}, q, error));
}

}  // namespace
}  // namespace ecrsim::test
