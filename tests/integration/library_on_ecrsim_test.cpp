// The library end to end against ecrsim: what the register receives (its
// transcript and files) and what the caller gets back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cmd/setup_mode.hpp"
#include "ecrsim_test.hpp"
#include "faults.hpp"
#include "frame/library_frame.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

std::string text_at(const ecrsim::Bytes& table, std::size_t at, std::size_t width) {
    const char* p = reinterpret_cast<const char*>(table.data() + at);
    return std::string(p, strnlen(p, width));
}

// Field k (0-based) of a CSV line.
std::string column(const std::string& line, int k) {
    std::size_t at = 0;
    for (int i = 0; i < k; ++i) at = line.find(';', at) + 1;
    return line.substr(at, line.find(';', at) - at);
}

class LibraryOnEcrsim : public EcrsimTest {
protected:
    LibraryOnEcrsim() : EcrsimTest(1200) {}
};

TEST_F(LibraryOnEcrsim, StatusOfTheSeededRegister) {
    std::int32_t hst = -1, fis = -1;
    EXPECT_EQ(ecr_get_status("127.0.0.1", &hst, &fis), 0);
    EXPECT_EQ(hst, 0);
    EXPECT_EQ(fis, 0);
    char stato[2], conn[2];
    EXPECT_EQ(ecr_get_status_new("127.0.0.1", stato, conn), 0);
    EXPECT_STREQ(stato, "I");
    EXPECT_STREQ(conn, "N");
    reg_->set_setup_mode(true);
    EXPECT_EQ(ecr_get_status("127.0.0.1", &hst, &fis), ERR_REG_NON_DISP);
    EXPECT_EQ(ecr_get_status_new("127.0.0.1", stato, conn), 0);
    EXPECT_STREQ(stato, "S");
    EXPECT_EQ(commands(), (Lines{"INFO", "INFO", "INFO", "INFO"}));
}

TEST_F(LibraryOnEcrsim, PutTableFramesTheTransferInSetupMode) {
    const ecrsim::Bytes table = *reg_->file("REPARTI.BIN");
    write_file(path("REPARTI.BIN"), std::string(table.begin(), table.end()));
    EXPECT_EQ(ecr_put_table("127.0.0.1", path("REPARTI.BIN").c_str()), 0);
    EXPECT_EQ(commands(), (Lines{"INFO", "SETUP 1", "SETUP 0"}));
    EXPECT_EQ(put_names(), Lines{"REPARTI.BIN"});
    EXPECT_FALSE(reg_->setup_mode());

    reg_->clear_transcript();
    reg_->set_setup_mode(true);
    EXPECT_EQ(ecr_put_table("127.0.0.1", path("REPARTI.BIN").c_str()), 0);
    EXPECT_EQ(commands(), Lines{"INFO"});
    EXPECT_TRUE(reg_->setup_mode());
    EXPECT_TRUE(temp_is_empty());
}

TEST_F(LibraryOnEcrsim, APutIsCompleteOnTheRegisterWhenItReturns) {
    // 25 whole blocks: the put ends with an empty block 26 (the register's
    // incoming datagram 27), which the register takes half a second late.
    auto fault = ecrsim::parse_tftp_fault("delay:in:27:500@TAV_MIN.BIN");
    ASSERT_TRUE(fault.has_value());
    reg_->add_fault(*fault);
    reg_->set_setup_mode(true);  // the register takes table files only then
    std::string content(12800, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i >> 3);
    write_file(path("TAV_MIN.BIN"), content);
    ASSERT_EQ(ecr_command("127.0.0.1", path("TAV_MIN.BIN").c_str(), 6, nullptr, 0), 0);
    const auto held = reg_->file("TAV_MIN.BIN");
    ASSERT_TRUE(held.has_value());
    EXPECT_TRUE(std::string(held->begin(), held->end()) == content);
}

TEST_F(LibraryOnEcrsim, FilesTravelWhenTheRegistersFirstAnswerComesFromAnotherPort) {
    auto fault = ecrsim::parse_tftp_fault("port:out:1@REPARTI.BIN");
    ASSERT_TRUE(fault.has_value());
    fault->transfers = 0;  // every transfer of the file
    reg_->add_fault(*fault);
    reg_->set_setup_mode(true);
    const ecrsim::Bytes table = *reg_->file("REPARTI.BIN");
    EXPECT_EQ(ecr_command("127.0.0.1", path("REPARTI.BIN").c_str(), 7, nullptr, 0), 0);
    EXPECT_TRUE(read_file(path("REPARTI.BIN")) == std::string(table.begin(), table.end()));

    std::string changed(table.begin(), table.end());
    changed[1] = 'Z';
    write_file(path("REPARTI.BIN"), changed);
    EXPECT_EQ(ecr_command("127.0.0.1", path("REPARTI.BIN").c_str(), 6, nullptr, 0), 0);
    const ecrsim::Bytes after = *reg_->file("REPARTI.BIN");
    EXPECT_TRUE(std::string(after.begin(), after.end()) == changed);
}

