// The TFTP client against a scripted register: what it sends for each
// answer, what it writes, and what it refuses. None of these waits out a
// time-out; those are in tftp_client_slow_test.cpp.
#include "net/tftp_client.hpp"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/transfer_observer.hpp"
#include "platform_traits.hpp"
#include "sys/clock.hpp"
#include "tftp_test_util.hpp"
#include "veltra.h"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <sys/resource.h>

#include <cerrno>
#endif

namespace veltra::test {
namespace {

// Fails a send the way the platform's sockets report it, where the library
// reads it back for its trace.
void set_socket_error(int code) {
#if defined(_WIN32)
    WSASetLastError(code);
#else
    errno = code;
#endif
}

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

// Every step of a transfer, as the register and the trace see it: what each
// datagram meant, which waits were whole and which went on, each trace line
// and each progress report. The socket is a script: a missing answer is a
// time-out that passes at once.
struct Step {
    std::optional<Bytes> packet{};  // nullopt: the wait runs out
    std::uint16_t port = 0;         // 0: the register's own port
    bool foreign = false;           // from another address
    bool fails = false;             // the receive itself fails
    bool shrink = false;            // the local file is emptied before it comes
};

Step answer(Bytes packet) {
    return Step{std::move(packet)};
}
Step quiet() {
    return Step{};
}
Step from_port(std::uint16_t port, Bytes packet) {
    return Step{std::move(packet), port};
}

// A socket that plays a script and logs what the client did with it.
class StepSocket final : public TftpSocket {
public:
    using Next = std::function<std::optional<Step>(std::size_t)>;
    StepSocket(Next next, std::string local, std::vector<int> failing_sends, bool refuse_timeouts,
               int pause_ms)
        : next_(std::move(next)),
          local_(std::move(local)),
          failing_sends_(std::move(failing_sends)),
          refuse_timeouts_(refuse_timeouts),
          pause_ms_(pause_ms) {}

    bool set_recv_timeout(std::uint32_t timeout_ms, int& error) override {
        log.push_back(cat("timeout ", timeout_ms, refuse_timeouts_ ? " refused" : ""));
        error = 10022;
        return !refuse_timeouts_;
    }
    bool send_to(std::uint32_t, std::uint16_t port, std::span<const std::uint8_t> data) override {
        const bool fail = std::find(failing_sends_.begin(), failing_sends_.end(), sends_++) !=
                          failing_sends_.end();
        log.push_back(cat("send ", describe(Bytes(data.begin(), data.end())),
                          port == tftp_port() ? std::string() : cat(" to ", port),
                          fail ? " failed" : ""));
        if (fail) set_socket_error(101);
        return !fail;
    }
    sys::RecvStatus recv_from(std::span<std::uint8_t> buf, std::uint32_t timeout_ms,
                              sys::Datagram& got, int& error) override {
        // A wait that has not just started shows as a part of the time-out.
        log.push_back(timeout_ms == 3000 || timeout_ms == 5000 ? cat("wait ", timeout_ms)
                                                               : std::string("wait part"));
        const std::optional<Step> step = next_(step_++);
        if (!step || (!step->packet && !step->fails)) return sys::RecvStatus::kTimedOut;
        if (step->shrink) std::filesystem::resize_file(local_, 0);
        if (step->fails) {
            error = 10054;
            return sys::RecvStatus::kFailed;
        }
        if (pause_ms_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms_));
        std::copy(step->packet->begin(), step->packet->end(), buf.begin());
        got.length = step->packet->size();
        got.from_addr = step->foreign ? ipv4(127, 0, 0, 2) : ipv4(127, 0, 0, 1);
        got.from_port = step->port != 0 ? step->port : tftp_port();
        return sys::RecvStatus::kData;
    }
    Lines log;

private:
    Next next_;
    std::string local_;
    std::vector<int> failing_sends_;
    bool refuse_timeouts_;
    int pause_ms_;
    int sends_ = 0;
    std::size_t step_ = 0;
};

void log_progress(void* context, const TransferProgress& p) {
    static_cast<Lines*>(context)->push_back(cat(p.put ? "put " : "get ", p.done, "/", p.total));
}

struct TraceCase {
    const char* name;
    bool put = false;
    std::int64_t size = -1;  // a put's local file; -1: none
    std::vector<Step> steps{};
    std::int32_t result = 0;
    Lines socket{};
    Lines trace{};
    Lines progress{};
    std::int64_t local = -1;  // the local file's size afterwards; -1: gone
    bool missing = false;
    const char* retry = nullptr;
    bool proto = false;
    std::vector<int> failing_sends{};
    bool refuse_timeouts = false;
};

void PrintTo(const TraceCase& c, std::ostream* os) {
    *os << c.name;
}

class TftpSteps : public TftpTest {
protected:
    void SetUp() override {
        TftpTest::SetUp();
        set_transfer_observer(log_progress, &progress_);
    }
    void TearDown() override {
        set_transfer_observer(nullptr, nullptr);
        TftpTest::TearDown();
    }

    // The trace without its times, the local file shown as LOCAL.
    Lines plain_trace() const {
        const std::string local = path("F.BIN");
        Lines out;
        for (std::string line : trace()) {
            line = line.substr(std::min<std::size_t>(13, line.size()));
            for (std::size_t at; (at = line.find(local)) != std::string::npos;)
                line.replace(at, local.size(), "LOCAL");
            out.push_back(line);
        }
        return out;
    }

    struct Outcome {
        std::int32_t result;
        bool missing;
        Lines socket;
    };
    Outcome run(bool put, StepSocket::Next next, const std::vector<int>& failing_sends = {},
                bool refuse_timeouts = false, int pause_ms = 2) {
        const std::string local = path("F.BIN");
        StepSocket sock(std::move(next), local, failing_sends, refuse_timeouts, pause_ms);
        bool missing = false;
        const std::int32_t result = put ? ecr_tftp_put(sock, register_, local.c_str())
                                        : ecr_tftp_get(sock, register_, local.c_str(), missing);
        return {result, missing, sock.log};
    }
    std::int64_t local_size() const {
        std::error_code ec;
        const auto n = std::filesystem::file_size(path("F.BIN"), ec);
        return ec ? -1 : static_cast<std::int64_t>(n);
    }

