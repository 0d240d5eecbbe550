// The TFTP client against a scripted register: what it sends for each
// answer, what it writes, and what it refuses. None of these waits out a
// time-out; those are in tftp_client_slow_test.cpp.
#include "net/tftp_client.hpp"

#include <filesystem>
#include <string>
#include <vector>

#include "platform_traits.hpp"
#include "tftp_test_util.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

using Lines = std::vector<std::string>;

TEST_F(TftpTest, GetFilesOfBoundarySizes) {
    struct Case {
        std::size_t size;
        Lines expected;
    };
    const Case cases[] = {
        {0, {"RRQ F.BIN octet", "ACK 1", "ACK 1"}},
        {1, {"RRQ F.BIN octet", "ACK 1", "ACK 1"}},
        {511, {"RRQ F.BIN octet", "ACK 1", "ACK 1"}},
        {512, {"RRQ F.BIN octet", "ACK 1", "ACK 2", "ACK 2"}},
        {1000, {"RRQ F.BIN octet", "ACK 1", "ACK 2", "ACK 2"}},
        {1024, {"RRQ F.BIN octet", "ACK 1", "ACK 2", "ACK 3", "ACK 3"}},
    };
    for (const Case& c : cases) {
        const Bytes content = pattern_bytes(c.size, static_cast<unsigned>(c.size));
        start([&](PeerIo& io) { serve(io, content); });
        EXPECT_EQ(ecr_tftp_get(register_, path("F.BIN").c_str()), 0) << c.size;
        EXPECT_EQ(sent_by_client(), c.expected) << c.size;
        EXPECT_TRUE(same_bytes(read_file(path("F.BIN")), as_string(content))) << c.size;
    }
    const std::string n = std::to_string(1024);
    EXPECT_TRUE(trace_has("tftp-get completed: pathname='" + path("F.BIN") + "' length='" + n +
                          "/" + n + "'"));
}

TEST_F(TftpTest, GetAsksForTheBaseNameOnly) {
    std::filesystem::create_directory(path("sub"));
    const std::string local = path("sub") + std::string(1, sys::kPathSep) + "PLU.BIN";
    start([&](PeerIo& io) { serve(io, pattern_bytes(10)); });
    EXPECT_EQ(ecr_tftp_get(register_, local.c_str()), 0);
    EXPECT_EQ(sent_by_client().front(), "RRQ PLU.BIN octet");
}

TEST_F(TftpTest, GetAcknowledgesARepeatedBlockWithoutWritingItAgain) {
    const Bytes first = pattern_bytes(512, 1), second = pattern_bytes(100, 2);
    start([&](PeerIo& io) {
        io.recv();
        io.send(tftp_data(1, first));
        io.recv();
        io.send(tftp_data(1, first));  // a late repeat of block 1
        io.recv();
        io.send(tftp_data(2, second));
        io.recv();
        io.recv(300);
    });
    EXPECT_EQ(ecr_tftp_get(register_, path("F.BIN").c_str()), 0);
    EXPECT_EQ(sent_by_client(), (Lines{"RRQ F.BIN octet", "ACK 1", "ACK 1", "ACK 2", "ACK 2"}));
    Bytes whole = first;
    whole.insert(whole.end(), second.begin(), second.end());
    EXPECT_TRUE(same_bytes(read_file(path("F.BIN")), as_string(whole)));
    EXPECT_TRUE(trace_has("tftp-get duplicate: block='1'"));
}

