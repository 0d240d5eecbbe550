// The simulator's TFTP server seen from a raw UDP socket: the protocol's
// answers and refusals, retransmission, and every scripted fault.
#include <fstream>
#include <thread>

#include "net/endpoints.hpp"
#include "sim_fixture.hpp"

namespace ecrsim::test {
namespace {

using veltra::kTftpAck;
using veltra::kTftpData;
using veltra::kTftpError;

// A 1500-byte file: DATA 1, 2 and 3 (476 bytes).
constexpr std::size_t kFile = 1500;

class TftpServerTest : public SimTest {
protected:
    void SetUp() override {
        start();
        reg_->put_file("F.BIN", pattern_bytes(kFile));
    }
    RawTftp client() { return RawTftp(reg_->address(), reg_->tftp_port()); }
};

TEST_F(TftpServerTest, AnswersFromTheSamePortItListensOn) {
    RawTftp c = client();
    std::vector<Datagram> seen;
    ASSERT_EQ(c.get("F.BIN", &seen), pattern_bytes(kFile));
    ASSERT_EQ(seen.size(), 3u);
    for (const Datagram& d : seen) EXPECT_EQ(d.from, c.server());
}

TEST_F(TftpServerTest, ReadOfAMissingFileGetsError1) {
    RawTftp c = client();
    c.send(rrq("NOSUCH.BIN"));
    auto d = c.recv(1s);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->opcode(), kTftpError);
    EXPECT_EQ(d->number(), 1);
}

struct WriteCase {
    const char* name;
    bool setup;
    std::uint16_t expect;  // 0: ACK 0, else the ERROR code
};
void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class WriteRules : public TftpServerTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteRules, TableWritesNeedSetupMode) {
    const WriteCase& w = GetParam();
    reg_->set_setup_mode(w.setup);
    RawTftp c = client();
    c.send(wrq(w.name));
    auto d = c.recv(1s);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->opcode(), w.expect ? kTftpError : kTftpAck) << w.name;
    EXPECT_EQ(d->number(), w.expect) << w.name;
}

INSTANTIATE_TEST_SUITE_P(
    Files, WriteRules,
    ::testing::Values(WriteCase{"REPARTI.BIN", false, 2}, WriteCase{"REPARTI.BIN", true, 0},
                      WriteCase{"PLU.BIN", false, 2}, WriteCase{"TAV_MIN.BIN", true, 0},
                      WriteCase{"LOG.BIN", false, 2}, WriteCase{"ELT5.BIN", false, 2},
                      WriteCase{"ELT5.BIN", true, 0}, WriteCase{"COMMAND.TXT", false, 0},
                      WriteCase{"COMMAND.TXT", true, 0}, WriteCase{"NOTES.TXT", true, 2},
                      WriteCase{"../ESCAPE.BIN", true, 2}, WriteCase{".ecrsim-sales", true, 2}),
    [](const auto& info) {
        return name_of(info.param.name) + (info.param.setup ? "_setup" : "_normal");
    });

TEST_F(TftpServerTest, RefusedWriteLeavesTheFileAlone) {
    const auto before = reg_->file("REPARTI.BIN");
    auto d = put("REPARTI.BIN", pattern_bytes(4000));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->opcode(), kTftpError);
    EXPECT_EQ(reg_->file("REPARTI.BIN"), before);
    EXPECT_TRUE(reg_->transcript().puts.empty());
}

TEST_F(TftpServerTest, RetransmitsAnUnacknowledgedBlockThenGivesUp) {
    RawTftp c = client();
    c.send(rrq("F.BIN"));
    int copies = 0;
    while (auto d = c.recv(700ms)) {
        EXPECT_EQ(d->opcode(), kTftpData);
        EXPECT_EQ(d->number(), 1);
        ++copies;
    }
    EXPECT_EQ(copies, 1 + 3);  // the first and max_retransmits more
}

