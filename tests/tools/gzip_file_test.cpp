// gzip files: what the writer makes reads back byte for byte (and Debian's
// gzip reads it too); damaged, cut, foreign and oversized files are refused
// with their kind, and a refused file leaves nothing behind.
#include "gzip_file.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;
using tool::GzipError;
using Kind = tool::GzipError::Kind;

std::string bytes_of(const std::vector<std::uint8_t>& v) {
    return std::string(v.begin(), v.end());
}

// The file names in a folder.
std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    return names;
}

struct RoundTrip {
    const char* name;
    std::string content;
};
void PrintTo(const RoundTrip& c, std::ostream* os) {
    *os << c.name;
}

class GzipRoundTrip : public ::testing::TestWithParam<RoundTrip> {
protected:
    TempDir dir_;
};

TEST_P(GzipRoundTrip, InflatesToTheSameBytes) {
    write_file(dir_.file("plain"), GetParam().content);
    const std::uint64_t size = tool::gzip_file(dir_.file("plain"), dir_.file("plain.gz"));
    EXPECT_EQ(size, fs::file_size(dir_.file("plain.gz")));
    EXPECT_TRUE(tool::is_gzip(fs::path(dir_.file("plain.gz"))));
    EXPECT_FALSE(fs::exists(dir_.file("plain.gz.part")));

    const std::uint64_t inflated =
        tool::gunzip_file(dir_.file("plain.gz"), dir_.file("back"), GetParam().content.size());
    EXPECT_EQ(inflated, GetParam().content.size());
    EXPECT_EQ(read_file(dir_.file("back")), GetParam().content);
    EXPECT_EQ(tool::gunzip_text(dir_.file("plain.gz"), GetParam().content.size()),
              GetParam().content);
}

