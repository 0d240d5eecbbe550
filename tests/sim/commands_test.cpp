// The register's commands put as COMMAND.TXT: the INFO answer by position,
// setup mode, the busy entry, the resets, VENDCORR and release files.
#include <thread>

#include "net/endpoints.hpp"
#include "options_parse.hpp"
#include "register_state.hpp"
#include "sim_fixture.hpp"

namespace ecrsim::test {
namespace {

std::vector<std::string> split_info(const std::string& line) {
    std::vector<std::string> values;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = line.find(',', start);
        const std::string field =
            line.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const std::size_t eq = field.find('=');
        values.push_back(eq == std::string::npos ? "" : field.substr(eq + 1));
        if (comma == std::string::npos) return values;
        start = comma + 1;
    }
}

class CommandTest : public SimTest {
protected:
    void SetUp() override { start(); }
    // The INFO answer as the library reads it: a command, then RESPONSE.TXT.
    std::vector<std::string> info_by_tftp() {
        auto d = command("INFO");
        EXPECT_TRUE(d && d->opcode() == veltra::kTftpAck);
        auto answer = get("RESPONSE.TXT");
        EXPECT_TRUE(answer);
        return split_info(answer ? std::string(answer->begin(), answer->end()) : "");
    }
    std::int32_t file_i32(const std::string& name, std::size_t at) {
        return get_i32le(*reg_->file(name), at);
    }
};

TEST_F(CommandTest, ResponseIsMissingUntilTheFirstInfo) {
    EXPECT_FALSE(get("RESPONSE.TXT"));
    EXPECT_GE(info_by_tftp().size(), 22u);
}

TEST_F(CommandTest, InfoAnswerIsOneLineWithoutLineEnd) {
    command("INFO");
    const auto answer = get("RESPONSE.TXT");
    ASSERT_TRUE(answer);
    const std::string text(answer->begin(), answer->end());
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(text,
              reg_->info_line().substr(0, text.find(",ORA=")) + text.substr(text.find(",ORA=")));
}

struct InfoCase {
    Generation generation;
    char bitmap;
    const char* version;
    const char* name;
};
void PrintTo(const InfoCase& c, std::ostream* os) {
    *os << c.version;
}

class InfoByLayout : public SimTest, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(InfoByLayout, PositionsTheLibraryReads) {
    const InfoCase& c = GetParam();
    Options o = defaults();
    o.layout = {c.generation, c.bitmap};
    start(o);
    command("INFO");
    const auto answer = get("RESPONSE.TXT");
    ASSERT_TRUE(answer);
    const auto v = split_info(std::string(answer->begin(), answer->end()));
    ASSERT_GE(v.size(), 22u);
    EXPECT_EQ(v[0], c.version);
    EXPECT_EQ(v[1], std::string(1, c.bitmap));
    EXPECT_EQ(v[9], "0");   // not in setup mode
    EXPECT_EQ(v[10], "I");  // free
    EXPECT_EQ(v[14], "1");  // operating
    EXPECT_EQ(v[15], "0");  // no host connection
    EXPECT_EQ(v[19], "0");  // not busy
    EXPECT_EQ(v[21], c.name);
}

INSTANTIATE_TEST_SUITE_P(Generations, InfoByLayout,
                         ::testing::Values(InfoCase{Generation::Current, 'L', "V5.02", "ELT5"},
                                           InfoCase{Generation::Current, 'S', "V5.02", "ELT5"},
                                           InfoCase{Generation::Old, 'L', "V1.07", ""},
                                           InfoCase{Generation::Old, 'S', "V1.07", ""},
                                           InfoCase{Generation::Unsupported, 'L', "V2.30", ""}),
                         [](const auto& info) {
                             return std::string(generation_name(info.param.generation)) + "_" +
                                    info.param.bitmap;
                         });

TEST_F(CommandTest, SetupModeSwitchesEntries9And14) {
    command("SETUP 1");
    auto v = info_by_tftp();
    EXPECT_EQ(v[9], "1");
    EXPECT_EQ(v[14], "0");
    EXPECT_TRUE(reg_->setup_mode());
    command("SETUP 0");
    v = info_by_tftp();
    EXPECT_EQ(v[9], "0");
    EXPECT_EQ(v[14], "1");
}

TEST_F(CommandTest, ErrorStateClearsBothFlags) {
    reg_->set_error_state(true);
    const auto v = info_by_tftp();
    EXPECT_EQ(v[9], "0");
    EXPECT_EQ(v[14], "0");
}

TEST_F(CommandTest, InfoFieldsCanBeSet) {
    reg_->set_info_field(10, "V");
    reg_->set_info_field(15, "3");
    const auto v = info_by_tftp();
    EXPECT_EQ(v[10], "V");
    EXPECT_EQ(v[15], "3");
}

struct BusyCase {
    const char* command;
    bool busy;
};
void PrintTo(const BusyCase& c, std::ostream* os) {
    *os << c.command;
}

class BusyByCommand : public CommandTest, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(BusyByCommand, Entry19WhileTheCommandRuns) {
    const BusyCase& c = GetParam();
    command(c.command);
    EXPECT_EQ(info_by_tftp()[19], c.busy ? "1" : "0") << c.command;
    std::this_thread::sleep_for(900ms);  // busy_ms is 800
    EXPECT_EQ(info_by_tftp()[19], "0") << c.command;
}

INSTANTIATE_TEST_SUITE_P(Commands, BusyByCommand,
                         ::testing::Values(BusyCase{"AZZDATI", true}, BusyCase{"AZZFAT", true},
                                           BusyCase{"AZZVEN_CORR", true}, BusyCase{"AZZFIS", true},
                                           BusyCase{"AZZVEN_ARCH", true},
                                           BusyCase{"VENDCORR", true}, BusyCase{"INFO", false},
                                           BusyCase{"SETUP 1", false}, BusyCase{"NONSENSE", false}),
                         [](const auto& info) { return name_of(info.param.command); });

TEST_F(CommandTest, PutOfPluKeepsTheRegisterBusy) {
    reg_->set_setup_mode(true);
    ASSERT_EQ(put("PLU.BIN", pattern_bytes(6400000))->opcode(), veltra::kTftpAck);
    EXPECT_EQ(info_by_tftp()[19], "1");
    std::this_thread::sleep_for(900ms);
    EXPECT_EQ(info_by_tftp()[19], "0");
}

TEST_F(CommandTest, KeepBusyHoldsEntry19) {
    reg_->set_keep_busy(true);
    std::this_thread::sleep_for(900ms);
    EXPECT_EQ(info_by_tftp()[19], "1");
    reg_->set_keep_busy(false);
    EXPECT_EQ(info_by_tftp()[19], "0");
}

TEST_F(CommandTest, CommandsAreRecordedInOrder) {
    for (const char* c : {"INFO", "SETUP 1", "VENDCORR", "SETUP 0"}) command(c);
    const Transcript t = reg_->transcript();
    EXPECT_EQ(t.commands, (std::vector<std::string>{"INFO", "SETUP 1", "VENDCORR", "SETUP 0"}));
    ASSERT_EQ(t.puts.size(), 4u);
    EXPECT_EQ(t.puts[1].name, "COMMAND.TXT");
    EXPECT_EQ(t.puts[1].bytes, text_bytes("SETUP 1"));
}

TEST_F(SimTest, WithoutRecordingCommandsStillRun) {
    Options o = defaults();
    o.record = false;
    start(o);
    command("SETUP 1");
    EXPECT_TRUE(reg_->setup_mode());
    const Transcript t = reg_->transcript();
    EXPECT_TRUE(t.commands.empty());
    EXPECT_TRUE(t.puts.empty());
    EXPECT_TRUE(t.lines.empty());
}

// What each reset clears, on the seeded register.
struct ResetCase {
    const char* command;
    bool sales_cleared;
    bool archives_removed;
    bool invoices_cleared;
    bool today_archived;
};
void PrintTo(const ResetCase& c, std::ostream* os) {
    *os << c.command;
}

class Resets : public CommandTest, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(Resets, ClearWhatTheyName) {
    const ResetCase& r = GetParam();
    const SalesBook before = reg_->sales();
    ASSERT_FALSE(before.empty());
    const std::string yesterday = "VEND" + oro_ddmmyy(oro_midnight(oro_now()) - 86400) + ".DAT";
    const std::string today = "VEND" + oro_ddmmyy(oro_midnight(oro_now())) + ".DAT";
    ASSERT_TRUE(reg_->file(yesterday));
    command(r.command);
    EXPECT_EQ(reg_->sales().empty(), r.sales_cleared) << r.command;
    EXPECT_EQ(!reg_->file(yesterday), r.archives_removed) << r.command;
    const Bytes invoices = *reg_->file("FATTURE.BIN");
    EXPECT_EQ(invoices.size(), 192000u);
    EXPECT_EQ(invoices[0] == 0, r.invoices_cleared) << r.command;
    const auto archived = reg_->file(today);
    ASSERT_EQ(archived.has_value(), r.today_archived) << r.command;
    if (archived) {
        EXPECT_EQ(get_u32le(*archived, 0), oro_midnight(oro_now()));
        EXPECT_EQ((*archived)[27], before.departments.size());
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, Resets,
                         ::testing::Values(ResetCase{"AZZVEN_CORR", true, false, false, false},
                                           ResetCase{"AZZVEN_ARCH", false, true, false, false},
                                           ResetCase{"AZZFAT", false, false, true, false},
                                           ResetCase{"AZZFIS", true, false, false, true},
                                           ResetCase{"AZZDATI", true, true, true, false}),
                         [](const auto& info) { return name_of(info.param.command); });

TEST_F(CommandTest, VendcorrPreparesTheCurrentSales) {
    SalesBook book;
    book.sell_department(3, 1250, 2);
    book.sell_article(7, 4, 318, 2);  // LATTE INTERO, department 4
    reg_->set_sales(book);
    EXPECT_FALSE(get("VENDCORR.DAT"));
    command("VENDCORR");
    const auto summary = get("ART_VENDUTI.BIN");
    ASSERT_TRUE(summary);
    ASSERT_EQ(summary->size(), 512u);
    EXPECT_EQ((*summary)[26], 0);
    EXPECT_EQ((*summary)[27], 2);  // departments 3 and 4
    EXPECT_EQ(get_u32le(*summary, 28), 1u);
    const auto sales = get("VENDCORR.DAT");
    ASSERT_TRUE(sales);
    const Bytes& s = *sales;
    ASSERT_EQ(s.size(), 512u + 512u + 512u);
    EXPECT_EQ(get_u32le(s, 0), oro_midnight(oro_now()));
    EXPECT_EQ(get_u32le(s, 72), 512u);
    EXPECT_EQ(get_u32le(s, 76), 512u);
    // Department records: number, the 50-byte department, VAT, totals.
    EXPECT_EQ(get_i32le(s, 512 + 1), 3);
    EXPECT_EQ(get_text(s, 512 + 5 + 1, 25), "PANE");
    EXPECT_EQ(get_text(s, 512 + 55, 25), "IVA 10%");
    EXPECT_EQ(get_i32le(s, 512 + 80), 1000);
    EXPECT_EQ(get_i32le(s, 512 + 84), 1250);
    EXPECT_EQ(get_i32le(s, 512 + 88), 2);
    EXPECT_EQ(get_i32le(s, 512 + 128 + 1), 4);
    EXPECT_EQ(get_i32le(s, 512 + 128 + 84), 318);
    // The article record.
    EXPECT_EQ(get_i32le(s, 1024 + 1), 7);
    EXPECT_EQ(get_text(s, 1024 + 5 + 1, 25), "LATTE INTERO 1L");
    EXPECT_EQ(get_text(s, 1024 + 69, 25), "IVA 4%");
    EXPECT_EQ(get_i32le(s, 1024 + 98), 318);
    EXPECT_EQ(get_i32le(s, 1024 + 102), 2);
}

TEST_F(CommandTest, VendcorrWithNoSalesGivesZeroCounts) {
    command("AZZVEN_CORR");
    command("VENDCORR");
    const auto summary = get("ART_VENDUTI.BIN");
    ASSERT_TRUE(summary);
    EXPECT_EQ((*summary)[27], 0);
    EXPECT_EQ(get_u32le(*summary, 28), 0u);
    EXPECT_EQ(get("VENDCORR.DAT")->size(), 512u);
}

TEST_F(CommandTest, InvoiceCountFollowsTheInvoiceFile) {
    EXPECT_EQ(info_by_tftp()[8], "6");
    command("AZZFAT");
    EXPECT_EQ(info_by_tftp()[8], "0");
    Bytes f(192000, 0);
    f[0] = 0xA0;
    f[64] = 0xA3;
    reg_->put_file("FATTURE.BIN", f);
    EXPECT_EQ(info_by_tftp()[8], "2");
}

TEST_F(CommandTest, ReleaseFileIsAcceptedInSetupModeAndRecorded) {
    const Bytes release = pattern_bytes(70000);
    EXPECT_EQ(put("ELT5.BIN", release)->opcode(), veltra::kTftpError);
    EXPECT_TRUE(reg_->releases().empty());
    command("SETUP 1");
    EXPECT_EQ(put("ELT5.BIN", release)->opcode(), veltra::kTftpAck);
    EXPECT_EQ(reg_->releases(), std::vector<std::string>{"ELT5.BIN"});
    EXPECT_EQ(reg_->transcript().puts.back().bytes, release);
}

TEST_F(CommandTest, TableWrittenInSetupModeIsServedBack) {
    command("SETUP 1");
    const Bytes reparti = pattern_bytes(4000, 11);
    ASSERT_EQ(put("REPARTI.BIN", reparti)->opcode(), veltra::kTftpAck);
    EXPECT_EQ(get("REPARTI.BIN"), reparti);
}

}  // namespace
}  // namespace ecrsim::test