TEST_F(TftpServerTest, TakesALateClientAfterItsRetransmissionsEnd) {
    reg_->set_setup_mode(true);
    RawTftp c = client();
    c.send(wrq("LOGO.BIN"));
    ASSERT_EQ(c.recv(1s)->number(), 0);
    c.send(data(1, pattern_bytes(512)));
    int acks = 0;
    while (auto d = c.recv(700ms)) acks += d->opcode() == kTftpAck && d->number() == 1;
    EXPECT_EQ(acks, 1 + 3);  // then the register goes quiet but keeps listening
    c.send(data(2, pattern_bytes(10)));
    auto last = c.recv(1s);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->opcode(), kTftpAck);
    EXPECT_EQ(last->number(), 2);
    EXPECT_EQ(reg_->file("LOGO.BIN")->size(), 522u);
}

TEST_F(TftpServerTest, RepeatedDataOfAWriteIsAcknowledgedAndKeptOnce) {
    RawTftp c = client();
    c.send(wrq("COMMAND.TXT"));
    ASSERT_TRUE(c.recv(1s));
    const Bytes first = pattern_bytes(512);
    c.send(data(1, first));
    ASSERT_EQ(c.recv(1s)->number(), 1);
    c.send(data(1, first));  // our ACK was "lost"
    auto again = c.recv(1s);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->opcode(), kTftpAck);
    EXPECT_EQ(again->number(), 1);
    c.send(data(2, text_bytes("END")));
    ASSERT_EQ(c.recv(1s)->number(), 2);
    ASSERT_TRUE(reg_->wait_for([](const Transcript& t) { return !t.puts.empty(); }, 1s));
    EXPECT_EQ(reg_->transcript().puts[0].bytes.size(), 515u);
}

TEST_F(TftpServerTest, IgnoresOptionsAndAnswersWithData) {
    RawTftp c = client();
    Bytes req = rrq("F.BIN");
    for (const char* opt : {"blksize", "1428", "tsize", "0"}) {
        const std::string s(opt);
        req.insert(req.end(), s.begin(), s.end());
        req.push_back(0);
    }
    c.send(req);
    auto d = c.recv(1s);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->opcode(), kTftpData);
    EXPECT_EQ(d->payload(), 512u);
}

TEST_F(TftpServerTest, MalformedDatagramsDoNoHarm) {
    struct Case {
        const char* name;
        Bytes bytes;
        std::optional<std::uint16_t> error;
    };
    const Bytes huge_name = [] {
        Bytes b = rrq(std::string(3000, 'A'));
        b.resize(1400);  // cut inside the name: no NUL
        return b;
    }();
    const Case cases[] = {
        {"empty", {}, std::nullopt},
        {"one byte", {0x00}, std::nullopt},
        {"opcode only", {0x00, 0x01}, 4},
        {"no mode", {0x00, 0x01, 'F', 0x00}, 4},
        {"no name", {0x00, 0x02, 0x00, 'o', 0x00}, 4},
        {"unterminated", huge_name, 4},
        {"unknown opcode", {0x00, 0x09, 0x00, 0x01}, std::nullopt},
        {"stray ACK", ack(7), std::nullopt},
        {"stray DATA", data(1, pattern_bytes(10)), std::nullopt},
        {"short ACK", {0x00, 0x04, 0x00}, std::nullopt},
    };
    for (const Case& k : cases) {
        RawTftp c = client();
        c.send(k.bytes);
        auto d = c.recv(k.error ? 1000ms : 200ms);
        ASSERT_EQ(d.has_value(), k.error.has_value()) << k.name;
        if (d) {
            EXPECT_EQ(d->opcode(), kTftpError) << k.name;
            EXPECT_EQ(d->number(), *k.error) << k.name;
        }
    }
    EXPECT_EQ(client().get("F.BIN"), pattern_bytes(kFile));
    EXPECT_TRUE(reg_->transcript().requests.size() == 1);
}

