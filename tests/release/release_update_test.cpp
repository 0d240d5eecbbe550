// The register side of releases against ecrsim: the identity it reports,
// and the update: what the register receives (commands, the release put),
// what it is left in, and the work copy.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "ecrsim_test.hpp"
#include "faults.hpp"
#include "frame/library_frame.hpp"
#include "releases.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using ecrsim::Bytes;

class ReleaseOnEcrsim : public EcrsimTest {
protected:
    void SetUp() override {
        EcrsimTest::SetUp();
        saved_dir_ = dirname();
        set_dirname(work_.path().string());  // the trace goes there
        reg_->clear_transcript();
    }
    void TearDown() override { set_dirname(saved_dir_); }

    std::string release(const std::string& text, const std::string& file = "update.rel") {
        ecrsim::ReleaseFields f;
        f.text = text;
        const Bytes image = ecrsim::build_release(f);
        write_file(work_.file(file), std::string(image.begin(), image.end()));
        return work_.file(file);
    }
    std::vector<ecrsim::PutRecord> release_puts() const {
        std::vector<ecrsim::PutRecord> puts;
        for (const auto& p : reg_->transcript().puts)
            if (p.name != "COMMAND.TXT") puts.push_back(p);
        return puts;
    }
    std::int32_t info_cassa() {
        std::memset(name_, 'x', sizeof name_);
        std::memset(versione_, 'x', sizeof versione_);
        std::memset(bitmap_, 'x', sizeof bitmap_);
        return ecr_rel_info_cassa("127.0.0.1", name_, versione_, bitmap_);
    }
    std::vector<std::string> trace() const { return read_lines(work_.file("ecrlog.txt")); }

    EnvVar trace_on_{"ECR_TRACE", "1"};
    std::string saved_dir_;
    char name_[ECR_REL_TEXT_BUFSIZE + 8];
    char versione_[ECR_REL_TEXT_BUFSIZE + 8];
    char bitmap_[ECR_REL_BITMAP_BUFSIZE + 8];
};

TEST_F(ReleaseOnEcrsim, InfoCassaReportsTheRegistersRelease) {
    ASSERT_EQ(info_cassa(), 0);
    EXPECT_STREQ(name_, "ELT5");
    EXPECT_STREQ(versione_, "V5.02");
    EXPECT_STREQ(bitmap_, "L");
    EXPECT_EQ(commands(), Lines{"INFO"});

    reg_->set_layout({ecrsim::Generation::Old, 'S'}, false);
    ASSERT_EQ(info_cassa(), 0) << "a register without release name still answers";
    EXPECT_STREQ(name_, "");
    EXPECT_STREQ(versione_, "V1.07");
    EXPECT_STREQ(bitmap_, "S");
    const auto lines = trace();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().substr(12),
              " ecr_rel_info_cassa -- end  : esito='0' name='' versione='V1.07' tipo_bitmap='S'");
}

TEST_F(ReleaseOnEcrsim, InfoCassaCutsLongTextsToTheBuffers) {
    // The INFO answer holds at most 511 characters: one long text at a time.
    reg_->set_info_field(0, std::string(300, 'v'));
    reg_->set_info_field(1, "LS");
    ASSERT_EQ(info_cassa(), 0);
    EXPECT_EQ(std::string(versione_), std::string(63, 'v'));
    EXPECT_STREQ(bitmap_, "L");
    EXPECT_EQ(versione_[ECR_REL_TEXT_BUFSIZE], 'x');
    EXPECT_EQ(bitmap_[ECR_REL_BITMAP_BUFSIZE], 'x');

    reg_->set_info_field(0, std::nullopt);
    reg_->set_info_field(21, std::string(100, 'n'));
    ASSERT_EQ(info_cassa(), 0);
    EXPECT_EQ(std::string(name_), std::string(63, 'n'));
    EXPECT_EQ(name_[ECR_REL_TEXT_BUFSIZE], 'x');
    EXPECT_STREQ(versione_, "V5.02");
}

TEST_F(ReleaseOnEcrsim, InfoCassaFailureLeavesTheBuffersEmpty) {
    std::memset(name_, 'x', sizeof name_);
    std::memset(versione_, 'x', sizeof versione_);
    std::memset(bitmap_, 'x', sizeof bitmap_);
    EXPECT_EQ(ecr_rel_info_cassa("1.2.3.4.5", name_, versione_, bitmap_), ERR_INVALID_IP_ADDRESS);
    EXPECT_TRUE(!name_[0] && !versione_[0] && !bitmap_[0]);
    EXPECT_EQ(ecr_rel_info_cassa("127.0.0.1", name_, nullptr, bitmap_), ECR_ERR_PARAMETRI);
    EXPECT_TRUE(commands().empty());
}

