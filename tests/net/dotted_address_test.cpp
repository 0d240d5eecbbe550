// The dotted parser: the classic forms it takes and the texts it refuses.
#include "net/dotted_address.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "udp_script.hpp"

namespace {

using veltra::test::ipv4;

TEST(DottedAddress, AcceptsTheClassicForms) {
    const struct {
        const char* text;
        std::uint32_t addr;
    } cases[] = {
        {"192.0.2.20", ipv4(192, 0, 2, 20)},
        {"127.1", ipv4(127, 0, 0, 1)},
        {"10.1.2", ipv4(10, 1, 0, 2)},
        {"10.1.513", ipv4(10, 1, 2, 1)},
        {"0x7f000001", ipv4(127, 0, 0, 1)},
        {"0X7F.1", ipv4(127, 0, 0, 1)},
        {"2130706433", ipv4(127, 0, 0, 1)},
        {"0177.0.0.01", ipv4(127, 0, 0, 1)},
        {"0", ipv4(0, 0, 0, 0)},
        {"255.255.255.255", ipv4(255, 255, 255, 255)},
        {"4294967295", ipv4(255, 255, 255, 255)},
        {"1.2.3.4 trailing", ipv4(1, 2, 3, 4)},
        {"1.2.3.4\t", ipv4(1, 2, 3, 4)},
    };
    for (const auto& c : cases) {
        std::uint32_t addr = 0xDEADBEEF;
        EXPECT_TRUE(veltra::parse_dotted(c.text, addr)) << c.text;
        EXPECT_EQ(addr, c.addr) << c.text;
    }
}

TEST(DottedAddress, RefusesWhatTheClassicParserRefuses) {
    for (const char* text : {"",           ".",
                             "1.",         "1..2",
                             ".1.2.3",     "1.2.3.4.5",
                             "256.1.1.1",  "1.256.1.1",
                             "1.2.256.1",  "1.2.3.256",
                             "1.2.65536",  "1.16777216",
                             "4294967296", "99999999999999999999",
                             "08",         "1.09.1.1",
                             "0x",         "0xg",
                             "3com-reg",   "1.2.3.4x",
                             "-1.2.3.4",   "+1",
                             " 1.2.3.4"}) {
        std::uint32_t addr = 0;
        EXPECT_FALSE(veltra::parse_dotted(text, addr)) << '"' << text << '"';
    }
}

}  // namespace
