// The standard CRC-32 (IEEE 802.3, reflected, polynomial 0xEDB88320) that
// release files and backup archives carry in their last four bytes. A leaf:
// it includes nothing of the library's own.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

namespace veltra {

// Runs data through the table step and returns the new register value: no
// preset and no final complement, so calls chain over pieces.
std::uint32_t ecr_crc32_update(std::uint32_t crc, std::span<const std::uint8_t> data) noexcept;

// The complete CRC-32 (preset 0xFFFFFFFF, final complement) of the first
// `length` bytes of an open binary file, read from its start in chunks of
// 1024 bytes. `ok` is false when the file is shorter or a read fails; the
// value returned then covers only what was read.
std::uint32_t ecr_crc32_file(std::FILE* file, std::uint32_t length, bool& ok) noexcept;

// The complete CRC-32 of a buffer.
std::uint32_t crc32_of(std::span<const std::uint8_t> data) noexcept;

}  // namespace veltra
