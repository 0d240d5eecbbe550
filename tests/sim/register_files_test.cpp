// The seeded register's files in each generation and bitmap type, the sales
// files' layout, the date helpers, and the parsing of faults and options.
#include <thread>

#include "options_parse.hpp"
#include "register_state.hpp"
#include "sales.hpp"
#include "sim_fixture.hpp"

namespace ecrsim::test {
namespace {

const char* const kNames[] = {"LOG.BIN",     "INTESTAZIONE.BIN", "IVA.BIN",      "REPARTI.BIN",
                              "VAL.BIN",     "OPERATORI.BIN",    "CORTESIA.BIN", "LOGO.BIN",
                              "BITMAP.BIN",  "PROG_PARAM.BIN",   "PLU.BIN",      "CLIENTI.BIN",
                              "FATTURE.BIN", "TAV_MIN.BIN"};

struct LayoutCase {
    const char* name;
    Layout layout;
    std::size_t intestazione, cortesia, bitmap, reparti, prog_param, clienti, plu;
    bool tav_min;
};
void PrintTo(const LayoutCase& c, std::ostream* os) {
    *os << c.name;
}

class SeededLayouts : public SimTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(SeededLayouts, FilesHaveTheSizesOfTheLayout) {
    const LayoutCase& c = GetParam();
    RegisterState state({state_.path(), c.layout, 100, true});
    const std::pair<const char*, std::size_t> expected[] = {{"INTESTAZIONE.BIN", c.intestazione},
                                                            {"CORTESIA.BIN", c.cortesia},
                                                            {"BITMAP.BIN", c.bitmap},
                                                            {"REPARTI.BIN", c.reparti},
                                                            {"PROG_PARAM.BIN", c.prog_param},
                                                            {"CLIENTI.BIN", c.clienti},
                                                            {"PLU.BIN", c.plu},
                                                            {"IVA.BIN", 232},
                                                            {"VAL.BIN", 116},
                                                            {"OPERATORI.BIN", 330},
                                                            {"LOGO.BIN", 120},
                                                            {"FATTURE.BIN", 192000}};
    for (const auto& [name, size] : expected) {
        auto f = state.file(name);
        ASSERT_TRUE(f) << name;
        EXPECT_EQ(f->size(), size) << c.name << " " << name;
        EXPECT_EQ(table_file_size(name, c.layout), size) << name;
    }
    EXPECT_EQ(state.file("TAV_MIN.BIN").has_value(), c.tav_min);
    for (const char* name : kNames) EXPECT_TRUE(is_table_file(name)) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, SeededLayouts,
    ::testing::Values(
        LayoutCase{"current_L",
                   {Generation::Current, 'L'},
                   304,
                   78,
                   384096,
                   4000,
                   1024,
                   256000,
                   6400000,
                   true},
        LayoutCase{"current_S",
                   {Generation::Current, 'S'},
                   208,
                   54,
                   230496,
                   4000,
                   1024,
                   256000,
                   6400000,
                   true},
        LayoutCase{"unsupported_L",
                   {Generation::Unsupported, 'L'},
                   304,
                   78,
                   384096,
                   4000,
                   1024,
                   256000,
                   6400000,
                   true},
        LayoutCase{
            "old_L", {Generation::Old, 'L'}, 304, 78, 384096, 3360, 428, 44250, 240000, false},
        LayoutCase{
            "old_S", {Generation::Old, 'S'}, 208, 54, 230496, 3360, 428, 44250, 240000, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimTest, SeededCurrentRecordsSitAtTheirOffsets) {
    RegisterState state({state_.path(), {}, 100, true});
    const Bytes rep = *state.file("REPARTI.BIN");
    EXPECT_EQ(get_text(rep, 1, 25), "FRUTTA");
    EXPECT_EQ(get_text(rep, 3950 + 1, 25), "REPARTO 80");
    EXPECT_EQ(get_i32le(rep, 9 * 50 + 28), 120);  // GIORNALI's price
    const Bytes plu = *state.file("PLU.BIN");
    EXPECT_EQ(get_text(plu, 1, 25), "MELE GOLDEN KG");
    EXPECT_EQ(get_i32le(plu, 28), 249);
    EXPECT_EQ(get_text(plu, 32, 14), "2000000000015");
    EXPECT_EQ(get_text(plu, 6399936 + 1, 25), "PLU 100000");
    EXPECT_EQ(plu[6399936 + 27], 0x03);
    const Bytes cli = *state.file("CLIENTI.BIN");
    EXPECT_EQ(cli[1], 1);  // company name and VAT number
    EXPECT_EQ(get_text(cli, 2, 41), "BAR CENTRALE SNC");
    EXPECT_EQ(get_text(cli, 125, 12), "01234567890");
    EXPECT_EQ(cli[2 * 256 + 1], 2);  // a private customer
    EXPECT_EQ(get_text(cli, 2 * 256 + 137, 17), "RSSGNN70A01G337X");
    EXPECT_EQ(cli[255744 + 1], 0);
    const Bytes fat = *state.file("FATTURE.BIN");
    EXPECT_EQ(fat[0], 0xA0);
    EXPECT_EQ(get_i32le(fat, 7), 12200);
    EXPECT_EQ(get_i32le(fat, 11) + get_i32le(fat, 15), 12200);
    EXPECT_EQ(fat[6 * 64], 0);  // a free slot after the six invoices
    const Bytes tav = *state.file("TAV_MIN.BIN");
    EXPECT_EQ(get_text(tav, 199 * 64, 64), "TAVOLO 200");
}

TEST_F(SimTest, OldRecordsReadAsCurrentOnes) {
    const Layout old{Generation::Old, 'L'};
    RegisterState state({state_.path(), old, 100, true});
    const Bytes rep = *state.file("REPARTI.BIN");
    EXPECT_EQ(get_text(rep, 0, 25), "FRUTTA");
    const Bytes r = department_record(rep, old, 10);
    EXPECT_EQ(get_text(r, 1, 25), "GIORNALI");
    EXPECT_EQ(r[26] & 0x07, 3);  // VAT rate 4
    EXPECT_EQ(get_i32le(r, 28), 120);
    const Bytes p = article_record(*state.file("PLU.BIN"), old, 2);
    EXPECT_EQ(get_text(p, 1, 25), "BANANE KG");
    EXPECT_EQ(get_i32le(p, 28), 189);
    EXPECT_EQ(get_text(p, 32, 14), "2000000000022");
    const Bytes cli = *state.file("CLIENTI.BIN");
    EXPECT_EQ(get_text(cli, 177 + 1, 41), "TRATTORIA DA MARIO SRL");
}

TEST_F(SimTest, SeededDaysOfSalesAreArchived) {
    RegisterState state({state_.path(), {}, 100, true});
    EXPECT_FALSE(state.sales().empty());
    const std::uint32_t today = oro_midnight(oro_now());
    for (std::uint32_t back = 1; back <= 3; ++back) {
        const std::uint32_t day = today - back * 86400;
        auto f = state.file("VEND" + oro_ddmmyy(day) + ".DAT");
        ASSERT_TRUE(f) << back;
        EXPECT_EQ(get_u32le(*f, 0), day);
        const std::size_t rep = get_u32le(*f, 72), plu = get_u32le(*f, 76);
        EXPECT_EQ(f->size(), 512 + rep + plu);
        EXPECT_EQ(rep, ((*f)[27] + 3u) / 4 * 512);
        EXPECT_EQ(plu, (get_u32le(*f, 28) + 3) / 4 * 512);
    }
    EXPECT_FALSE(state.file("VEND" + oro_ddmmyy(today) + ".DAT"));
}

TEST_F(SimTest, HistoryArchivesThePastDaysThatAreMissing) {
    const std::uint32_t today = oro_midnight(oro_now());
    const std::string yesterday = "VEND" + oro_ddmmyy(today - 86400) + ".DAT";
    { RegisterState seeded({state_.path(), {}, 100, true}); }
    const Bytes kept = {1, 2, 3};
    veltra::test::write_file((state_.path() / yesterday).string(), "\x01\x02\x03");
    RegisterState state({state_.path(), {}, 100, true, 40});
    EXPECT_EQ(*state.file(yesterday), kept) << "a day already there stays as it is";
    for (std::uint32_t back = 2; back <= 40; ++back) {
        const std::uint32_t day = today - back * 86400;
        auto f = state.file("VEND" + oro_ddmmyy(day) + ".DAT");
        ASSERT_TRUE(f) << back;
        EXPECT_EQ(get_u32le(*f, 0), day);
    }
    EXPECT_FALSE(state.file("VEND" + oro_ddmmyy(today - 41 * 86400) + ".DAT"));
    EXPECT_FALSE(state.file("VEND" + oro_ddmmyy(today) + ".DAT"));
}

TEST_F(SimTest, CurrentSalesSurviveARestart) {
    SalesBook book;
    book.sell_department(12, 999, 3);
    {
        RegisterState state({state_.path(), {}, 100, true});
        state.set_sales(book);
    }
    RegisterState again({state_.path(), {}, 100, true});
    ASSERT_EQ(again.sales().departments.size(), 1u);
    EXPECT_EQ(again.sales().departments.at(12).amount, 999);
    EXPECT_EQ(again.sales().departments.at(12).quantity, 3);
}

TEST_F(SimTest, ExistingStateIsNotSeededAgain) {
    Options o = defaults();
    {
        Register first(o);
        first.put_file("REPARTI.BIN", Bytes(4000, 0x55));
    }
    Register second(o);
    EXPECT_EQ(second.file("REPARTI.BIN"), Bytes(4000, 0x55));
}

struct SaleCase {
    const char* what;
    Totals before;
    std::int64_t amount, quantity;
    bool taken;
};

TEST(SalesBook, SalesPastTheCeilingsAreRefusedAndCountNowhere) {
    const std::int32_t top = static_cast<std::int32_t>(kMaxTotal);
    const SaleCase cases[] = {
        {"largest sale", {0, 0}, kMaxSaleAmount, 1, true},
        {"sale too large", {0, 0}, kMaxSaleAmount + 1, 1, false},
        {"total up to the ceiling", {top - 5, 1}, 5, 1, true},
        {"total past the ceiling", {top - 5, 1}, 6, 1, false},
        {"quantity past the ceiling", {0, top}, 1, 1, false},
        {"negative amount", {100, 1}, -1, 1, false},
    };
    for (const SaleCase& c : cases) {
        SalesBook dept, art;
        dept.departments[1] = c.before;
        EXPECT_EQ(dept.sell_department(1, c.amount, c.quantity), c.taken) << c.what;
        // An article sale counts in its department too: both or neither.
        art.departments[1] = c.before;
        EXPECT_EQ(art.sell_article(7, 1, c.amount, c.quantity), c.taken) << c.what;
        const Totals d = dept.departments.at(1);
        const Totals a = art.departments.at(1);
        const std::int64_t amount = c.taken ? c.before.amount + c.amount : c.before.amount;
        EXPECT_EQ(d.amount, amount) << c.what;
        EXPECT_EQ(a.amount, amount) << c.what;
        EXPECT_EQ(art.articles.count(7), c.taken ? 1u : 0u) << c.what;
    }
}

TEST(SalesFile, FiveArticlesTakeTwoBlocks) {
    SalesBook book;
    for (int id = 1; id <= 5; ++id) book.sell_article(id, 1, 100 * id, id);
    SalesTables t;
    t.reparti = Bytes(4000, 0);
    t.plu = Bytes(64 * 10, 0);
    t.iva = Bytes(232, 0);
    const Bytes f = build_sales_file(book, 1418688000, t);
    EXPECT_EQ(f[27], 1);
    EXPECT_EQ(get_u32le(f, 28), 5u);
    EXPECT_EQ(get_u32le(f, 72), 512u);
    EXPECT_EQ(get_u32le(f, 76), 1024u);
    ASSERT_EQ(f.size(), 512u + 512u + 1024u);
    // The fifth article opens the second article block.
    EXPECT_EQ(get_i32le(f, 1024 + 512 + 1), 5);
    EXPECT_EQ(get_i32le(f, 1024 + 512 + 98), 500);
    EXPECT_EQ(get_i32le(f, 1024 + 512 + 102), 5);
    EXPECT_EQ(get_i32le(f, 512 + 84), 1500);  // department 1 sums the articles
}

TEST(OroDates, FormatDayMonthYear) {
    const std::pair<std::uint32_t, const char*> cases[] = {{1418688000, "161214"},
                                                           {946684800, "010100"},
                                                           {1330473600, "290212"},
                                                           {4102358400u, "311299"}};
    for (const auto& [oro, text] : cases) EXPECT_EQ(oro_ddmmyy(oro), text) << oro;
    EXPECT_EQ(oro_midnight(1418688000 + 3661), 1418688000u);
}

struct FaultText {
    const char* text;
    bool valid;
    FaultKind kind;
    Direction direction;
    int nth;
};
void PrintTo(const FaultText& c, std::ostream* os) {
    *os << c.text;
}

class FaultTexts : public ::testing::TestWithParam<FaultText> {};

TEST_P(FaultTexts, Parse) {
    const FaultText& c = GetParam();
    const auto f = parse_tftp_fault(c.text);
    ASSERT_EQ(f.has_value(), c.valid) << c.text;
    if (!f) return;
    EXPECT_EQ(f->kind, c.kind) << c.text;
    EXPECT_EQ(f->direction, c.direction) << c.text;
    EXPECT_EQ(f->nth, c.nth) << c.text;
}

TEST(FaultTexts, FileAndTransferNumber) {
    const auto f = parse_tftp_fault("drop:out:2@COMMAND.TXT#3");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->file, "COMMAND.TXT");
    EXPECT_EQ(f->skip, 2);
    EXPECT_EQ(parse_tftp_fault("drop:out:2@COMMAND.TXT")->skip, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FaultTexts,
    ::testing::Values(
        FaultText{"drop:out:3", true, FaultKind::Drop, Direction::Out, 3},
        FaultText{"drop:in:1", true, FaultKind::Drop, Direction::In, 1},
        FaultText{"dup:out:2", true, FaultKind::Duplicate, Direction::Out, 2},
        FaultText{"delay:out:2:6000", true, FaultKind::Delay, Direction::Out, 2},
        FaultText{"error:1:2", true, FaultKind::Error, Direction::In, 1},
        FaultText{"silent", true, FaultKind::Silent, Direction::In, 1},
        FaultText{"port:out:1", true, FaultKind::OtherPort, Direction::Out, 1},
        FaultText{"addr:out:4@PLU.BIN", true, FaultKind::OtherAddress, Direction::Out, 4},
        FaultText{"short:out:1", true, FaultKind::Short, Direction::Out, 1},
        FaultText{"garbage:out:9", true, FaultKind::Garbage, Direction::Out, 9},
        FaultText{"drop:out:0", false, {}, {}, 0}, FaultText{"drop:sideways:1", false, {}, {}, 0},
        FaultText{"delay:out:2", false, {}, {}, 0}, FaultText{"error:1", false, {}, {}, 0},
        FaultText{"error:1:70000", false, {}, {}, 0}, FaultText{"drop:out:1@", false, {}, {}, 0},
        FaultText{"explode:out:1", false, {}, {}, 0}, FaultText{"drop:out:x", false, {}, {}, 0},
        FaultText{"drop:out:2@COMMAND.TXT#2", true, FaultKind::Drop, Direction::Out, 2},
        FaultText{"drop:out:2@COMMAND.TXT#0", false, {}, {}, 0},
        FaultText{"drop:out:2@COMMAND.TXT#", false, {}, {}, 0},
        FaultText{"drop:out:2@#2", false, {}, {}, 0}),
    [](const auto& info) { return name_of(info.param.text); });

TEST(LineAnswerTexts, Parse) {
    const auto a = parse_line_answers("15,07,silence,close,stall,11x06");
    ASSERT_TRUE(a);
    ASSERT_EQ(a->size(), 6u);
    EXPECT_EQ((*a)[0].bytes, "\x15");
    EXPECT_EQ((*a)[1].bytes, "\x07");
    EXPECT_EQ((*a)[2].kind, LineAnswer::Kind::Silence);
    EXPECT_EQ((*a)[3].kind, LineAnswer::Kind::Close);
    EXPECT_EQ((*a)[4].kind, LineAnswer::Kind::Stall);
    EXPECT_EQ((*a)[5].bytes, "\x11\x06");
    for (const char* bad : {"", "1", "zz", "15,,06", "123", "06x"})
        EXPECT_FALSE(parse_line_answers(bad)) << bad;
}

TEST(ProgramOptionsText, Parse) {
    ProgramOptions p;
    std::string error;
    ASSERT_TRUE(
        parse_program_options({"--address",       "127.0.0.7",  "--state",         "/tmp/s",
                               "--tftp-port",     "0",          "--line-port",     "1724",
                               "--keyboard-port", "9931",       "--generation",    "old",
                               "--bitmap",        "S",          "--busy-ms",       "250",
                               "--fault",         "drop:out:2", "--fault",         "silent@X.BIN",
                               "--line-answers",  "15,06",      "--keep-busy",     "--no-seed",
                               "--linger-ms",     "20000",      "--max-transfers", "8",
                               "--history",       "30"},
                              p, error))
        << error;
    EXPECT_EQ(p.options.address, "127.0.0.7");
    EXPECT_EQ(p.options.tftp_port, 0);
    EXPECT_EQ(p.options.line_port, 1724);
    EXPECT_EQ(p.options.keyboard_port, 9931);
    EXPECT_EQ(p.options.layout.generation, Generation::Old);
    EXPECT_EQ(p.options.layout.bitmap, 'S');
    EXPECT_EQ(p.options.busy_ms, 250);
    EXPECT_EQ(p.faults.size(), 2u);
    EXPECT_EQ(p.faults[1].file, "X.BIN");
    EXPECT_EQ(p.line_answers.size(), 2u);
    EXPECT_TRUE(p.keep_busy);
    EXPECT_FALSE(p.options.seed);
    EXPECT_EQ(p.options.linger_ms, 20000);
    EXPECT_EQ(p.options.max_transfers, 8u);
    EXPECT_EQ(p.options.history_days, 30);
    const std::vector<std::vector<std::string>> bad = {
        {"--address", "127.0.0.1"},  // no state directory
        {"--state", "d", "--tftp-port", "70000"},
        {"--state", "d", "--bitmap", "X"},
        {"--state", "d", "--history", "3661"},
        {"--state", "d", "--generation", "newest"},
        {"--state", "d", "--fault", "drop"},
        {"--state", "d", "--linger-ms", "-1"},
        {"--state", "d", "--max-transfers", "0"},
        {"--state", "d", "--frobnicate", "1"},
        {"--state"}};
    for (const auto& args : bad) {
        ProgramOptions q;
        EXPECT_FALSE(parse_program_options(args, q, error)) << args.back();
    }
}

// The ecrsim program in the background, stopped with SIGINT at the end.
class ProgramRun {
public:
    ProgramRun(const veltra::test::TempDir& dir, const std::string& args)
        : log_(dir.file("ecrsim.log")), pid_file_(dir.file("ecrsim.pid")) {
        run(std::string("(") + ECRSIM_PROGRAM + " " + args + " > " + log_ + " 2>&1 & echo $! > " +
            pid_file_ + ")");
        wait_for_line("ecrsim: ready");
        const std::string ready = text();
        const auto at = ready.find("ecrsim: ready, TFTP ");
        if (at != std::string::npos) {
            const auto colon = ready.find(':', at + 20);
            port_ = std::stoi(ready.substr(colon + 1));
            line_port_ = std::stoi(ready.substr(ready.find(", line ", at) + 7));
        }
    }
    ~ProgramRun() { stop(); }
    bool stop() {
        if (!stopped_) run("kill -INT " + veltra::test::read_file(pid_file_));
        stopped_ = true;
        return wait_for_line("ecrsim: stopped");
    }
    bool wait_for_line(const std::string& needle) {
        for (int i = 0; i < 200; ++i) {
            if (text().find(needle) != std::string::npos) return true;
            std::this_thread::sleep_for(25ms);
        }
        return false;
    }
    std::string text() const { return veltra::test::read_file(log_); }
    int port() const { return port_; }
    int line_port() const { return line_port_; }

private:
    std::string log_, pid_file_;
    int port_ = 0, line_port_ = 0;
    bool stopped_ = false;
};

TEST_F(SimTest, ProgramServesWithItsCommandLineFaults) {
    ECRSIM_NEEDS_POSIX_SHELL();
    ProgramRun p(dir_,
                 "--address 127.0.0.8 --state " + state_.path().string() +
                     " --tftp-port 0 --line-port 0 --keyboard-port 0 --generation old --bitmap S"
                     " --fault error:1:2@PLU.BIN --line-answers 15 --keep-busy");
    ASSERT_GT(p.port(), 0) << p.text();
    const std::string url = "tftp://127.0.0.8:" + std::to_string(p.port()) + "/";
    // The scripted ERROR 2 refuses the first read of PLU.BIN, not the second.
    EXPECT_NE(run("curl -s -o " + dir_.file("plu") + " " + url + "PLU.BIN"), 0);
    EXPECT_EQ(run("curl -s -o " + dir_.file("plu") + " " + url + "PLU.BIN"), 0);
    EXPECT_EQ(veltra::test::read_file(dir_.file("plu")).size(), 240000u);  // old layout
    veltra::test::write_file(dir_.file("cmd"), "INFO");
    EXPECT_EQ(run("tftp -m octet 127.0.0.8 " + std::to_string(p.port()) + " -c put " +
                  dir_.file("cmd") + " COMMAND.TXT"),
              0);
    EXPECT_EQ(run("curl -s -o " + dir_.file("info") + " " + url + "RESPONSE.TXT"), 0);
    const std::string info = veltra::test::read_file(dir_.file("info"));
    EXPECT_EQ(info.rfind("VERSIONE=V1.07,TIPO_BITMAP=S,", 0), 0u) << info;
    EXPECT_NE(info.find(",OCCUPATO=1,"), std::string::npos) << info;
    RawTcp line("127.0.0.8", static_cast<std::uint16_t>(p.line_port()));
    line.send("TEXT");
    EXPECT_EQ(line.recv(1s), "\x15");
    line.send("TEXT");
    EXPECT_EQ(line.recv(1s), "0");  // an old register's digit form
    EXPECT_TRUE(p.wait_for_line("INFO: VERSIONE=V1.07"));
    EXPECT_TRUE(p.stop());
    const std::string log = p.text();
    EXPECT_NE(log.find("tftp: get PLU.BIN 240000 bytes"), std::string::npos) << log;
    EXPECT_NE(log.find("tftp: put COMMAND.TXT 4 bytes"), std::string::npos) << log;
    EXPECT_NE(log.find("line: 4 bytes, answer 15"), std::string::npos) << log;
}

TEST_F(SimTest, ProgramRefusesABadCommandLine) {
    ECRSIM_NEEDS_POSIX_SHELL();
    EXPECT_EQ(run(std::string(ECRSIM_PROGRAM) + " --state x --bitmap Q > /dev/null 2>&1"), 2);
    EXPECT_EQ(run(std::string(ECRSIM_PROGRAM) + " --help > /dev/null"), 0);
    // A TFTP port that another register already holds.
    ProgramRun first(dir_, "--address 127.0.0.8 --state " + state_.path().string() +
                               " --tftp-port 0 --line-port 0 --keyboard-port 0");
    ASSERT_GT(first.port(), 0);
    veltra::test::TempDir other;
    EXPECT_EQ(run(std::string(ECRSIM_PROGRAM) + " --address 127.0.0.8 --state " +
                  other.path().string() + " --tftp-port " + std::to_string(first.port()) +
                  " --line-port 0 --keyboard-port 0 > " + other.file("log") + " 2>&1"),
              1);
    EXPECT_NE(veltra::test::read_file(other.file("log")).find("TFTP port"), std::string::npos);
}

}  // namespace
}  // namespace ecrsim::test
