// The network channel against a scripted TCP peer (exact pieces and answers)
// and against ecrsim (readiness, host connection, the connection check).
#include "line/net_channel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#ifndef _WIN32
#include <fcntl.h>

#include "full_listener.hpp"
#endif
#include <string>
#include <thread>
#include <vector>

#include "line_fixture.hpp"
#include "sys/tcp.hpp"
#include "tcp_script.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

// A send link that records the pauses instead of sleeping.
class RecordingLink final : public NetPieceLink {
public:
    explicit RecordingLink(std::int32_t sock, std::uint32_t answer_wait = kLineAnswerWaitMs)
        : NetPieceLink(sock), answer_wait_(answer_wait) {}
    void pause_ms(std::uint32_t ms) override { pauses.push_back(ms); }
    std::uint32_t answer_wait_ms() const override { return answer_wait_; }
    std::vector<std::uint32_t> pauses;

private:
    std::uint32_t answer_wait_;
};

class NetChannel : public LineFixture {
protected:
    // Connects through the readiness check to a scripted peer.
    std::int32_t connect_to(ScriptedTcpPeer& peer) {
        use_line_port(peer.port());
        const std::int32_t sock = ecr_conn_xonxoff_ntw("127.0.0.1");
        EXPECT_GE(sock, 0);
        return sock;
    }
};

TEST_F(NetChannel, ThousandBytesGoOutAs512And488EachWithItsAnswer) {
    const std::string text(1000, 'A');
    std::vector<std::size_t> pieces;
    ScriptedTcpPeer peer([&](TcpPeerIo& io) {
        for (std::size_t n : {512u, 488u}) {
            if (!io.read(n)) return;
            pieces.push_back(n);
            // Nothing more may come before the answer.
            if (!io.read_some(100).empty()) return;
            io.send("\x06");
        }
        io.wait_for_end();
    });
    const std::int32_t sock = connect_to(peer);
    EXPECT_EQ(ecr_send_xonxoff_ntw(sock, text.c_str()), 0);
    EXPECT_EQ(ecr_disc_xonxoff_ntw(sock), 0);
    EXPECT_EQ(peer.finish(), text);
    EXPECT_EQ(pieces, (std::vector<std::size_t>{512, 488}));
    EXPECT_EQ(traced("printer response"), (std::vector<std::string>{
                                              "printer response: codice='06'",
                                              "printer response: codice='06'",
                                          }));
    EXPECT_EQ(traced("ecr_send_xonxoff_ntw -- begin").at(0),
              "ecr_send_xonxoff_ntw -- begin: sockid='" + std::to_string(sock) + "' string='" +
                  text + "' length='1000' ecr_v10_ntw='0'");
    EXPECT_EQ(traced("ecr_send_xonxoff_ntw -- end").at(0),
              "ecr_send_xonxoff_ntw -- end  : esito='0'");
}

// Each step is bytes the register sends, or "" for a piece it reads first.
struct AnswerCase {
    const char* name;
    int v10;
    std::vector<std::string> steps;
    int pieces;  // times the piece goes out
    std::vector<std::uint32_t> pauses;
};
void PrintTo(const AnswerCase& c, std::ostream* os) {
    *os << c.name;
}