namespace ecrsim::test {
namespace {

TEST(SerialNumberOption, SetsTheMatricolaWithinWhatTheAnswerCanCarry) {
    const struct {
        const char* value;
        bool ok;
    } cases[] = {{"SIM00000007", true},
                 {"A", true},
                 {"12345678901234567890", true},
                 {"123456789012345678901", false},
                 {"", false},
                 {"A,B", false},
                 {"A=B", false},
                 {"A B", false},
                 {"\x7f", false}};
    for (const auto& c : cases) {
        ProgramOptions p;
        std::string error;
        EXPECT_EQ(parse_program_options({"--state", "s", "--matricola", c.value}, p, error), c.ok)
            << c.value;
        if (c.ok) {
            EXPECT_EQ(p.options.matricola, c.value);
        }
    }
    ProgramOptions p;
    std::string error;
    ASSERT_TRUE(parse_program_options({"--state", "s"}, p, error));
    EXPECT_EQ(p.options.matricola, kDefaultMatricola);
}

class MatricolaTest : public SimTest {};

// The third field of the INFO answer, fetched as the library fetches it.
TEST_F(MatricolaTest, InfoReportsTheSerialNumberGiven) {
    Options o = defaults();
    o.matricola = "SHOP7REG2";
    start(o);
    ASSERT_TRUE(command("INFO"));
    const auto answer = get("RESPONSE.TXT");
    ASSERT_TRUE(answer);
    const std::string text(answer->begin(), answer->end());
    EXPECT_NE(text.find(",MATRICOLA=SHOP7REG2,"), std::string::npos) << text;
}

}  // namespace
}  // namespace ecrsim::test
