// Save and restore against ecrsim registers of each generation and bitmap
// type: what the register is sent, what the archive holds, what lands in
// the register's state.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "backup/archive.hpp"
#include "backup_test_support.hpp"
#include "simulator.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using ecrsim::Generation;
using ecrsim::Layout;

const char* const kHost = "127.0.0.1";

std::unique_ptr<ecrsim::Register> start_register(const TempDir& state, Layout layout) {
    ecrsim::Options o;
    o.address = kHost;
    o.state_dir = state.path();
    o.layout = layout;
    o.busy_ms = 100;
    return std::make_unique<ecrsim::Register>(o);
}

std::string text_at(const ByteVec& b, std::size_t at, std::size_t width) {
    const char* p = reinterpret_cast<const char*>(b.data() + at);
    return std::string(p, strnlen(p, width));
}

// The member m of an archive.
ByteVec member_of(const ByteVec& archive, std::size_t m) {
    const auto at = archive.begin() + member_offset(m);
    return ByteVec(at, at + kMembers[m].size);
}

std::size_t member_index(const std::string& name) {
    for (std::size_t m = 0; m < kMemberCount; ++m)
        if (name == kMembers[m].name) return m;
    return kMemberCount;
}

class BackupOnEcrsim : public ::testing::Test {
protected:
    void use(Layout layout) {
        reg_ = start_register(state_, layout);
        port_ = std::make_unique<EnvVar>("ECR_TFTP_PORT", std::to_string(reg_->tftp_port()));
        reg_->clear_transcript();
    }
    Lines commands() const { return reg_->transcript().commands; }
    Lines setup_commands() const {
        Lines out;
        for (const auto& c : commands())
            if (c != "INFO") out.push_back(c);
        return out;
    }
    Lines table_gets() const {
        Lines out;
        for (const auto& g : reg_->transcript().gets)
            if (g != "RESPONSE.TXT") out.push_back(g);
        return out;
    }
    Lines table_puts() const {
        Lines out;
        for (const auto& p : reg_->transcript().puts)
            if (p.name != "COMMAND.TXT") out.push_back(p.name);
        return out;
    }
    std::string archive() const { return out_.file("cassa.bak"); }
    bool temp_is_empty() const {
        for (const auto& e : fs::directory_iterator(temp_.path()))
            ADD_FAILURE() << "left in the temporary directory: " << e.path().filename();
        return fs::is_empty(temp_.path());
    }
    ByteVec reg_file(const char* name) const { return *reg_->file(name); }

    // Made before TEMP points at temp_, so none of them lies inside it.
    TempDir state_, source_state_, out_, temp_;
    EnvVar temp_var_{"TEMP", temp_.path().string()};
    std::unique_ptr<ecrsim::Register> reg_;
    std::unique_ptr<EnvVar> port_;
};

Lines member_names(bool with_tav_min) {
    Lines names;
    for (const Member& m : kMembers)
        if (with_tav_min || std::string(m.name) != "TAV_MIN.BIN") names.push_back(m.name);
    return names;
}

TEST_F(BackupOnEcrsim, ASaveOfACurrentRegisterHoldsItsFilesByteForByte) {
    use({Generation::Current, 'L'});
    ASSERT_EQ(ecr_dati_save(archive().c_str(), kHost), 0);
    EXPECT_EQ(setup_commands(), (Lines{"SETUP 1", "SETUP 0"}));
    EXPECT_EQ(table_gets(), member_names(true));
    const ByteVec a = read_bytes(archive());
    ASSERT_EQ(a.size(), kArchiveSize);
    for (std::size_t m = 0; m < kMemberCount; ++m)
        EXPECT_EQ(member_of(a, m), reg_file(kMembers[m].name)) << kMembers[m].name;
    EXPECT_TRUE(temp_is_empty());
    EXPECT_FALSE(reg_->setup_mode());

    // The header is the INFO answer of the save.
    char org[ECR_DATI_INFO_BUFSIZE], mod[ECR_DATI_INFO_BUFSIZE];
    char* vars[22];
    ASSERT_EQ(ecr_dati_info(archive().c_str(), org, mod, vars), 0);
    EXPECT_EQ(std::string(org).rfind("VERSIONE=V5.02,TIPO_BITMAP=L,", 0), 0u);
    EXPECT_STREQ(vars[21], "ELT5");
}

