// The owned stream socket of the platform layer against a scripted peer:
// what goes out and comes back, and that the socket closes when its owner
// goes, moved or not.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <thread>

#include "sys/sockets.hpp"
#include "sys/tcp.hpp"
#include "tcp_script.hpp"

namespace veltra::test {
namespace {

constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1, network order

std::span<const std::uint8_t> bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

class TcpStreamTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(sys::sockets_start(), 0); }
    void TearDown() override { sys::sockets_stop(); }
};

TEST_F(TcpStreamTest, SendsAllAndReceivesThePeersAnswer) {
    ScriptedTcpPeer peer([](TcpPeerIo& io) {
        if (io.read(5)) io.send("world");
        io.wait_for_end();
    });
    sys::TcpStream s;
    ASSERT_EQ(s.connect(kLoopback, peer.port(), 2000), 0);
    ASSERT_TRUE(s.valid());
    ASSERT_EQ(s.set_timeouts(5000, 5000), 0);
    const sys::TcpIo out = s.send(bytes("hello"));
    EXPECT_EQ(out.status, sys::TcpStatus::kDone);
    EXPECT_EQ(out.bytes, 5u);
    std::string got;
    std::uint8_t buf[16];
    while (got.size() < 5) {
        const sys::TcpIo in = s.recv(buf);
        ASSERT_EQ(in.status, sys::TcpStatus::kDone);
        got.append(reinterpret_cast<const char*>(buf), in.bytes);
    }
    EXPECT_EQ(got, "world");
    s.reset();
    EXPECT_FALSE(s.valid());
    EXPECT_EQ(peer.finish(), "hello");
}

TEST_F(TcpStreamTest, AQuietPeerGivesATimedOutReceive) {
    ScriptedTcpPeer peer([](TcpPeerIo& io) { io.wait_for_end(); });
    sys::TcpStream s;
    ASSERT_EQ(s.connect(kLoopback, peer.port(), 2000), 0);
    ASSERT_EQ(s.set_timeouts(100, 1000), 0);
    std::uint8_t buf[4];
    EXPECT_EQ(s.recv(buf).status, sys::TcpStatus::kTimedOut);
}

TEST_F(TcpStreamTest, ARefusedConnectLeavesNoSocket) {
    // A port just freed: nothing listens there.
    std::uint16_t port = 0;
    {
        ScriptedTcpPeer gone([](TcpPeerIo&) {});
        port = gone.port();
        sys::TcpStream s;
        ASSERT_EQ(s.connect(kLoopback, port, 2000), 0);
        gone.finish();
    }
    sys::TcpStream s;
    EXPECT_NE(s.connect(kLoopback, port, 2000), 0);
    EXPECT_FALSE(s.valid());
    EXPECT_EQ(s.id(), -1);
}

// The peer sees the end of the connection when the stream that owns it
// goes, and not before: a moved-from stream closes nothing.
struct EndCase {
    const char* name;
    bool moved;  // handed to a stream that outlives the first
};

class TcpStreamEnd : public TcpStreamTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(TcpStreamEnd, ThePeerSeesTheEndWhenTheLastOwnerGoes) {
    std::atomic<bool> looked{false};
    bool ended_early = false;
    bool ended = false;
    ScriptedTcpPeer peer([&](TcpPeerIo& io) {
        ended_early = io.wait_for_end(500);
        looked = true;
        ended = ended_early || io.wait_for_end(5000);
    });
    {
        sys::TcpStream outer;
        {
            sys::TcpStream s;
            ASSERT_EQ(s.connect(kLoopback, peer.port(), 2000), 0);
            if (GetParam().moved) outer = std::move(s);
            EXPECT_FALSE(GetParam().moved && s.valid());
        }
        EXPECT_EQ(outer.valid(), GetParam().moved);
        // The outer stream stays until the peer has had its look.
        while (!looked) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    peer.finish();
    EXPECT_EQ(ended_early, !GetParam().moved);
    EXPECT_TRUE(ended);
}

INSTANTIATE_TEST_SUITE_P(Owners, TcpStreamEnd,
                         ::testing::Values(EndCase{"Kept", false}, EndCase{"Moved", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace veltra::test