    Lines progress_;
};

class TftpTrace : public TftpSteps, public ::testing::WithParamInterface<TraceCase> {};

TEST_P(TftpTrace, EveryStepIsAsBefore) {
    const TraceCase& c = GetParam();
    if (c.size >= 0) write_file(path("F.BIN"), as_string(pattern_bytes(c.size, 5)));
    EnvVar retry("ECR_RETRY", c.retry ? std::optional<std::string>(c.retry) : std::nullopt);
    EnvVar proto("ECR_PROTO", c.proto ? std::optional<std::string>("1") : std::nullopt);
    const std::vector<Step>& steps = c.steps;
    const Outcome got = run(
        c.put,
        [&](std::size_t i) { return i < steps.size() ? std::optional(steps[i]) : std::nullopt; },
        c.failing_sends, c.refuse_timeouts);
    EXPECT_EQ(got.result, c.result);
    EXPECT_EQ(got.missing, c.missing);
    EXPECT_EQ(got.socket, c.socket);
    EXPECT_EQ(plain_trace(), c.trace);
    EXPECT_EQ(progress_, c.progress);
    EXPECT_EQ(local_size(), c.local);
}

const Bytes kBlockA = pattern_bytes(512, 1);
const Bytes kShort = pattern_bytes(100, 2);

INSTANTIATE_TEST_SUITE_P(
    Transfers, TftpTrace,
    ::testing::Values(
        // Gets
        TraceCase{.name = "GetTwoBlocksWithProto",
                  .steps = {answer(tftp_data(1, kBlockA)), answer(tftp_data(2, kShort))},
                  .result = 0,
                  .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send ACK 1", "wait 5000", "send ACK 2", "send ACK 2"},
                  .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                            "tftp-get connect  : pathname='LOCAL'",
                            "tftp-get receive  : block='1' data_len='512'",
                            "tftp-get started  : pathname='LOCAL'",
                            "tftp-get receive  : block='2' data_len='100'",
                            "tftp-get completed: pathname='LOCAL' length='612/612'"},
                  .progress = {"get 0/-1", "get 512/-1", "get 612/-1"},
                  .local = 612,
                  .proto = true},
        TraceCase{.name = "GetEmptyFile",
                  .steps = {answer(tftp_data(1, {}))},
                  .result = 0,
                  .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send ACK 1", "send ACK 1"},
                  .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                            "tftp-get connect  : pathname='LOCAL'",
                            "tftp-get started  : pathname='LOCAL'",
                            "tftp-get completed: pathname='LOCAL' length='0/0'"},
                  .progress = {"get 0/-1", "get 0/-1"},
                  .local = 0},
        TraceCase{.name = "GetSilentRegister",
                  .result = ERR_TIMEOUT,
                  .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000",
                             "send RRQ F.BIN octet", "timeout 3000", "wait 3000",
                             "send RRQ F.BIN octet", "timeout 3000", "wait 3000"},
                  .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                            "tftp-get connect  : pathname='LOCAL'",
                            "tftp-get timeout  : pathname='LOCAL' ntent='3' length='0' block='1'",
                            "tftp-get connect  : pathname='LOCAL'",
                            "tftp-get timeout  : pathname='LOCAL' ntent='2' length='0' block='1'",
                            "tftp-get connect  : pathname='LOCAL'",
                            "tftp-get timeout  : pathname='LOCAL' ntent='1' length='0' block='1'",
                            "tftp-get aborted  : pathname='LOCAL' length='0'"},
                  .progress = {}},
        TraceCase{.name = "GetSilenceMidFile",
                  .steps = {answer(tftp_data(1, kBlockA))},
                  .result = ERR_TRANSFER_FAILED,
                  .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send ACK 1", "wait 5000", "send ACK 1", "wait 5000", "send ACK 1",
                             "wait 5000", "send ACK 1", "wait 5000"},
                  .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                            "tftp-get connect  : pathname='LOCAL'",
                            "tftp-get started  : pathname='LOCAL'",
                            "tftp-get timeout  : pathname='LOCAL' ntent='4' length='512' block='2'",
                            "tftp-get timeout  : pathname='LOCAL' ntent='3' length='512' block='2'",
                            "tftp-get timeout  : pathname='LOCAL' ntent='2' length='512' block='2'",
                            "tftp-get timeout  : pathname='LOCAL' ntent='1' length='512' block='2'",
                            "tftp-get aborted  : pathname='LOCAL' length='512'"},
                  .progress = {"get 0/-1", "get 512/-1"}},
        TraceCase{
            .name = "GetProgressDoesNotRenewTheAttempts",
            .steps = {quiet(), answer(tftp_data(1, kBlockA)), quiet(),
                      answer(tftp_data(2, kBlockA)), quiet(), quiet(), quiet()},
            .result = ERR_TRANSFER_FAILED,
            .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000", "send RRQ F.BIN octet",
                       "timeout 3000", "wait 3000", "timeout 5000", "send ACK 1", "wait 5000",
                       "send ACK 1", "wait 5000", "send ACK 2", "wait 5000", "send ACK 2",
                       "wait 5000", "send ACK 2", "wait 5000"},
            .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                      "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get timeout  : pathname='LOCAL' ntent='3' length='0' block='1'",
                      "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get started  : pathname='LOCAL'",
                      "tftp-get timeout  : pathname='LOCAL' ntent='4' length='512' block='2'",
                      "tftp-get timeout  : pathname='LOCAL' ntent='3' length='1024' block='3'",
                      "tftp-get timeout  : pathname='LOCAL' ntent='2' length='1024' block='3'",
                      "tftp-get timeout  : pathname='LOCAL' ntent='1' length='1024' block='3'",
                      "tftp-get aborted  : pathname='LOCAL' length='1024'"},
            .progress = {"get 0/-1", "get 512/-1", "get 1024/-1"}},
        TraceCase{.name = "GetRepeatedEarlyAndFutureBlocks",
                  .steps = {answer(tftp_data(1, kBlockA)), answer(tftp_data(1, kBlockA)),
                            answer(tftp_data(3, kShort)), answer(tftp_data(0, {})),
                            answer(tftp_data(2, kShort))},
                  .result = 0,
                  .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send ACK 1", "wait 5000", "send ACK 1", "wait part", "wait part",
                             "wait part", "send ACK 2", "send ACK 2"},
                  .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                            "tftp-get connect  : pathname='LOCAL'",
                            "tftp-get started  : pathname='LOCAL'", "tftp-get duplicate: block='1'",
                            "tftp-get duplicate: block='3'", "tftp-get duplicate: block='0'",
                            "tftp-get completed: pathname='LOCAL' length='612/612'"},
                  .progress = {"get 0/-1", "get 512/-1", "get 612/-1"},
                  .local = 612},
        TraceCase{.name = "GetMalformedAndOversized",
                  .steps = {answer(Bytes{0}), answer(Bytes{0, 3, 0}), answer(Bytes{0, 5, 0}),
                            answer(tftp_data(1, Bytes(600, 'Z'))), answer(Bytes{0, 9, 0, 1}),
                            answer(tftp_ack(1)), answer(tftp_data(1, kShort))},
                  .result = 0,
                  .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000", "wait part",
                             "wait part", "wait part", "wait part", "wait part", "wait part",
                             "timeout 5000", "send ACK 1", "send ACK 1"},
                  .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                            "tftp-get connect  : pathname='LOCAL'",
                            "tftp-get oversized: block='1' data_len='600'",
                            "tftp-get started  : pathname='LOCAL'",
                            "tftp-get completed: pathname='LOCAL' length='100/100'"},
                  .progress = {"get 0/-1", "get 100/-1"},
                  .local = 100},
        TraceCase{.name = "GetStrangers",
                  .steps = {answer(tftp_data(1, kBlockA)), Step{tftp_data(2, kShort), 0, true},
                            from_port(40001, tftp_data(2, kShort)),
                            Step{tftp_error(1, "x"), 0, true}, answer(tftp_data(2, kShort))},
                  .result = 0,
                  .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send ACK 1", "wait 5000", "wait part", "wait part", "wait part",
                             "send ACK 2", "send ACK 2"},
                  .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                            "tftp-get connect  : pathname='LOCAL'",
                            "tftp-get started  : pathname='LOCAL'",
                            "tftp-get completed: pathname='LOCAL' length='612/612'"},
                  .progress = {"get 0/-1", "get 512/-1", "get 612/-1"},
                  .local = 612},
        TraceCase{.name = "GetFollowsANewPort",
                  .steps = {from_port(40001, tftp_data(1, kBlockA)),
                            from_port(40002, tftp_data(2, kShort)),
                            from_port(40001, tftp_data(2, kShort))},
                  .result = 0,
                  .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send ACK 1 to 40001", "wait 5000", "wait part", "send ACK 2 to 40001",
                             "send ACK 2 to 40001"},
                  .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                            "tftp-get connect  : pathname='LOCAL'",
                            "tftp-get started  : pathname='LOCAL'",
                            "tftp-get completed: pathname='LOCAL' length='612/612'"},
                  .progress = {"get 0/-1", "get 512/-1", "get 612/-1"},
                  .local = 612},
        TraceCase{.name = "GetBackToTheRequestPort",
                  .steps = {from_port(40001, tftp_data(1, kBlockA)), answer(tftp_data(1, kBlockA)),
                            from_port(40001, tftp_data(2, kShort)), answer(tftp_data(2, kShort))},
                  .result = 0,
                  .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send ACK 1 to 40001", "wait 5000", "send ACK 1", "wait part",
                             "wait part", "send ACK 2", "send ACK 2"},
                  .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                            "tftp-get connect  : pathname='LOCAL'",
                            "tftp-get started  : pathname='LOCAL'", "tftp-get duplicate: block='1'",
                            "tftp-get completed: pathname='LOCAL' length='612/612'"},
                  .progress = {"get 0/-1", "get 512/-1", "get 612/-1"},
                  .local = 612},
        TraceCase{.name = "GetErrorMidFileStartsOver",
                  .steps = {answer(tftp_data(1, kBlockA)), answer(tftp_error(0, "busy")),
                            answer(tftp_data(1, kBlockA)), answer(tftp_data(2, kShort))},
                  .result = 0,
                  .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send ACK 1", "wait 5000", "send RRQ F.BIN octet", "timeout 3000",
                             "wait 3000", "timeout 5000", "send ACK 1", "wait 5000", "send ACK 2",
                             "send ACK 2"},
                  .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                            "tftp-get connect  : pathname='LOCAL'",
                            "tftp-get started  : pathname='LOCAL'",
                            "tftp-get refused  : pathname='LOCAL' length='512' errocode='0'",
                            "tftp-get connect  : pathname='LOCAL'",
                            "tftp-get started  : pathname='LOCAL'",
                            "tftp-get completed: pathname='LOCAL' length='612/612'"},
                  .progress = {"get 0/-1", "get 512/-1", "get 0/-1", "get 512/-1", "get 612/-1"},
                  .local = 612},
        TraceCase{.name = "GetErrorOneAfterData",
                  .steps = {answer(tftp_data(1, kBlockA)), answer(tftp_error(1, "nf"))},
                  .result = ERR_TRANSFER_FAILED,
                  .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send ACK 1", "wait 5000"},
                  .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                            "tftp-get connect  : pathname='LOCAL'",
                            "tftp-get started  : pathname='LOCAL'",
                            "tftp-get refused  : pathname='LOCAL' length='512' errocode='1'"},
                  .progress = {"get 0/-1", "get 512/-1"}},
        TraceCase{.name = "GetErrorOneAtTheRequest",
                  .steps = {answer(tftp_error(1, "nf"))},
                  .result = ERR_TRANSFER_FAILED,
                  .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000"},
                  .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                            "tftp-get connect  : pathname='LOCAL'",
                            "tftp-get refused  : pathname='LOCAL' length='0' errocode='1'"},
                  .progress = {},
                  .missing = true},
        TraceCase{
            .name = "GetErrorTwoThenSilence",
            .steps = {answer(tftp_error(2, "no"))},
            .result = ERR_TIMEOUT,
            .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000", "send RRQ F.BIN octet",
                       "timeout 3000", "wait 3000", "send RRQ F.BIN octet", "timeout 3000",
                       "wait 3000", "send RRQ F.BIN octet", "timeout 3000", "wait 3000"},
            .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                      "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get refused  : pathname='LOCAL' length='0' errocode='2'",
                      "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get timeout  : pathname='LOCAL' ntent='3' length='0' block='1'",
                      "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get timeout  : pathname='LOCAL' ntent='2' length='0' block='1'",
                      "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get timeout  : pathname='LOCAL' ntent='1' length='0' block='1'",
                      "tftp-get aborted  : pathname='LOCAL' length='0'"},
            .progress = {}},
        TraceCase{
            .name = "GetStartOversExhausted",
            .steps = std::vector<Step>(kTftpMaxStartOvers + 1, answer(tftp_error(4, "no"))),
            .result = ERR_TRANSFER_FAILED,
            .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000", "send RRQ F.BIN octet",
                       "timeout 3000", "wait 3000", "send RRQ F.BIN octet", "timeout 3000",
                       "wait 3000", "send RRQ F.BIN octet", "timeout 3000", "wait 3000",
                       "send RRQ F.BIN octet", "timeout 3000", "wait 3000", "send RRQ F.BIN octet",
                       "timeout 3000", "wait 3000"},
            .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                      "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get refused  : pathname='LOCAL' length='0' errocode='4'",
                      "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get refused  : pathname='LOCAL' length='0' errocode='4'",
                      "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get refused  : pathname='LOCAL' length='0' errocode='4'",
                      "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get refused  : pathname='LOCAL' length='0' errocode='4'",
                      "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get refused  : pathname='LOCAL' length='0' errocode='4'",
                      "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get refused  : pathname='LOCAL' length='0' errocode='4'"},
            .progress = {}},
        TraceCase{
            .name = "GetSilenceThenErrorThenSilence",
            .steps = {answer(tftp_data(1, kBlockA)), quiet(), answer(tftp_error(0, "x"))},
            .result = ERR_TIMEOUT,
            .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                       "send ACK 1", "wait 5000", "send ACK 1", "wait 5000", "send RRQ F.BIN octet",
                       "timeout 3000", "wait 3000", "send RRQ F.BIN octet", "timeout 3000",
                       "wait 3000", "send RRQ F.BIN octet", "timeout 3000", "wait 3000"},
            .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                      "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get started  : pathname='LOCAL'",
                      "tftp-get timeout  : pathname='LOCAL' ntent='4' length='512' block='2'",
                      "tftp-get refused  : pathname='LOCAL' length='512' errocode='0'",
                      "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get timeout  : pathname='LOCAL' ntent='3' length='0' block='1'",
                      "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get timeout  : pathname='LOCAL' ntent='2' length='0' block='1'",
                      "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get timeout  : pathname='LOCAL' ntent='1' length='0' block='1'",
                      "tftp-get aborted  : pathname='LOCAL' length='0'"},
            .progress = {"get 0/-1", "get 512/-1"}},
        TraceCase{
            .name = "GetRetryHookHoldsBackAnAck",
            .steps = {answer(tftp_data(1, kBlockA)), answer(tftp_data(2, kBlockA)), quiet(),
                      answer(tftp_data(2, kBlockA)), answer(tftp_data(3, kShort))},
            .result = 0,
            .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                       "send ACK 1", "wait 5000", "wait 5000", "send ACK 1", "wait 5000",
                       "send ACK 2", "wait part", "send ACK 3", "send ACK 3"},
            .trace = {"tftp-get requested: pathname='LOCAL' retry='2'",
                      "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get started  : pathname='LOCAL'", "tftp-get retry    : block='2'",
                      "tftp-get timeout  : pathname='LOCAL' ntent='4' length='1024' block='3'",
                      "tftp-get duplicate: block='2'",
                      "tftp-get completed: pathname='LOCAL' length='1124/1124'"},
            .progress = {"get 0/-1", "get 512/-1", "get 1024/-1", "get 1124/-1"},
            .local = 1124,
            .retry = "2"},
        TraceCase{.name = "GetRetryHookOnTheLastBlock",
                  .steps = {answer(tftp_data(1, kBlockA)), answer(tftp_data(2, kShort))},
                  .result = 0,
                  .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send ACK 1", "wait 5000", "send ACK 1"},
                  .trace = {"tftp-get requested: pathname='LOCAL' retry='2'",
                            "tftp-get connect  : pathname='LOCAL'",
                            "tftp-get started  : pathname='LOCAL'", "tftp-get retry    : block='2'",
                            "tftp-get completed: pathname='LOCAL' length='612/612'"},
                  .progress = {"get 0/-1", "get 512/-1", "get 612/-1"},
                  .local = 612,
                  .retry = "2"},
        TraceCase{.name = "GetFailedSendAndReceive",
                  .steps = {answer(tftp_data(1, kBlockA)), Step{std::nullopt, 0, false, true},
                            answer(tftp_data(2, kShort))},
                  .result = 0,
                  .socket = {"send RRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send ACK 1 failed", "wait 5000", "send ACK 1", "wait 5000",
                             "send ACK 2", "send ACK 2"},
                  .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                            "tftp-get connect  : pathname='LOCAL'",
                            "tftp-get started  : pathname='LOCAL'",
                            "sendto fallita: ip_address='127.0.0.1' esito='101'",
                            "recvfrom fallita: esito='10054'",
                            "tftp-get timeout  : pathname='LOCAL' ntent='4' length='512' block='2'",
                            "tftp-get completed: pathname='LOCAL' length='612/612'"},
                  .progress = {"get 0/-1", "get 512/-1", "get 612/-1"},
                  .local = 612,
                  .failing_sends = {1}},
        TraceCase{
            .name = "GetTimeOutsRefused",
            .steps = {answer(tftp_data(1, kBlockA)), answer(tftp_data(2, kShort))},
            .result = 0,
            .socket = {"send RRQ F.BIN octet", "timeout 3000 refused", "wait 3000",
                       "timeout 5000 refused", "send ACK 1", "wait 5000", "send ACK 2",
                       "send ACK 2"},
            .trace = {"tftp-get requested: pathname='LOCAL' retry='0'",
                      "setsockopt fallita: esito='10022'", "tftp-get connect  : pathname='LOCAL'",
                      "tftp-get started  : pathname='LOCAL'", "setsockopt fallita: esito='10022'",
                      "tftp-get completed: pathname='LOCAL' length='612/612'"},
            .progress = {"get 0/-1", "get 512/-1", "get 612/-1"},
            .local = 612,
            .refuse_timeouts = true},
        // Puts
        TraceCase{.name = "PutTwoBlocksWithProto",
                  .put = true,
                  .size = 700,
                  .steps = {answer(tftp_ack(0)), answer(tftp_ack(1)), answer(tftp_ack(2))},
                  .result = 0,
                  .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send DATA 1 512", "wait 5000", "send DATA 2 188", "wait 5000"},
                  .trace = {"tftp-put requested: pathname='LOCAL' size='700'",
                            "tftp-put connect  : pathname='LOCAL' size='700'",
                            "tftp-put started  : pathname='LOCAL' size='700'",
                            "tftp-put send     : block='1' data_len='512'",
                            "tftp-put send     : block='2' data_len='188'",
                            "tftp-put completed: pathname='LOCAL' length='700/700'"},
                  .progress = {"put 0/700", "put 512/700", "put 700/700"},
                  .local = 700,
                  .proto = true},
        TraceCase{.name = "PutWholeBlockWithProto",
                  .put = true,
                  .size = 512,
                  .steps = {answer(tftp_ack(0)), answer(tftp_ack(1)), answer(tftp_ack(2))},
                  .result = 0,
                  .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send DATA 1 512", "wait 5000", "send DATA 2 0", "wait 5000"},
                  .trace = {"tftp-put requested: pathname='LOCAL' size='512'",
                            "tftp-put connect  : pathname='LOCAL' size='512'",
                            "tftp-put started  : pathname='LOCAL' size='512'",
                            "tftp-put send     : block='1' data_len='512'",
                            "tftp-put send     : block='2' data_len='0'",
                            "tftp-put completed: pathname='LOCAL' length='512/512'"},
                  .progress = {"put 0/512", "put 512/512", "put 512/512"},
                  .local = 512,
                  .proto = true},
        TraceCase{.name = "PutEmptyFile",
                  .put = true,
                  .size = 0,
                  .steps = {answer(tftp_ack(0)), answer(tftp_ack(1))},
                  .result = 0,
                  .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send DATA 1 0", "wait 5000"},
                  .trace = {"tftp-put requested: pathname='LOCAL' size='0'",
                            "tftp-put connect  : pathname='LOCAL' size='0'",
                            "tftp-put started  : pathname='LOCAL' size='0'",
                            "tftp-put completed: pathname='LOCAL' length='0/0'"},
                  .progress = {"put 0/0", "put 0/0"},
                  .local = 0},
        TraceCase{.name = "PutSilentRegister",
                  .put = true,
                  .size = 10,
                  .result = ERR_TIMEOUT,
                  .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000",
                             "send WRQ F.BIN octet", "timeout 3000", "wait 3000",
                             "send WRQ F.BIN octet", "timeout 3000", "wait 3000"},
                  .trace = {"tftp-put requested: pathname='LOCAL' size='10'",
                            "tftp-put connect  : pathname='LOCAL' size='10'",
                            "tftp-put timeout  : pathname='LOCAL' ntent='3' length='0' block='0'",
                            "tftp-put connect  : pathname='LOCAL' size='10'",
                            "tftp-put timeout  : pathname='LOCAL' ntent='2' length='0' block='0'",
                            "tftp-put connect  : pathname='LOCAL' size='10'",
                            "tftp-put timeout  : pathname='LOCAL' ntent='1' length='0' block='0'",
                            "tftp-put aborted  : pathname='LOCAL' length='0'"},
                  .progress = {},
                  .local = 10},
        TraceCase{.name = "PutSilenceMidFile",
                  .put = true,
                  .size = 700,
                  .steps = {answer(tftp_ack(0)), answer(tftp_ack(1))},
                  .result = ERR_TRANSFER_FAILED,
                  .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send DATA 1 512", "wait 5000", "send DATA 2 188", "wait 5000",
                             "send DATA 2 188", "wait 5000", "send DATA 2 188", "wait 5000",
                             "send DATA 2 188", "wait 5000"},
                  .trace = {"tftp-put requested: pathname='LOCAL' size='700'",
                            "tftp-put connect  : pathname='LOCAL' size='700'",
                            "tftp-put started  : pathname='LOCAL' size='700'",
                            "tftp-put timeout  : pathname='LOCAL' ntent='4' length='700' block='2'",
                            "tftp-put resend   : block='2' data_len='188'",
                            "tftp-put timeout  : pathname='LOCAL' ntent='3' length='700' block='2'",
                            "tftp-put resend   : block='2' data_len='188'",
                            "tftp-put timeout  : pathname='LOCAL' ntent='2' length='700' block='2'",
                            "tftp-put resend   : block='2' data_len='188'",
                            "tftp-put timeout  : pathname='LOCAL' ntent='1' length='700' block='2'",
                            "tftp-put aborted  : pathname='LOCAL' length='700'"},
                  .progress = {"put 0/700", "put 512/700"},
                  .local = 700},
        TraceCase{.name = "PutLostAckOfTheEmptyClosingBlock",
                  .put = true,
                  .size = 0,
                  .steps = {answer(tftp_ack(0))},
                  .result = ERR_TRANSFER_FAILED,
                  .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send DATA 1 0", "wait 5000", "send DATA 1 0", "wait 5000",
                             "send DATA 1 0", "wait 5000", "send DATA 1 0", "wait 5000"},
                  .trace = {"tftp-put requested: pathname='LOCAL' size='0'",
                            "tftp-put connect  : pathname='LOCAL' size='0'",
                            "tftp-put started  : pathname='LOCAL' size='0'",
                            "tftp-put timeout  : pathname='LOCAL' ntent='4' length='0' block='1'",
                            "tftp-put resend   : block='1' data_len='0'",
                            "tftp-put timeout  : pathname='LOCAL' ntent='3' length='0' block='1'",
                            "tftp-put resend   : block='1' data_len='0'",
                            "tftp-put timeout  : pathname='LOCAL' ntent='2' length='0' block='1'",
                            "tftp-put resend   : block='1' data_len='0'",
                            "tftp-put timeout  : pathname='LOCAL' ntent='1' length='0' block='1'",
                            "tftp-put aborted  : pathname='LOCAL' length='0'"},
                  .progress = {"put 0/0"},
                  .local = 0},
        TraceCase{
            .name = "PutProgressDoesNotRenewTheAttempts",
            .put = true,
            .size = 1300,
            .steps = {quiet(), answer(tftp_ack(0)), quiet(), answer(tftp_ack(1)), quiet(),
                      answer(tftp_ack(2)), quiet()},
            .result = ERR_TRANSFER_FAILED,
            .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000", "send WRQ F.BIN octet",
                       "timeout 3000", "wait 3000", "timeout 5000", "send DATA 1 512", "wait 5000",
                       "send DATA 1 512", "wait 5000", "send DATA 2 512", "wait 5000",
                       "send DATA 2 512", "wait 5000", "send DATA 3 276", "wait 5000",
                       "send DATA 3 276", "wait 5000"},
            .trace = {"tftp-put requested: pathname='LOCAL' size='1300'",
                      "tftp-put connect  : pathname='LOCAL' size='1300'",
                      "tftp-put timeout  : pathname='LOCAL' ntent='3' length='0' block='0'",
                      "tftp-put connect  : pathname='LOCAL' size='1300'",
                      "tftp-put started  : pathname='LOCAL' size='1300'",
                      "tftp-put timeout  : pathname='LOCAL' ntent='4' length='512' block='1'",
                      "tftp-put resend   : block='1' data_len='512'",
                      "tftp-put timeout  : pathname='LOCAL' ntent='3' length='1024' block='2'",
                      "tftp-put resend   : block='2' data_len='512'",
                      "tftp-put timeout  : pathname='LOCAL' ntent='2' length='1300' block='3'",
                      "tftp-put resend   : block='3' data_len='276'",
                      "tftp-put timeout  : pathname='LOCAL' ntent='1' length='1300' block='3'",
                      "tftp-put aborted  : pathname='LOCAL' length='1300'"},
            .progress = {"put 0/1300", "put 512/1300", "put 1024/1300"},
            .local = 1300},
        TraceCase{.name = "PutStaleAcks",
                  .put = true,
                  .size = 700,
                  .steps = {answer(tftp_ack(0)), answer(tftp_ack(0)), answer(tftp_ack(5)),
                            answer(tftp_ack(1)), answer(tftp_ack(1)), answer(tftp_ack(2))},
                  .result = 0,
                  .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send DATA 1 512", "wait 5000", "wait part", "wait part",
                             "send DATA 2 188", "wait 5000", "wait part"},
                  .trace = {"tftp-put requested: pathname='LOCAL' size='700'",
                            "tftp-put connect  : pathname='LOCAL' size='700'",
                            "tftp-put started  : pathname='LOCAL' size='700'",
                            "tftp-put completed: pathname='LOCAL' length='700/700'"},
                  .progress = {"put 0/700", "put 512/700", "put 700/700"},
                  .local = 700},
        TraceCase{.name = "PutFollowsANewPort",
                  .put = true,
                  .size = 700,
                  .steps = {from_port(40001, tftp_ack(0)), from_port(40002, tftp_ack(1)),
                            from_port(40001, tftp_ack(1)), from_port(40001, tftp_ack(2))},
                  .result = 0,
                  .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send DATA 1 512 to 40001", "wait 5000", "wait part",
                             "send DATA 2 188 to 40001", "wait 5000"},
                  .trace = {"tftp-put requested: pathname='LOCAL' size='700'",
                            "tftp-put connect  : pathname='LOCAL' size='700'",
                            "tftp-put started  : pathname='LOCAL' size='700'",
                            "tftp-put completed: pathname='LOCAL' length='700/700'"},
                  .progress = {"put 0/700", "put 512/700", "put 700/700"},
                  .local = 700},
        TraceCase{
            .name = "PutBackToTheRequestPort",
            .put = true,
            .size = 700,
            .steps = {from_port(40001, tftp_ack(0)), answer(tftp_ack(0)),
                      from_port(40001, tftp_ack(1)), answer(tftp_ack(1)), answer(tftp_ack(2))},
            .result = 0,
            .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                       "send DATA 1 512 to 40001", "wait 5000", "send DATA 1 512", "wait part",
                       "wait part", "send DATA 2 188", "wait 5000"},
            .trace = {"tftp-put requested: pathname='LOCAL' size='700'",
                      "tftp-put connect  : pathname='LOCAL' size='700'",
                      "tftp-put started  : pathname='LOCAL' size='700'",
                      "tftp-put completed: pathname='LOCAL' length='700/700'"},
            .progress = {"put 0/700", "put 512/700", "put 700/700"},
            .local = 700},
        TraceCase{
            .name = "PutStrangers",
            .put = true,
            .size = 700,
            .steps = {answer(tftp_ack(0)), Step{tftp_ack(1), 0, true},
                      Step{tftp_error(0, "x"), 0, true}, answer(tftp_ack(1)), answer(tftp_ack(2))},
            .result = 0,
            .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                       "send DATA 1 512", "wait 5000", "wait part", "wait part", "send DATA 2 188",
                       "wait 5000"},
            .trace = {"tftp-put requested: pathname='LOCAL' size='700'",
                      "tftp-put connect  : pathname='LOCAL' size='700'",
                      "tftp-put started  : pathname='LOCAL' size='700'",
                      "tftp-put completed: pathname='LOCAL' length='700/700'"},
            .progress = {"put 0/700", "put 512/700", "put 700/700"},
            .local = 700},
        TraceCase{.name = "PutErrorMidFileStartsOver",
                  .put = true,
                  .size = 700,
                  .steps = {answer(tftp_ack(0)), answer(tftp_error(0, "busy")), answer(tftp_ack(0)),
                            answer(tftp_ack(1)), answer(tftp_ack(2))},
                  .result = 0,
                  .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send DATA 1 512", "wait 5000", "send WRQ F.BIN octet", "timeout 3000",
                             "wait 3000", "timeout 5000", "send DATA 1 512", "wait 5000",
                             "send DATA 2 188", "wait 5000"},
                  .trace = {"tftp-put requested: pathname='LOCAL' size='700'",
                            "tftp-put connect  : pathname='LOCAL' size='700'",
                            "tftp-put started  : pathname='LOCAL' size='700'",
                            "tftp-put refused  : pathname='LOCAL' length='512' errocode='0'",
                            "tftp-put connect  : pathname='LOCAL' size='700'",
                            "tftp-put started  : pathname='LOCAL' size='700'",
                            "tftp-put completed: pathname='LOCAL' length='700/700'"},
                  .progress = {"put 0/700", "put 0/700", "put 512/700", "put 700/700"},
                  .local = 700},
        TraceCase{.name = "PutErrorTwo",
                  .put = true,
                  .size = 700,
                  .steps = {answer(tftp_error(2, "no"))},
                  .result = ERR_TRANSFER_FAILED,
                  .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000"},
                  .trace = {"tftp-put requested: pathname='LOCAL' size='700'",
                            "tftp-put connect  : pathname='LOCAL' size='700'",
                            "tftp-put refused  : pathname='LOCAL' length='0' errocode='2'"},
                  .progress = {},
                  .local = 700},
        TraceCase{.name = "PutErrorThreeMidFile",
                  .put = true,
                  .size = 700,
                  .steps = {answer(tftp_ack(0)), answer(tftp_error(3, "full"))},
                  .result = ERR_TRANSFER_FAILED,
                  .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send DATA 1 512", "wait 5000"},
                  .trace = {"tftp-put requested: pathname='LOCAL' size='700'",
                            "tftp-put connect  : pathname='LOCAL' size='700'",
                            "tftp-put started  : pathname='LOCAL' size='700'",
                            "tftp-put refused  : pathname='LOCAL' length='512' errocode='3'"},
                  .progress = {"put 0/700"},
                  .local = 700},
        TraceCase{
            .name = "PutErrorThenSilence",
            .put = true,
            .size = 10,
            .steps = {answer(tftp_error(0, "busy"))},
            .result = ERR_TIMEOUT,
            .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000", "send WRQ F.BIN octet",
                       "timeout 3000", "wait 3000", "send WRQ F.BIN octet", "timeout 3000",
                       "wait 3000", "send WRQ F.BIN octet", "timeout 3000", "wait 3000"},
            .trace = {"tftp-put requested: pathname='LOCAL' size='10'",
                      "tftp-put connect  : pathname='LOCAL' size='10'",
                      "tftp-put refused  : pathname='LOCAL' length='0' errocode='0'",
                      "tftp-put connect  : pathname='LOCAL' size='10'",
                      "tftp-put timeout  : pathname='LOCAL' ntent='3' length='0' block='0'",
                      "tftp-put connect  : pathname='LOCAL' size='10'",
                      "tftp-put timeout  : pathname='LOCAL' ntent='2' length='0' block='0'",
                      "tftp-put connect  : pathname='LOCAL' size='10'",
                      "tftp-put timeout  : pathname='LOCAL' ntent='1' length='0' block='0'",
                      "tftp-put aborted  : pathname='LOCAL' length='0'"},
            .progress = {},
            .local = 10},
        TraceCase{
            .name = "PutStartOversExhausted",
            .put = true,
            .size = 10,
            .steps = std::vector<Step>(kTftpMaxStartOvers + 1, answer(tftp_error(1, "no"))),
            .result = ERR_TRANSFER_FAILED,
            .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000", "send WRQ F.BIN octet",
                       "timeout 3000", "wait 3000", "send WRQ F.BIN octet", "timeout 3000",
                       "wait 3000", "send WRQ F.BIN octet", "timeout 3000", "wait 3000",
                       "send WRQ F.BIN octet", "timeout 3000", "wait 3000", "send WRQ F.BIN octet",
                       "timeout 3000", "wait 3000"},
            .trace = {"tftp-put requested: pathname='LOCAL' size='10'",
                      "tftp-put connect  : pathname='LOCAL' size='10'",
                      "tftp-put refused  : pathname='LOCAL' length='0' errocode='1'",
                      "tftp-put connect  : pathname='LOCAL' size='10'",
                      "tftp-put refused  : pathname='LOCAL' length='0' errocode='1'",
                      "tftp-put connect  : pathname='LOCAL' size='10'",
                      "tftp-put refused  : pathname='LOCAL' length='0' errocode='1'",
                      "tftp-put connect  : pathname='LOCAL' size='10'",
                      "tftp-put refused  : pathname='LOCAL' length='0' errocode='1'",
                      "tftp-put connect  : pathname='LOCAL' size='10'",
                      "tftp-put refused  : pathname='LOCAL' length='0' errocode='1'",
                      "tftp-put connect  : pathname='LOCAL' size='10'",
                      "tftp-put refused  : pathname='LOCAL' length='0' errocode='1'"},
            .progress = {},
            .local = 10},
        TraceCase{
            .name = "PutRetryHookHoldsBackABlock",
            .put = true,
            .size = 700,
            .steps = {answer(tftp_ack(0)), quiet(), answer(tftp_ack(1)), answer(tftp_ack(2))},
            .result = 0,
            .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                       "wait 5000", "send DATA 1 512", "wait 5000", "send DATA 2 188", "wait 5000"},
            .trace = {"tftp-put requested: pathname='LOCAL' size='700'",
                      "tftp-put connect  : pathname='LOCAL' size='700'",
                      "tftp-put started  : pathname='LOCAL' size='700'",
                      "tftp-put retry    : block='1'",
                      "tftp-put timeout  : pathname='LOCAL' ntent='4' length='512' block='1'",
                      "tftp-put resend   : block='1' data_len='512'",
                      "tftp-put completed: pathname='LOCAL' length='700/700'"},
            .progress = {"put 0/700", "put 512/700", "put 700/700"},
            .local = 700,
            .retry = "1"},
        TraceCase{.name = "PutFileShrinks",
                  .put = true,
                  .size = 700,
                  .steps = {Step{tftp_ack(0), 0, false, false, true}},
                  .result = ERR_FILE_NOT_FOUND,
                  .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000"},
                  .trace = {"tftp-put requested: pathname='LOCAL' size='700'",
                            "tftp-put connect  : pathname='LOCAL' size='700'",
                            "tftp-put started  : pathname='LOCAL' size='700'",
                            "tftp-put aborted  : pathname='LOCAL' length='0'"},
                  .progress = {"put 0/700"},
                  .local = 0},
        TraceCase{.name = "PutMissingFile",
                  .put = true,
                  .result = ERR_FILE_NOT_FOUND,
                  .socket = {},
                  .trace = {"tftp-put requested: pathname='LOCAL' size='-1'"},
                  .progress = {}},
        TraceCase{.name = "PutFailedSendAndReceive",
                  .put = true,
                  .size = 700,
                  .steps = {answer(tftp_ack(0)), Step{std::nullopt, 0, false, true},
                            answer(tftp_ack(1)), answer(tftp_ack(2))},
                  .result = 0,
                  .socket = {"send WRQ F.BIN octet", "timeout 3000", "wait 3000", "timeout 5000",
                             "send DATA 1 512 failed", "wait 5000", "send DATA 1 512", "wait 5000",
                             "send DATA 2 188", "wait 5000"},
                  .trace = {"tftp-put requested: pathname='LOCAL' size='700'",
                            "tftp-put connect  : pathname='LOCAL' size='700'",
                            "tftp-put started  : pathname='LOCAL' size='700'",
                            "sendto fallita: ip_address='127.0.0.1' esito='101'",
                            "recvfrom fallita: esito='10054'",
                            "tftp-put timeout  : pathname='LOCAL' ntent='4' length='512' block='1'",
                            "tftp-put resend   : block='1' data_len='512'",
                            "tftp-put completed: pathname='LOCAL' length='700/700'"},
                  .progress = {"put 0/700", "put 512/700", "put 700/700"},
                  .local = 700,
                  .failing_sends = {1}},
        TraceCase{.name = "PutTimeOutsRefused",
                  .put = true,
                  .size = 10,
                  .steps = {answer(tftp_ack(0)), answer(tftp_ack(1))},
                  .result = 0,
                  .socket = {"send WRQ F.BIN octet", "timeout 3000 refused", "wait 3000",
                             "timeout 5000 refused", "send DATA 1 10", "wait 5000"},
                  .trace = {"tftp-put requested: pathname='LOCAL' size='10'",
                            "setsockopt fallita: esito='10022'",
                            "tftp-put connect  : pathname='LOCAL' size='10'",
                            "tftp-put started  : pathname='LOCAL' size='10'",
                            "setsockopt fallita: esito='10022'",
                            "tftp-put completed: pathname='LOCAL' length='10/10'"},
                  .progress = {"put 0/10", "put 10/10"},
                  .local = 10,
                  .refuse_timeouts = true}),
    [](const auto& info) { return std::string(info.param.name); });