class AnswerTable : public NetChannel, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTable, DecidesWhatTheSenderDoes) {
    const AnswerCase& c = GetParam();
    int pieces = 0;
    ScriptedTcpPeer peer([&](TcpPeerIo& io) {
        for (const std::string& step : c.steps) {
            if (!step.empty()) {
                io.send(step);
            } else if (io.read(3)) {
                ++pieces;
            } else {
                return;
            }
        }
        // A piece sent once more than scripted shows here.
        if (io.read(3, 300)) ++pieces;
    });
    const std::int32_t sock = connect_to(peer);
    ecr_v10_ntw = c.v10;
    RecordingLink link(sock);
    EXPECT_EQ(ntw_send(sock, "ABC", link), 0);
    peer.finish();
    EXPECT_EQ(pieces, c.pieces);
    EXPECT_EQ(link.pauses, c.pauses);
    ecr_disc_xonxoff_ntw(sock);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerTable,
    ::testing::Values(
        AnswerCase{"Ack", 0, {"", "\x06"}, 1, {}},
        AnswerCase{"NakWaitsASecond", 0, {"", "\x15", "", "\x06"}, 2, {1000}},
        AnswerCase{"BellWaitsATenth", 0, {"", "\x07", "", "\x06"}, 2, {100}},
        AnswerCase{"XonXoffSkipped", 0, {"", "\x11\x13\x06"}, 1, {}},
        AnswerCase{"DigitZeroIgnoredOnANewRegister", 0, {"", "0", "\x06"}, 1, {}},
        AnswerCase{"DigitOneIgnoredOnANewRegister", 0, {"", "1", "2", "\x06"}, 1, {}},
        AnswerCase{"DigitZeroAcceptsOnAV1Register", 1, {"", "0"}, 1, {}},
        AnswerCase{"DigitOneWaitsASecondOnAV1Register", 1, {"", "1", "", "0"}, 2, {1000}},
        AnswerCase{"DigitTwoWaitsATenthOnAV1Register", 1, {"", "2", "", "\x06"}, 2, {100}},
        AnswerCase{"StrayBytesThenNak", 0, {"", "AZ\x15", "", "\x06"}, 2, {1000}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NetChannel, APieceRefusedWithoutEndIsGivenUp) {
    int sent = 0;
    ScriptedTcpPeer peer([&](TcpPeerIo& io) {
        while (io.read(2, 2000)) {
            ++sent;
            io.send("\x07");
        }
    });
    const std::int32_t sock = connect_to(peer);
    RecordingLink link(sock);
    EXPECT_EQ(ntw_send(sock, "XY", link), ERR_TIMEOUT);
    ecr_disc_xonxoff_ntw(sock);
    peer.finish();
    EXPECT_EQ(sent, kLineResendMax + 1);
    EXPECT_EQ(link.pauses.size(), static_cast<std::size_t>(kLineResendMax));
}

TEST_F(NetChannel, ASilentRegisterEndsTheSendWithTimeout) {
    ScriptedTcpPeer peer([&](TcpPeerIo& io) {
        io.read(5);
        io.wait_for_end();
    });
    const std::int32_t sock = connect_to(peer);
    RecordingLink link(sock, 300);
    EXPECT_EQ(ntw_send(sock, "HELLO", link), ERR_TIMEOUT);
    ecr_disc_xonxoff_ntw(sock);
    EXPECT_EQ(peer.finish(), "HELLO");
}

TEST_F(NetChannel, StrayBytesDoNotExtendTheAnswerWait) {
    ScriptedTcpPeer peer([&](TcpPeerIo& io) {
        io.read(1);
        for (int i = 0; i < 40; ++i) {
            io.send("\x11");
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        io.wait_for_end();
    });
    const std::int32_t sock = connect_to(peer);
    RecordingLink link(sock, 300);
    EXPECT_EQ(ntw_send(sock, "Z", link), ERR_TIMEOUT);
    ecr_disc_xonxoff_ntw(sock);
    peer.finish();
}

// A register that sends 0x11 without pause while the library drops input.
struct FloodCase {
    const char* name;
    // Runs the call under the flood; returns its result.
    std::function<std::int32_t(std::int32_t sock)> call;
    std::int32_t result;
    std::string reaches_register;  // what the peer must have read
    std::uint32_t answer_wait_ms;  // the send's answer wait, 0 for a receive
};
void PrintTo(const FloodCase& c, std::ostream* os) {
    *os << c.name;
}

class AFloodingRegister : public NetChannel, public ::testing::WithParamInterface<FloodCase> {};

TEST_P(AFloodingRegister, HoldsTheCallNoLongerThanTheDrainLimit) {
    const FloodCase& c = GetParam();
    std::atomic<bool> done{false};
    const auto flood_end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    ScriptedTcpPeer peer([&](TcpPeerIo& io) {
        io.flood('\x11', [&] { return done || std::chrono::steady_clock::now() > flood_end; });
    });
    const std::int32_t sock = connect_to(peer);
    ASSERT_GE(sock, 0);
    // Let the flood fill the socket's buffers before the call starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.call(sock), c.result);
    const auto took = std::chrono::steady_clock::now() - start;
    done = true;
    ecr_disc_xonxoff_ntw(sock);
    EXPECT_EQ(peer.finish(), c.reaches_register);
    // Generous over the limits (a loaded machine, Wine), far under the
    // 30 s of flood the call would otherwise last.
    EXPECT_LT(took, std::chrono::milliseconds(kLineDrainMaxMs + c.answer_wait_ms + 8000));
}

INSTANTIATE_TEST_SUITE_P(Calls, AFloodingRegister,
                         ::testing::Values(FloodCase{"ReceiveDroppingInput",
                                                     [](std::int32_t sock) {
                                                         return ecr_recv_xonxoff_ntw(sock, nullptr,
                                                                                     0, 0);
                                                     },
                                                     0, "", 0},
                                           // The drain gives up on the flood and the piece goes
                                           // out; 0x11 is no answer, so the answer wait runs out.
                                           FloodCase{"SendGoesOnAndWaitsForItsAnswer",
                                                     [](std::int32_t sock) {
                                                         RecordingLink link(sock, 500);
                                                         return ntw_send(sock, "PIECE", link);
                                                     },
                                                     ERR_TIMEOUT, "PIECE", 500}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(NetChannel, StaleInputIsDroppedBeforeASend) {
    ScriptedTcpPeer peer([&](TcpPeerIo& io) {
        io.send("\x15\x06");  // answers nobody asked for
        if (!io.read(2)) return;
        io.send("\x07");
        if (!io.read(2)) return;
        io.send("\x06");
    });
    const std::int32_t sock = connect_to(peer);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    RecordingLink link(sock);
    EXPECT_EQ(ntw_send(sock, "OK", link), 0);
    EXPECT_EQ(link.pauses, (std::vector<std::uint32_t>{100}));
    ecr_disc_xonxoff_ntw(sock);
    EXPECT_EQ(peer.finish(), "OKOK");
}

TEST_F(NetChannel, ARegisterClosingMidSendGivesConnectClosedWithoutASignal) {
    ScriptedTcpPeer peer([&](TcpPeerIo& io) {
        io.read(512);
        io.close();
    });
    const std::int32_t sock = connect_to(peer);
    const std::string text(3000, 'B');
    EXPECT_EQ(ecr_send_xonxoff_ntw(sock, text.c_str()), ERR_CONNECT_CLOSED);
    peer.finish();
    // The connection is gone: sending again fails (EPIPE), and the host lives on.
    EXPECT_EQ(ecr_send_xonxoff_ntw(sock, text.c_str()), ERR_CONNECT_CLOSED);
    EXPECT_EQ(ecr_send_xonxoff_ntw(sock, text.c_str()), ERR_CONNECT_CLOSED);
    EXPECT_FALSE(traced("send fallita").empty() && traced("recv fallita").empty());
    EXPECT_EQ(ecr_disc_xonxoff_ntw(sock), 0);
}

TEST_F(NetChannel, AnEmptyStringSendsNothing) {
    ScriptedTcpPeer peer([&](TcpPeerIo& io) { io.wait_for_end(); });
    const std::int32_t sock = connect_to(peer);
    EXPECT_EQ(ecr_send_xonxoff_ntw(sock, ""), 0);
    EXPECT_EQ(ecr_send_xonxoff_ntw(sock, nullptr), ECR_ERR_PARAMETRI);
    ecr_disc_xonxoff_ntw(sock);
    EXPECT_EQ(peer.finish(), "");
}

TEST_F(NetChannel, FirstDataModeReturnsWithTheFirstRead) {
    ScriptedTcpPeer peer([&](TcpPeerIo& io) {
        io.send("HELLO");
        io.wait_for_end();
    });
    const std::int32_t sock = connect_to(peer);
    char buf[16] = {};
    EXPECT_EQ(ecr_recv_xonxoff_ntw(sock, buf, 3, 5), 3);
    EXPECT_EQ(std::string(buf, 3), "HEL");
    EXPECT_EQ(ecr_recv_xonxoff_ntw(sock, buf, sizeof buf, 5), 2);
    EXPECT_EQ(std::string(buf, 2), "LO");
    EXPECT_EQ(traced("ecr_recv_xonxoff_ntw -- end").back(),
              "ecr_recv_xonxoff_ntw -- end  : esito='2' length='2'");
    ecr_disc_xonxoff_ntw(sock);
    peer.finish();
}

TEST_F(NetChannel, FillModeCollectsExactlyTheBytesAskedFor) {
    ScriptedTcpPeer peer([&](TcpPeerIo& io) {
        io.send("ABCDE");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        io.send("FGHIJKL");
        io.wait_for_end();
    });
    const std::int32_t sock = connect_to(peer);
    char buf[10] = {};
    EXPECT_EQ(ecr_recv_xonxoff_ntw(sock, buf, -10, 5), 10);
    EXPECT_EQ(std::string(buf, 10), "ABCDEFGHIJ");
    ecr_disc_xonxoff_ntw(sock);
    peer.finish();
}

TEST_F(NetChannel, BuflenZeroDropsPendingInput) {
    ScriptedTcpPeer peer([&](TcpPeerIo& io) {
        io.send("OLD");
        if (io.read(1)) io.send("NEW");
        io.wait_for_end();
    });
    const std::int32_t sock = connect_to(peer);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(ecr_recv_xonxoff_ntw(sock, nullptr, 0, 0), 0);
    // Tell the peer to go on: its "NEW" is all there is now.
    const std::uint8_t go = '!';
    sys::tcp_send(sock, std::span<const std::uint8_t>(&go, 1));
    char buf[16] = {};
    EXPECT_EQ(ecr_recv_xonxoff_ntw(sock, buf, sizeof buf, 5), 3);
    EXPECT_EQ(std::string(buf, 3), "NEW");
    ecr_disc_xonxoff_ntw(sock);
    peer.finish();
}

TEST_F(NetChannel, TheRegisterClosingMidReceiveDropsTheBytesStored) {
    ScriptedTcpPeer peer([&](TcpPeerIo& io) {
        io.send("12345");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        io.close();
    });
    const std::int32_t sock = connect_to(peer);
    char buf[20] = {};
    EXPECT_EQ(ecr_recv_xonxoff_ntw(sock, buf, -20, 5), ERR_CONNECT_CLOSED);
    peer.finish();
    ASSERT_EQ(traced("recv fallita").size(), 1u);
    EXPECT_EQ(traced("recv fallita")[0].find("recv fallita: esito='"), 0u);
    EXPECT_NE(traced("recv fallita")[0].find("' length='5'"), std::string::npos);
    ecr_disc_xonxoff_ntw(sock);
}

TEST_F(NetChannel, AReceiveWithoutBufferIsRefused) {
    ScriptedTcpPeer peer([&](TcpPeerIo& io) { io.wait_for_end(); });
    const std::int32_t sock = connect_to(peer);
    EXPECT_EQ(ecr_recv_xonxoff_ntw(sock, nullptr, 10, 1), ECR_ERR_PARAMETRI);
    ecr_disc_xonxoff_ntw(sock);
    peer.finish();
}

struct FileCase {
    const char* name;
    std::size_t size;
    std::vector<std::size_t> blocks;   // pieces as the register reads them
    std::vector<std::size_t> lengths;  // texts handed to the send
};
void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

class FileBlocks : public NetChannel, public ::testing::WithParamInterface<FileCase> {};

TEST_P(FileBlocks, GoOutInBlocksOf1024) {
    const FileCase& c = GetParam();
    std::string content;
    for (std::size_t i = 0; i < c.size; ++i) content += static_cast<char>('a' + i % 26);
    write_file(work_.file("text.txt"), content);
    std::vector<std::size_t> blocks;
    ScriptedTcpPeer peer([&](TcpPeerIo& io) {
        for (;;) {
            const std::string got = io.read_some(1000);
            if (got.empty()) return;
            blocks.push_back(got.size());
            io.send("\x06");
        }
    });
    const std::int32_t sock = connect_to(peer);
    EXPECT_EQ(ecr_file_xonxoff_ntw(sock, work_.file("text.txt").c_str()), 0);
    ecr_disc_xonxoff_ntw(sock);
    EXPECT_EQ(peer.finish(), content);
    EXPECT_EQ(blocks, c.blocks);
    EXPECT_EQ(traced("ecr_file_xonxoff_ntw -- begin").at(0),
              "ecr_file_xonxoff_ntw -- begin: sockid='" + std::to_string(sock) + "' filename='" +
                  work_.file("text.txt") + "' size='" + std::to_string(c.size) + "'");
    std::vector<std::size_t> lengths;
    for (const std::string& l : traced("ecr_send_xonxoff_ntw -- begin")) {
        const std::size_t at = l.find("length='") + 8;
        lengths.push_back(std::stoul(l.substr(at, l.find('\'', at) - at)));
    }
    EXPECT_EQ(lengths, c.lengths);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FileBlocks,
    ::testing::Values(FileCase{"Small", 10, {10}, {10}},
                      FileCase{"OneBlock", 1024, {512, 512}, {1024}},
                      FileCase{"Of2500", 2500, {512, 512, 512, 512, 452}, {1024, 1024, 452}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NetChannel, ANulInAFileEndsItsBlock) {
    write_file(work_.file("zero_byte.txt"), std::string("AB\0CD", 5));
    ScriptedTcpPeer peer([&](TcpPeerIo& io) {
        if (io.read(2)) io.send("\x06");
        io.wait_for_end();
    });
    const std::int32_t sock = connect_to(peer);
    EXPECT_EQ(ecr_file_xonxoff_ntw(sock, work_.file("zero_byte.txt").c_str()), 0);
    ecr_disc_xonxoff_ntw(sock);
    EXPECT_EQ(peer.finish(), "AB");
}

TEST_F(NetChannel, FilesThatCannotBeSent) {
    ScriptedTcpPeer peer([&](TcpPeerIo& io) { io.wait_for_end(); });
    const std::int32_t sock = connect_to(peer);
    write_file(work_.file("empty.txt"), "");
    EXPECT_EQ(ecr_file_xonxoff_ntw(sock, work_.file("empty.txt").c_str()), ERR_INVALID_FILESIZE);
    EXPECT_EQ(ecr_file_xonxoff_ntw(sock, work_.file("missing.txt").c_str()), ERR_FILE_NOT_FOUND);
    EXPECT_EQ(ecr_file_xonxoff_ntw(sock, work_.path().string().c_str()), ERR_FILE_NOT_FOUND);
    EXPECT_EQ(ecr_file_xonxoff_ntw(sock, nullptr), ERR_FILE_NOT_FOUND);
    ecr_disc_xonxoff_ntw(sock);
    EXPECT_EQ(peer.finish(), "");
}

TEST_F(NetChannel, ConnectIsRefusedWhileTheRegisterServesAHost) {
    const std::int32_t first = ecr_conn_xonxoff_ntw("127.0.0.1");
    ASSERT_GE(first, 0);
    ASSERT_TRUE(reg_->wait_for(
        [](const ecrsim::Transcript& t) {
            return std::any_of(t.lines.begin(), t.lines.end(), [](const std::string& l) {
                return l.find("line: connection from") != std::string::npos;
            });
        },
        std::chrono::seconds(5)));
    // ecrsim counts the open connection in entry 15 once its loop has seen it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(ecr_conn_xonxoff_ntw("127.0.0.1"), ERR_CONNECT_GIA_IN_CORSO);
    EXPECT_EQ(ecr_disc_xonxoff_ntw(first), 0);
    reg_->set_info_field(15, "3");
    EXPECT_EQ(ecr_conn_xonxoff_ntw("127.0.0.1"), ERR_CONNECT_GIA_IN_CORSO);
    EXPECT_EQ(traced("ecr_conn_xonxoff_ntw -- end").back(),
              "ecr_conn_xonxoff_ntw -- end  : sockid='ERR_CONNECT_GIA_IN_CORSO'");
}

TEST_F(NetChannel, ConnectNeedsAReadyRegister) {
    reg_->set_setup_mode(true);
    EXPECT_EQ(ecr_conn_xonxoff_ntw("127.0.0.1"), ERR_REG_NON_DISP);
    reg_->set_setup_mode(false);
    reg_->set_error_state(true);
    EXPECT_EQ(ecr_conn_xonxoff_ntw("127.0.0.1"), ERR_REG_IN_ERRORE);
}

TEST_F(NetChannel, ConnectFailsWhenNothingListens) {
    std::uint16_t closed_port = 0;
    {
        std::string error;
        ecrsim::net::Socket s =
            ecrsim::net::tcp_listen(*ecrsim::net::parse_ipv4("127.0.0.1"), 0, error);
        closed_port = ecrsim::net::local_port(s);
    }
    use_line_port(closed_port);
    EXPECT_EQ(ecr_conn_xonxoff_ntw("127.0.0.1"), ERR_CONNECT_FAILED);
    ASSERT_EQ(traced("connect fallita").size(), 1u);
    EXPECT_EQ(traced("connect fallita")[0].find("connect fallita: ip_address='127.0.0.1' esito='"),
              0u);
}

#ifndef _WIN32
TEST_F(NetChannel, ConnectGivesUpOnARegisterThatTakesNoConnection) {
    FullListener full;
    ASSERT_TRUE(full.full()) << "the kernel took every connection: nothing to wait on";
    use_line_port(full.port());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ntw_connect("127.0.0.1", 500), ERR_CONNECT_FAILED);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(450));
    EXPECT_LT(took, std::chrono::seconds(8));
    ASSERT_EQ(traced("connect fallita").size(), 1u);
    EXPECT_EQ(traced("connect fallita")[0],
              "connect fallita: ip_address='127.0.0.1' esito='" + std::to_string(ETIMEDOUT) + "'");
}
#endif

TEST_F(NetChannel, TheLastConnectDecidesTheDigitAnswers) {
    ecr_v10_ntw = 0;
    reg_->set_layout({ecrsim::Generation::Old, 'L'}, false);
    const std::int32_t old_one = ecr_conn_xonxoff_ntw("127.0.0.1");
    ASSERT_GE(old_one, 0);
    EXPECT_EQ(ecr_v10_ntw, 1);
    // The old register answers "0"; the flag makes it count.
    EXPECT_EQ(ecr_send_xonxoff_ntw(old_one, "V1 TEXT"), 0);
    ecr_disc_xonxoff_ntw(old_one);
    // A failed connect leaves the flag alone.
    reg_->set_setup_mode(true);
    EXPECT_LT(ecr_conn_xonxoff_ntw("127.0.0.1"), 0);
    EXPECT_EQ(ecr_v10_ntw, 1);
    reg_->set_setup_mode(false);
    reg_->set_layout({ecrsim::Generation::Current, 'L'}, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::int32_t new_one = ecr_conn_xonxoff_ntw("127.0.0.1");
    ASSERT_GE(new_one, 0);
    EXPECT_EQ(ecr_v10_ntw, 0);
    ecr_disc_xonxoff_ntw(new_one);
}

TEST_F(NetChannel, EcrsimTakesPiecesAndSendsData) {
    reg_->script_line({{ecrsim::LineAnswer::Kind::Bytes, "\x13\x06"}});
    const std::int32_t sock = ecr_conn_xonxoff_ntw("127.0.0.1");
    ASSERT_GE(sock, 0);
    EXPECT_EQ(ecr_send_xonxoff_ntw(sock, "=K/PRINT"), 0);
    reg_->send_line_data("ANSWER");
    char buf[32] = {};
    EXPECT_EQ(ecr_recv_xonxoff_ntw(sock, buf, -6, 5), 6);
    EXPECT_EQ(std::string(buf, 6), "ANSWER");
    ecr_disc_xonxoff_ntw(sock);
    EXPECT_EQ(reg_->transcript().tcp_bytes[reg_->line_port()], "=K/PRINT");
}

// A socket of the test's own, connected to its own listener on loopback.
class HostSocket {
public:
    ~HostSocket() {
        for (std::int32_t id : spare_) sys::tcp_close(id);
        if (id_ >= 0) sys::tcp_close(id_);
    }
    // Opens sockets until one gets the number wanted, then connects it.
    bool open_as(std::int32_t wanted, std::uint16_t port) {
        for (int i = 0; i < 64 && id_ < 0; ++i) {
            int error = 0;
            const std::int32_t id = sys::tcp_open(error);
            if (id < 0) return false;
            if (id == wanted) {
                id_ = id;
            } else {
                spare_.push_back(id);
            }
        }
        return id_ >= 0 &&
               sys::tcp_connect(id_, *ecrsim::net::parse_ipv4("127.0.0.1"), port, 2000) == 0 &&
               sys::tcp_set_timeouts(id_, 2000, 2000) == 0;
    }
    std::int32_t id() const { return id_; }

private:
    std::int32_t id_ = -1;
    std::vector<std::int32_t> spare_;
};

TEST_F(NetChannel, CallsOnAClosedIdLeaveTheHostsSocketOfTheSameNumberAlone) {
    ScriptedTcpPeer peer([](TcpPeerIo& io) {
        io.send("!");
        io.wait_for_end();
    });
    std::string error;
    ecrsim::net::Socket listener =
        ecrsim::net::tcp_listen(*ecrsim::net::parse_ipv4("127.0.0.1"), 0, error);
    const std::int32_t sock = connect_to(peer);
    ASSERT_GE(sock, 0);
    // The peer has taken the connection: its own socket is not the number freed next.
    char hello = 0;
    EXPECT_EQ(ecr_recv_xonxoff_ntw(sock, &hello, 1, 5), 1);
    EXPECT_EQ(ecr_disc_xonxoff_ntw(sock), 0);
    peer.finish();

    // The host opens a socket of its own, which gets the number just freed.
    HostSocket own;
    if (!own.open_as(sock, ecrsim::net::local_port(listener))) {
        GTEST_SKIP() << "the system gave the freed number to no new socket";
    }
    const ecrsim::net::Socket* watch[] = {&listener};
    ASSERT_TRUE(ecrsim::net::wait_readable(watch, 2000)[0]);
    ecrsim::net::Endpoint from;
    ecrsim::net::Socket far = ecrsim::net::tcp_accept(listener, from);
    ASSERT_TRUE(far.valid());
    const std::string ping = "PING";
    ASSERT_TRUE(ecrsim::net::send_all(
        far, std::span(reinterpret_cast<const std::uint8_t*>(ping.data()), ping.size())));

    write_file(work_.file("text.txt"), "FILE");
    char buf[8] = {};
    EXPECT_EQ(ecr_disc_xonxoff_ntw(sock), 0);
    EXPECT_EQ(ecr_send_xonxoff_ntw(sock, "SEND"), ERR_CONNECT_CLOSED);
    EXPECT_EQ(ecr_file_xonxoff_ntw(sock, work_.file("text.txt").c_str()), ERR_CONNECT_CLOSED);
    EXPECT_EQ(ecr_recv_xonxoff_ntw(sock, buf, sizeof buf, 1), ERR_CONNECT_CLOSED);
    EXPECT_EQ(ecr_recv_xonxoff_ntw(sock, nullptr, 0, 0), ERR_CONNECT_CLOSED);

    // Still open, its input unread, and nothing written to it.
    std::uint8_t got[8] = {};
    const sys::TcpIo in = sys::tcp_recv(own.id(), got);
    ASSERT_EQ(in.status, sys::TcpStatus::kDone);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got), in.bytes), "PING");
    const std::uint8_t pong[] = {'P', 'O', 'N', 'G'};
    EXPECT_EQ(sys::tcp_send(own.id(), pong).status, sys::TcpStatus::kDone);
    const ecrsim::net::Socket* far_end[] = {&far};
    ASSERT_TRUE(ecrsim::net::wait_readable(far_end, 2000)[0]);
    bool closed = false;
    const long n = ecrsim::net::recv_some(far, got, closed);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got), static_cast<std::size_t>(n)), "PONG");
}