TEST_F(TftpServerTest, SeveralRegistersServeAtOnce) {
    veltra::test::TempDir other_state;
    Options o = defaults("127.0.0.9");
    o.state_dir = other_state.path();
    o.seed = false;
    Register second(o);
    second.put_file("F.BIN", pattern_bytes(100, 3));
    RawTftp a = client();
    RawTftp b(second.address(), second.tftp_port());
    EXPECT_EQ(a.get("F.BIN"), pattern_bytes(kFile));
    EXPECT_EQ(b.get("F.BIN"), pattern_bytes(100, 3));
}

// Faults, each observed on the datagrams a raw client receives.

// Reads F.BIN, counting the waits of 250 ms (less than the register's
// 400 ms time-out) in which nothing came.
std::vector<Datagram> read_all_datagrams(RawTftp& c, int* stalls = nullptr) {
    std::vector<Datagram> seen;
    c.send(rrq("F.BIN"));
    int quiet = 0;
    while (quiet < 5) {
        auto d = c.recv(250ms);
        if (!d) {
            ++quiet;
            if (stalls) ++*stalls;
            continue;
        }
        seen.push_back(*d);
        if (d->opcode() == kTftpData && d->from == c.server()) {
            c.send(ack(d->number()));
            if (d->payload() < 512) break;
        }
        if (d->opcode() == kTftpError) break;
    }
    return seen;
}

std::vector<std::uint16_t> data_numbers(const std::vector<Datagram>& seen) {
    std::vector<std::uint16_t> n;
    for (const Datagram& d : seen)
        if (d.opcode() == kTftpData) n.push_back(d.number());
    return n;
}

struct FaultCase {
    const char* name;
    const char* text;
    std::vector<std::uint16_t> data_blocks;  // DATA numbers the client sees, in order
    int stalls;                              // waits for the register's time-out
};
void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.text;
}

class ReadFaults : public TftpServerTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ReadFaults, ClientSeesTheScriptedDatagrams) {
    const FaultCase& f = GetParam();
    reg_->add_fault(*parse_tftp_fault(f.text));
    RawTftp c = client();
    int stalls = 0;
    EXPECT_EQ(data_numbers(read_all_datagrams(c, &stalls)), f.data_blocks) << f.text;
    EXPECT_EQ(stalls, f.stalls) << f.text;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ReadFaults,
    ::testing::Values(
        // DATA 2 is lost: the server's time-out sends it again.
        FaultCase{"none", "drop:out:1@OTHER.BIN", {1, 2, 3}, 0},
        FaultCase{"drop_out", "drop:out:2", {1, 2, 3}, 1},
        // The ACK of block 1 is lost: DATA 1 comes again, then the rest.
        FaultCase{"drop_in", "drop:in:2", {1, 1, 2, 3}, 1},
        FaultCase{"dup_out", "dup:out:1", {1, 1, 2, 3}, 0},
        // The request taken twice: DATA 1 goes out for each.
        FaultCase{"dup_in", "dup:in:1", {1, 1, 2, 3}, 0},
        // The ACK of block 2 taken twice: the lock-step still sends DATA 3 once.
        FaultCase{"dup_in_ack", "dup:in:3", {1, 2, 3}, 0},
        // The request itself lost: nothing until the client asks again.
        FaultCase{"drop_request", "drop:in:1", {}, 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TftpServerTest, DelayedDatagramArrivesAfterTheClientTimeOut) {
    Options o = defaults("127.0.0.4");
    o.retransmit_ms = 5000;  // no retransmission inside this test
    start(o);
    reg_->put_file("F.BIN", pattern_bytes(kFile));
    reg_->add_fault(*parse_tftp_fault("delay:out:1:700"));
    RawTftp c = client();
    c.send(rrq("F.BIN"));
    EXPECT_FALSE(c.recv(400ms));  // a client's time-out passes first
    auto d = c.recv(1s);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->opcode(), kTftpData);
    EXPECT_EQ(d->number(), 1);
}

TEST_F(TftpServerTest, DelayedRequestIsTakenLate) {
    reg_->add_fault(*parse_tftp_fault("delay:in:1:400"));
    RawTftp c = client();
    c.send(rrq("F.BIN"));
    EXPECT_FALSE(c.recv(250ms));
    auto d = c.recv(1s);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->opcode(), kTftpData);
    EXPECT_EQ(d->number(), 1);
}

