// The CRC-32 of release files and backup archives.
#include "release/crc32.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "frame/paths.hpp"
#include "tables/table_files.hpp"
#include "test_support.hpp"

namespace veltra {
namespace {

std::span<const std::uint8_t> bytes_of(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(Crc32Test, KnownValues) {
    struct Case {
        std::string data;
        std::uint32_t crc;
    };
    const Case cases[] = {
        {"", 0x00000000u},
        {"123456789", 0xCBF43926u},  // the check value of CRC-32/IEEE
        {"a", 0xE8B7BE43u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
    };
    for (const Case& c : cases) EXPECT_EQ(crc32_of(bytes_of(c.data)), c.crc) << c.data;
}

TEST(Crc32Test, UpdateChainsOverPieces) {
    const std::string all = "123456789";
    std::uint32_t crc = 0xFFFFFFFFu;
    crc = ecr_crc32_update(crc, bytes_of(all.substr(0, 4)));
    crc = ecr_crc32_update(crc, bytes_of(all.substr(4)));
    EXPECT_EQ(~crc, 0xCBF43926u);
}

// Lengths around the 1024-byte chunk, and a prefix shorter than the file.
TEST(Crc32Test, FileMatchesBufferAcrossChunkBoundaries) {
    veltra::test::TempDir dir;
    std::vector<std::uint8_t> data(3000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const std::string path = dir.file("data.bin");
    ASSERT_EQ(file_write_exact(path.c_str(), data), 0);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    for (std::uint32_t length : {0u, 1u, 1023u, 1024u, 1025u, 2048u, 2999u, 3000u}) {
        std::fseek(f, 17, SEEK_SET);  // the file is rewound first
        bool ok = false;
        EXPECT_EQ(ecr_crc32_file(f, length, ok),
                  crc32_of(std::span<const std::uint8_t>(data.data(), length)))
            << length;
        EXPECT_TRUE(ok) << length;
    }
    bool ok = true;
    ecr_crc32_file(f, 3001, ok);
    EXPECT_FALSE(ok) << "a file shorter than the length asked for";
    std::fclose(f);
}

TEST(FileWriteExactTest, WritesAllBytesAndRefusesAnUncreatablePath) {
    veltra::test::TempDir dir;
    const std::string path = dir.file("out.bin");
    const std::vector<std::uint8_t> data(5000, 0xA5);
    ASSERT_EQ(file_write_exact(path.c_str(), data), 0);
    std::vector<std::uint8_t> back(5000);
    EXPECT_EQ(file_read_exact(path.c_str(), back), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(file_write_exact(dir.file("no/such/dir/x.bin").c_str(), data), -1);
    // A directory in the file's place cannot be written.
    EXPECT_EQ(file_write_exact(dir.path().string().c_str(), data), -1);
}

TEST(FileWriteExactTest, NoBytesMakeAnEmptyFile) {
    veltra::test::TempDir dir;
    const std::string path = dir.file("empty.bin");
    ASSERT_EQ(file_write_exact(path.c_str(), {}), 0);
    EXPECT_EQ(ecr_file_size(path.c_str()), 0);
    std::vector<std::uint8_t> none;
    EXPECT_EQ(file_read_exact(path.c_str(), none), 0);
}

}  // namespace
}  // namespace veltra
