// Host resolution: which texts go to the name service, which to the dotted
// parser, and what each failure returns.
#include "net/resolve.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "frame/library_frame.hpp"
#include "net/endpoints.hpp"
#include "platform_traits.hpp"
#include "test_support.hpp"
#include "udp_script.hpp"
#include "veltra.h"

namespace {

using veltra::kNoAddress;
using veltra::test::EnvVar;
using veltra::test::ipv4;
using veltra::test::TempDir;

// A scripted name service: records the names asked and gives one answer.
std::vector<std::string> g_asked;
int g_answer_error = 0;

int scripted_lookup(const char* name, std::uint32_t& addr) {
    g_asked.push_back(name);
    if (g_answer_error != 0) return g_answer_error;
    addr = ipv4(192, 0, 2, 7);
    return 0;
}

class ResolveTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_asked.clear();
        g_answer_error = 0;
        saved_ = veltra::esito_sock();
        veltra::set_esito_sock(0);
    }
    void TearDown() override { veltra::set_esito_sock(saved_); }

    std::int32_t resolve(const char* host, std::uint32_t& addr) {
        return veltra::ecr_resolve_host(host, addr, scripted_lookup);
    }

    int saved_ = -1;
};

TEST_F(ResolveTest, DefaultHostStandsForEmptyAndAtTexts) {
    for (const char* host : {"", "@", "@anything", "@127.0.0.1"}) {
        g_asked.clear();
        std::uint32_t addr = 0;
        EXPECT_EQ(resolve(host, addr), 0) << host;
        EXPECT_EQ(g_asked, std::vector<std::string>{veltra::kDefaultHostName}) << host;
        EXPECT_EQ(addr, ipv4(192, 0, 2, 7));
    }
    EXPECT_TRUE(std::isalpha(static_cast<unsigned char>(veltra::kDefaultHostName[0])));
}

TEST_F(ResolveTest, NullHostIsTheDefaultHost) {
    std::uint32_t addr = 0;
    EXPECT_EQ(resolve(nullptr, addr), 0);
    EXPECT_EQ(g_asked, std::vector<std::string>{veltra::kDefaultHostName});
}

TEST_F(ResolveTest, NamesGoToTheNameServiceAndNothingElseDoes) {
    std::uint32_t addr = 0;
    EXPECT_EQ(resolve("Cassa-2", addr), 0);
    EXPECT_EQ(resolve("zeta", addr), 0);
    EXPECT_EQ(resolve("192.0.2.20", addr), 0);
    EXPECT_EQ(addr, ipv4(192, 0, 2, 20));
    EXPECT_EQ(resolve("3com-reg", addr), ERR_INVALID_IP_ADDRESS);
    EXPECT_EQ(resolve("_host", addr), ERR_INVALID_IP_ADDRESS);
    EXPECT_EQ(g_asked, (std::vector<std::string>{"Cassa-2", "zeta"}));
}

TEST_F(ResolveTest, ZeroAndAllOnesAreNoAddress) {
    for (const char* host : {"0.0.0.0", "0", "255.255.255.255", "0xffffffff", "1.2.3.999"}) {
        std::uint32_t addr = 0;
        EXPECT_EQ(resolve(host, addr), ERR_INVALID_IP_ADDRESS) << host;
    }
}

TEST_F(ResolveTest, TextsLongerThan31CharactersAreRefused) {
    // 31 characters still fit (a dotted address with padded zeros) ...
    std::uint32_t addr = 0;
    const std::string thirty_one = "127.0.0.00000000000000000000001";
    ASSERT_EQ(thirty_one.size(), 31u);
    EXPECT_EQ(resolve(thirty_one.c_str(), addr), 0);
    EXPECT_EQ(addr, ipv4(127, 0, 0, 1));
    // ... 32 do not, names included: a cut name would reach another host.
    const std::string long_name = "a" + std::string(31, 'b');
    EXPECT_EQ(resolve(long_name.c_str(), addr), ERR_INVALID_IP_ADDRESS);
    EXPECT_EQ(addr, kNoAddress);
    EXPECT_EQ(resolve(std::string(200, '1').c_str(), addr), ERR_INVALID_IP_ADDRESS);
    EXPECT_TRUE(g_asked.empty());
}

TEST_F(ResolveTest, NameServiceFailuresMapByKind) {
    std::uint32_t addr = 0;
    g_answer_error = veltra::sys::kNameErrorNoRecovery;
    EXPECT_EQ(resolve("cassa", addr), ERR_RETE_NON_DISP);
    EXPECT_EQ(addr, kNoAddress);
    g_answer_error = veltra::sys::kNameErrorNoRecovery + 1;
    EXPECT_EQ(resolve("cassa", addr), ERR_HOSTNAME_NON_RISOLTO);
    EXPECT_EQ(addr, kNoAddress);
}

TEST_F(ResolveTest, AFailedLookupIsTraced) {
    TempDir dir;
    const std::string saved_dir = veltra::dirname();
    veltra::set_dirname(dir.path().string());
    {
        EnvVar on("ECR_TRACE", "1");
        g_answer_error = veltra::sys::kNameErrorNoRecovery;
        std::uint32_t addr = 0;
        resolve("cassa", addr);
    }
    veltra::set_dirname(saved_dir);
    const auto lines = veltra::test::read_lines(dir.file("ecrlog.txt"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(12), " gethostbyname fallita: esito='" +
                                       std::to_string(veltra::sys::kNameErrorNoRecovery) + "'");
}

TEST_F(ResolveTest, NothingResolvesWhileTheSocketLibraryIsNotStarted) {
    for (int state : {-1, 10091}) {
        veltra::set_esito_sock(state);
        std::uint32_t addr = 0;
        EXPECT_EQ(resolve("127.0.0.1", addr), ERR_SOCKET_LIBRARY);
        EXPECT_EQ(addr, kNoAddress);
        EXPECT_EQ(resolve("cassa", addr), ERR_SOCKET_LIBRARY);
        EXPECT_EQ(ecr_ping("127.0.0.1", 1), ERR_SOCKET_LIBRARY);
    }
    EXPECT_TRUE(g_asked.empty());
}

TEST_F(ResolveTest, ThePlatformNameService) {
    std::uint32_t addr = 0;
    EXPECT_EQ(veltra::ecr_resolve_host("localhost", addr), 0);
    EXPECT_EQ(addr, ipv4(127, 0, 0, 1));
    EXPECT_EQ(veltra::ecr_resolve_host("no-such-register.invalid", addr), ERR_HOSTNAME_NON_RISOLTO);
    EXPECT_EQ(addr, kNoAddress);
}

TEST(RegisterPorts, EnvironmentOverridesTheDefaults) {
    const struct {
        std::optional<std::string> value;
        std::uint16_t port;
    } cases[] = {
        {std::nullopt, 500}, {"6969", 6969}, {"1", 1},     {"65535", 65535}, {"0", 500},
        {"65536", 500},      {"", 500},      {"69x", 500}, {"-5", 500},      {" 69", 500},
    };
    for (const auto& c : cases) {
        EnvVar tftp("ECR_TFTP_PORT", c.value);
        EXPECT_EQ(veltra::tftp_port(), c.port) << c.value.value_or("(absent)");
    }
    EnvVar tftp("ECR_TFTP_PORT", "7000");
    EnvVar line("ECR_LINE_PORT", std::nullopt);
    EXPECT_EQ(veltra::line_port(), 1723);
    EnvVar line2("ECR_LINE_PORT", "17230");
    EXPECT_EQ(veltra::line_port(), 17230);
    EXPECT_EQ(veltra::tftp_port(), 7000);
}

}  // namespace
