// ecr_ping and the echo exchange: scripted replies for the rules, the real
// kernel for the wire.
#include "net/ping.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "frame/library_frame.hpp"
#include "sys/icmp.hpp"
#include "test_support.hpp"
#include "udp_script.hpp"
#include "veltra.h"

namespace {

using veltra::sys::EchoReply;
using veltra::test::EnvVar;
using veltra::test::ipv4;
using veltra::test::TempDir;

std::uint32_t loopback() {
    return ipv4(127, 0, 0, 1);
}

EchoReply answered(std::uint32_t echoed) {
    return {1, 0, veltra::sys::kIcmpSuccess, echoed};
}
EchoReply silence() {
    return {0, static_cast<int>(veltra::sys::kIcmpRequestTimedOut),
            veltra::sys::kIcmpRequestTimedOut, 0};
}
EchoReply status(std::uint32_t s) {
    return {1, 0, s, 0};
}

// Answers each request from a script and records what was asked.
class ScriptedEcho final : public veltra::EchoChannel {
public:
    explicit ScriptedEcho(std::deque<EchoReply> script) : script_(std::move(script)) {}

    EchoReply send_echo(std::uint32_t addr, std::uint32_t seq, std::uint32_t timeout) override {
        addrs.push_back(addr);
        seqs.push_back(seq);
        timeouts.push_back(timeout);
        if (script_.empty()) return silence();
        EchoReply r = script_.front();
        script_.pop_front();
        return r;
    }

    std::vector<std::uint32_t> addrs, seqs, timeouts;

private:
    std::deque<EchoReply> script_;
};

class PingTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_dir_ = veltra::dirname();
        veltra::set_dirname(dir_.path().string());
    }
    void TearDown() override { veltra::set_dirname(saved_dir_); }

    std::vector<std::string> trace_events() const {
        // The event names without their timestamps.
        std::vector<std::string> events;
        for (const auto& line : veltra::test::read_lines(dir_.file("ecrlog.txt"))) {
            events.push_back(line.substr(13));
        }
        return events;
    }

    TempDir dir_;
    std::string saved_dir_;
    EnvVar trace_{"ECR_TRACE", "1"};
};

TEST_F(PingTest, FirstMatchingReplySucceeds) {
    ScriptedEcho echo({answered(1)});
    EXPECT_EQ(veltra::ecr_icmp_ping(echo, loopback(), 2), 0);
    EXPECT_EQ(echo.seqs, std::vector<std::uint32_t>{1});
    EXPECT_EQ(echo.timeouts, std::vector<std::uint32_t>{2000});
    EXPECT_EQ(echo.addrs, std::vector<std::uint32_t>{loopback()});
    EXPECT_EQ(trace_events(), (std::vector<std::string>{
                                  "icmp-ping send     : ip_address='127.0.0.1' seq_no='1'",
                                  "icmp-ping receive  : esito='1(0)' Status='0' seq_no='1'",
                                  "icmp-ping completed:",
                              }));
}

TEST_F(PingTest, AHostThatAnswersOnlyTheSecondRequest) {
    ScriptedEcho echo({silence(), answered(2)});
    EXPECT_EQ(veltra::ecr_icmp_ping(echo, loopback(), 1), 0);
    EXPECT_EQ(echo.seqs, (std::vector<std::uint32_t>{1, 2}));
    const auto events = trace_events();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0], "icmp-ping send     : ip_address='127.0.0.1' seq_no='1'");
    EXPECT_EQ(events[1], "icmp-ping receive  : esito='0(11010)' Status='11010' seq_no='0'");
    EXPECT_EQ(events[2], "icmp-ping send     : ip_address='127.0.0.1' seq_no='2'");
    EXPECT_EQ(events[4], "icmp-ping completed:");
}

TEST_F(PingTest, AStaleReplyIsALostTry) {
    // The answer to request 1 arrives while request 2 waits, then nothing.
    ScriptedEcho echo({silence(), answered(1), answered(1)});
    EXPECT_EQ(veltra::ecr_icmp_ping(echo, loopback(), 1), ERR_TIMEOUT);
    EXPECT_EQ(echo.seqs, (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(trace_events().back(), "icmp-ping aborted  :");
}

TEST_F(PingTest, SilenceGivesUpAfterThreeTries) {
    ScriptedEcho echo({});
    EXPECT_EQ(veltra::ecr_icmp_ping(echo, loopback(), 1), ERR_TIMEOUT);
    EXPECT_EQ(echo.seqs, (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(echo.timeouts, (std::vector<std::uint32_t>{1000, 1000, 1000}));
}

TEST_F(PingTest, DestinationUnreachableEndsAtOnce) {
    ScriptedEcho echo({status(veltra::sys::kIcmpDestHostUnreachable), answered(2)});
    EXPECT_EQ(veltra::ecr_icmp_ping(echo, loopback(), 1), ERR_RETE_NON_DISP);
    EXPECT_EQ(echo.seqs.size(), 1u);
    EXPECT_EQ(trace_events().back(), "icmp-ping error    :");
}

TEST_F(PingTest, OtherStatusesAreLostTries) {
    // A reply carrying the right number with a failure status does not count.
    EchoReply failed_with_data = {1, 0, veltra::sys::kIcmpDestNetUnreachable, 1};
    ScriptedEcho echo({failed_with_data, status(veltra::sys::kIcmpDestPortUnreachable),
                       status(veltra::sys::kIcmpGeneralFailure)});
    EXPECT_EQ(veltra::ecr_icmp_ping(echo, loopback(), 1), ERR_TIMEOUT);
    EXPECT_EQ(echo.seqs.size(), 3u);
}

TEST_F(PingTest, WaitPerTryFromNumsec) {
    const struct {
        std::int32_t numsec;
        std::uint32_t ms;
    } cases[] = {{0, 3000}, {-5, 3000}, {1, 1000}, {7, 7000}, {INT32_MAX, 0xFFFFFFFFu}};
    for (const auto& c : cases) {
        ScriptedEcho echo({answered(1)});
        veltra::ecr_icmp_ping(echo, loopback(), c.numsec);
        ASSERT_EQ(echo.timeouts.size(), 1u);
        EXPECT_EQ(echo.timeouts[0], c.ms) << c.numsec;
    }
}

TEST(PingKernel, LoopbackAnswers) {
    EXPECT_EQ(ecr_ping("127.0.0.1", 1), 0);
    EXPECT_EQ(ecr_ping("localhost", 1), 0);
    EXPECT_EQ(ecr_ping("127.1", 1), 0);
}

TEST(PingKernel, ThePlatformEchoCarriesTheSequenceNumber) {
    veltra::sys::IcmpEcho icmp;
    ASSERT_TRUE(icmp.is_open());
    for (std::uint32_t seq : {1u, 2u, 0x01020304u}) {
        const EchoReply r = icmp.send_echo(loopback(), seq, 1000);
        EXPECT_EQ(r.status, veltra::sys::kIcmpSuccess);
        EXPECT_EQ(r.replies, 1u);
        EXPECT_EQ(r.echoed, seq);
    }
}

TEST(PingKernel, InvalidAddressesNeverReachTheNetwork) {
    EXPECT_EQ(ecr_ping("0.0.0.0", 1), ERR_INVALID_IP_ADDRESS);
    EXPECT_EQ(ecr_ping("3com-reg", 1), ERR_INVALID_IP_ADDRESS);
    EXPECT_EQ(ecr_ping(std::string(200, 'a').c_str(), 1), ERR_INVALID_IP_ADDRESS);
}

}  // namespace
