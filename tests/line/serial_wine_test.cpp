// The Win32 serial code under Wine, on the pseudo-terminals that
// wine_serial_peer.py links into the prefix as COM5 (echoes), COM6 (reads,
// never echoes) and COM7 (sends ten bytes for every "!"). Without the peer
// (VELTRA_WINE_SERIAL unset) every case skips itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "sys/env.hpp"
#include "veltra.h"

namespace {

class WineSerial : public ::testing::Test {
protected:
    void SetUp() override {
        if (!veltra::sys::env_present("VELTRA_WINE_SERIAL")) GTEST_SKIP() << "no serial peer";
    }
};

TEST_F(WineSerial, TheListHoldsThePeersPortsInOrder) {
    char list[ECR_PORT_LIST_BUFSIZE] = {};
    const int32_t n = ecr_enum_port_ser(list);
    std::vector<int> ports;
    std::stringstream s(list);
    for (std::string item; std::getline(s, item, ',');) ports.push_back(std::stoi(item));
    EXPECT_EQ(static_cast<std::size_t>(n), ports.size());
    for (int want : {5, 6, 7}) {
        EXPECT_NE(std::find(ports.begin(), ports.end(), want), ports.end()) << list;
    }
    EXPECT_TRUE(std::is_sorted(ports.begin(), ports.end())) << list;
}

TEST_F(WineSerial, AnEchoingLineLetsTheWholeTextThrough) {
    ASSERT_EQ(ecr_conn_xonxoff_ser(5, 1, 1), 0);
    EXPECT_EQ(ecr_send_xonxoff_ser(5, "=R1/$100"), 0);
    EXPECT_EQ(ecr_disc_xonxoff_ser(5), 0);
}

TEST_F(WineSerial, AnEchoThatNeverComesEndsTheSend) {
    ASSERT_EQ(ecr_conn_xonxoff_ser(6, 1, 1), 0);
    EXPECT_EQ(ecr_send_xonxoff_ser(6, "AB"), ERR_TIMEOUT);
    EXPECT_EQ(ecr_disc_xonxoff_ser(6), 0);
}

TEST_F(WineSerial, ReceiveModes) {
    ASSERT_EQ(ecr_conn_xonxoff_ser(7, 5, 0), 0);
    EXPECT_EQ(ecr_send_xonxoff_ser(7, "!"), 0);
    char buf[16] = {};
    EXPECT_EQ(ecr_recv_xonxoff_ser(7, buf, -10, 3), 10);
    EXPECT_EQ(std::string(buf, 10), "ABCDEFGHIJ");
    // A silent line: one empty read of three seconds.
    EXPECT_EQ(ecr_recv_xonxoff_ser(7, buf, sizeof buf, 1), 0);
    EXPECT_EQ(ecr_recv_xonxoff_ser(7, nullptr, 0, 0), 0);
    EXPECT_EQ(ecr_disc_xonxoff_ser(7), 0);
}

TEST_F(WineSerial, APortWithoutDeviceIsNotValid) {
    EXPECT_EQ(ecr_conn_xonxoff_ser(200, 1, 0), ECR_ERR_PORT_NOT_VALID);
    EXPECT_EQ(ecr_conn_xonxoff_ser(5, 9, 0), ECR_ERR_BAUD_NOT_VALID);
}

}  // namespace
