// veltra discover: the ranges it takes, what it reads from an INFO answer,
// and a loopback network of simulated registers, one listener that is not a
// register and silent addresses, of which exactly the registers are listed.
#include "discover.hpp"

#include <atomic>
#include <thread>

#include "net/dotted_address.hpp"
#include "sys/sockets.hpp"
#include "tool_fixture.hpp"
#include "udp_script.hpp"

namespace veltra::test {
namespace {

TEST(DiscoverRange, TakesUpToASlash22AndLeavesOutNetworkAndBroadcast) {
    const struct {
        const char* text;
        const char* first;  // nullptr: refused
        const char* last;
        std::uint32_t count;
    } cases[] = {
        {"192.168.1.0/24", "192.168.1.1", "192.168.1.254", 254},
        {"192.168.1.77/24", "192.168.1.1", "192.168.1.254", 254},
        {"10.0.4.0/22", "10.0.4.1", "10.0.7.254", 1022},
        {"127.0.0.0/26", "127.0.0.1", "127.0.0.62", 62},
        {"10.1.2.3/30", "10.1.2.1", "10.1.2.2", 2},
        {"10.1.2.3/31", "10.1.2.2", "10.1.2.3", 2},
        {"10.1.2.3/32", "10.1.2.3", "10.1.2.3", 1},
        {"10.0.0.0/21", nullptr, nullptr, 0},
        {"10.0.0.0/33", nullptr, nullptr, 0},
        {"10.0.0.0/-1", nullptr, nullptr, 0},
        {"10.0.0.0", nullptr, nullptr, 0},
        {"10.0.0.0/", nullptr, nullptr, 0},
        {"10.0.0.0/2x", nullptr, nullptr, 0},
        {"10.1/24", nullptr, nullptr, 0},
        {"0x0a000000/24", nullptr, nullptr, 0},
        {"10.0.0.256/24", nullptr, nullptr, 0},
        {"10.0.0.0 /24", nullptr, nullptr, 0},
        {"", nullptr, nullptr, 0},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto range = tool::parse_range(c.text, error);
        ASSERT_EQ(range.has_value(), c.first != nullptr) << c.text << ": " << error;
        if (!range) {
            EXPECT_FALSE(error.empty()) << c.text;
            continue;
        }
        EXPECT_EQ(range->count, c.count) << c.text;
        EXPECT_EQ(sys::dotted(tool::address_at(*range, 0)), c.first) << c.text;
        EXPECT_EQ(sys::dotted(tool::address_at(*range, range->count - 1)), c.last) << c.text;
    }
}

TEST(DiscoverInfo, OnlyARegistersAnswerCounts) {
    const std::string full =
        "VERSIONE=V5.02,TIPO_BITMAP=L,MATRICOLA=AB123,DATA=101226,ORA=101010,NUM_SCONTR=1,"
        "NUM_AZZ=1,TOT_GIORNO=0,NUM_FATT=0,SETUP=0,STATO=I,OPERATORE=1,CARTA=1,CASSETTO=0,"
        "OPERATIVO=1,HOST_CONN=0,ERRORE=0,IP=1.2.3.4,PORTA_TFTP=500,OCCUPATO=0,MEM_LIBERA=9,"
        "NOME_REL=R7";
    const struct {
        const char* name;
        std::string answer;
        const char* matricola;  // nullptr: not a register
        const char* release;
    } cases[] = {
        {"named fields", full, "AB123", "R7"},
        {"line end", full + "\r\n", "AB123", "R7"},
        {"serial by position", "V=V1.07,B=S,SN=AB999,D,E,F,G,H,I,J,K,L,M,N,O,P,Q,R,S,T,U,", "AB999",
         ""},
        {"too few fields", "VERSIONE=V5.02,TIPO_BITMAP=L,MATRICOLA=AB123", nullptr, nullptr},
        {"no version", "," + full.substr(full.find(',') + 1), nullptr, nullptr},
        {"empty", "", nullptr, nullptr},
        {"not text", std::string(600, '\x01'), nullptr, nullptr},
    };
    for (const auto& c : cases) {
        const auto found = tool::register_from_info("10.0.0.9", c.answer);
        ASSERT_EQ(found.has_value(), c.matricola != nullptr) << c.name;
        if (!found) continue;
        EXPECT_EQ(found->address, "10.0.0.9");
        EXPECT_EQ(found->matricola, c.matricola) << c.name;
        EXPECT_EQ(found->release, c.release) << c.name;
    }
    const auto found = tool::register_from_info("10.0.0.9", full);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->version, "V5.02");
    EXPECT_EQ(found->bitmap, "L");
}

// A UDP listener that is not a register: it answers every datagram with a
// few bytes of its own.
class Chatterbox {
public:
    Chatterbox(std::uint32_t addr_be, std::uint16_t port) {
        if (!sock_.bind(addr_be, port)) throw std::runtime_error("cannot bind the listener");
        thread_ = std::jthread([this](std::stop_token stop) {
            std::array<std::uint8_t, 1024> buf{};
            while (!stop.stop_requested()) {
                sys::Datagram got;
                int error = 0;
                if (sock_.recv_from(buf, 100, got, error) != sys::RecvStatus::kData) continue;
                ++heard;
                const std::uint8_t reply[] = {'h', 'e', 'l', 'l', 'o'};
                sock_.send_to(got.from_addr, got.from_port, reply);
            }
        });
    }
    std::atomic<int> heard{0};

private:
    sys::UdpSocket sock_;
    std::jthread thread_;
};

// Registers on several loopback addresses, all on one TFTP port, as a shop's
// registers all listen on 500.
class DiscoverNetwork : public ::testing::Test {
protected:
    ecrsim::Register& add(const std::string& address, const std::string& matricola) {
        ecrsim::Options o;
        o.address = address;
        o.state_dir = states_.emplace_back(std::make_unique<TempDir>())->path();
        o.tftp_port = port_;
        o.matricola = matricola;
        o.busy_ms = 0;
        regs_.push_back(std::make_unique<ecrsim::Register>(o));
        if (port_ == 0) {
            port_ = regs_.back()->tftp_port();
            port_var_ = std::make_unique<EnvVar>("ECR_TFTP_PORT", std::to_string(port_));
        }
        regs_.back()->clear_transcript();
        return *regs_.back();
    }