TEST_F(LibraryOnEcrsim, ResetsWaitUntilTheRegisterIsIdle) {
    const auto t0 = Clock::now();
    EXPECT_EQ(ecr_command("127.0.0.1", "", 4, nullptr, 0), 0);  // AZZFAT
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(1000));
    const Lines got = commands();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got.front(), "AZZFAT");
    for (std::size_t i = 1; i < got.size(); ++i) EXPECT_EQ(got[i], "INFO");
    EXPECT_FALSE(reg_->busy());
    EXPECT_TRUE(temp_is_empty());
}

TEST_F(LibraryOnEcrsim, APutOfPluWaitsWhileTheRegisterLoadsIt) {
    reg_->set_setup_mode(true);
    const ecrsim::Bytes table = *reg_->file("PLU.BIN");
    write_file(path("PLU.BIN"), std::string(table.begin(), table.end()));
    const auto t0 = Clock::now();
    EXPECT_EQ(ecr_command("127.0.0.1", path("PLU.BIN").c_str(), 6, nullptr, 0), 0);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(1000));
    const Lines got = commands();
    ASSERT_FALSE(got.empty());
    for (const auto& c : got) EXPECT_EQ(c, "INFO") << "only the readings of the wait";
    EXPECT_FALSE(reg_->busy());
    EXPECT_EQ(put_names(), Lines{"PLU.BIN"});
}

TEST_F(LibraryOnEcrsim, ABusyRegisterRefusesTableWork) {
    reg_->set_keep_busy(true);
    write_file(path("old.csv"), "earlier");
    EXPECT_EQ(ecr_recv_reparti_all("127.0.0.1", path("old.csv").c_str()), ERR_REG_NON_DISP);
    EXPECT_FALSE(std::filesystem::exists(path("old.csv")));
    EXPECT_EQ(commands(), Lines{"INFO"});
    reg_->set_keep_busy(false);
}

TEST_F(LibraryOnEcrsim, DepartmentsDownloadAsTheRegisterHoldsThem) {
    const ecrsim::Bytes table = *reg_->file("REPARTI.BIN");
    EXPECT_EQ(ecr_recv_reparti_all("127.0.0.1", path("r.csv").c_str()), 80);
    const auto lines = read_lines(path("r.csv"));
    ASSERT_EQ(lines.size(), 81u);
    for (int n = 1; n <= 80; ++n) {
        EXPECT_EQ(column(lines[n], 0), std::to_string(n));
        EXPECT_EQ(column(lines[n], 1), text_at(table, (n - 1) * 50 + 1, 25)) << n;
    }
    EXPECT_EQ(commands(), (Lines{"INFO", "SETUP 1", "SETUP 0"}));
    EXPECT_FALSE(reg_->setup_mode());
    EXPECT_TRUE(temp_is_empty());
}

TEST_F(LibraryOnEcrsim, ArticlesAllAndChangedOnly) {
    const ecrsim::Bytes table = *reg_->file("PLU.BIN");
    ASSERT_EQ(table.size(), 6400000u);
    int changed = 0;
    for (std::size_t i = 0; i < 100000; ++i) changed += table[i * 64] != 0;
    EXPECT_EQ(ecr_recv_plu_all("127.0.0.1", path("p.csv").c_str()), 100000);
    EXPECT_EQ(ecr_recv_plu_mod("127.0.0.1", path("m.csv").c_str()), changed);
    EXPECT_EQ(std::filesystem::exists(path("m.csv")), changed > 0);
}

TEST_F(LibraryOnEcrsim, DepartmentUploadRebuildsTheWholeTable) {
    write_file(path("in.csv"),
               "id_reparto;descr;iva;batt_sing;tipo_sconto;id_aux_lan;id_gruppo;prezzo;min_valore;"
               "max_valore;valore_sconto;non_fiscale\n"
               "5;PANE;9;;;;;;;;;\n"
               "7;LATTE;2;1;0;3;40;150;10;5000;0;1\n"
               "7;;;;;;;175;;;;\n"
               "81;TOO FAR;1;0;0;1;1;0;0;0;0;0\n"
               "9;EXTRA;1;0;0;1;1;0;0;0;0;0;\n");
    EXPECT_EQ(ecr_send_reparti("127.0.0.1", path("in.csv").c_str()), 3);
    // The register's table, built here from the layout.
    ecrsim::Bytes want(4000, 0);
    for (int n = 1; n <= 80; ++n) {
        const std::string name = "REPARTO " + std::to_string(n);
        std::memcpy(want.data() + (n - 1) * 50 + 1, name.data(), name.size());
    }
    auto rec = [&](int n) { return want.data() + (n - 1) * 50; };
    std::memset(rec(5) + 1, 0, 25);
    std::memcpy(rec(5) + 1, "PANE", 4);
    rec(5)[26] = 7;
    std::memset(rec(7) + 1, 0, 25);
    std::memcpy(rec(7) + 1, "LATTE", 5);
    rec(7)[26] = 1 | 0x08 | (2 << 5);
    rec(7)[27] = 15;
    const std::int32_t amounts[] = {175, 10, 5000, 0};
    for (int i = 0; i < 4; ++i) {
        const auto u = static_cast<std::uint32_t>(amounts[i]);
        for (int b = 0; b < 4; ++b)
            rec(7)[28 + 4 * i + b] = static_cast<std::uint8_t>(u >> (8 * b));
    }
    rec(7)[44] = 1;
    const ecrsim::Bytes got = *reg_->file("REPARTI.BIN");
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) ASSERT_EQ(got[i], want[i]) << "byte " << i;
    EXPECT_EQ(commands(), (Lines{"INFO", "SETUP 1", "SETUP 0"}));
    EXPECT_TRUE(temp_is_empty());
}