INSTANTIATE_TEST_SUITE_P(Contents, GzipRoundTrip,
                         ::testing::Values(RoundTrip{"empty", ""}, RoundTrip{"one_byte", "x"},
                                           // Larger than one 64 KiB piece, and incompressible.
                                           RoundTrip{"pattern_300k",
                                                     bytes_of(pattern_bytes(300'000))},
                                           // Inflates to many output pieces per input piece.
                                           RoundTrip{"zeros_5m", std::string(5'000'000, '\0')}),
                         [](const auto& info) { return std::string(info.param.name); });

class Gzip : public ::testing::Test {
protected:
    // A gzip file of content, as the writer makes it.
    std::string gz_of(const std::string& content, const std::string& name = "in") {
        write_file(dir_.file(name), content);
        tool::gzip_file(dir_.file(name), dir_.file(name + ".gz"));
        return read_file(dir_.file(name + ".gz"));
    }
    // The kind of GzipError inflating bytes with limit gives, or nothing.
    std::optional<Kind> refusal(const std::string& bytes, std::uint64_t limit) {
        write_file(dir_.file("test.gz"), bytes);
        fs::remove(dir_.file("out"));
        try {
            tool::gunzip_file(dir_.file("test.gz"), dir_.file("out"), limit);
        } catch (const GzipError& e) {
            EXPECT_NE(std::string(e.what()), "");
            // Nothing of a refused file is left, whole or in part.
            EXPECT_FALSE(fs::exists(dir_.file("out")));
            EXPECT_FALSE(fs::exists(dir_.file("out.part")));
            return e.kind();
        }
        return std::nullopt;
    }
    TempDir dir_;
};

TEST_F(Gzip, RefusesWhatIsNotAWholeGzipOfItsSize) {
    const std::string content = bytes_of(pattern_bytes(200'000));
    const std::string gz = gz_of(content);
    std::string middle_flipped = gz;
    middle_flipped[gz.size() / 2] = static_cast<char>(middle_flipped[gz.size() / 2] ^ 0x55);
    std::string check_flipped = gz;  // the member's own CRC-32, 8 bytes from its end
    check_flipped[gz.size() - 8] = static_cast<char>(check_flipped[gz.size() - 8] ^ 0x01);
    std::string length_flipped = gz;  // the member's length, its last 4 bytes
    length_flipped[gz.size() - 1] = static_cast<char>(length_flipped[gz.size() - 1] ^ 0x01);
    const std::string bomb = gz_of(std::string(10'000'000, '\0'), "zeros");

    struct Case {
        const char* name;
        std::string bytes;
        std::uint64_t limit;
        std::optional<Kind> kind;
    };
    const Case cases[] = {
        {"whole", gz, content.size(), std::nullopt},
        {"plain text", "just text, no gzip", 1'000'000, Kind::not_gzip},
        {"empty file", "", 1'000'000, Kind::not_gzip},
        {"first magic byte only", "\x1f", 1'000'000, Kind::not_gzip},
        {"header only", gz.substr(0, 10), 1'000'000, Kind::truncated},
        {"cut in the middle", gz.substr(0, gz.size() / 2), 1'000'000, Kind::truncated},
        {"last byte missing", gz.substr(0, gz.size() - 1), 1'000'000, Kind::truncated},
        {"data flipped", middle_flipped, 1'000'000, Kind::corrupt},
        {"CRC-32 flipped", check_flipped, 1'000'000, Kind::corrupt},
        {"length flipped", length_flipped, 1'000'000, Kind::corrupt},
        {"text after the end", gz + "trailing", 1'000'000, Kind::corrupt},
        {"one byte over the limit", gz, content.size() - 1, Kind::too_large},
        {"10 MB of zeros under 1 MB", bomb, 1'000'000, Kind::too_large},
        {"10 MB of zeros at its size", bomb, 10'000'000, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<Kind> got = refusal(c.bytes, c.limit);
        ASSERT_EQ(got.has_value(), c.kind.has_value());
        if (got) {
            EXPECT_EQ(static_cast<int>(*got), static_cast<int>(*c.kind));
        }
    }
}

// gzip allows members one after another: they inflate as one file.
TEST_F(Gzip, MembersInARowInflateInOrder) {
    const std::string one = bytes_of(pattern_bytes(70'000, 1));
    const std::string two = bytes_of(pattern_bytes(5'000, 2));
    write_file(dir_.file("both.gz"), gz_of(one, "one") + gz_of(two, "two"));
    EXPECT_EQ(tool::gunzip_text(dir_.file("both.gz"), one.size() + two.size()), one + two);
}

TEST_F(Gzip, TellsGzipByItsMagicBytes) {
    const std::uint8_t gz[] = {0x1f, 0x8b, 0x08};
    const std::uint8_t other[] = {0x1f, 0x8c};
    EXPECT_TRUE(tool::is_gzip(gz));
    EXPECT_FALSE(tool::is_gzip(other));
    EXPECT_FALSE(tool::is_gzip(std::span<const std::uint8_t>(gz, 1)));
    write_file(dir_.file("named.gz"), "not gzip at all");
    EXPECT_FALSE(tool::is_gzip(fs::path(dir_.file("named.gz"))));
    EXPECT_FALSE(tool::is_gzip(fs::path(dir_.file("missing"))));
}

TEST_F(Gzip, AFailedCompressionLeavesNoFile) {
    EXPECT_THROW(tool::gzip_file(dir_.file("missing"), dir_.file("out.gz")), GzipError);
    EXPECT_TRUE(names_in(dir_.path()).empty());
    // A folder to write in that does not exist.
    write_file(dir_.file("in"), "data");
    EXPECT_THROW(tool::gzip_file(dir_.file("in"), dir_.path() / "no" / "out.gz"), GzipError);
    EXPECT_EQ(names_in(dir_.path()), std::vector<std::string>{"in"});
}

#ifndef _WIN32
// Debian's gzip is a real peer: it reads what the writer makes, and the
// reader reads what it makes.
TEST_F(Gzip, DebiansGzipReadsAndWritesTheSameFormat) {
    const std::string content = bytes_of(pattern_bytes(123'456, 3));
    write_file(dir_.file("ours"), content);
    tool::gzip_file(dir_.file("ours"), dir_.file("ours.gz"));
    const std::string d = dir_.path().string();
    ASSERT_EQ(std::system(("gzip -dc '" + d + "/ours.gz' > '" + d + "/by_gzip'").c_str()), 0);
    EXPECT_EQ(read_file(dir_.file("by_gzip")), content);
    ASSERT_EQ(std::system(("gzip -9c '" + d + "/ours' > '" + d + "/theirs.gz'").c_str()), 0);
    EXPECT_EQ(tool::gunzip_text(dir_.file("theirs.gz"), content.size()), content);
}
#endif

}  // namespace
}  // namespace veltra::test
