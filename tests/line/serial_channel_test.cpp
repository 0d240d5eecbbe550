// The serial channel on real pseudo-terminals: the line settings read back
// with tcgetattr, writes with and without echo, the receive modes, the port
// list and files.
#include "line/serial_channel.hpp"

#include <gtest/gtest.h>
#include <termios.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "line_fixture.hpp"
#include "pty_peer.hpp"
#include "serial_line.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

constexpr int kPort = 7;

class SerialChannel : public LineFixture {
protected:
    // Port kPort is the peer's line.
    void attach(const PtyPeer& peer, int port = kPort) {
        com_.push_back(
            std::make_unique<EnvVar>(("ECR_COM" + std::to_string(port)).c_str(), peer.path()));
    }
    void TearDown() override {
        ecr_disc_xonxoff_ser(kPort);
        LineFixture::TearDown();
    }
    std::vector<std::unique_ptr<EnvVar>> com_;
};

struct BaudCase {
    const char* name;
    std::int32_t index;
    speed_t speed;
};
void PrintTo(const BaudCase& c, std::ostream* os) {
    *os << c.name;
}

class LineSettings : public SerialChannel, public ::testing::WithParamInterface<BaudCase> {};

TEST_P(LineSettings, AreRaw8N1WithoutFlowControlAtTheIndexedSpeed) {
    PtyPeer peer;
    attach(peer);
    ASSERT_EQ(ecr_conn_xonxoff_ser(kPort, GetParam().index, 0), 0);
    termios t{};
    ASSERT_EQ(tcgetattr(peer.line_fd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), GetParam().speed);
    EXPECT_EQ(cfgetispeed(&t), GetParam().speed);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(ecr_disc_xonxoff_ser(kPort), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Speeds, LineSettings,
    ::testing::Values(BaudCase{"Baud4800", 0, B4800}, BaudCase{"Baud9600", 1, B9600},
                      BaudCase{"Baud19200", 2, B19200}, BaudCase{"Baud38400", 3, B38400},
                      BaudCase{"Baud57600", 4, B57600}, BaudCase{"Baud115200", 5, B115200}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SerialChannel, ABaudIndexOutOfRangeOpensNothingButSetsTheEchoFlag) {
    PtyPeer peer;
    attach(peer);
    ecr_ser_echo = 0;
    EXPECT_EQ(ecr_conn_xonxoff_ser(kPort, 6, 1), ECR_ERR_BAUD_NOT_VALID);
    EXPECT_EQ(ecr_ser_echo, 1);
    EXPECT_EQ(ecr_conn_xonxoff_ser(kPort, -1, 0), ECR_ERR_BAUD_NOT_VALID);
    EXPECT_EQ(ecr_ser_echo, 0);
    // Not open: a send reports the port.
    EXPECT_EQ(ecr_send_xonxoff_ser(kPort, "X"), ECR_ERR_PORT_NOT_VALID);
    EXPECT_EQ(traced("ecr_conn_xonxoff_ser -- end").at(0),
              "ecr_conn_xonxoff_ser -- end  : esito='ECR_ERR_BAUD_NOT_VALID'");
}

TEST_F(SerialChannel, PortsThatCannotBeOpened) {
    write_file(work_.file("plain"), "not a terminal");
    EnvVar missing("ECR_COM7", work_.file("missing"));
    EXPECT_EQ(ecr_conn_xonxoff_ser(kPort, 1, 0), ECR_ERR_PORT_NOT_VALID);
    EnvVar plain("ECR_COM7", work_.file("plain"));
    EXPECT_EQ(ecr_conn_xonxoff_ser(kPort, 1, 0), ECR_ERR_PORT_NOT_VALID);
    EXPECT_EQ(ecr_conn_xonxoff_ser(0, 1, 0), ECR_ERR_PORT_NOT_VALID);
    EXPECT_EQ(ecr_conn_xonxoff_ser(256, 1, 0), ECR_ERR_PORT_NOT_VALID);
}

TEST_F(SerialChannel, APortInUseIsRefused) {
    PtyPeer peer;
    attach(peer);
    attach(peer, 8);
    ASSERT_EQ(ecr_conn_xonxoff_ser(kPort, 1, 0), 0);
    EXPECT_EQ(ecr_conn_xonxoff_ser(8, 1, 0), ECR_ERR_PORT_NOT_VALID);
}

TEST_F(SerialChannel, WithoutEchoTheTextGoesOutInOneWriteAfterStaleInputIsDropped) {
    const std::string text(3000, 'T');
    PtyPeer peer([&](PtyIo& io) {
        io.write("STALE");
        if (io.read(3000)) io.write("NEW");
        while (!io.stopping()) io.read_some(20);
    });
    attach(peer);
    ASSERT_EQ(ecr_conn_xonxoff_ser(kPort, 5, 0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(ecr_send_xonxoff_ser(kPort, text.c_str()), 0);
    char buf[16] = {};
    EXPECT_EQ(ecr_recv_xonxoff_ser(kPort, buf, sizeof buf, 2), 3);
    EXPECT_EQ(std::string(buf, 3), "NEW");
    EXPECT_EQ(ecr_disc_xonxoff_ser(kPort), 0);
    EXPECT_EQ(peer.finish(), text);
    EXPECT_EQ(traced("ecr_send_xonxoff_ser -- begin").at(0),
              "ecr_send_xonxoff_ser -- begin: port='7' string='" + text + "' length='3000'");
}

TEST_F(SerialChannel, WithEchoAnEchoingRegisterLetsTheWholeTextThrough) {
    PtyPeer peer([](PtyIo& io) { io.echo_until_stopped(); });
    attach(peer);
    ASSERT_EQ(ecr_conn_xonxoff_ser(kPort, 5, 1), 0);
    EXPECT_EQ(ecr_send_xonxoff_ser(kPort, "=R1/$100"), 0);
    EXPECT_EQ(ecr_disc_xonxoff_ser(kPort), 0);
    EXPECT_EQ(peer.finish(), "=R1/$100");
}

TEST_F(SerialChannel, WithEchoOtherBytesBeforeTheEchoAreDropped) {
    PtyPeer peer([](PtyIo& io) {
        while (!io.stopping()) {
            const std::string got = io.read_some(20);
            for (char c : got) io.write(std::string("?") + c);
        }
    });
    attach(peer);
    ASSERT_EQ(ecr_conn_xonxoff_ser(kPort, 1, 1), 0);
    EXPECT_EQ(ecr_send_xonxoff_ser(kPort, "ABC"), 0);
    EXPECT_EQ(peer.finish(), "ABC");
}

TEST_F(SerialChannel, ReceiveModes) {
    PtyPeer peer([](PtyIo& io) {
        // Each step waits for a byte of the library's: connecting drops input.
        if (!io.read(1)) return;
        io.write("HELLO");
        if (!io.read(1)) return;
        io.write("ABCDE");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        io.write("FGHIJ");
        while (!io.stopping()) io.read_some(20);
    });
    attach(peer);
    ASSERT_EQ(ecr_conn_xonxoff_ser(kPort, 1, 0), 0);
    EXPECT_EQ(ecr_send_xonxoff_ser(kPort, "?"), 0);
    char buf[16] = {};
    EXPECT_EQ(ecr_recv_xonxoff_ser(kPort, buf, 2, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "HE");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(ecr_recv_xonxoff_ser(kPort, nullptr, 0, 0), 0);  // drops "LLO"
    EXPECT_EQ(ecr_send_xonxoff_ser(kPort, "!"), 0);
    EXPECT_EQ(ecr_recv_xonxoff_ser(kPort, buf, -10, 2), 10);
    EXPECT_EQ(std::string(buf, 10), "ABCDEFGHIJ");
    EXPECT_EQ(ecr_recv_xonxoff_ser(kPort, nullptr, 5, 1), ECR_ERR_PARAMETRI);
    EXPECT_EQ(traced("ecr_recv_xonxoff_ser -- end").at(0),
              "ecr_recv_xonxoff_ser -- end  : esito='2' length='2'");
}

TEST_F(SerialChannel, APortThatFailsIsClosed) {
    auto peer = std::make_unique<PtyPeer>();
    attach(*peer);
    ASSERT_EQ(ecr_conn_xonxoff_ser(kPort, 1, 0), 0);
    peer->hang_up();
    char buf[8];
    EXPECT_EQ(ecr_recv_xonxoff_ser(kPort, buf, sizeof buf, 0), ECR_ERR_PORT_NOT_VALID);
    // Closed by the failure: the port must be connected again.
    EXPECT_EQ(ecr_send_xonxoff_ser(kPort, "X"), ECR_ERR_PORT_NOT_VALID);
}

TEST_F(SerialChannel, TheListHoldsThePortsPresentInOrder) {
    // Every port points somewhere absent, then 1, 3 and 4 at real lines; 3
    // is held by an open of its own and still counts.
    std::vector<std::unique_ptr<EnvVar>> none;
    for (int n = 1; n <= 255; ++n) {
        none.push_back(std::make_unique<EnvVar>(("ECR_COM" + std::to_string(n)).c_str(),
                                                work_.file("absent" + std::to_string(n))));
    }
    PtyPeer one, three, four;
    attach(one, 1);
    attach(three, 3);
    attach(four, 4);
    ASSERT_EQ(ecr_conn_xonxoff_ser(3, 1, 0), 0);
    char list[ECR_PORT_LIST_BUFSIZE];
    EXPECT_EQ(ecr_enum_port_ser(list), 3);
    EXPECT_STREQ(list, "1,3,4");
    EXPECT_EQ(traced("ecr_enum_port_ser -- end").at(0),
              "ecr_enum_port_ser -- end  : count='3' string='1,3,4'");
    ecr_disc_xonxoff_ser(3);
}

TEST_F(SerialChannel, AtMostTenPortsAreListed) {
    std::vector<std::unique_ptr<EnvVar>> none;
    for (int n = 1; n <= 255; ++n) {
        none.push_back(std::make_unique<EnvVar>(("ECR_COM" + std::to_string(n)).c_str(),
                                                work_.file("absent" + std::to_string(n))));
    }
    std::vector<std::unique_ptr<PtyPeer>> peers;
    for (int n = 200; n < 212; ++n) {
        peers.push_back(std::make_unique<PtyPeer>());
        attach(*peers.back(), n);
    }
    char list[ECR_PORT_LIST_BUFSIZE];
    EXPECT_EQ(ecr_enum_port_ser(list), 10);
    EXPECT_STREQ(list, "200,201,202,203,204,205,206,207,208,209");
    for (auto& v : none) v.reset();
    EXPECT_EQ(ecr_enum_port_ser(nullptr), ECR_ERR_PARAMETRI);
}

TEST_F(SerialChannel, AFileOf2500BytesGoesOutInThreeBlocks) {
    std::string content;
    for (int i = 0; i < 2500; ++i) content += static_cast<char>('A' + i % 26);
    write_file(work_.file("receipt.txt"), content);
    PtyPeer peer([](PtyIo& io) {
        while (!io.stopping()) io.read_some(20);
    });
    attach(peer);
    ASSERT_EQ(ecr_conn_xonxoff_ser(kPort, 5, 0), 0);
    EXPECT_EQ(ecr_file_xonxoff_ser(kPort, work_.file("receipt.txt").c_str()), 0);
    EXPECT_EQ(ecr_disc_xonxoff_ser(kPort), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(peer.finish(), content);
    std::vector<std::string> lengths;
    for (const std::string& l : traced("ecr_send_xonxoff_ser -- begin")) {
        lengths.push_back(l.substr(l.rfind("length=")));
    }
    EXPECT_EQ(lengths,
              (std::vector<std::string>{"length='1024'", "length='1024'", "length='452'"}));
    write_file(work_.file("empty.txt"), "");
    EXPECT_EQ(ecr_file_xonxoff_ser(kPort, work_.file("empty.txt").c_str()), ERR_INVALID_FILESIZE);
    EXPECT_EQ(ecr_file_xonxoff_ser(kPort, work_.file("missing.txt").c_str()), ERR_FILE_NOT_FOUND);
}

TEST_F(SerialChannel, EcrsimPlaysAnEchoingLine) {
    ecrsim::SerialLine line({"", true, {}});
    EnvVar com("ECR_COM7", line.device());
    ASSERT_EQ(ecr_conn_xonxoff_ser(kPort, 1, 1), 0);
    EXPECT_EQ(ecr_send_xonxoff_ser(kPort, "=C1"), 0);
    line.send("DATA");
    char buf[8] = {};
    EXPECT_EQ(ecr_recv_xonxoff_ser(kPort, buf, -4, 2), 4);
    EXPECT_EQ(std::string(buf, 4), "DATA");
    EXPECT_EQ(ecr_disc_xonxoff_ser(kPort), 0);
    EXPECT_EQ(line.received(), "=C1");
}

}  // namespace
}  // namespace veltra::test

namespace veltra::test {
namespace {

// The session of README: the ecrsim program's serial line, found by the path
// it prints. The program ends itself (timeout) a few seconds later.
TEST_F(SerialChannel, TheEcrsimProgramPrintsItsLineAndEchoes) {
    const std::string log = work_.file("ecrsim.log");
    ASSERT_EQ(std::system(("(timeout 8 " + std::string(ECRSIM_PROGRAM) +
                           " --serial --serial-echo > " + log + " 2>&1 &)")
                              .c_str()),
              0);
    std::string device;
    for (int i = 0; i < 200 && device.empty(); ++i) {
        const std::string text = read_file(log);
        const std::string lead = "ecrsim: serial line on ";
        const std::size_t at = text.find(lead);
        if (at != std::string::npos && text.find(", echo on", at) != std::string::npos) {
            device = text.substr(at + lead.size(), text.find(',', at) - at - lead.size());
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
    ASSERT_FALSE(device.empty()) << read_file(log);
    EnvVar com("ECR_COM7", device);
    ASSERT_EQ(ecr_conn_xonxoff_ser(kPort, 1, 1), 0);
    EXPECT_EQ(ecr_send_xonxoff_ser(kPort, "=K"), 0);
    EXPECT_EQ(ecr_disc_xonxoff_ser(kPort), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_NE(read_file(log).find("serial: 1 bytes 'K', echoed"), std::string::npos)
        << read_file(log);
}

}  // namespace
}  // namespace veltra::test