TEST_F(BackupOnEcrsim, ASaveOfAShortRegisterExpandsItsLinesAndBitmaps) {
    use({Generation::Current, 'S'});
    ASSERT_EQ(ecr_dati_save(archive().c_str(), kHost), 0);
    const ByteVec a = read_bytes(archive());
    ASSERT_EQ(a.size(), kArchiveSize);
    const ByteVec head = member_of(a, 0);
    const ByteVec short_head = reg_file("INTESTAZIONE.BIN");
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(text_at(head, i * 38 + 1, 37), text_at(short_head, i * 26 + 1, 25));
    EXPECT_EQ(text_at(head, 1, 37), "ALIMENTARI ROSSI & C. SN");
    const ByteVec bmp = member_of(a, 8);
    EXPECT_EQ(get_u32(bmp, 0), 80u);
    EXPECT_EQ(get_u32(bmp, 4), 64u);
    const ByteVec short_bmp = reg_file("BITMAP.BIN");
    EXPECT_TRUE(
        std::equal(short_bmp.begin() + 8, short_bmp.begin() + 8 + 48, bmp.begin() + 8 + 16));
    EXPECT_EQ(member_of(a, 10), reg_file("PLU.BIN"));
}

TEST_F(BackupOnEcrsim, ASaveOfAnOldRegisterUpgradesItsTablesAndMakesTavMin) {
    use({Generation::Old, 'L'});
    ASSERT_EQ(ecr_dati_save(archive().c_str(), kHost), 0);
    EXPECT_EQ(table_gets(), member_names(false));
    const ByteVec a = read_bytes(archive());
    ASSERT_EQ(a.size(), kArchiveSize);
    const ByteVec reparti = member_of(a, 2), plu = member_of(a, 10), clienti = member_of(a, 9);
    const ByteVec old_reparti = reg_file("REPARTI.BIN"), old_plu = reg_file("PLU.BIN");
    const Layout old{Generation::Old, 'L'};
    for (const int id : {1, 10, 80})
        EXPECT_EQ(ByteVec(reparti.begin() + (id - 1) * 50, reparti.begin() + id * 50),
                  ecrsim::department_record(old_reparti, old, id))
            << "department " << id;
    for (const int id : {1, 16, 5000})
        EXPECT_EQ(ByteVec(plu.begin() + (id - 1) * 64, plu.begin() + id * 64),
                  ecrsim::article_record(old_plu, old, id))
            << "article " << id;
    EXPECT_EQ(text_at(plu, 5000 * 64 + 1, 25), "PLU 5001");
    EXPECT_EQ(text_at(clienti, 1 * 256 + 2, 41), "TRATTORIA DA MARIO SRL");
    EXPECT_EQ(text_at(clienti, 1 * 256 + 125, 12), "02345678901");
    EXPECT_EQ(text_at(member_of(a, 6), 272, 25), "TALLON_1");
    EXPECT_EQ(text_at(member_of(a, 11), 199 * 64, 64), "TAVOLO 200");

    TempDir dir;
    EXPECT_EQ(ecr_dati_extract(archive().c_str(), dir.path().string().c_str()), 0);
    EXPECT_EQ(read_lines(dir.file("REPARTI.CSV")).size(), 81u);
}

TEST_F(BackupOnEcrsim, ALeftoverTmpFileDoesNotKeepTheOldLayout) {
    use({Generation::Old, 'S'});
    write_file(temp_.file("PLU.TMP"), "from a broken upgrade");
    write_file(temp_.file("REPARTI.TMP"), "from a broken upgrade");
    ASSERT_EQ(ecr_dati_save(archive().c_str(), kHost), 0);
    const ByteVec a = read_bytes(archive());
    EXPECT_EQ(text_at(member_of(a, 10), 1, 25), "MELE GOLDEN KG");
    EXPECT_EQ(text_at(member_of(a, 0), 1, 37), "ALIMENTARI ROSSI & C. SN");
    EXPECT_TRUE(temp_is_empty());
}

TEST_F(BackupOnEcrsim, AnUnsupportedRegisterIsRefusedBeforeAnySetupCommand) {
    use({Generation::Unsupported, 'L'});
    EXPECT_EQ(ecr_dati_save(archive().c_str(), kHost), ECR_ERR_DATI_CASSA_NOT_SUPP);
    EXPECT_TRUE(setup_commands().empty());
    EXPECT_TRUE(table_gets().empty());
    EXPECT_FALSE(fs::exists(archive()));
}