TEST_F(TftpTest, GetRetryHookHoldsBackOneAck) {
    EnvVar retry("ECR_RETRY", "2");
    const Bytes content = pattern_bytes(1100, 7);
    start([&](PeerIo& io) {
        io.recv();
        io.send(tftp_data(1, Bytes(content.begin(), content.begin() + 512)));
        io.recv();
        io.send(tftp_data(2, Bytes(content.begin() + 512, content.begin() + 1024)));
        // No ACK for block 2 comes: the register sends it again.
        if (io.recv(500)) return;
        io.send(tftp_data(2, Bytes(content.begin() + 512, content.begin() + 1024)));
        io.recv();
        io.send(tftp_data(3, Bytes(content.begin() + 1024, content.end())));
        io.recv();
        io.recv(300);
    });
    EXPECT_EQ(ecr_tftp_get(register_, path("F.BIN").c_str()), 0);
    EXPECT_EQ(sent_by_client(), (Lines{"RRQ F.BIN octet", "ACK 1", "ACK 2", "ACK 3", "ACK 3"}));
    EXPECT_TRUE(same_bytes(read_file(path("F.BIN")), as_string(content)));
    EXPECT_TRUE(trace_has("tftp-get requested: pathname='" + path("F.BIN") + "' retry='2'"));
    EXPECT_TRUE(trace_has("tftp-get retry    : block='2'"));
    EXPECT_TRUE(trace_has("tftp-get duplicate: block='2'"));
}

TEST_F(TftpTest, GetOfAMissingFileFailsAtOnceAndLeavesNoFile) {
    write_file(path("F.BIN"), "an older copy");
    start([&](PeerIo& io) {
        io.recv();
        io.send(tftp_error(1, "File not found"));
        io.recv(300);
    });
    bool missing = false;
    EXPECT_EQ(ecr_tftp_get(register_, path("F.BIN").c_str(), missing), ERR_TRANSFER_FAILED);
    EXPECT_TRUE(missing);
    EXPECT_EQ(sent_by_client(), Lines{"RRQ F.BIN octet"});
    EXPECT_FALSE(std::filesystem::exists(path("F.BIN")));
    EXPECT_TRUE(
        trace_has("tftp-get refused  : pathname='" + path("F.BIN") + "' length='0' errocode='1'"));
}

// Only "file not found" answering a request, before any DATA of the file,
// means the register has no such file; every other failure is a transfer
// that did not happen, although both give ERR_TRANSFER_FAILED.
struct MissingCase {
    const char* name;
    std::vector<ScriptedSocket::Answer> answers;  // what each receive gets
    std::int32_t result;
    bool missing;
    Lines sent;
};

void PrintTo(const MissingCase& c, std::ostream* os) {
    *os << c.name;
}

class TftpMissing : public TftpTest, public ::testing::WithParamInterface<MissingCase> {};

const Bytes kFullBlock = pattern_bytes(512, 9);
const std::optional<Bytes> kSilence;
const Lines kRrq = {"RRQ F.BIN octet"};

Lines repeated(const Lines& lines, std::size_t times) {
    Lines out;
    for (std::size_t i = 0; i < times; ++i) out.insert(out.end(), lines.begin(), lines.end());
    return out;
}