TEST_F(ReleaseOnEcrsim, UpdateOfAFreeRegisterEntersSetupAndPutsTheRelease) {
    const std::string file = release("ELT5 V5.03");
    ASSERT_EQ(ecr_rel_update(file.c_str(), "127.0.0.1"), 0);
    // The release query, the readiness check, SETUP 1; never SETUP 0.
    EXPECT_EQ(commands(), (Lines{"INFO", "INFO", "SETUP 1"}));
    const auto puts = release_puts();
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(puts[0].name, "ELT5.BIN");
    EXPECT_EQ(std::string(puts[0].bytes.begin(), puts[0].bytes.end()), read_file(file));
    EXPECT_TRUE(reg_->setup_mode());
    EXPECT_TRUE(temp_is_empty()) << "the work copy is gone";

    // ecrsim installed it: the register now runs the new version.
    ASSERT_EQ(info_cassa(), 0);
    EXPECT_STREQ(name_, "ELT5");
    EXPECT_STREQ(versione_, "V5.03");

    const auto lines = trace();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0].substr(12),
              " ecr_rel_update -- begin: filename='" + file + "' hostname='127.0.0.1'");
    EXPECT_EQ(lines[1].find(" ecr_rel_info_file -- begin: filename='" + file + "'"), 12u);
    EXPECT_EQ(lines[2].substr(12),
              " ecr_rel_info_file -- end  : esito='0' name='ELT5' versione='V5.03' "
              "tipo_bitmap='L'");
    bool update_end = false;
    for (const auto& l : lines) update_end |= l.substr(12) == " ecr_rel_update -- end  : esito='0'";
    EXPECT_TRUE(update_end);
}

TEST_F(ReleaseOnEcrsim, ARegisterInSetupModeGetsNoSetupCommand) {
    reg_->set_setup_mode(true);
    ASSERT_EQ(ecr_rel_update(release("ELT5 V5.10 test").c_str(), "127.0.0.1"), 0);
    EXPECT_EQ(commands(), (Lines{"INFO", "INFO"}));
    ASSERT_EQ(release_puts().size(), 1u);
    EXPECT_TRUE(reg_->setup_mode());
    ASSERT_EQ(info_cassa(), 0);
    EXPECT_STREQ(versione_, "V5.10 test");
}

TEST_F(ReleaseOnEcrsim, AnExistingWorkCopyIsOverwrittenAndRemoved) {
    write_file(temp_.file("ELT5.BIN"), "an older file of the same name");
    const std::string file = release("ELT5 V5.03");
    ASSERT_EQ(ecr_rel_update(file.c_str(), "127.0.0.1"), 0);
    const auto puts = release_puts();
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(std::string(puts[0].bytes.begin(), puts[0].bytes.end()), read_file(file));
    EXPECT_TRUE(temp_is_empty());
}

TEST_F(ReleaseOnEcrsim, AFailedTransferLeavesSetupModeAndNoWorkCopy) {
    reg_->add_fault(*ecrsim::parse_tftp_fault("error:2:3@ELT5.BIN"));
    EXPECT_EQ(ecr_rel_update(release("ELT5 V5.03").c_str(), "127.0.0.1"), ERR_TRANSFER_FAILED);
    EXPECT_EQ(commands(), (Lines{"INFO", "INFO", "SETUP 1"}));
    EXPECT_TRUE(reg_->setup_mode());
    EXPECT_TRUE(temp_is_empty());
    ASSERT_EQ(info_cassa(), 0);
    EXPECT_STREQ(versione_, "V5.02");
}

TEST_F(ReleaseOnEcrsim, AReleaseNameThatLeavesTheTemporaryDirectoryIsNotUsed) {
    const std::string escape = "../veltra-release-escape-" + std::to_string(reg_->tftp_port());
    reg_->set_info_field(21, escape);
    EXPECT_EQ(ecr_rel_update(release(escape + " V1").c_str(), "127.0.0.1"), ERR_FILE_CREATION);
    EXPECT_FALSE(fs::exists(temp_.path() / (escape + ".BIN")));
    EXPECT_EQ(commands(), Lines{"INFO"});
    EXPECT_TRUE(release_puts().empty());
}

// A release named like one of the register's files would be put over it.
class ReleaseNamedLikeARegisterFile : public ReleaseOnEcrsim,
                                      public ::testing::WithParamInterface<const char*> {};