TEST_F(TftpServerTest, ErrorFaultAnswersTheRequest) {
    for (std::uint16_t code : {0, 2, 3, 4, 7}) {
        reg_->add_fault(*parse_tftp_fault("error:1:" + std::to_string(code)));
        RawTftp c = client();
        c.send(rrq("F.BIN"));
        auto d = c.recv(1s);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->opcode(), kTftpError);
        EXPECT_EQ(d->number(), code);
        EXPECT_FALSE(c.recv(300ms)) << "no DATA after the ERROR";
        EXPECT_EQ(c.get("F.BIN"), pattern_bytes(kFile)) << "the next transfer is served";
    }
}

TEST_F(TftpServerTest, ErrorFaultMidTransferEndsIt) {
    reg_->add_fault(*parse_tftp_fault("error:3:0"));
    RawTftp c = client();
    const auto seen = read_all_datagrams(c);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].opcode(), kTftpError);
}

TEST_F(TftpServerTest, SilentRegisterNeverAnswers) {
    reg_->add_fault(*parse_tftp_fault("silent"));
    RawTftp c = client();
    c.send(rrq("F.BIN"));
    EXPECT_FALSE(c.recv(400ms));
    c.send(rrq("F.BIN"));  // the client's second request
    EXPECT_FALSE(c.recv(400ms));
    EXPECT_EQ(client().get("F.BIN"), pattern_bytes(kFile)) << "a new transfer is served again";
}

TEST_F(TftpServerTest, AnswerFromAnotherPortOrAddress) {
    if (!loopback_aliases_send_as_bound())
        GTEST_SKIP() << "answers from a second loopback address need UDP sockets that send from "
                        "the address they are bound to (not so under Wine 8.0)";
    // An address whose neighbour no other test uses, so the same port is free there.
    start(defaults("127.0.0.40"));
    reg_->put_file("F.BIN", pattern_bytes(kFile));
    struct Case {
        const char* text;
        bool same_address;
        bool same_port;
    };
    for (const Case& k : {Case{"port:out:1", true, false}, Case{"addr:out:1", false, true}}) {
        reg_->add_fault(*parse_tftp_fault(k.text));
        RawTftp c = client();
        c.send(rrq("F.BIN"));
        auto d = c.recv(1s);
        ASSERT_TRUE(d) << k.text;
        EXPECT_EQ(d->opcode(), kTftpData);
        EXPECT_EQ(d->from.addr_be == c.server().addr_be, k.same_address) << k.text;
        EXPECT_EQ(d->from.port == c.server().port, k.same_port) << k.text;
        if (!k.same_address) {
            EXPECT_EQ(net::dotted(d->from.addr_be), reg_->other_address());
        }
    }
}

TEST_F(TftpServerTest, ShortAndGarbageDatagramsGoBeforeTheRealOne) {
    struct Case {
        const char* text;
        std::size_t size;
        std::uint16_t opcode;
    };
    for (const Case& k : {Case{"short:out:1", 3, kTftpData}, Case{"garbage:out:1", 6, 0x63}}) {
        reg_->add_fault(*parse_tftp_fault(k.text));
        RawTftp c = client();
        c.send(rrq("F.BIN"));
        auto odd = c.recv(1s);
        ASSERT_TRUE(odd);
        EXPECT_EQ(odd->bytes.size(), k.size) << k.text;
        EXPECT_EQ(odd->opcode(), k.opcode) << k.text;
        auto real = c.recv(1s);
        ASSERT_TRUE(real);
        EXPECT_EQ(real->opcode(), kTftpData);
        EXPECT_EQ(real->payload(), 512u);
    }
}