Lines last(const Lines& lines, std::size_t n) {
    return Lines(lines.end() - static_cast<std::ptrdiff_t>(std::min(n, lines.size())), lines.end());
}

// Block numbers never wrap: the 65535th full block of a get ends it, and a
// put of one byte less than 65535 full blocks goes through.
TEST_F(TftpSteps, TransfersAtTheBlockLimit) {
    const Bytes full = pattern_bytes(512, 3);
    const Outcome get = run(
        false,
        [&](std::size_t i) {
            return std::optional(answer(tftp_data(static_cast<std::uint16_t>(i + 1), full)));
        },
        {}, false, 0);
    EXPECT_EQ(get.result, ERR_INVALID_FILESIZE);
    EXPECT_EQ(last(get.socket, 4),
              (Lines{"send ACK 65533", "wait 5000", "send ACK 65534", "wait 5000"}));
    EXPECT_EQ(last(progress_, 2), (Lines{"get 33553408/-1", "get 33553920/-1"}));
    EXPECT_EQ(plain_trace(),
              (Lines{"tftp-get requested: pathname='LOCAL' retry='0'",
                     "tftp-get connect  : pathname='LOCAL'", "tftp-get started  : pathname='LOCAL'",
                     "tftp-get aborted  : pathname='LOCAL' length='33553920'"}));
    EXPECT_EQ(local_size(), -1);

    std::filesystem::remove(path("ecrlog.txt"));
    progress_.clear();
    write_file(path("F.BIN"), "");
    std::filesystem::resize_file(path("F.BIN"), static_cast<std::uintmax_t>(kTftpMaxFileSize));
    const Outcome put = run(
        true,
        [&](std::size_t i) {
            return std::optional(answer(tftp_ack(static_cast<std::uint16_t>(i))));
        },
        {}, false, 0);
    EXPECT_EQ(put.result, 0);
    EXPECT_EQ(last(put.socket, 4),
              (Lines{"send DATA 65534 512", "wait 5000", "send DATA 65535 511", "wait 5000"}));
    EXPECT_EQ(last(progress_, 2), (Lines{"put 33553408/33553919", "put 33553919/33553919"}));
    EXPECT_EQ(plain_trace(),
              (Lines{"tftp-put requested: pathname='LOCAL' size='33553919'",
                     "tftp-put connect  : pathname='LOCAL' size='33553919'",
                     "tftp-put started  : pathname='LOCAL' size='33553919'",
                     "tftp-put completed: pathname='LOCAL' length='33553919/33553919'"}));
}