TEST_P(TftpMissing, OnlyErrorOneBeforeAnyDataIsAMissingFile) {
    const MissingCase& c = GetParam();
    write_file(path("F.BIN"), "an older copy");
    ScriptedSocket sock(c.answers);
    bool missing = !c.missing;  // set either way by the call
    EXPECT_EQ(ecr_tftp_get(sock, register_, path("F.BIN").c_str(), missing), c.result);
    EXPECT_EQ(missing, c.missing);
    EXPECT_EQ(describe(sock.sent), c.sent);
    EXPECT_EQ(std::filesystem::exists(path("F.BIN")), c.result == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TftpMissing,
    ::testing::Values(
        MissingCase{"ErrorOneAtTheRequest", {tftp_error(1, "nf")}, ERR_TRANSFER_FAILED, true, kRrq},
        MissingCase{"ErrorOneAfterALostRequest",
                    {kSilence, tftp_error(1, "nf")},
                    ERR_TRANSFER_FAILED,
                    true,
                    repeated(kRrq, 2)},
        // Refused for another reason first, then "not found" with nothing sent.
        MissingCase{"ErrorTwoThenErrorOne",
                    {tftp_error(2, "no"), tftp_error(1, "nf")},
                    ERR_TRANSFER_FAILED,
                    true,
                    repeated(kRrq, 2)},
        MissingCase{"ErrorTwoAtTheRequestAlone",
                    {tftp_error(2, "no")},
                    ERR_TIMEOUT,
                    false,
                    repeated(kRrq, 4)},  // the refused one, then three unanswered
        MissingCase{"ErrorOneAfterData",
                    {tftp_data(1, kFullBlock), tftp_error(1, "nf")},
                    ERR_TRANSFER_FAILED,
                    false,
                    {"RRQ F.BIN octet", "ACK 1"}},
        MissingCase{"ErrorOneAfterAStartOverThatFollowedData",
                    {tftp_data(1, kFullBlock), tftp_error(0, "busy"), tftp_error(1, "nf")},
                    ERR_TRANSFER_FAILED,
                    false,
                    {"RRQ F.BIN octet", "ACK 1", "RRQ F.BIN octet"}},
        MissingCase{"SilenceMidFile",
                    {tftp_data(1, kFullBlock)},
                    ERR_TRANSFER_FAILED,
                    false,
                    {"RRQ F.BIN octet", "ACK 1", "ACK 1", "ACK 1", "ACK 1"}},
        MissingCase{
            "StartOversExhausted",
            std::vector<ScriptedSocket::Answer>(kTftpMaxStartOvers + 1, tftp_error(2, "no")),
            ERR_TRANSFER_FAILED, false, repeated(kRrq, kTftpMaxStartOvers + 1)},
        MissingCase{"Completed",
                    {tftp_data(1, pattern_bytes(10))},
                    0,
                    false,
                    {"RRQ F.BIN octet", "ACK 1", "ACK 1"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TftpTest, ErrorOneAfterAStartOverThatFollowedDataIsNoMissingFile) {
    start([&](PeerIo& io) {
        io.recv();
        io.send(tftp_data(1, kFullBlock));
        io.recv();
        io.send(tftp_error(0, "busy"));  // the client starts over
        io.recv();
        io.send(tftp_error(1, "gone"));
        io.recv(300);
    });
    bool missing = true;
    EXPECT_EQ(ecr_tftp_get(register_, path("F.BIN").c_str(), missing), ERR_TRANSFER_FAILED);
    EXPECT_FALSE(missing);
    EXPECT_EQ(sent_by_client(), (Lines{"RRQ F.BIN octet", "ACK 1", "RRQ F.BIN octet"}));
    EXPECT_FALSE(std::filesystem::exists(path("F.BIN")));
}

TEST_F(TftpTest, GetStartsOverAfterOtherRefusals) {
    for (std::uint16_t code : {0, 2, 3, 4, 7}) {
        const Bytes content = pattern_bytes(600, code);
        start([&](PeerIo& io) {
            io.recv();
            io.send(tftp_data(1, Bytes(content.begin(), content.begin() + 512)));
            io.recv();
            io.send(tftp_error(code, "busy"));  // mid-transfer: the whole file starts over
            serve(io, content);
        });
        EXPECT_EQ(ecr_tftp_get(register_, path("F.BIN").c_str()), 0) << code;
        EXPECT_EQ(sent_by_client(),
                  (Lines{"RRQ F.BIN octet", "ACK 1", "RRQ F.BIN octet", "ACK 1", "ACK 2", "ACK 2"}))
            << code;
        EXPECT_TRUE(same_bytes(read_file(path("F.BIN")), as_string(content))) << code;
    }
}

TEST_F(TftpTest, RefusalsWithoutEndGiveUpAfterABoundedNumberOfStartOvers) {
    start([&](PeerIo& io) {
        while (auto request = io.recv(500)) io.send(tftp_error(4, "no"));
    });
    EXPECT_EQ(ecr_tftp_get(register_, path("F.BIN").c_str()), ERR_TRANSFER_FAILED);
    EXPECT_EQ(sent_by_client(), Lines(kTftpMaxStartOvers + 1, "RRQ F.BIN octet"));
    EXPECT_FALSE(std::filesystem::exists(path("F.BIN")));

    write_file(path("P.BIN"), "abc");
    start([&](PeerIo& io) {
        while (auto request = io.recv(500)) io.send(tftp_error(1, "no"));
    });
    EXPECT_EQ(ecr_tftp_put(register_, path("P.BIN").c_str()), ERR_TRANSFER_FAILED);
    EXPECT_EQ(sent_by_client(), Lines(kTftpMaxStartOvers + 1, "WRQ P.BIN octet"));
}

TEST_F(TftpTest, StrangersCannotWriteIntoATransfer) {
    const Bytes content = pattern_bytes(700, 3);
    start([&](PeerIo& io) {
        io.recv();
        io.send(tftp_data(1, Bytes(content.begin(), content.begin() + 512)));
        io.recv();
        // Forged block 2 from another port and another address, and an error.
        io.send_from_other_port(tftp_data(2, Bytes(188, 'X')));
        io.send_from_other_address(tftp_data(2, Bytes(188, 'Y')));
        io.send_from_other_address(tftp_error(1, "forged"));
        io.send(tftp_data(2, Bytes(content.begin() + 512, content.end())));
        io.recv();
        io.recv(300);
    });
    EXPECT_EQ(ecr_tftp_get(register_, path("F.BIN").c_str()), 0);
    EXPECT_EQ(sent_by_client(), (Lines{"RRQ F.BIN octet", "ACK 1", "ACK 2", "ACK 2"}));
    EXPECT_TRUE(same_bytes(read_file(path("F.BIN")), as_string(content)));
}

TEST_F(TftpTest, AServerAnsweringFromANewPortIsFollowed) {
    // A standard server answers each request from a port of its own.
    const Bytes content = pattern_bytes(600, 5);
    Lines other_port;
    start([&](PeerIo& io) {
        io.recv();
        io.send_from_other_port(tftp_data(1, Bytes(content.begin(), content.begin() + 512)));
        auto ack1 = io.recv_other();
        io.send_from_other_port(tftp_data(2, Bytes(content.begin() + 512, content.end())));
        auto ack2 = io.recv_other();
        auto again = io.recv_other(300);
        for (const auto& p : {ack1, ack2, again}) {
            if (p) other_port.push_back(describe(*p));
        }
        io.recv(200);  // nothing may go to the request port
    });
    EXPECT_EQ(ecr_tftp_get(register_, path("F.BIN").c_str()), 0);
    EXPECT_EQ(sent_by_client(), (Lines{"RRQ F.BIN octet", "ACK 1", "ACK 2", "ACK 2"}));
    EXPECT_EQ(other_port, (Lines{"ACK 1", "ACK 2", "ACK 2"}));
    EXPECT_TRUE(same_bytes(read_file(path("F.BIN")), as_string(content)));
}

TEST_F(TftpTest, MalformedDatagramsAreIgnored) {
    const Bytes content = pattern_bytes(300, 9);
    start([&](PeerIo& io) {
        io.recv();
        io.send(Bytes{0});                       // shorter than an opcode
        io.send(Bytes{0, 3, 0});                 // DATA shorter than its header
        io.send(Bytes{0, 5, 0});                 // ERROR shorter than its header
        io.send(tftp_data(1, Bytes(600, 'Z')));  // more than a block holds
        io.send(Bytes{0, 9, 0, 1});              // no such opcode
        io.send(tftp_data(1, content));
        io.recv();
        io.recv(300);
    });
    EXPECT_EQ(ecr_tftp_get(register_, path("F.BIN").c_str()), 0);
    EXPECT_EQ(sent_by_client(), (Lines{"RRQ F.BIN octet", "ACK 1", "ACK 1"}));
    EXPECT_TRUE(same_bytes(read_file(path("F.BIN")), as_string(content)));
    EXPECT_TRUE(trace_has("tftp-get oversized: block='1' data_len='600'"));
}

TEST_F(TftpTest, OnlyTheExpectedBlockEndsAGet) {
    const Bytes a = pattern_bytes(512, 1), b = pattern_bytes(512, 2), c = pattern_bytes(100, 3);
    struct Case {
        const char* name;
        ScriptedPeer::Script script;
        Bytes want;
        Lines sent;
    };
    const Case cases[] = {
        {"a block from beyond the next one",
         [&](PeerIo& io) {
             io.recv();
             io.send(tftp_data(1, a));
             io.recv();
             io.send(tftp_data(3, c));  // short, but not the block expected
             io.send(tftp_data(2, b));
             io.recv();
             io.send(tftp_data(3, c));
             io.recv();
             io.recv(300);
         },
         [&] {
             Bytes whole = a;
             whole.insert(whole.end(), b.begin(), b.end());
             whole.insert(whole.end(), c.begin(), c.end());
             return whole;
         }(),
         {"RRQ F.BIN octet", "ACK 1", "ACK 2", "ACK 3", "ACK 3"}},
        {"an empty block 0 answering the request",
         [&](PeerIo& io) {
             io.recv();
             io.send(tftp_data(0, {}));
             io.send(tftp_data(1, c));
             io.recv();
             io.recv(300);
         },
         c,
         {"RRQ F.BIN octet", "ACK 1", "ACK 1"}},
    };
    for (const Case& k : cases) {
        start(k.script);
        EXPECT_EQ(ecr_tftp_get(register_, path("F.BIN").c_str()), 0) << k.name;
        EXPECT_EQ(sent_by_client(), k.sent) << k.name;
        EXPECT_TRUE(same_bytes(read_file(path("F.BIN")), as_string(k.want))) << k.name;
    }
}

TEST_F(TftpTest, APutEndsOnlyWithTheAckOfItsLastBlock) {
    // The register refuses the empty closing block: the file is not complete
    // there, so the put must not report success.
    for (std::size_t size : {0, 512, 1024}) {
        write_file(path("P.BIN"), as_string(pattern_bytes(size, 3)));
        start([&](PeerIo& io) {
            io.recv();
            io.send(tftp_ack(0));
            while (auto data = io.recv(2000)) {
                if (tftp_payload(*data).empty()) {
                    io.send(tftp_error(3, "disk full"));
                    break;
                }
                io.send(tftp_ack(tftp_block(*data)));
            }
            io.recv(300);
        });
        EXPECT_EQ(ecr_tftp_put(register_, path("P.BIN").c_str()), ERR_TRANSFER_FAILED) << size;
        const Lines sent = sent_by_client();
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back(), "DATA " + std::to_string(size / 512 + 1) + " 0") << size;
    }
}

TEST_F(TftpTest, TheRegistersOwnPortIsTakenAfterAFirstAnswerFromAnother) {
    // The register's first answer comes from another port of its address
    // (its reply to the client there is lost); then it repeats that answer
    // from its own port, and the transfer goes on there.
    const Bytes content = pattern_bytes(700, 8);
    Lines other_port;
    start([&](PeerIo& io) {
        io.recv();
        io.send_from_other_port(tftp_data(1, Bytes(content.begin(), content.begin() + 512)));
        if (auto p = io.recv_other(2000)) other_port.push_back(describe(*p));
        io.send(tftp_data(1, Bytes(content.begin(), content.begin() + 512)));
        io.recv();
        io.send(tftp_data(2, Bytes(content.begin() + 512, content.end())));
        io.recv();
        io.recv(300);
    });
    EXPECT_EQ(ecr_tftp_get(register_, path("F.BIN").c_str()), 0);
    EXPECT_EQ(other_port, Lines{"ACK 1"});
    EXPECT_EQ(sent_by_client(), (Lines{"RRQ F.BIN octet", "ACK 1", "ACK 1", "ACK 2", "ACK 2"}));
    EXPECT_TRUE(same_bytes(read_file(path("F.BIN")), as_string(content)));

    write_file(path("P.BIN"), as_string(content));
    Bytes received;
    start([&](PeerIo& io) {
        io.recv();
        io.send_from_other_port(tftp_ack(0));
        io.recv_other(2000);  // DATA 1, lost at the other port
        io.send(tftp_ack(0));
        received = take_rest(io);
    });
    EXPECT_EQ(ecr_tftp_put(register_, path("P.BIN").c_str()), 0);
    EXPECT_EQ(sent_by_client(),
              (Lines{"WRQ P.BIN octet", "DATA 1 512", "DATA 1 512", "DATA 2 188"}));
    EXPECT_TRUE(same_bytes(as_string(received), as_string(content)));
}

TEST_F(TftpTest, AFailedTimeOutSettingIsTracedAndCostsNoAttempt) {
    const Bytes content = pattern_bytes(1300, 6);
    write_file(path("P.BIN"), as_string(content));
    {
        SocketWithoutTimeouts sock;
        start([&](PeerIo& io) { serve(io, content); });
        EXPECT_EQ(ecr_tftp_get(sock, register_, path("F.BIN").c_str()), 0);
        EXPECT_EQ(sock.refused, 2);  // the request's 3 s and the transfer's 5 s
        EXPECT_TRUE(same_bytes(read_file(path("F.BIN")), as_string(content)));
    }
    {
        SocketWithoutTimeouts sock;
        Bytes received;
        start([&](PeerIo& io) { received = take(io); });
        EXPECT_EQ(ecr_tftp_put(sock, register_, path("P.BIN").c_str()), 0);
        EXPECT_EQ(sock.refused, 2);
        sent_by_client();
        EXPECT_TRUE(same_bytes(as_string(received), as_string(content)));
    }
    EXPECT_TRUE(trace_has("setsockopt fallita: esito='10022'"));
    for (const auto& line : trace()) {
        EXPECT_EQ(line.find("timeout  :"), std::string::npos) << line;
        EXPECT_EQ(line.find("recvfrom fallita"), std::string::npos) << line;
    }
}

TEST_F(TftpTest, GetThatCannotCreateItsFileSendsNothing) {
    start([&](PeerIo& io) { io.recv(300); });
    const std::string inside_missing =
        path("no-such-dir") + std::string(1, sys::kPathSep) + "F.BIN";
    EXPECT_EQ(ecr_tftp_get(register_, inside_missing.c_str()), ERR_FILE_CREATION);
    EXPECT_TRUE(sent_by_client().empty());
}

TEST_F(TftpTest, ProtoSwitchTracesEachDataPacket) {
    EnvVar proto("ECR_PROTO", "1");
    start([&](PeerIo& io) { serve(io, pattern_bytes(600)); });
    EXPECT_EQ(ecr_tftp_get(register_, path("F.BIN").c_str()), 0);
    sent_by_client();
    EXPECT_TRUE(trace_has("tftp-get receive  : block='1' data_len='512'"));
    EXPECT_TRUE(trace_has("tftp-get receive  : block='2' data_len='88'"));

    write_file(path("P.BIN"), std::string(512, 'p'));
    start([&](PeerIo& io) { take(io); });
    EXPECT_EQ(ecr_tftp_put(register_, path("P.BIN").c_str()), 0);
    sent_by_client();
    EXPECT_TRUE(trace_has("tftp-put send     : block='1' data_len='512'"));
    EXPECT_TRUE(trace_has("tftp-put send     : block='2' data_len='0'"));
}

TEST_F(TftpTest, PutFilesOfBoundarySizes) {
    struct Case {
        std::size_t size;
        Lines expected;
    };
    const Case cases[] = {
        {0, {"WRQ F.BIN octet", "DATA 1 0"}},
        {1, {"WRQ F.BIN octet", "DATA 1 1"}},
        {512, {"WRQ F.BIN octet", "DATA 1 512", "DATA 2 0"}},
        {1000, {"WRQ F.BIN octet", "DATA 1 512", "DATA 2 488"}},
        {1024, {"WRQ F.BIN octet", "DATA 1 512", "DATA 2 512", "DATA 3 0"}},
    };
    for (const Case& c : cases) {
        const Bytes content = pattern_bytes(c.size, static_cast<unsigned>(c.size) + 11);
        write_file(path("F.BIN"), as_string(content));
        Bytes received;
        start([&](PeerIo& io) { received = take(io); });
        EXPECT_EQ(ecr_tftp_put(register_, path("F.BIN").c_str()), 0) << c.size;
        EXPECT_EQ(sent_by_client(), c.expected) << c.size;
        EXPECT_TRUE(same_bytes(as_string(received), as_string(content))) << c.size;
        EXPECT_TRUE(same_bytes(read_file(path("F.BIN")), as_string(content)))
            << "the local file is unchanged";
    }
}

TEST_F(TftpTest, PutIgnoresAcksOfOtherBlocks) {
    write_file(path("F.BIN"), std::string(700, 'q'));
    start([&](PeerIo& io) {
        io.recv();
        io.send(tftp_ack(0));
        io.recv();
        io.send(tftp_ack(0));  // stale
        io.send(tftp_ack(5));  // from nowhere
        io.send(tftp_ack(1));
        io.recv();
        io.send(tftp_ack(2));
        io.recv(300);
    });
    EXPECT_EQ(ecr_tftp_put(register_, path("F.BIN").c_str()), 0);
    EXPECT_EQ(sent_by_client(), (Lines{"WRQ F.BIN octet", "DATA 1 512", "DATA 2 188"}));
}

TEST_F(TftpTest, PutRefusals) {
    struct Case {
        std::uint16_t code;
        std::int32_t result;
        Lines expected;
    };
    const Case cases[] = {
        {2, ERR_TRANSFER_FAILED, {"WRQ F.BIN octet"}},
        {3, ERR_TRANSFER_FAILED, {"WRQ F.BIN octet"}},
        // Any other code starts the put over.
        {1, 0, {"WRQ F.BIN octet", "WRQ F.BIN octet", "DATA 1 10"}},
        {0, 0, {"WRQ F.BIN octet", "WRQ F.BIN octet", "DATA 1 10"}},
    };
    write_file(path("F.BIN"), std::string(10, 'r'));
    for (const Case& c : cases) {
        start([&](PeerIo& io) {
            io.recv();
            io.send(tftp_error(c.code, "refused"));
            if (c.result == 0) take(io);
            io.recv(300);
        });
        EXPECT_EQ(ecr_tftp_put(register_, path("F.BIN").c_str()), c.result) << c.code;
        EXPECT_EQ(sent_by_client(), c.expected) << c.code;
    }
}

TEST_F(TftpTest, PutOfAMissingFileSendsNothing) {
    start([&](PeerIo& io) { io.recv(300); });
    EXPECT_EQ(ecr_tftp_put(register_, path("missing.BIN").c_str()), ERR_FILE_NOT_FOUND);
    EXPECT_TRUE(sent_by_client().empty());
}

TEST_F(TftpTest, FilesBeyondTheBlockLimitAreRefusedBeforeSending) {
    // 65535 full blocks would need a closing block 65536: one byte less fits.
    const std::string big = path("BIG.BIN");
    write_file(big, "");
    std::filesystem::resize_file(big, static_cast<std::uintmax_t>(kTftpMaxFileSize) + 1);
    start([&](PeerIo& io) { io.recv(300); });
    EXPECT_EQ(ecr_tftp_put(register_, big.c_str()), ERR_INVALID_FILESIZE);
    EXPECT_TRUE(sent_by_client().empty());
}

}  // namespace
}  // namespace veltra::test
