// Calls that wait out real seconds: the numsec limit, fill mode running out
// of time, the connection check every ten silent seconds, and the connect's
// own wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "line/net_channel.hpp"
#include "line_fixture.hpp"
#ifndef _WIN32
#include "full_listener.hpp"
#endif
#include "tcp_script.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

class NetChannelSlow : public LineFixture {
protected:
    std::size_t infos() const {
        const auto c = reg_->transcript().commands;
        return static_cast<std::size_t>(std::count(c.begin(), c.end(), "INFO"));
    }
};

TEST_F(NetChannelSlow, ASilentRegisterGivesZeroAfterNumsecAndTheChannelStaysOpen) {
    ScriptedTcpPeer peer([](TcpPeerIo& io) {
        if (io.read(4, 20000)) io.send("\x06");
        io.wait_for_end();
    });
    use_line_port(peer.port());
    const std::int32_t sock = ecr_conn_xonxoff_ntw("127.0.0.1");
    ASSERT_GE(sock, 0);
    char buf[8];
    EXPECT_EQ(ecr_recv_xonxoff_ntw(sock, buf, sizeof buf, 3), 0);
    EXPECT_EQ(ecr_send_xonxoff_ntw(sock, "MORE"), 0);
    ecr_disc_xonxoff_ntw(sock);
    EXPECT_EQ(peer.finish(), "MORE");
}

TEST_F(NetChannelSlow, FillModeOutOfTimeReportsNothing) {
    ScriptedTcpPeer peer([](TcpPeerIo& io) {
        io.send("0123456789");
        io.wait_for_end();
    });
    use_line_port(peer.port());
    const std::int32_t sock = ecr_conn_xonxoff_ntw("127.0.0.1");
    ASSERT_GE(sock, 0);
    char buf[20];
    EXPECT_EQ(ecr_recv_xonxoff_ntw(sock, buf, -20, 2), 0);
    EXPECT_EQ(traced("ecr_recv_xonxoff_ntw -- end").back(),
              "ecr_recv_xonxoff_ntw -- end  : esito='0' length='0'");
    ecr_disc_xonxoff_ntw(sock);
    peer.finish();
}

TEST_F(NetChannelSlow, TheConnectionCheckRunsAfterTenSilentSeconds) {
    const std::int32_t sock = ecr_conn_xonxoff_ntw("127.0.0.1");
    ASSERT_GE(sock, 0);
    const std::size_t before = infos();
    char buf[8];
    EXPECT_EQ(ecr_recv_xonxoff_ntw(sock, buf, sizeof buf, 12), 0);
    EXPECT_EQ(infos(), before + 1);
    ecr_disc_xonxoff_ntw(sock);
}

TEST_F(NetChannelSlow, TheCheckClosesAChannelTheRegisterNoLongerReports) {
    const std::int32_t sock = ecr_conn_xonxoff_ntw("127.0.0.1");
    ASSERT_GE(sock, 0);
    reg_->set_info_field(15, "0");
    char buf[8];
    EXPECT_EQ(ecr_recv_xonxoff_ntw(sock, buf, -8, 0), ERR_CONNECT_CLOSED);
    EXPECT_TRUE(reg_->wait_for(
        [](const ecrsim::Transcript& t) {
            return std::any_of(t.lines.begin(), t.lines.end(), [](const std::string& l) {
                return l.find("line: ") == 0 && l.find(" closed") != std::string::npos;
            });
        },
        std::chrono::seconds(5)));
    // The id stays the caller's until the disconnect.
    EXPECT_EQ(ecr_send_xonxoff_ntw(sock, "X"), ERR_CONNECT_CLOSED);
    EXPECT_EQ(ecr_disc_xonxoff_ntw(sock), 0);
}

#ifndef _WIN32
TEST_F(NetChannelSlow, ConnectGivesUpAfterItsWait) {
    FullListener full;
    ASSERT_TRUE(full.full()) << "the kernel took every connection: nothing to wait on";
    use_line_port(full.port());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ecr_conn_xonxoff_ntw("127.0.0.1"), ERR_CONNECT_FAILED);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(kLineConnectWaitMs - 100));
    // The system alone would retry for two minutes.
    EXPECT_LT(took, std::chrono::milliseconds(kLineConnectWaitMs + 10000));
    EXPECT_EQ(traced("ecr_conn_xonxoff_ntw -- end").back(),
              "ecr_conn_xonxoff_ntw -- end  : sockid='ERR_CONNECT_FAILED'");
}
#endif

}  // namespace
}  // namespace veltra::test