TEST_F(BackupOnEcrsim, AFetchedMemberOfAWrongSizeKeepsThePreviousArchive) {
    use({Generation::Current, 'L'});
    ASSERT_EQ(ecr_dati_save(archive().c_str(), kHost), 0);
    const ByteVec previous = read_bytes(archive());
    reg_->put_file("REPARTI.BIN", ByteVec(4001, 1));
    reg_->clear_transcript();
    EXPECT_EQ(ecr_dati_save(archive().c_str(), kHost), ERR_INVALID_FILESIZE);
    EXPECT_EQ(setup_commands(), (Lines{"SETUP 1", "SETUP 0"}));
    EXPECT_EQ(table_gets(), (Lines{"INTESTAZIONE.BIN", "CORTESIA.BIN", "REPARTI.BIN"}));
    EXPECT_EQ(read_bytes(archive()), previous);
    EXPECT_FALSE(fs::exists(archive() + ".part"));
    EXPECT_TRUE(temp_is_empty());
}

// A type "S" register may send a member in the full layout already: the
// archive holds it as sent, not as an expansion of zeros.
TEST_F(BackupOnEcrsim, ASaveOfAShortRegisterKeepsAHeaderSentInTheFullLayout) {
    use({Generation::Current, 'S'});
    ByteVec full_head(304, 0);
    for (std::size_t i = 0; i < 8; ++i) {
        full_head[i * 38] = static_cast<std::uint8_t>(i + 1);
        const std::string text = "RIGA " + std::to_string(i) + " DI TRENTASEI CARATTERI PIENA";
        std::copy(text.begin(), text.end(),
                  full_head.begin() + static_cast<std::ptrdiff_t>(i * 38 + 1));
    }
    reg_->put_file("INTESTAZIONE.BIN", full_head);
    ASSERT_EQ(ecr_dati_save(archive().c_str(), kHost), 0);
    const ByteVec a = read_bytes(archive());
    ASSERT_EQ(a.size(), kArchiveSize);
    EXPECT_EQ(member_of(a, 0), full_head);
    // The members that came short are still expanded.
    EXPECT_EQ(get_u32(member_of(a, 8), 0), 80u);
    EXPECT_TRUE(temp_is_empty());
}

// A size the row accepts but this register should not send (a short header
// from a type "L" register) is not packed as if it were the full layout.
TEST_F(BackupOnEcrsim, AMemberLeftShortAfterTheConversionsMakesNoArchive) {
    use({Generation::Current, 'L'});
    reg_->put_file("INTESTAZIONE.BIN", ByteVec(208, 0x41));
    EXPECT_EQ(ecr_dati_save(archive().c_str(), kHost), ERR_INVALID_FILESIZE);
    EXPECT_EQ(setup_commands(), (Lines{"SETUP 1", "SETUP 0"}));
    EXPECT_FALSE(fs::exists(archive()));
    EXPECT_TRUE(temp_is_empty());
}

TEST_F(BackupOnEcrsim, ASaveFromARegisterInSetupModeStillLeavesIt) {
    use({Generation::Current, 'L'});
    reg_->set_setup_mode(true);
    ASSERT_EQ(ecr_dati_save(archive().c_str(), kHost), 0);
    EXPECT_EQ(setup_commands(), Lines{"SETUP 0"});
    EXPECT_FALSE(reg_->setup_mode());
}

TEST_F(BackupOnEcrsim, ARegisterNotFreeIsLeftAloneAndTheTemporaryDirectoryToo) {
    use({Generation::Current, 'L'});
    write_file(temp_.file("REPARTI.BIN"), "someone else's");
    reg_->set_state_letter('V');
    EXPECT_EQ(ecr_dati_save(archive().c_str(), kHost), ERR_REG_NON_DISP);
    EXPECT_TRUE(setup_commands().empty());
    EXPECT_EQ(read_file(temp_.file("REPARTI.BIN")), "someone else's");
    EXPECT_FALSE(fs::exists(archive()));
}

struct RestoreCase {
    const char* name;
    Layout target;
    bool in_setup;
    std::int32_t result;
    Lines setup;
};
void PrintTo(const RestoreCase& c, std::ostream* os) {
    *os << c.name;
}

class RestoreOnEcrsim : public BackupOnEcrsim, public ::testing::WithParamInterface<RestoreCase> {};