#if !defined(_WIN32)
// A local file that stops growing (here: the process's file size limit)
// ends a get with ERR_FILE_CREATION, whether a block's write or the closing
// flush finds out.
TEST_F(TftpSteps, AGetWhoseFileCannotGrowFails) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const Bytes full = pattern_bytes(512, 4);
    const Lines begun = {"tftp-get requested: pathname='LOCAL' retry='0'",
                         "tftp-get connect  : pathname='LOCAL'",
                         "tftp-get started  : pathname='LOCAL'"};
    auto get = [&](std::uint32_t blocks) {
        std::filesystem::remove(path("ecrlog.txt"));
        return run(
            false,
            [&](std::size_t i) {
                const auto n = static_cast<std::uint16_t>(i + 1);
                return std::optional(answer(tftp_data(n, i < blocks ? full : kShort)));
            },
            {}, false, 0);
    };
    // More than the stream buffers: a block's write fails, and that block
    // is not acknowledged. How much got written depends on the buffer.
    const Outcome big = get(200);
    EXPECT_EQ(big.result, ERR_FILE_CREATION);
    ASSERT_FALSE(big.socket.empty());
    EXPECT_EQ(big.socket.back(), "wait 5000");
    Lines trace = plain_trace();
    ASSERT_EQ(trace.size(), 4u);
    EXPECT_EQ(trace.back().rfind("tftp-get aborted  : pathname='LOCAL' length='", 0), 0u)
        << trace.back();
    trace.pop_back();
    EXPECT_EQ(trace, begun);
    EXPECT_EQ(local_size(), -1);
    // All of it buffered: the closing flush fails after the last ACKs, and
    // no line tells the end.
    const Outcome small_file = get(3);
    EXPECT_EQ(small_file.result, ERR_FILE_CREATION);
    EXPECT_EQ(last(small_file.socket, 3), (Lines{"wait 5000", "send ACK 4", "send ACK 4"}));
    EXPECT_EQ(plain_trace(), begun);
    EXPECT_EQ(local_size(), -1);

    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);
}
#endif

}  // namespace
}  // namespace veltra::test