TEST_F(LibraryOnEcrsim, CustomerUploadMergesIntoTheRegistersTable) {
    const ecrsim::Bytes before = *reg_->file("CLIENTI.BIN");
    write_file(path("c.csv"),
               "id_cliente;ragione_sociale;indirizzo;citta;partita_iva;codice_fiscale\n"
               "2;;VIA NUOVA 3;;;\n");
    EXPECT_EQ(ecr_send_clienti("127.0.0.1", path("c.csv").c_str()), 1);
    const ecrsim::Bytes after = *reg_->file("CLIENTI.BIN");
    ASSERT_EQ(after.size(), 256000u);
    for (std::size_t i = 0; i < after.size(); ++i) {
        if (i >= 256 && i < 512) continue;
        ASSERT_EQ(after[i], before[i]) << "byte " << i << " outside customer 2";
    }
    EXPECT_EQ(text_at(after, 256 + 43, 41), "VIA NUOVA 3");
    EXPECT_EQ(text_at(after, 256 + 2, 41), text_at(before, 256 + 2, 41));
    EXPECT_EQ(after[256], 0) << "change mark cleared";
    EXPECT_EQ(commands(), (Lines{"INFO", "SETUP 1", "INFO", "SETUP 0"}));
    EXPECT_FALSE(reg_->setup_mode());
}

TEST_F(LibraryOnEcrsim, ACustomerUploadThatAppliesNothingLeavesSetupModeAgain) {
    write_file(path("c.csv"),
               "id_cliente;ragione_sociale;indirizzo;citta;partita_iva;codice_fiscale\n");
    EXPECT_EQ(ecr_send_clienti("127.0.0.1", path("c.csv").c_str()), 0);
    EXPECT_EQ(commands(), (Lines{"INFO", "SETUP 1", "SETUP 0"}));
    EXPECT_FALSE(reg_->setup_mode());
    EXPECT_TRUE(put_names().empty());
}

TEST_F(LibraryOnEcrsim, InvoicesOfTheSeededRegister) {
    const ecrsim::Bytes table = *reg_->file("FATTURE.BIN");
    ASSERT_EQ(table.size(), 192000u);
    int issued = 0;
    for (std::size_t i = 0; i < 3000; ++i) issued += table[i * 64] != 0;
    write_file(path("old.csv"), "earlier");
    EXPECT_EQ(ecr_recv_fatture("127.0.0.1", path("old.csv").c_str()), issued);
    EXPECT_EQ(std::filesystem::exists(path("old.csv")), issued > 0);
    if (issued > 0) {
        EXPECT_EQ(read_lines(path("old.csv")).size(), static_cast<std::size_t>(issued) + 1);
    }
    EXPECT_EQ(commands(), (Lines{"INFO", "SETUP 1", "SETUP 0"}));

    // After AZZFAT the register has no invoices: no CSV.
    EXPECT_EQ(ecr_command("127.0.0.1", "", 4, nullptr, 0), 0);
    EXPECT_EQ(ecr_recv_fatture("127.0.0.1", path("old.csv").c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(path("old.csv")));
    EXPECT_TRUE(temp_is_empty());
}

// The register took "SETUP 1" but its last ACK was lost: the library
// resends the last block after its 5-second time-out, and the register,
// still lingering on the finished write, acknowledges it again.
TEST_F(LibraryOnEcrsim, LostLastAckOfACommandIsRecoveredSlow) {
    // Outgoing 2 is ACK 1, of the command's only block.
    const auto lost = ecrsim::parse_tftp_fault("drop:out:2@COMMAND.TXT");
    ASSERT_TRUE(lost);
    reg_->add_fault(*lost);
    EXPECT_EQ(ecr_command("127.0.0.1", "", 1, nullptr, 0), 0);
    EXPECT_TRUE(reg_->setup_mode());
    EXPECT_EQ(commands(), (Lines{"SETUP 1"}));
}

}  // namespace
}  // namespace veltra::test