TEST_F(TftpServerTest, FaultWithACountHitsThatManyTransfers) {
    TftpFault f = *parse_tftp_fault("error:1:0");
    f.transfers = 2;
    reg_->add_fault(f);
    for (int i = 0; i < 2; ++i) {
        RawTftp c = client();
        c.send(rrq("F.BIN"));
        EXPECT_EQ(c.recv(1s)->opcode(), kTftpError);
    }
    EXPECT_EQ(client().get("F.BIN"), pattern_bytes(kFile));
}

TEST_F(TftpServerTest, WriteFaultsDropTheAckAndTheServerRepeatsIt) {
    reg_->set_setup_mode(true);
    reg_->add_fault(*parse_tftp_fault("drop:out:2"));  // ACK 1 lost
    RawTftp c = client();
    c.send(wrq("LOGO.BIN"));
    ASSERT_EQ(c.recv(1s)->number(), 0);
    c.send(data(1, pattern_bytes(512)));
    auto repeated = c.recv(1s);  // the time-out sends ACK 1 again
    ASSERT_TRUE(repeated);
    EXPECT_EQ(repeated->opcode(), kTftpAck);
    EXPECT_EQ(repeated->number(), 1);
}

// A command carried out whose answer is lost for good: with no linger and
// the last ACK of COMMAND.TXT dropped (--linger-ms 0 --fault
// drop:out:2@COMMAND.TXT), the register closes the day while the client
// never hears so, not even when it sends its block again.
TEST_F(SimTest, ACommandWhoseLastAckIsLostIsCarriedOut) {
    Options o = defaults();
    o.linger_ms = 0;
    start(o);
    reg_->add_fault(*parse_tftp_fault("drop:out:2@COMMAND.TXT"));
    const std::string closures = info(6);
    RawTftp c(reg_->address(), reg_->tftp_port());
    c.send(wrq("COMMAND.TXT"));
    ASSERT_EQ(c.recv(1s)->number(), 0);
    c.send(data(1, text_bytes("AZZFIS")));
    EXPECT_FALSE(c.recv(500ms)) << "ACK 1 is lost";
    c.send(data(1, text_bytes("AZZFIS")));
    EXPECT_FALSE(c.recv(500ms)) << "the finished write does not linger";
    EXPECT_EQ(reg_->transcript().commands, std::vector<std::string>{"AZZFIS"});
    EXPECT_EQ(std::stoi(info(6)), std::stoi(closures) + 1) << "NUM_AZZ";
    // The fault hit one transfer: the next command is answered.
    const auto next = command("INFO");
    ASSERT_TRUE(next);
    EXPECT_EQ(next->opcode(), kTftpAck);
}

// A reader of INFO before its command: the fault waits for the second
// COMMAND.TXT, and only that one loses its last ACK.
TEST_F(SimTest, AFaultOnTheSecondTransferLetsTheFirstThrough) {
    Options o = defaults();
    o.linger_ms = 0;
    start(o);
    reg_->add_fault(*parse_tftp_fault("drop:out:2@COMMAND.TXT#2"));
    const auto first = command("INFO");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->opcode(), kTftpAck);
    RawTftp c(reg_->address(), reg_->tftp_port());
    c.send(wrq("COMMAND.TXT"));
    ASSERT_EQ(c.recv(1s)->number(), 0);
    c.send(data(1, text_bytes("AZZFIS")));
    EXPECT_FALSE(c.recv(500ms)) << "the second transfer's ACK 1 is lost";
    const auto third = command("INFO");
    ASSERT_TRUE(third);
    EXPECT_EQ(third->opcode(), kTftpAck);
    EXPECT_EQ(reg_->transcript().commands, (std::vector<std::string>{"INFO", "AZZFIS", "INFO"}));
}

struct LingerCase {
    const char* name;
    int linger_ms;  // -1: the default
    bool acknowledged;
};
void PrintTo(const LingerCase& c, std::ostream* os) {
    *os << c.name;
}

class Linger : public SimTest, public ::testing::WithParamInterface<LingerCase> {};

