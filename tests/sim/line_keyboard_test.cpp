// The raw text channel (one answer per piece, scripted answers, closing and
// stalling) and the keyboard: key messages, the display connection, sales.
#include <atomic>
#include <memory>
#include <thread>

#include "line_channel.hpp"
#include "net/endpoints.hpp"
#include "options_parse.hpp"
#include "register_state.hpp"
#include "sim_fixture.hpp"

namespace ecrsim::test {
namespace {

class LineTest : public SimTest {
protected:
    void SetUp() override { start(); }
    RawTcp line() { return RawTcp(reg_->address(), reg_->line_port()); }
    // Sends a piece and returns what came back within the wait.
    std::optional<std::string> exchange(RawTcp& c, const std::string& piece,
                                        std::chrono::milliseconds wait = 500ms) {
        c.send(piece);
        return c.recv(wait);
    }
};

TEST_F(LineTest, AnswersEveryPieceWithAck) {
    RawTcp c = line();
    ASSERT_TRUE(c.connected());
    for (const std::string& piece :
         std::vector<std::string>{"=K", std::string(512, 'A'), "=C1/$100"}) {
        EXPECT_EQ(exchange(c, piece), std::string(1, char(veltra::kLineAccepted)));
    }
    EXPECT_TRUE(reg_->wait_for([](const Transcript& t) { return t.lines.size() > 3; }, 1s));
    const Transcript t = reg_->transcript();
    EXPECT_EQ(t.tcp_bytes.at(reg_->line_port()), "=K" + std::string(512, 'A') + "=C1/$100");
}

struct ScriptCase {
    const char* name;
    const char* script;
    std::vector<std::string> answers;  // per piece sent
};
void PrintTo(const ScriptCase& c, std::ostream* os) {
    *os << c.script;
}

class LineScripts : public LineTest, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(LineScripts, AnswersInScriptOrderThenAck) {
    const ScriptCase& s = GetParam();
    reg_->script_line(*parse_line_answers(s.script));
    RawTcp c = line();
    for (std::size_t i = 0; i < s.answers.size(); ++i) {
        EXPECT_EQ(exchange(c, "PIECE" + std::to_string(i), 500ms), s.answers[i])
            << s.script << " #" << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LineScripts,
    ::testing::Values(ScriptCase{"naks", "15,15", {"\x15", "\x15", "\x06"}},
                      ScriptCase{"bell", "07", {"\x07", "\x06"}},
                      ScriptCase{"digits", "31,32,30", {"1", "2", "0", "\x06"}},
                      ScriptCase{"stray", "11x13x06", {"\x11\x13\x06", "\x06"}},
                      ScriptCase{"silence", "silence", {"", "\x06"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LineTest, OldRegisterAnswersWithDigits) {
    reg_.reset();
    Options o = defaults();
    o.layout.generation = Generation::Old;
    start(o);
    RawTcp c = line();
    EXPECT_EQ(exchange(c, "TEXT"), "0");
}

TEST_F(LineTest, NaksFromTheCommandLineOption) {
    ProgramOptions p;
    std::string error;
    ASSERT_TRUE(parse_program_options({"--state", "x", "--naks", "2"}, p, error));
    reg_->script_line(p.line_answers);
    RawTcp c = line();
    EXPECT_EQ(exchange(c, "A"), "\x15");
    EXPECT_EQ(exchange(c, "A"), "\x15");
    EXPECT_EQ(exchange(c, "A"), "\x06");
}

TEST_F(LineTest, CloseAnswerDropsTheConnection) {
    reg_->script_line(*parse_line_answers("close"));
    RawTcp c = line();
    c.send("TEXT");
    std::optional<std::string> got = std::string();
    for (int i = 0; i < 10 && got && got->empty(); ++i) got = c.recv(100ms);
    EXPECT_FALSE(got) << "the register closed the connection";
}

TEST_F(LineTest, StallAnswersNothingMore) {
    reg_->script_line(*parse_line_answers("stall"));
    RawTcp c = line();
    EXPECT_EQ(exchange(c, "ONE", 300ms), "");
    EXPECT_EQ(exchange(c, "TWO", 300ms), "");
    RawTcp other = line();  // other connections go on
    EXPECT_EQ(exchange(other, "X"), "\x06");
}

TEST_F(LineTest, CloseAllConnectionsFromTheApi) {
    RawTcp c = line();
    EXPECT_EQ(exchange(c, "X"), "\x06");
    reg_->close_line_connections();
    std::optional<std::string> got = std::string();
    for (int i = 0; i < 10 && got && got->empty(); ++i) got = c.recv(100ms);
    EXPECT_FALSE(got);
}

TEST_F(LineTest, OpenConnectionIsAHostConnection) {
    EXPECT_EQ(info(15), "0");
    {
        RawTcp c = line();
        EXPECT_EQ(exchange(c, "X"), "\x06");
        EXPECT_EQ(info(15), "1");
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(info(15), "0");
}

TEST_F(LineTest, KeyMessagesArePressesWithoutAnswer) {
    RawTcp c = line();
    c.send("\"07\"202F");
    EXPECT_EQ(c.recv(300ms), "");
    c.send("\"03\"202F\"0C\"202F");
    ASSERT_TRUE(reg_->wait_for([](const Transcript& t) { return t.keys.size() == 3; }, 1s));
    EXPECT_EQ(reg_->transcript().keys, (std::vector<std::string>{"07", "03", "0C"}));
    EXPECT_EQ(info(15), "0") << "a keypad is no host connection";
}

TEST(KeyParser, FindsMessagesAcrossReads) {
    struct Case {
        std::vector<std::string> reads;
        std::vector<std::string> keys;
    };
    const Case cases[] = {
        {{"\"5C\"202F"}, {"5C"}},
        {{"\"5C\"2", "02F"}, {"5C"}},
        {{"xx\"0A\"202F\"0B\"202Fyy"}, {"0A", "0B"}},
        {{"\"5c\"202F", "\"5C\"202G"}, {}},  // lower case and a wrong tail are no keys
        {{"\"", "1", "7", "\"", "2", "0", "2", "F"}, {"17"}},
    };
    for (const Case& c : cases) {
        KeyParser p;
        std::vector<std::string> keys;
        for (const std::string& r : c.reads)
            for (const std::string& k : p.feed(r)) keys.push_back(k);
        EXPECT_EQ(keys, c.keys);
    }
}

class KeyboardTest : public LineTest {
protected:
    RawTcp display() { return RawTcp(reg_->address(), reg_->keyboard_port()); }
    // The next display message, without its 23-character prefix.
    std::string next_text(RawTcp& d) {
        auto got = d.recv(1s);
        EXPECT_TRUE(got && got->size() >= 23);
        if (!got || got->size() < 23) return "";
        EXPECT_EQ(got->substr(0, 23), kDisplayPrefix);
        return got->substr(23);
    }
    void press(RawTcp& keys, RawTcp& d, const std::string& code, const std::string& shown) {
        keys.send("\"" + code + "\"202F");
        EXPECT_EQ(next_text(d), shown) << "key " << code;
    }
};

TEST_F(KeyboardTest, DisplayFollowsTheKeysAndTheSaleReachesVendcorr) {
    RawTcp d = display();
    EXPECT_EQ(next_text(d), "CASSA PRONTA    0,00");
    RawTcp keys = line();
    const std::int32_t before =
        reg_->sales().departments.count(3) ? reg_->sales().departments.at(3).amount : 0;
    // Digits key an amount in cents, shown right-aligned.
    press(keys, d, "01", std::string(16, ' ') + "0,01");
    press(keys, d, "02", std::string(16, ' ') + "0,12");
    press(keys, d, "05", std::string(16, ' ') + "1,25");
    press(keys, d, "0E", "PANE            1,25");  // REPARTO 3
    press(keys, d, "5D", "SUBTOTALE       1,25");
    press(keys, d, "5C", "TOTALE          1,25");
    EXPECT_EQ(reg_->sales().departments.at(3).amount, before + 125);
    command("VENDCORR");
    const auto sales = get("VENDCORR.DAT");
    ASSERT_TRUE(sales);
    bool found = false;
    for (std::size_t at = 512; at + 128 <= 512 + get_u32le(*sales, 72); at += 128) {
        if (get_i32le(*sales, at + 1) == 3) {
            found = true;
            EXPECT_EQ(get_i32le(*sales, at + 84), before + 125);
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(KeyboardTest, EveryChangeSendsItsOwnMessage) {
    RawTcp d = display();
    next_text(d);
    RawTcp keys = line();
    keys.send("\"01\"202F\"02\"202F");  // two keys in one write
    std::string got;
    for (int i = 0; i < 20 && got.size() < 2 * 43; ++i) got += d.recv(100ms).value_or("");
    const std::string prefix = kDisplayPrefix;
    EXPECT_EQ(got, prefix + std::string(16, ' ') + "0,01" + prefix + std::string(16, ' ') + "0,12");
}

TEST_F(KeyboardTest, DoubleZeroClearAndPresetPrice) {
    RawTcp d = display();
    next_text(d);
    RawTcp keys = line();
    press(keys, d, "03", std::string(16, ' ') + "0,03");
    press(keys, d, "0A", std::string(16, ' ') + "3,00");
    press(keys, d, "5F", std::string(16, ' ') + "0,00");
    // GIORNALI (REPARTO 10) has a preset price of 1,20.
    press(keys, d, "15", "GIORNALI        1,20");
    // A department without a price and no amount keyed sells nothing.
    press(keys, d, "0C", "IMPORTO ?       0,00");
}

// A display client that never reads: the register's writes to it pile up
// in its own backlog until it is dropped, and TFTP goes on all the while.
// The test learns of the drop from the register's log, not through its
// lock, so that a register frozen on the client fails the test instead of
// hanging it.
TEST_F(KeyboardTest, AClientThatStopsReadingIsDroppedAndTransfersGoOn) {
    auto dropped = std::make_shared<std::atomic<bool>>(false);
    Options o = defaults();
    o.log = [dropped](const std::string& line) {
        if (line.rfind("display: ", 0) == 0 && line.find(" dropped, ") != std::string::npos)
            *dropped = true;
    };
    start(o);
    reg_->put_file("F.BIN", pattern_bytes(1500));
    RawTcp stuck = display();
    RawTcp keys = line();
    // Each pair of keys changes the display twice: 0,01 then 0,00. In all
    // far more than the socket buffers of both ends hold (some megabytes).
    std::string batch;
    for (int i = 0; i < 1000; ++i) batch += "\"01\"202F\"5F\"202F";
    std::thread sender([&] {
        for (int i = 0; i < 150 && !*dropped; ++i) keys.send(batch);
    });
    // Under Wine every write costs a round trip to its server: the register
    // may take a while to work through the keys.
    const auto give_up = std::chrono::steady_clock::now() + 60s;
    bool transfers_went_on = true;
    while (!*dropped && std::chrono::steady_clock::now() < give_up) {
        if (get("F.BIN") != pattern_bytes(1500)) {
            transfers_went_on = false;
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    const bool was_dropped = *dropped;
    stuck.close();  // frees a register that waits on it, and so the sender
    sender.join();
    EXPECT_TRUE(transfers_went_on);
    ASSERT_TRUE(was_dropped);
    EXPECT_EQ(get("F.BIN"), pattern_bytes(1500));
    // A new display client is served as before (keys may still be at work).
    RawTcp fresh = display();
    const std::string first = next_text(fresh).substr(0, 20);
    EXPECT_TRUE(first == std::string(16, ' ') + "0,00" || first == std::string(16, ' ') + "0,01")
        << first;
}

// Display messages that arrive until the register has been quiet a while.
std::vector<std::string> display_texts(RawTcp& d) {
    std::string got;
    for (int i = 0; i < 100; ++i) {
        const auto piece = d.recv(300ms);
        if (!piece || piece->empty()) break;
        got += *piece;
    }
    std::vector<std::string> texts;
    const std::string prefix = kDisplayPrefix;
    for (std::size_t at = got.find(prefix); at != std::string::npos;) {
        const std::size_t next = got.find(prefix, at + prefix.size());
        texts.push_back(got.substr(at + prefix.size(), next == std::string::npos
                                                           ? std::string::npos
                                                           : next - at - prefix.size()));
        at = next;
    }
    return texts;
}

TEST_F(KeyboardTest, ASaleTheTotalsCannotHoldIsRefused) {
    reg_->set_sales({});
    RawTcp d = display();
    next_text(d);
    RawTcp keys = line();
    std::string nines;
    for (int i = 0; i < 9; ++i) nines += "\"09\"202F";
    const std::string department1 = "\"0C\"202F";
    const std::int64_t most = kMaxSaleAmount;  // 9999999,99, the most the keys take
    for (int sale = 1; sale <= 3; ++sale) {
        keys.send(nines + department1);
        const std::vector<std::string> texts = display_texts(d);
        ASSERT_FALSE(texts.empty());
        // Two sales fit in 32 bits; the third would not, and is refused.
        EXPECT_EQ(texts.back().substr(0, 12), sale < 3 ? "FRUTTA      " : "LIMITE TOT. ")
            << "sale " << sale;
    }
    EXPECT_EQ(reg_->sales().departments.at(1).amount, 2 * most);
    EXPECT_EQ(info(7), std::to_string(2 * most));  // TOT_GIORNO
    // The refused amount is gone; a sale that fits still counts.
    keys.send("\"01\"202F" + department1);
    ASSERT_FALSE(display_texts(d).empty());
    EXPECT_EQ(reg_->sales().departments.at(1).amount, 2 * most + 1);
}

// The INFO counters move as a register's: a receipt keyed on the line port
// counts in NUM_SCONTR and TOT_GIORNO, each reset moves what it clears, and
// both counters outlive a restart. A caller that lost an answer reads them
// to tell whether its change happened.
class CounterTest : public LineTest {
protected:
    // Keys a receipt of `cents` on department 3 with TOTALE, in one piece.
    void key_receipt(RawTcp& keys, int cents) {
        std::string piece;
        for (char digit : std::to_string(cents)) piece += "\"0" + std::string(1, digit) + "\"202F";
        piece += "\"0E\"202F\"5C\"202F";
        const std::size_t before = reg_->transcript().keys.size();
        const std::size_t presses = piece.size() / 8;
        keys.send(piece);
        ASSERT_TRUE(reg_->wait_for(
            [&](const Transcript& t) { return t.keys.size() == before + presses; }, 2s));
    }
    struct Counters {
        long receipts, closures, total, invoices;  // NUM_SCONTR, NUM_AZZ, TOT_GIORNO, NUM_FATT
    };
    Counters counters() const {
        return {std::stol(info(5)), std::stol(info(6)), std::stol(info(7)), std::stol(info(8))};
    }
};

TEST_F(CounterTest, AReceiptKeyedOnTheLinePortCountsAndAddsItsTotal) {
    const Counters seeded = counters();
    EXPECT_EQ(seeded.receipts, 0);
    EXPECT_EQ(seeded.closures, 0);
    EXPECT_GT(seeded.total, 0) << "the seeded day has sales";
    RawTcp keys = line();
    key_receipt(keys, 125);
    key_receipt(keys, 40);
    const Counters after = counters();
    EXPECT_EQ(after.receipts, 2);
    EXPECT_EQ(after.total, seeded.total + 165);
    EXPECT_EQ(after.closures, 0);
    EXPECT_EQ(after.invoices, seeded.invoices);
}

TEST_F(CounterTest, AnOpenReceiptIsNotCounted) {
    RawTcp keys = line();
    keys.send("\"05\"202F\"0E\"202F");  // a sale, no TOTALE
    ASSERT_TRUE(reg_->wait_for([](const Transcript& t) { return t.keys.size() == 2; }, 2s));
    EXPECT_EQ(info(5), "0");
}

struct CounterCase {
    const char* command;
    // What the command does to each counter: 'k' keeps it, '0' clears it,
    // '+' adds one.
    char receipts, closures, total, invoices;
};
void PrintTo(const CounterCase& c, std::ostream* os) {
    *os << c.command;
}

class CountersByCommand : public CounterTest, public ::testing::WithParamInterface<CounterCase> {};

long moved(char how, long before) {
    return how == '0' ? 0 : how == '+' ? before + 1 : before;
}

TEST_P(CountersByCommand, MoveAsTheCommandMovesThem) {
    const CounterCase& c = GetParam();
    RawTcp keys = line();
    key_receipt(keys, 99);
    const Counters before = counters();
    ASSERT_EQ(before.receipts, 1);
    ASSERT_GT(before.invoices, 0);
    ASSERT_TRUE(command(c.command));
    const Counters after = counters();
    EXPECT_EQ(after.receipts, moved(c.receipts, before.receipts)) << "NUM_SCONTR";
    EXPECT_EQ(after.closures, moved(c.closures, before.closures)) << "NUM_AZZ";
    EXPECT_EQ(after.total, moved(c.total, before.total)) << "TOT_GIORNO";
    EXPECT_EQ(after.invoices, moved(c.invoices, before.invoices)) << "NUM_FATT";
}

INSTANTIATE_TEST_SUITE_P(Commands, CountersByCommand,
                         ::testing::Values(CounterCase{"AZZFIS", '0', '+', '0', 'k'},
                                           CounterCase{"AZZVEN_CORR", 'k', 'k', '0', 'k'},
                                           CounterCase{"AZZFAT", 'k', 'k', 'k', '0'},
                                           CounterCase{"AZZDATI", 'k', 'k', '0', '0'},
                                           CounterCase{"AZZVEN_ARCH", 'k', 'k', 'k', 'k'},
                                           CounterCase{"SETUP 1", 'k', 'k', 'k', 'k'}),
                         [](const auto& info) { return name_of(info.param.command); });

TEST_F(CounterTest, ClosuresWithoutSalesStillCount) {
    reg_->set_sales({});
    ASSERT_TRUE(command("AZZFIS"));
    ASSERT_TRUE(command("AZZFIS"));
    EXPECT_EQ(info(6), "2");
    EXPECT_EQ(info(7), "0");
}

TEST_F(CounterTest, CountersOutliveARestart) {
    RawTcp keys = line();
    key_receipt(keys, 7);
    ASSERT_TRUE(command("AZZFIS"));
    key_receipt(keys, 8);
    const Counters before = counters();
    reg_.reset();
    start();
    const Counters after = counters();
    EXPECT_EQ(after.receipts, before.receipts);
    EXPECT_EQ(after.closures, before.closures);
    EXPECT_EQ(after.total, before.total);
}

// A lost answer byte: the keys of the piece are carried out (the receipt
// counts), but the channel answers nothing, as the answer "silence" scripts.
TEST_F(CounterTest, ASaleWhoseAnswerIsLostIsStillCarriedOut) {
    reg_->script_line(*parse_line_answers("silence"));
    RawTcp keys = line();
    const long total = counters().total;
    EXPECT_EQ(exchange(keys, "\"02\"202F\"0E\"202F\"5C\"202FTOTALE"), "");
    EXPECT_EQ(counters().receipts, 1);
    EXPECT_EQ(counters().total, total + 2);
    // The next piece is answered again.
    EXPECT_EQ(exchange(keys, "PING"), std::string(1, char(veltra::kLineAccepted)));
}

// A scripted drop takes a piece of key messages too: the keys are carried
// out first, so the sale counts though the keypad's connection is gone.
TEST_F(CounterTest, ASaleWhoseConnectionDropsIsStillCarriedOut) {
    reg_->script_line(*parse_line_answers("close,15"));
    RawTcp keys = line();
    const long total = counters().total;
    key_receipt(keys, 250);
    EXPECT_EQ(keys.recv(2s), std::nullopt) << "the register dropped the connection";
    EXPECT_EQ(counters().receipts, 1);
    EXPECT_EQ(counters().total, total + 250);
    // The drop was used up; the next answer goes to the next piece of text.
    RawTcp again = line();
    EXPECT_EQ(exchange(again, "PING"), "\x15");
}

// Key presses get no answer, so a scripted answer byte waits for text.
TEST_F(CounterTest, KeyMessagesLeaveAScriptedAnswerToText) {
    reg_->script_line(*parse_line_answers("15"));
    RawTcp keys = line();
    key_receipt(keys, 3);
    EXPECT_EQ(exchange(keys, "PING"), "\x15");
    EXPECT_EQ(exchange(keys, "PING"), std::string(1, char(veltra::kLineAccepted)));
}

}  // namespace
}  // namespace ecrsim::test
