// The verdict on a change: the rules that settle a lost answer from the
// fingerprints before and after, and `veltra command` and `tables put`
// against registers that lose their answer, refuse, or stop answering.
#include <algorithm>

#include "releases.hpp"
#include "tool_fixture.hpp"
#include "veltra.h"
#include "verdict.hpp"

namespace veltra::test {
namespace {

using tool::Decision;
using tool::Fingerprint;
using tool::Reading;
using tool::Verdict;

Fingerprint fp(std::int64_t receipts, std::int64_t closures, std::int64_t total,
               std::int64_t invoices, bool setup = false) {
    Fingerprint f;
    f.receipts = receipts, f.closures = closures, f.day_total = total, f.invoices = invoices;
    f.setup = setup;
    f.version = "V5.02", f.release = "ELT5";
    return f;
}

Reading read(const Fingerprint& f) {
    return {f, 0};
}

TEST(Fingerprints, AreReadByPositionFromTheInfoAnswer) {
    const Fingerprint f = tool::fingerprint_of(
        "VERSIONE=V5.02,TIPO_BITMAP=L,MATRICOLA=SIM00012345,DATA=071226,ORA=231316,"
        "NUM_SCONTR=12,NUM_AZZ=340,TOT_GIORNO=4033,NUM_FATT=6,SETUP=1,STATO=S,OPERATORE=1,"
        "CARTA=1,CASSETTO=0,OPERATIVO=0,HOST_CONN=0,ERRORE=0,IP=127.0.0.1,PORTA_TFTP=6969,"
        "OCCUPATO=0,MEM_LIBERA=87,NOME_REL=ELT5,SIMULATORE=ecrsim\r\n");
    EXPECT_EQ(f.receipts, 12);
    EXPECT_EQ(f.closures, 340);
    EXPECT_EQ(f.day_total, 4033);
    EXPECT_EQ(f.invoices, 6);
    EXPECT_TRUE(f.setup);
    EXPECT_EQ(f.version, "V5.02");
    EXPECT_EQ(f.release, "ELT5");
}

TEST(Fingerprints, ACounterThatIsNoNumberIsNotRead) {
    const Fingerprint f = tool::fingerprint_of("VERSIONE=V1.07,A=,B=,C=,D=,NUM_SCONTR=,NUM_AZZ=x1");
    EXPECT_FALSE(f.receipts);
    EXPECT_FALSE(f.closures);
    EXPECT_FALSE(f.day_total) << "the answer ends before it";
    EXPECT_FALSE(f.setup);
}

struct CommandCase {
    const char* name;
    std::int32_t request;
    std::optional<Fingerprint> before;
    Reading after;
    Verdict verdict;
};
void PrintTo(const CommandCase& c, std::ostream* os) {
    *os << c.name;
}

class LostCommandAnswer : public ::testing::TestWithParam<CommandCase> {};

TEST_P(LostCommandAnswer, IsSettledByWhatTheCommandMoves) {
    const CommandCase& c = GetParam();
    const Decision d = tool::decide_command(c.request, c.before, c.after);
    EXPECT_EQ(tool::verdict_name(d.verdict), std::string(tool::verdict_name(c.verdict)))
        << d.reason;
    EXPECT_EQ(d.evidence["answer"], "lost");
    EXPECT_EQ(d.evidence["before"].is_null(), !c.before);
    EXPECT_FALSE(d.reason.empty());
}

const Fingerprint kDay = fp(12, 340, 4033, 6);

INSTANTIATE_TEST_SUITE_P(
    Rules, LostCommandAnswer,
    ::testing::Values(
        CommandCase{"azzfis_counted", 8, kDay, read(fp(0, 341, 0, 6)), Verdict::applied},
        CommandCase{"azzfis_nothing_moved", 8, kDay, read(kDay), Verdict::not_applied},
        CommandCase{"azzfis_counted_twice", 8, kDay, read(fp(0, 342, 0, 6)), Verdict::unknown},
        CommandCase{"azzfis_a_sale_meanwhile", 8, kDay, read(fp(13, 340, 4500, 6)),
                    Verdict::unknown},
        CommandCase{"azzfis_unreadable", 8, kDay, Reading{std::nullopt, ERR_TIMEOUT},
                    Verdict::unknown},
        CommandCase{"azzfis_no_before", 8, std::nullopt, read(fp(0, 341, 0, 6)), Verdict::unknown},
        CommandCase{"azzven_corr_cleared", 5, kDay, read(fp(12, 340, 0, 6)), Verdict::applied},
        CommandCase{"azzven_corr_nothing_moved", 5, kDay, read(kDay), Verdict::not_applied},
        CommandCase{"azzven_corr_on_an_empty_day", 5, fp(0, 340, 0, 6), read(fp(0, 340, 0, 6)),
                    Verdict::unknown},
        CommandCase{"azzfat_cleared", 4, kDay, read(fp(12, 340, 4033, 0)), Verdict::applied},
        CommandCase{"azzfat_nothing_moved", 4, kDay, read(kDay), Verdict::not_applied},
        CommandCase{"azzdati_both_cleared", 3, kDay, read(fp(12, 340, 0, 0)), Verdict::applied},
        CommandCase{"azzdati_half_cleared", 3, kDay, read(fp(12, 340, 0, 6)), Verdict::unknown},
        CommandCase{"azzven_arch_shows_nothing", 9, kDay, read(kDay), Verdict::unknown},
        CommandCase{"setup_on_switched", 1, kDay, read(fp(12, 340, 4033, 6, true)),
                    Verdict::applied},
        CommandCase{"setup_on_not_switched", 1, kDay, read(kDay), Verdict::not_applied},
        CommandCase{"setup_on_already_on", 1, fp(12, 340, 4033, 6, true),
                    read(fp(12, 340, 4033, 6, true)), Verdict::unknown},
        CommandCase{"setup_off_switched", 2, fp(12, 340, 4033, 6, true), read(kDay),
                    Verdict::applied},
        CommandCase{"azzfis_counter_missing", 8, Fingerprint{}, read(Fingerprint{}),
                    Verdict::unknown}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LostCommandAnswer, EvidenceNamesTheValuesThatDecided) {
    const Decision d = tool::decide_command(8, kDay, read(fp(0, 341, 0, 6)));
    EXPECT_EQ(d.evidence["changes"]["NUM_AZZ"], (nlohmann::json{{"before", 340}, {"after", 341}}));
    EXPECT_EQ(d.evidence["before"]["TOT_GIORNO"], 4033);
    EXPECT_EQ(d.evidence["after"]["TOT_GIORNO"], 0);
    const Decision lost = tool::decide_command(8, kDay, Reading{std::nullopt, ERR_TIMEOUT});
    EXPECT_EQ(lost.evidence["after"]["unreadable"], "ERR_TIMEOUT");
}

TEST(AcknowledgedChange, IsAppliedWithTheAfterFingerprint) {
    const Decision d = tool::decide_acknowledged(kDay, read(fp(0, 341, 0, 6)));
    EXPECT_EQ(d.verdict, Verdict::applied);
    EXPECT_EQ(d.evidence["answer"], "acknowledged");
    EXPECT_EQ(d.evidence["after"]["NUM_AZZ"], 341);
}

TEST(LostTableAnswer, IsSettledByTheReadBack) {
    EXPECT_EQ(tool::decide_table("reparti", 0, 80, 0).verdict, Verdict::applied);
    const Decision differs = tool::decide_table("reparti", 0, 80, 3);
    EXPECT_EQ(differs.verdict, Verdict::not_applied);
    EXPECT_EQ(differs.evidence["read_back"]["differing"], 3);
    EXPECT_EQ(tool::decide_table("reparti", ERR_TIMEOUT, 0, 0).verdict, Verdict::unknown);
}

TEST(LostReleaseAnswer, IsSettledByTheReportedRelease) {
    Fingerprint old_release = kDay, new_release = kDay, other = kDay;
    old_release.version = "V5.02";
    new_release.version = "V5.09";
    other.release = "ELT7";
    const struct {
        std::optional<Fingerprint> before;
        Reading after;
        Verdict verdict;
    } cases[] = {
        {old_release, read(new_release), Verdict::applied},
        {old_release, read(old_release), Verdict::not_applied},
        {old_release, read(other), Verdict::not_applied},
        {new_release, read(new_release), Verdict::unknown},
        {old_release, Reading{std::nullopt, ERR_TIMEOUT}, Verdict::unknown},
    };
    for (const auto& c : cases) {
        const Decision d = tool::decide_release("ELT5", "V5.09", c.before, c.after);
        EXPECT_EQ(d.verdict, c.verdict) << d.reason;
        EXPECT_EQ(d.evidence["offered"]["VERSIONE"], "V5.09");
    }
}

TEST(LostRestoreAnswer, IsSettledByTheFilesReadBack) {
    using tool::RestoredFile;
    const std::vector<RestoredFile> equal = {{"REPARTI.BIN", 0, true}, {"PLU.BIN", 0, true}};
    EXPECT_EQ(tool::decide_restore(equal).verdict, Verdict::applied);
    const Decision differs =
        tool::decide_restore({{"REPARTI.BIN", 0, false}, {"PLU.BIN", 0, true}});
    EXPECT_EQ(differs.verdict, Verdict::not_applied);
    EXPECT_EQ(differs.evidence["read_back"]["REPARTI.BIN"], "differs");
    const Decision unreadable =
        tool::decide_restore({{"REPARTI.BIN", 0, false}, {"PLU.BIN", ERR_TIMEOUT, false}});
    EXPECT_EQ(unreadable.verdict, Verdict::unknown);
    EXPECT_EQ(unreadable.evidence["read_back"]["PLU.BIN"], "ERR_TIMEOUT");
    EXPECT_EQ(tool::decide_restore({}).verdict, Verdict::unknown);
}

TEST(KeyEffects, FollowTheKeysAsTheRegisterTakesThem) {
    const tool::KeyEffect sale = tool::key_effect({"01", "02", "0A", "0C"});
    EXPECT_EQ(sale.amount, 1200) << "00 multiplies by 100";
    EXPECT_EQ(sale.items, 1);
    EXPECT_EQ(sale.receipts, 0) << "no TOTALE";
    const tool::KeyEffect preset = tool::key_effect({"0E", "5C", "5C"});
    EXPECT_EQ(preset.amount, std::nullopt) << "the preset price is the register's";
    EXPECT_EQ(preset.receipts, 1) << "the second TOTALE closes an empty receipt";
    const tool::KeyEffect cleared = tool::key_effect({"09", "5F", "04", "0C", "5C"});
    EXPECT_EQ(cleared.amount, 4) << "C clears the keyed amount";
    EXPECT_EQ(tool::key_effect({"05", "69", "0C"}).unmodelled, "69");
}

struct KeysCase {
    const char* name;
    std::vector<std::string> codes;
    std::optional<Fingerprint> before;
    Reading after;
    std::optional<std::string> display;
    Verdict verdict;
};
void PrintTo(const KeysCase& c, std::ostream* os) {
    *os << c.name;
}

class KeysVerdict : public ::testing::TestWithParam<KeysCase> {};

TEST_P(KeysVerdict, IsSettledByTheReceiptCounterOrTheDisplay) {
    const KeysCase& c = GetParam();
    const Decision d = tool::decide_keys(c.codes, c.before, c.after, c.display);
    EXPECT_EQ(tool::verdict_name(d.verdict), std::string(tool::verdict_name(c.verdict)))
        << d.reason;
    EXPECT_EQ(d.evidence["answer"], "none");
    EXPECT_EQ(d.evidence["keys"], c.codes);
    EXPECT_FALSE(d.reason.empty());
}

// 12,50 on department 2, then TOTALE; a day of 12 receipts and 40,33.
const std::vector<std::string> kSale = {"01", "02", "05", "00", "0D", "5C"};
const std::vector<std::string> kItem = {"03", "05", "0E"};  // 0,35 on PANE, receipt open
const Reading kUnreadable{std::nullopt, ERR_TIMEOUT};

INSTANTIATE_TEST_SUITE_P(
    Rules, KeysVerdict,
    ::testing::Values(
        KeysCase{"sale_counted", kSale, kDay, read(fp(13, 340, 5283, 6)), {}, Verdict::applied},
        KeysCase{"sale_not_counted", kSale, kDay, read(kDay), {}, Verdict::not_applied},
        KeysCase{"sale_not_counted_display_elsewhere", kSale, kDay, read(kDay),
                 "FRUTTA          1,00", Verdict::not_applied},
        KeysCase{
            "sale_counted_twice", kSale, kDay, read(fp(14, 340, 5283, 6)), {}, Verdict::unknown},
        KeysCase{"sale_of_another_amount",
                 kSale,
                 kDay,
                 read(fp(13, 340, 5284, 6)),
                 {},
                 Verdict::unknown},
        KeysCase{"receipt_counted_total_still",
                 kSale,
                 kDay,
                 read(fp(13, 340, 4033, 6)),
                 {},
                 Verdict::unknown},
        KeysCase{"items_counted_receipt_not",
                 kSale,
                 kDay,
                 read(fp(12, 340, 5283, 6)),
                 {},
                 Verdict::unknown},
        KeysCase{"sale_unreadable", kSale, kDay, kUnreadable, {}, Verdict::unknown},
        KeysCase{"sale_no_before",
                 kSale,
                 std::nullopt,
                 read(fp(13, 340, 5283, 6)),
                 {},
                 Verdict::unknown},
        KeysCase{"sale_counters_missing",
                 kSale,
                 Fingerprint{},
                 read(Fingerprint{}),
                 {},
                 Verdict::unknown},
        KeysCase{"sale_still_but_display_shows_totale", kSale, kDay, read(kDay),
                 "TOTALE         12,50", Verdict::unknown},
        KeysCase{"preset_price_counted",
                 {"0E", "5C"},
                 kDay,
                 read(fp(13, 340, 4153, 6)),
                 {},
                 Verdict::applied},
        KeysCase{"preset_price_nothing_added",
                 {"0E", "5C"},
                 kDay,
                 read(fp(13, 340, 4033, 6)),
                 {},
                 Verdict::unknown},
        KeysCase{"two_receipts",
                 {"05", "0C", "5C", "03", "0D", "5C"},
                 kDay,
                 read(fp(14, 340, 4041, 6)),
                 {},
                 Verdict::applied},
        KeysCase{"open_item_display_shows_it", kItem, kDay, read(fp(12, 340, 4068, 6)),
                 "PANE            0,35", Verdict::applied},
        KeysCase{"open_item_display_shows_a_longer_amount", kItem, kDay, read(kDay),
                 "PANE           10,35", Verdict::not_applied},
        KeysCase{"open_item_display_not_read",
                 kItem,
                 kDay,
                 read(fp(12, 340, 4068, 6)),
                 {},
                 Verdict::unknown},
        KeysCase{"open_item_display_elsewhere_counters_moved", kItem, kDay,
                 read(fp(12, 340, 4068, 6)), "FRUTTA          1,00", Verdict::unknown},
        KeysCase{"digits_display_shows_them",
                 {"03", "05", "0A"},
                 kDay,
                 read(kDay),
                 "35,00",
                 Verdict::applied},
        KeysCase{"totale_alone_display_shows_it",
                 {"5C"},
                 kDay,
                 read(fp(13, 340, 4033, 6)),
                 "TOTALE          7,00",
                 Verdict::applied},
        KeysCase{"totale_alone_display_shows_subtotale",
                 {"5C"},
                 kDay,
                 read(kDay),
                 "SUBTOTALE       7,00",
                 Verdict::not_applied},
        KeysCase{"unmodelled_key", {"69"}, kDay, read(kDay), "ANNULLA", Verdict::unknown},
        KeysCase{"no_keys", {}, kDay, read(kDay), {}, Verdict::unknown}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KeysVerdict, EvidenceNamesWhatTheKeysShouldMove) {
    const Decision d = tool::decide_keys(kSale, kDay, read(fp(13, 340, 5283, 6)));
    EXPECT_EQ(d.evidence["expected"]["receipts"], 1);
    EXPECT_EQ(d.evidence["expected"]["TOT_GIORNO"], 1250);
    EXPECT_EQ(d.evidence["expected"]["display"], "TOTALE");
    EXPECT_EQ(d.evidence["changes"]["NUM_SCONTR"], (nlohmann::json{{"before", 12}, {"after", 13}}));
    EXPECT_EQ(d.evidence["changes"]["TOT_GIORNO"],
              (nlohmann::json{{"before", 4033}, {"after", 5283}}));
    EXPECT_EQ(tool::decide_keys(kSale, kDay, kUnreadable).evidence["after"]["unreadable"],
              "ERR_TIMEOUT");
}

// The tool against ecrsim, which loses the answer of the second COMMAND.TXT
// (the first is the INFO read before the change) or of a table's upload.
class VerdictOnEcrsim : public ToolOnEcrsim {
protected:
    // The register again on the same state, finished writes not lingering:
    // a lost last ACK stays lost.
    void without_linger() {
        port_.reset();
        line_port_.reset();
        reg_.reset();
        ecrsim::Options o;
        o.address = "127.0.0.1";
        o.state_dir = state_.path();
        o.busy_ms = 200;
        o.linger_ms = 0;
        reg_ = std::make_unique<ecrsim::Register>(o);
        port_ = std::make_unique<EnvVar>("ECR_TFTP_PORT", std::to_string(reg_->tftp_port()));
        line_port_ = std::make_unique<EnvVar>("ECR_LINE_PORT", std::to_string(reg_->line_port()));
    }
    void fault(const std::string& text, int transfers = 1) {
        auto f = ecrsim::parse_tftp_fault(text);
        ASSERT_TRUE(f) << text;
        f->transfers = transfers;
        reg_->add_fault(*f);
    }
    std::int64_t closures() const { return std::stoll(reg_->info_values()[6]); }
    // The department CSV with FRUTTA renamed: an upload that changes one record.
    std::string renamed_csv() {
        EXPECT_EQ(veltra({"tables", "get", "reparti", path("rep.csv")}).status, 0);
        std::string csv;
        for (std::string line : read_lines(path("rep.csv"))) {
            if (line.rfind("1;FRUTTA;", 0) == 0) line.replace(2, 6, "MELE");
            csv += line + "\n";
        }
        write_file(path("put.csv"), csv);
        return path("put.csv");
    }
    // The last ACK of a write of the register's file `name`, as ecrsim counts
    // its outgoing datagrams: ACK 0, then one per block.
    int last_ack_of(const std::string& name) const {
        return static_cast<int>(reg_->file(name)->size() / 512) + 2;
    }
};

TEST_F(VerdictOnEcrsim, AnAcknowledgedCommandIsAppliedWithTheAfterFingerprint) {
    const std::int64_t before = closures();
    const ToolRun r = veltra({"--json", "command", "azzfis", "--yes"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const ToolJson j = r.json();
    EXPECT_EQ(j["verdict"], "applied");
    EXPECT_EQ(j["name"], "OK");
    EXPECT_EQ(j["evidence"]["answer"], "acknowledged");
    EXPECT_EQ(j["evidence"]["before"]["NUM_AZZ"], before);
    EXPECT_EQ(j["evidence"]["after"]["NUM_AZZ"], before + 1);
}

TEST_F(VerdictOnEcrsim, ARefusedCommandIsNotApplied) {
    fault("error:1:2@COMMAND.TXT#2");
    const std::int64_t before = closures();
    const ToolRun r = veltra({"command", "azzfis", "--yes"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("verdict: not_applied"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("ecr_command: ERR_"), std::string::npos) << r.err;
    EXPECT_EQ(closures(), before);
}

// The case users met: the register closes the day and its answer is lost.
TEST_F(VerdictOnEcrsim, LostAnswerOfAClosureIsAppliedSlow) {
    without_linger();
    fault("drop:out:2@COMMAND.TXT#2");
    const std::int64_t before = closures();
    const ToolRun r = veltra({"--json", "command", "azzfis", "--yes"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const ToolJson j = r.json();
    EXPECT_EQ(j["verdict"], "applied");
    EXPECT_EQ(j["name"], "ERR_TRANSFER_FAILED") << "the library's result, as it was";
    EXPECT_EQ(j["evidence"]["answer"], "lost");
    EXPECT_EQ(j["evidence"]["changes"]["NUM_AZZ"],
              (nlohmann::json{{"before", before}, {"after", before + 1}}));
    EXPECT_EQ(closures(), before + 1);
    EXPECT_EQ(commands(), (std::vector<std::string>{"INFO", "AZZFIS", "INFO"}));
}

TEST_F(VerdictOnEcrsim, LostAnswerOfARegisterThatStopsAnsweringIsUnknownSlow) {
    without_linger();
    fault("drop:out:2@COMMAND.TXT#2");
    fault("silent@COMMAND.TXT#3", 0);
    const ToolRun r = veltra({"command", "azzfis", "--yes"});
    EXPECT_EQ(r.status, tool::kExitUnknown) << r.out << r.err;
    EXPECT_NE(r.out.find("verdict: unknown"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"unreadable\""), std::string::npos) << r.out;
}

TEST_F(VerdictOnEcrsim, LostAnswerOfATableUploadIsAppliedOnItsReadBackSlow) {
    const std::string csv = renamed_csv();
    without_linger();
    fault("drop:out:" + std::to_string(last_ack_of("REPARTI.BIN")) + "@REPARTI.BIN#2");
    const ToolRun r = veltra({"--json", "tables", "put", "reparti", csv, "--yes"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const ToolJson j = r.json();
    EXPECT_EQ(j["verdict"], "applied");
    EXPECT_LT(j["code"].get<int>(), 0);
    EXPECT_EQ(j["evidence"]["read_back"]["differing"], 0);
    EXPECT_EQ(j["evidence"]["read_back"]["records"], 80);
}

TEST_F(VerdictOnEcrsim, ARefusedTableUploadIsNotApplied) {
    const std::string csv = renamed_csv();
    const ecrsim::Bytes before = *reg_->file("REPARTI.BIN");
    fault("error:1:2@REPARTI.BIN#2");
    const ToolRun r = veltra({"--json", "tables", "put", "reparti", csv, "--yes"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const ToolJson j = r.json();
    EXPECT_EQ(j["verdict"], "not_applied");
    EXPECT_EQ(j["uploaded"], false);
    EXPECT_EQ(j["evidence"]["read_back"]["differing"], 1);
    EXPECT_EQ(*reg_->file("REPARTI.BIN"), before);
}

TEST_F(VerdictOnEcrsim, LostAnswerOfAReleaseUpdateIsAppliedSlow) {
    ecrsim::ReleaseFields f;
    f.text = "ELT5 V5.09";
    const ecrsim::Bytes image = ecrsim::build_release(f);
    write_file(path("ELT5.rel"), std::string(image.begin(), image.end()));
    without_linger();
    fault("drop:out:" + std::to_string(image.size() / 512 + 2) + "@ELT5.BIN");
    const ToolRun r = veltra({"--json", "release", "update", path("ELT5.rel"), "--yes"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const ToolJson j = r.json();
    EXPECT_EQ(j["verdict"], "applied");
    EXPECT_LT(j["code"].get<int>(), 0);
    EXPECT_EQ(j["evidence"]["before"]["VERSIONE"], "V5.02");
    EXPECT_EQ(j["evidence"]["after"]["VERSIONE"], "V5.09");
    EXPECT_EQ(j["uploaded"], true);
}

// An archive of the register as it is, then department 1 renamed on the
// register: a restore that is done puts FRUTTA back.
class RestoreVerdict : public VerdictOnEcrsim {
protected:
    std::string archive_then_rename() {
        const ToolRun saved = veltra({"backup", "save", path("cassa.bak")});
        EXPECT_EQ(saved.status, 0) << saved.err;
        ecrsim::Bytes table = *reg_->file("REPARTI.BIN");
        table[1] = 'X';
        reg_->put_file("REPARTI.BIN", table);
        return path("cassa.bak");
    }
};

TEST_F(RestoreVerdict, LostAnswerOfARestoreIsAppliedOnItsReadBackSlow) {
    const std::string archive = archive_then_rename();
    without_linger();
    fault("drop:out:" + std::to_string(last_ack_of("TAV_MIN.BIN")) + "@TAV_MIN.BIN");
    const ToolRun r = veltra({"--json", "backup", "restore", archive, "--yes"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const ToolJson j = r.json();
    EXPECT_EQ(j["verdict"], "applied");
    EXPECT_LT(j["code"].get<int>(), 0);
    EXPECT_EQ(j["evidence"]["read_back"].size(), 12u);
    EXPECT_EQ(j["evidence"]["read_back"]["REPARTI.BIN"], "equal");
    EXPECT_EQ((*reg_->file("REPARTI.BIN"))[1], 'F');
}

TEST_F(RestoreVerdict, ARefusedRestoreIsNotApplied) {
    const std::string archive = archive_then_rename();
    fault("error:1:2@REPARTI.BIN");
    const ToolRun r = veltra({"--json", "backup", "restore", archive, "--yes"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const ToolJson j = r.json();
    EXPECT_EQ(j["verdict"], "not_applied");
    EXPECT_EQ(j["restored"], false);
    EXPECT_EQ(j["evidence"]["read_back"]["REPARTI.BIN"], "differs");
}

// Keys sold on the line port: the receipt counter and the day's total tell.
TEST_F(VerdictOnEcrsim, AKeyedSaleIsAppliedOnItsCounters) {
    const std::int64_t receipts = std::stoll(reg_->info_values()[5]);
    const std::int64_t total = std::stoll(reg_->info_values()[7]);
    const ToolRun r =
        veltra({"--json", "keys", "1", "2", "5", "0", "REPARTO 2", "totale conferma"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const ToolJson j = r.json();
    EXPECT_EQ(j["verdict"], "applied");
    EXPECT_EQ(j["keys"], (nlohmann::json{"01", "02", "05", "00", "0D", "5C"}));
    EXPECT_EQ(j["evidence"]["changes"]["NUM_SCONTR"],
              (nlohmann::json{{"before", receipts}, {"after", receipts + 1}}));
    EXPECT_EQ(j["evidence"]["changes"]["TOT_GIORNO"],
              (nlohmann::json{{"before", total}, {"after", total + 1250}}));
    EXPECT_EQ(reg_->transcript().keys,
              (std::vector<std::string>{"01", "02", "05", "00", "0D", "5C"}));
}

// The register drops the keypad's connection once it has the keys: the sale
// was made, and INFO shows it.
TEST_F(VerdictOnEcrsim, AKeyedSaleWhoseConnectionDropsIsApplied) {
    reg_->script_line(*ecrsim::parse_line_answers("close"));
    const ToolRun r = veltra({"--json", "keys", "9", "9", "REPARTO 1", "TOTALE"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const ToolJson j = r.json();
    EXPECT_EQ(j["verdict"], "applied") << j["reason"];
    EXPECT_EQ(j["evidence"]["expected"]["TOT_GIORNO"], 99);
    EXPECT_EQ(j["evidence"]["answer"], "none");
    const auto& lines = reg_->transcript().lines;
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [](const std::string& l) {
                               return l.find("keys, connection closed") != std::string::npos;
                           }),
              lines.end());
}

// REPARTO 2 has no preset price and no amount was keyed: the register sells
// nothing, so TOTALE closes no receipt.
TEST_F(VerdictOnEcrsim, KeysTheRegisterSellsNothingOnAreNotApplied) {
    const ToolRun r = veltra({"keys", "REPARTO 2", "TOTALE"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("verdict: not_applied"), std::string::npos) << r.out;
    EXPECT_EQ(reg_->info_values()[5], "0");
}

TEST_F(VerdictOnEcrsim, KeysThatCloseNoReceiptAreUnknown) {
    const ToolRun r = veltra({"keys", "5", "REPARTO 1"});
    EXPECT_EQ(r.status, tool::kExitUnknown) << r.out << r.err;
    EXPECT_NE(r.out.find("only the display tells"), std::string::npos) << r.out;
}

TEST_F(VerdictOnEcrsim, AWordThatIsNoKeyIsAUsageError) {
    const ToolRun r = veltra({"keys", "1", "TOTALLY"});
    EXPECT_EQ(r.status, tool::kExitUsage) << r.out << r.err;
    EXPECT_NE(r.err.find("not a key: TOTALLY"), std::string::npos) << r.err;
    EXPECT_TRUE(reg_->transcript().keys.empty()) << "nothing is sent";
}

TEST_F(VerdictOnEcrsim, AnAcknowledgedTableUploadIsApplied) {
    const std::string csv = renamed_csv();
    const ToolRun r = veltra({"--json", "tables", "put", "reparti", csv, "--yes"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.json()["verdict"], "applied");
    EXPECT_EQ(r.json()["evidence"]["records_changed"], 1);
}

}  // namespace
}  // namespace veltra::test