// A client whose last ACK was lost sends its last block again after its own
// time-out, which is longer than three of the register's.
TEST_P(Linger, FinishedWriteAcknowledgesItsLastBlockAgain) {
    const LingerCase& lc = GetParam();
    Options o = defaults();
    if (lc.linger_ms >= 0) o.linger_ms = lc.linger_ms;
    start(o);
    RawTftp c(reg_->address(), reg_->tftp_port());
    c.send(wrq("COMMAND.TXT"));
    ASSERT_EQ(c.recv(1s)->number(), 0);
    c.send(data(1, text_bytes("INFO")));
    ASSERT_EQ(c.recv(1s)->number(), 1);
    std::this_thread::sleep_for(1500ms);
    c.send(data(1, text_bytes("INFO")));
    const auto again = c.recv(500ms);
    EXPECT_EQ(again && again->opcode() == kTftpAck && again->number() == 1, lc.acknowledged);
    EXPECT_EQ(reg_->transcript().commands, std::vector<std::string>{"INFO"});
}

INSTANTIATE_TEST_SUITE_P(Times, Linger,
                         ::testing::Values(LingerCase{"default", -1, true},
                                           LingerCase{"short", 300, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The resident memory of this process in KiB, where the system tells it.
long resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

TEST_F(TftpServerTest, AFloodOfRequestsStopsAtTheTransferCap) {
    const std::size_t cap = Options{}.max_transfers;
    const long before = resident_kib();
    std::vector<RawTftp> clients;
    for (std::size_t i = 0; i < cap + 16; ++i) {
        clients.push_back(client());
        clients.back().send(rrq("PLU.BIN"));  // never acknowledged
    }
    std::size_t blocks = 0, refusals = 0;
    for (RawTftp& c : clients) {
        const auto d = c.recv(10s);  // the first waits while the file is read
        ASSERT_TRUE(d);
        blocks += d->opcode() == kTftpData && d->number() == 1;
        refusals += d->opcode() == kTftpError && d->number() == veltra::kTftpErrDiskFull;
    }
    EXPECT_EQ(blocks, cap);
    EXPECT_EQ(refusals, 16u);
    EXPECT_EQ(reg_->tftp_sessions(), cap);
    // The transfers share one copy of the 6,400,000-byte file, not one each.
    const long after = resident_kib();
    if (before > 0 && after > 0) {
        EXPECT_LT(after - before, 64 * 1024);
    }
}

struct ChangeCase {
    const char* name;
    bool through_api;  // else written into the state directory directly
};
void PrintTo(const ChangeCase& c, std::ostream* os) {
    *os << c.name;
}

class FileChanges : public TftpServerTest, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(FileChanges, ANewReadGetsTheNewBytesAndAnOpenOneKeepsItsOwn) {
    RawTftp first = client();
    first.send(rrq("F.BIN"));
    const auto d1 = first.recv(1s);
    ASSERT_TRUE(d1 && d1->number() == 1);
    const Bytes changed = pattern_bytes(kFile + 100, 9);
    if (GetParam().through_api) {
        reg_->put_file("F.BIN", changed);
    } else {
        std::ofstream out(reg_->state_dir() / "F.BIN", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(changed.data()),
                  static_cast<std::streamsize>(changed.size()));
    }
    EXPECT_EQ(client().get("F.BIN"), changed);
    // The first read goes on with the file as it was when it began.
    Bytes got(d1->bytes.begin() + 4, d1->bytes.end());
    for (std::uint16_t block = 1; block <= 3; ++block) {
        first.send(ack(block));
        if (block == 3) break;
        const auto d = first.recv(1s);
        ASSERT_TRUE(d);
        got.insert(got.end(), d->bytes.begin() + 4, d->bytes.end());
    }
    EXPECT_EQ(got, pattern_bytes(kFile));
}

INSTANTIATE_TEST_SUITE_P(Ways, FileChanges,
                         ::testing::Values(ChangeCase{"api", true}, ChangeCase{"directly", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ecrsim::test
