// The dotted parser: the classic forms it takes and the texts it refuses.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "net/dotted_address.hpp"

namespace {

// Network byte order from four bytes, independent of the parser.
std::uint32_t be(unsigned a, unsigned b, unsigned c, unsigned d) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                    static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
    std::uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v;
}

TEST(DottedAddress, AcceptsTheClassicForms) {
    const struct {
        const char* text;
        std::uint32_t addr;
    } cases[] = {
        {"192.0.2.20", be(192, 0, 2, 20)},
        {"127.1", be(127, 0, 0, 1)},
        {"10.1.2", be(10, 1, 0, 2)},
        {"10.1.513", be(10, 1, 2, 1)},
        {"0x7f000001", be(127, 0, 0, 1)},
        {"0X7F.1", be(127, 0, 0, 1)},
        {"2130706433", be(127, 0, 0, 1)},
        {"0177.0.0.01", be(127, 0, 0, 1)},
        {"0", be(0, 0, 0, 0)},
        {"255.255.255.255", be(255, 255, 255, 255)},
        {"4294967295", be(255, 255, 255, 255)},
        {"1.2.3.4 trailing", be(1, 2, 3, 4)},
        {"1.2.3.4\t", be(1, 2, 3, 4)},
    };
    for (const auto& c : cases) {
        std::uint32_t addr = 0xDEADBEEF;
        EXPECT_TRUE(veltra::parse_dotted(c.text, addr)) << c.text;
        EXPECT_EQ(addr, c.addr) << c.text;
    }
}

TEST(DottedAddress, RefusesWhatTheClassicParserRefuses) {
    for (const char* text : {"", ".", "1.", "1..2", ".1.2.3", "1.2.3.4.5", "256.1.1.1",
                             "1.256.1.1", "1.2.256.1", "1.2.3.256", "1.2.65536", "1.16777216",
                             "4294967296", "99999999999999999999", "08", "1.09.1.1", "0x",
                             "0xg", "3com-reg", "1.2.3.4x", "-1.2.3.4", "+1", " 1.2.3.4"}) {
        std::uint32_t addr = 0;
        EXPECT_FALSE(veltra::parse_dotted(text, addr)) << '"' << text << '"';
    }
}

}  // namespace
