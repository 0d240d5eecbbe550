// TFTP client rules that only show when the client waits out its real
// time-outs (3 s before a transfer starts, 5 s after). Labelled slow.
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "net/tftp_client.hpp"
#include "tftp_test_util.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(TftpTest, ASilentRegisterGivesUpAfterThreeRequests) {
    start([&](PeerIo& io) {
        while (io.recv(4000)) {
        }
    });
    const auto t0 = Clock::now();
    EXPECT_EQ(ecr_tftp_get(register_, path("F.BIN").c_str()), ERR_TIMEOUT);
    const double took = seconds_since(t0);
    EXPECT_GT(took, 8.5);
    EXPECT_LT(took, 11.0);
    EXPECT_EQ(sent_by_client(), Lines(3, "RRQ F.BIN octet"));
    EXPECT_FALSE(std::filesystem::exists(path("F.BIN")));
    int connects = 0;
    for (const auto& line : trace())
        connects += line.find("tftp-get connect  :") != std::string::npos;
    EXPECT_EQ(connects, 3);
}

TEST_F(TftpTest, TheTimeOutBudgetIsNotRenewedByProgress) {
    // One answer lost early, three late: the fourth time-out after the start
    // ends the transfer although blocks arrived in between.
    const Bytes block = pattern_bytes(512);
    start([&](PeerIo& io) {
        io.recv();
        io.send(tftp_data(1, block));
        io.recv();  // ACK 1 ... "lost": no answer
        io.recv();  // ACK 1 again after 5 s
        io.send(tftp_data(2, block));
        io.send(tftp_data(3, block));
        for (int i = 0; i < 4; ++i) io.recv(6000);  // ACKs 2, 3 and the resends
    });
    EXPECT_EQ(ecr_tftp_get(register_, path("F.BIN").c_str()), ERR_TRANSFER_FAILED);
    EXPECT_EQ(sent_by_client(),
              (Lines{"RRQ F.BIN octet", "ACK 1", "ACK 1", "ACK 2", "ACK 3", "ACK 3", "ACK 3"}));
    EXPECT_FALSE(std::filesystem::exists(path("F.BIN")));
    EXPECT_TRUE(trace_has("tftp-get aborted  : pathname='" + path("F.BIN") + "' length='1536'"));
}

TEST_F(TftpTest, PutRetryHookResendsTheHeldBlockAfterTheTimeOut) {
    EnvVar retry("ECR_RETRY", "2");
    const Bytes content = pattern_bytes(1300, 4);
    write_file(path("F.BIN"), as_string(content));
    Bytes received;
    start([&](PeerIo& io) {
        io.recv();
        io.send(tftp_ack(0));
        for (;;) {
            auto data = io.recv(7000);
            if (!data) break;
            const Bytes payload = tftp_payload(*data);
            received.insert(received.end(), payload.begin(), payload.end());
            io.send(tftp_ack(tftp_block(*data)));
            if (payload.size() < 512) break;
        }
    });
    const auto t0 = Clock::now();
    EXPECT_EQ(ecr_tftp_put(register_, path("F.BIN").c_str()), 0);
    EXPECT_GT(seconds_since(t0), 4.5);
    EXPECT_EQ(sent_by_client(),
              (Lines{"WRQ F.BIN octet", "DATA 1 512", "DATA 2 512", "DATA 3 276"}));
    EXPECT_TRUE(same_bytes(as_string(received), as_string(content)));
    EXPECT_TRUE(trace_has("tftp-put retry    : block='2'"));
    EXPECT_TRUE(trace_has("tftp-put resend   : block='2' data_len='512'"));
}

