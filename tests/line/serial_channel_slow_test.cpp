// Serial waits that run out in real time: an echo that never comes, and
// receives counted in empty three-second reads.
#include <gtest/gtest.h>

#include <string>

#include "line/serial_channel.hpp"
#include "line_fixture.hpp"
#include "pty_peer.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

class SerialChannelSlow : public LineFixture {
protected:
    void TearDown() override {
        ecr_disc_xonxoff_ser(9);
        LineFixture::TearDown();
    }
};

TEST_F(SerialChannelSlow, AnEchoThatNeverComesEndsTheSendAfterTheFirstByte) {
    PtyPeer peer([](PtyIo& io) {
        while (!io.stopping()) io.read_some(20);
    });
    EnvVar com("ECR_COM9", peer.path());
    ASSERT_EQ(ecr_conn_xonxoff_ser(9, 1, 1), 0);
    EXPECT_EQ(ecr_send_xonxoff_ser(9, "ABC"), ERR_TIMEOUT);
    EXPECT_EQ(peer.finish(), "A");
}

TEST_F(SerialChannelSlow, ASilentLineGivesZeroAfterNumsecEmptyReads) {
    PtyPeer peer([](PtyIo& io) {
        if (io.read(1)) io.write("12345");
        while (!io.stopping()) io.read_some(20);
    });
    EnvVar com("ECR_COM9", peer.path());
    ASSERT_EQ(ecr_conn_xonxoff_ser(9, 1, 0), 0);
    EXPECT_EQ(ecr_send_xonxoff_ser(9, "!"), 0);
    char buf[20];
    // Fill mode: the five bytes that came are not reported.
    EXPECT_EQ(ecr_recv_xonxoff_ser(9, buf, -20, 2), 0);
    EXPECT_EQ(traced("ecr_recv_xonxoff_ser -- end").back(),
              "ecr_recv_xonxoff_ser -- end  : esito='0' length='0'");
}

}  // namespace
}  // namespace veltra::test