TEST_P(ReleaseNamedLikeARegisterFile, IsRefusedAndNothingIsPut) {
    const std::string name = GetParam();
    reg_->set_info_field(21, name);
    EXPECT_EQ(ecr_rel_update(release(name + " V1").c_str(), "127.0.0.1"),
              ECR_ERR_REL_FILE_NOT_VALID);
    EXPECT_EQ(commands(), Lines{"INFO"});
    EXPECT_TRUE(release_puts().empty());
    EXPECT_TRUE(temp_is_empty());
    EXPECT_FALSE(reg_->setup_mode());
}

INSTANTIATE_TEST_SUITE_P(Names, ReleaseNamedLikeARegisterFile,
                         ::testing::Values("PLU", "plu", "REPARTI", "PROG_PARAM", "TAV_MIN"),
                         [](const auto& info) { return std::string(info.param); });

// Updates refused before the register is asked to do anything.
struct RefusalCase {
    const char* what;
    std::string text;  // the file's release text; empty: the file is damaged
    std::function<void(ecrsim::Register&)> prepare;
    std::int32_t result;
    Lines commands;
};

// Test names show the case, not its bytes.
void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.what;
}

class UpdateRefusal : public ReleaseOnEcrsim, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(UpdateRefusal, NothingIsSentAndNothingIsLeft) {
    const RefusalCase& c = GetParam();
    if (c.prepare) c.prepare(*reg_);
    std::string file;
    if (c.text.empty()) {
        file = release("ELT5 V5.03");
        std::string bytes = read_file(file);
        bytes[70000] ^= 0x10;
        write_file(file, bytes);
    } else {
        file = release(c.text);
    }
    EXPECT_EQ(ecr_rel_update(file.c_str(), "127.0.0.1"), c.result);
    EXPECT_EQ(commands(), c.commands);
    EXPECT_TRUE(release_puts().empty());
    EXPECT_TRUE(temp_is_empty());
    EXPECT_EQ(reg_->setup_mode(), false);
}

void field(ecrsim::Register& r, int index, const std::string& value) {
    r.set_info_field(index, value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateRefusal,
    ::testing::Values(
        RefusalCase{"damaged", "", nullptr, ECR_ERR_REL_FILE_NOT_VALID, {}},
        RefusalCase{"name differs in letter case",
                    "elt5 V5.03",
                    nullptr,
                    ECR_ERR_REL_FILE_NOT_CASSA,
                    {"INFO"}},
        RefusalCase{"another release", "ELT7 V7.01", nullptr, ECR_ERR_REL_FILE_NOT_CASSA, {"INFO"}},
        RefusalCase{"file without name", " V5.03", nullptr, ECR_ERR_REL_FILE_NOT_CASSA, {"INFO"}},
        RefusalCase{"register without name",
                    "ELT5 V5.03",
                    [](ecrsim::Register& r) { field(r, 21, ""); },
                    ECR_ERR_REL_CASSA_NOT_SUPP,
                    {"INFO"}},
        RefusalCase{"old register",
                    "ELT5 V5.03",
                    [](ecrsim::Register& r) {
                        r.set_layout({ecrsim::Generation::Old, 'L'}, false);
                    },
                    ECR_ERR_REL_CASSA_NOT_SUPP,
                    {"INFO"}},
        RefusalCase{"register without version",
                    "ELT5 V5.03",
                    [](ecrsim::Register& r) { field(r, 0, ""); },
                    ECR_ERR_REL_CASSA_NOT_SUPP,
                    {"INFO"}},
        RefusalCase{"register without bitmap type",
                    "ELT5 V5.03",
                    [](ecrsim::Register& r) { field(r, 1, ""); },
                    ECR_ERR_REL_CASSA_NOT_SUPP,
                    {"INFO"}},
        RefusalCase{"register busy",
                    "ELT5 V5.03",
                    [](ecrsim::Register& r) { r.set_keep_busy(true); },
                    ERR_REG_NON_DISP,
                    {"INFO", "INFO"}},
        RefusalCase{"receipt open",
                    "ELT5 V5.03",
                    [](ecrsim::Register& r) { r.set_state_letter('V'); },
                    ERR_REG_NON_DISP,
                    {"INFO", "INFO"}}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) {
        std::string n;
        for (const char* p = info.param.what; *p; ++p)
            if (std::isalnum(static_cast<unsigned char>(*p))) n += *p;
        return n;
    });

TEST_F(ReleaseOnEcrsim, AMissingFileIsNotFound) {
    EXPECT_EQ(ecr_rel_update(work_.file("none.rel").c_str(), "127.0.0.1"), ERR_FILE_NOT_FOUND);
    EXPECT_TRUE(commands().empty());
}

}  // namespace
}  // namespace veltra::test