TEST_F(TftpTest, IgnoredDatagramsDoNotExtendAWait) {
    // Datagrams the client ignores keep coming every half second; the wait
    // they interrupt still ends at its deadline. The peer counts what it sent
    // before the client's next try, and gives up sending after 40.
    const Bytes unknown{0, 9, 0, 1};
    {
        std::vector<int> sent_before;  // unknown datagrams before each request
        start([&](PeerIo& io) {
            int sent = 0;
            while (sent < 40 && sent_before.size() < 3) {
                if (io.recv(500)) {
                    sent_before.push_back(sent);
                } else if (!sent_before.empty()) {
                    io.send(unknown);
                    ++sent;
                }
            }
            while (io.recv(4000)) {
            }
        });
        EXPECT_EQ(ecr_tftp_get(register_, path("F.BIN").c_str()), ERR_TIMEOUT);
        sent_by_client();
        ASSERT_EQ(sent_before.size(), 3u);
        EXPECT_LT(sent_before[1], 20) << "the second request waited for the noise to stop";
    }
    {
        // A lost DATA 1 while the register repeats ACK 0.
        write_file(path("P.BIN"), as_string(pattern_bytes(700, 2)));
        int repeats = 0;
        start([&](PeerIo& io) {
            io.recv();
            io.send(tftp_ack(0));
            io.recv();  // DATA 1, lost
            while (repeats < 40) {
                if (io.recv(500)) break;  // DATA 1 again
                io.send(tftp_ack(0));
                ++repeats;
            }
            io.send(tftp_ack(1));
            take_rest(io);
        });
        EXPECT_EQ(ecr_tftp_put(register_, path("P.BIN").c_str()), 0);
        EXPECT_EQ(sent_by_client(),
                  (Lines{"WRQ P.BIN octet", "DATA 1 512", "DATA 1 512", "DATA 2 188"}));
        EXPECT_LT(repeats, 20) << "the resend waited for the repeated ACKs to stop";
    }
}

TEST_F(TftpTest, ALostAckOfTheClosingBlockIsRecoveredByResendingIt) {
    write_file(path("P.BIN"), as_string(pattern_bytes(1024, 5)));
    start([&](PeerIo& io) {
        io.recv();
        io.send(tftp_ack(0));
        for (int i = 0; i < 2; ++i) {
            auto data = io.recv();
            if (data) io.send(tftp_ack(tftp_block(*data)));
        }
        io.recv();      // the empty block 3: its ACK is lost
        io.recv(7000);  // the block again after the client's time-out
        io.send(tftp_ack(3));
        io.recv(300);
    });
    EXPECT_EQ(ecr_tftp_put(register_, path("P.BIN").c_str()), 0);
    EXPECT_EQ(sent_by_client(),
              (Lines{"WRQ P.BIN octet", "DATA 1 512", "DATA 2 512", "DATA 3 0", "DATA 3 0"}));
    EXPECT_TRUE(trace_has("tftp-put resend   : block='3' data_len='0'"));
}

TEST_F(TftpTest, AWaitStaysBoundedWhenTheTimeOutCannotBeSet) {
    SocketWithoutTimeouts sock;
    start([&](PeerIo& io) {
        while (io.recv(4000)) {
        }
    });
    EXPECT_EQ(ecr_tftp_get(sock, register_, path("F.BIN").c_str()), ERR_TIMEOUT);
    EXPECT_EQ(sent_by_client(), Lines(3, "RRQ F.BIN octet"));
    EXPECT_TRUE(trace_has("setsockopt fallita: esito='10022'"));
}

TEST_F(TftpTest, GetBeyondTheBlockLimitIsAborted) {
    // 65535 full blocks: the next block number would wrap.
    const Bytes block = pattern_bytes(512);
    start([&](PeerIo& io) {
        io.recv();
        for (std::uint32_t n = 1; n <= 65535; ++n) {
            io.send(tftp_data(static_cast<std::uint16_t>(n), block));
            if (!io.recv(2000)) break;
        }
        io.recv(300);
    });
    EXPECT_EQ(ecr_tftp_get(register_, path("F.BIN").c_str()), ERR_INVALID_FILESIZE);
    const auto& sent = sent_by_client();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), "ACK 65534") << "block 65535 is not acknowledged";
    EXPECT_FALSE(std::filesystem::exists(path("F.BIN")));
}

}  // namespace
}  // namespace veltra::test