    std::uint16_t port_ = 0;
    std::unique_ptr<EnvVar> port_var_;
    std::vector<std::unique_ptr<TempDir>> states_;
    std::vector<std::unique_ptr<ecrsim::Register>> regs_;
};

TEST_F(DiscoverNetwork, ListsExactlyTheRegistersOfTheRange) {
    const std::vector<std::pair<std::string, std::string>> inside = {{"127.0.0.3", "SIM00000003"},
                                                                     {"127.0.0.9", "SIM00000009"},
                                                                     {"127.0.0.17", "SIM00000017"},
                                                                     {"127.0.0.33", "SIM00000033"},
                                                                     {"127.0.0.60", "SIM00000060"}};
    for (const auto& [address, matricola] : inside) add(address, matricola);
    ecrsim::Register& outside = add("127.0.0.70", "SIM00000070");
    std::uint32_t listener_addr = 0;
    ASSERT_TRUE(parse_dotted("127.0.0.40", listener_addr));
    Chatterbox listener(listener_addr, port_);

    const ToolRun r = run_tool({"discover", "127.0.0.0/26", "--json", "--timeout-ms", "700"});
    ASSERT_EQ(r.status, 0) << r.err;
    const ToolJson j = r.json();
    EXPECT_EQ(j["asked"], 62);
    ASSERT_EQ(j["registers"].size(), inside.size()) << r.out;
    for (std::size_t i = 0; i < inside.size(); ++i) {
        const ToolJson& found = j["registers"][i];
        EXPECT_EQ(found["address"], inside[i].first);
        EXPECT_EQ(found["matricola"], inside[i].second);
        EXPECT_EQ(found["version"], "V5.02");
        EXPECT_EQ(found["bitmap"], "L");
    }
    // Each register of the range was sent its INFO request and nothing else.
    for (std::size_t i = 0; i < inside.size(); ++i) {
        const ecrsim::Transcript t = regs_[i]->transcript();
        EXPECT_EQ(t.commands, std::vector<std::string>{"INFO"}) << inside[i].first;
        for (const auto& put : t.puts) EXPECT_EQ(put.name, "COMMAND.TXT");
    }
    EXPECT_TRUE(outside.transcript().commands.empty());
    EXPECT_GT(listener.heard.load(), 0);
}

TEST_F(DiscoverNetwork, TextListsEachRegisterAndSaysWhenNoneAnswered) {
    add("127.0.0.5", "SHOP1-REG1");
    ToolRun r = run_tool({"discover", "127.0.0.4/30", "--timeout-ms", "300"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("127.0.0.5"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("SHOP1-REG1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 register answered of 2 addresses asked"), std::string::npos) << r.out;

    r = run_tool({"discover", "127.0.0.8/30", "--timeout-ms", "300"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("no register answered in 127.0.0.8/30"), std::string::npos) << r.out;

    for (const char* wide : {"127.0.0.0/21", "127.0.0.0", "localhost/24"}) {
        r = run_tool({"discover", wide});
        EXPECT_EQ(r.status, 2) << wide;
        EXPECT_FALSE(r.err.empty()) << wide;
    }
    r = run_tool({"discover", "127.0.0.0/30", "--parallel", "0"});
    EXPECT_EQ(r.status, 2);
}

}  // namespace
}  // namespace veltra::test
