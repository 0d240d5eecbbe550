// The platform's SHA-256 against the standard test vectors, whole and in
// pieces.
#include "sys/sha256.hpp"

#include <gtest/gtest.h>

#include <string>

namespace veltra::test {
namespace {

std::string hex(const sys::Sha256Digest& d) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : d) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

struct Vector {
    const char* name;
    std::string input;
    const char* digest;
};

const Vector kVectors[] = {
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"bits448", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"million_a", std::string(1000000, 'a'),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

class Sha256Vectors : public ::testing::TestWithParam<Vector> {};

TEST_P(Sha256Vectors, WholeInputGivesTheStandardDigest) {
    EXPECT_EQ(hex(sys::sha256(GetParam().input)), GetParam().digest);
}

// Pieces of odd sizes cross the 64-byte block boundary at every offset.
TEST_P(Sha256Vectors, InputInPiecesGivesTheSameDigest) {
    const std::string& input = GetParam().input;
    sys::Sha256 h;
    std::size_t at = 0;
    for (std::size_t n = 1; at < input.size(); n = n % 97 + 1) {
        const std::size_t take = std::min(n, input.size() - at);
        h.update(std::string_view(input).substr(at, take));
        at += take;
    }
    EXPECT_EQ(hex(h.finish()), GetParam().digest);
}

INSTANTIATE_TEST_SUITE_P(Standard, Sha256Vectors, ::testing::ValuesIn(kVectors),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace veltra::test