#ifndef _WIN32
TEST_F(NetChannel, DisconnectLeavesAnIdThatIsNoSocketAlone) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    const int fd = fileno(f);
    EXPECT_EQ(ecr_disc_xonxoff_ntw(fd), 0);
    EXPECT_GE(std::fputs("still open", f), 0);
    EXPECT_EQ(std::fflush(f), 0);
    EXPECT_NE(fcntl(fd, F_GETFD), -1);
    std::fclose(f);
}
#endif

}  // namespace
}  // namespace veltra::test

namespace veltra::test {
namespace {

// ecrsim's scripted answers, as --line-answers writes them, against the sender.
struct ScriptCase {
    const char* name;
    const char* answers;
    int v10;
    std::int32_t result;
    int copies;  // times the text reaches the register
    std::vector<std::uint32_t> pauses;
};
void PrintTo(const ScriptCase& c, std::ostream* os) {
    *os << c.name;
}

class EcrsimAnswers : public NetChannel, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(EcrsimAnswers, PaceTheSender) {
    const ScriptCase& c = GetParam();
    const auto answers = ecrsim::parse_line_answers(c.answers);
    ASSERT_TRUE(answers.has_value());
    reg_->script_line(*answers);
    const std::int32_t sock = ecr_conn_xonxoff_ntw("127.0.0.1");
    ASSERT_GE(sock, 0);
    ecr_v10_ntw = c.v10;
    RecordingLink link(sock, 500);
    EXPECT_EQ(ntw_send(sock, "TEXT", link), c.result);
    EXPECT_EQ(link.pauses, c.pauses);
    ecr_disc_xonxoff_ntw(sock);
    std::string expected;
    for (int i = 0; i < c.copies; ++i) expected += "TEXT";
    EXPECT_TRUE(reg_->wait_for(
        [&](const ecrsim::Transcript& t) {
            const auto it = t.tcp_bytes.find(reg_->line_port());
            return it != t.tcp_bytes.end() && it->second == expected;
        },
        std::chrono::seconds(2)));
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, EcrsimAnswers,
    ::testing::Values(ScriptCase{"NakBellAck", "15,07,06", 0, 0, 3, {1000, 100}},
                      ScriptCase{"DigitsOfAV1Register", "31,32,30", 1, 0, 3, {1000, 100}},
                      ScriptCase{"StrayBytesAroundTheAck", "11x13x06", 0, 0, 1, {}},
                      ScriptCase{"Close", "close", 0, ERR_CONNECT_CLOSED, 1, {}},
                      ScriptCase{"Silence", "silence", 0, ERR_TIMEOUT, 1, {}},
                      ScriptCase{"Stall", "stall", 0, ERR_TIMEOUT, 1, {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace veltra::test