namespace veltra::test {
namespace {

// A register that answers from a script and, where the script has no
// answer, keeps silent for the whole wait the client asks for, as the
// network would. Records each wait.
class SilentAfterScript final : public TftpSocket {
public:
    explicit SilentAfterScript(std::vector<Bytes> answers) : answers_(std::move(answers)) {}
    bool set_recv_timeout(std::uint32_t, int&) override { return true; }
    bool send_to(std::uint32_t, std::uint16_t, std::span<const std::uint8_t> data) override {
        sent.emplace_back(data.begin(), data.end());
        return true;
    }
    sys::RecvStatus recv_from(std::span<std::uint8_t> buf, std::uint32_t timeout_ms,
                              sys::Datagram& got, int&) override {
        waits.push_back(timeout_ms);
        if (next_ >= answers_.size()) {
            ++silences;
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
            return sys::RecvStatus::kTimedOut;
        }
        const Bytes& a = answers_[next_++];
        std::copy(a.begin(), a.end(), buf.begin());
        got.length = a.size();
        got.from_addr = ipv4(127, 0, 0, 1);
        got.from_port = tftp_port();
        return sys::RecvStatus::kData;
    }
    std::vector<Bytes> sent;
    std::vector<std::uint32_t> waits;
    int silences = 0;  // waits that ran to their end

private:
    std::vector<Bytes> answers_;
    std::size_t next_ = 0;
};

// The deadline of a whole exchange: no wait runs past it, and silence at it
// ends the transfer at once instead of after the attempts that are left.
TEST_F(TftpTest, ADeadlineCutsTheWaitsOfASilentRegister) {
    constexpr std::uint32_t kBudgetMs = 250;
    const std::string local = path("COMMAND.TXT");
    write_file(local, "INFO");
    struct Case {
        const char* name;
        std::function<std::int32_t(TftpSocket&, std::uint64_t)> call;
        std::vector<Bytes> answers;
        std::int32_t want;
    };
    const std::vector<Case> cases = {
        {"put to nobody",
         [&](TftpSocket& s, std::uint64_t d) {
             return ecr_tftp_put_until(s, register_, local.c_str(), d);
         },
         {},
         ERR_TIMEOUT},
        {"get from nobody",
         [&](TftpSocket& s, std::uint64_t d) {
             bool missing = false;
             return ecr_tftp_get_until(s, register_, path("RESPONSE.TXT").c_str(), d, missing);
         },
         {},
         ERR_TIMEOUT},
        {"get that stops after its first block",
         [&](TftpSocket& s, std::uint64_t d) {
             bool missing = false;
             return ecr_tftp_get_until(s, register_, path("RESPONSE.TXT").c_str(), d, missing);
         },
         {tftp_data(1, Bytes(512, 'x'))},
         ERR_TRANSFER_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SilentAfterScript sock(c.answers);
        const std::uint64_t deadline = sys::monotonic_ms() + kBudgetMs;
        EXPECT_EQ(c.call(sock, deadline), c.want);
        // One request and, for the get, one ACK: nothing went out again,
        // and the one silence that reached the deadline ended the transfer
        // (the attempts left would have waited three or four times).
        EXPECT_EQ(sock.sent.size(), c.answers.size() + 1);
        EXPECT_EQ(sock.silences, 1);
        for (std::uint32_t w : sock.waits) EXPECT_LE(w, kBudgetMs);
        EXPECT_FALSE(std::filesystem::exists(path("RESPONSE.TXT")));
    }
}

// Without a deadline the transfer keeps its own attempts: three requests.
TEST_F(TftpTest, WithoutADeadlineASilentPutAsksThreeTimes) {
    const std::string local = path("COMMAND.TXT");
    write_file(local, "INFO");
    ScriptedSocket sock({});
    EXPECT_EQ(ecr_tftp_put(sock, register_, local.c_str()), ERR_TIMEOUT);
    EXPECT_EQ(sock.sent.size(), 3u);
}

}  // namespace
}  // namespace veltra::test