// An archive of a current type "L" register, restored onto another register.
TEST_P(RestoreOnEcrsim, RestoresOntoTheRegisterAsItsLayoutNeeds) {
    const RestoreCase& c = GetParam();
    {
        auto source = start_register(source_state_, {Generation::Current, 'L'});
        EnvVar port("ECR_TFTP_PORT", std::to_string(source->tftp_port()));
        ASSERT_EQ(ecr_dati_save(archive().c_str(), kHost), 0);
    }
    const ByteVec a = read_bytes(archive());
    use(c.target);
    // The target's tables differ from the archive's before the restore.
    reg_->put_file("PLU.BIN", ByteVec(6400000, 0));
    reg_->set_setup_mode(c.in_setup);
    reg_->clear_transcript();
    EXPECT_EQ(ecr_dati_restore(archive().c_str(), kHost), c.result);
    EXPECT_EQ(setup_commands(), c.setup);
    EXPECT_TRUE(temp_is_empty());
    if (c.result != 0) {
        EXPECT_TRUE(table_puts().empty());
        return;
    }
    EXPECT_EQ(table_puts(), member_names(true));
    EXPECT_FALSE(reg_->setup_mode());
    for (const Member& m : kMembers) {
        const ByteVec got = reg_file(m.name);
        const bool reduced = c.target.bitmap == 'S' && m.short_size != 0;
        EXPECT_EQ(got.size(), reduced ? m.short_size : m.size) << m.name;
        if (!reduced) {
            EXPECT_EQ(got, member_of(a, member_index(m.name))) << m.name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, RestoreOnEcrsim,
    ::testing::Values(
        RestoreCase{"CurrentL", {Generation::Current, 'L'}, false, 0, {"SETUP 1", "SETUP 0"}},
        RestoreCase{"CurrentS", {Generation::Current, 'S'}, false, 0, {"SETUP 1", "SETUP 0"}},
        RestoreCase{"AlreadyInSetup", {Generation::Current, 'L'}, true, 0, {"SETUP 0"}},
        RestoreCase{"Old", {Generation::Old, 'L'}, false, ECR_ERR_DATI_CASSA_NOT_SUPP, {}},
        RestoreCase{
            "Unsupported", {Generation::Unsupported, 'S'}, false, ECR_ERR_DATI_CASSA_NOT_SUPP, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// A restore waits while the register loads PLU.BIN: these carry the label
// slow.

// Old "S" register saved, restored onto a current "S" one, saved again: the
// second archive holds the same members as the first.
TEST_F(BackupOnEcrsim, ASaveRestoredElsewhereSavesBackTheSameTables) {
    {
        auto source = start_register(source_state_, {Generation::Old, 'S'});
        EnvVar port("ECR_TFTP_PORT", std::to_string(source->tftp_port()));
        ASSERT_EQ(ecr_dati_save(archive().c_str(), kHost), 0);
    }
    use({Generation::Current, 'S'});
    ASSERT_EQ(ecr_dati_restore(archive().c_str(), kHost), 0);
    const std::string again = out_.file("again.bak");
    ASSERT_EQ(ecr_dati_save(again.c_str(), kHost), 0);
    const ByteVec first = read_bytes(archive()), second = read_bytes(again);
    for (std::size_t m = 0; m < kMemberCount; ++m)
        EXPECT_EQ(member_of(second, m), member_of(first, m)) << kMembers[m].name;

    // And the register's own download gives the departments of the old one.
    const std::string csv = out_.file("reparti.csv");
    EXPECT_EQ(ecr_recv_reparti_all(kHost, csv.c_str()), 80);
    EXPECT_NE(read_file(csv).find(";FRUTTA;"), std::string::npos);
}

TEST_F(BackupOnEcrsim, ARestoreOfABrokenArchiveSendsNothing) {
    use({Generation::Current, 'L'});
    write_file(archive(), "not an archive");
    EXPECT_EQ(ecr_dati_restore(archive().c_str(), kHost), ECR_ERR_DATI_FILE_NOT_VALID);
    EXPECT_EQ(ecr_dati_restore(out_.file("none").c_str(), kHost), ERR_FILE_NOT_FOUND);
    EXPECT_TRUE(commands().empty());
    EXPECT_TRUE(temp_is_empty());
}

}  // namespace
}  // namespace veltra::test
