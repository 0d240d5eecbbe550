// Release files on the PC: their limits and layout, and the check that
// reads a release's identity (name, version, bitmap type) from one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>

#include "veltra.h"

namespace veltra {

inline constexpr std::uint32_t kReleaseMaxSize = 516096;    // 0x7E000
inline constexpr std::uint32_t kReleaseMark = 0xE1A00000u;  // MOV R0, R0
inline constexpr std::uint32_t kReleaseMarkAt = 20;
inline constexpr std::uint32_t kReleaseMark2At = 28;
inline constexpr std::uint32_t kReleaseBitmapAt = 65540;
inline constexpr std::uint32_t kReleaseTextAt = 65544;
inline constexpr std::uint32_t kReleaseTextSize = 64;

// Bytes of the caller's buffers of ecr_rel_info_file and ecr_rel_info_cassa:
// name and versione, and tipo_bitmap.
inline constexpr std::size_t kReleaseTextBuf = ECR_REL_TEXT_BUFSIZE;
inline constexpr std::size_t kBitmapTypeBuf = ECR_REL_BITMAP_BUFSIZE;

struct ReleaseIdentity {
    std::string name;
    std::string versione;
    std::string tipo_bitmap;
    bool operator==(const ReleaseIdentity&) const = default;
};

// A release image as the check sees it: its size, the bytes at an offset
// (zero beyond the end), and the stored CRC against the computed one.
struct ReleaseSource {
    std::uint32_t size = 0;
    // Fills out from offset `at`; bytes beyond the end read as zero. False
    // when the image cannot be read there.
    std::function<bool(std::uint32_t at, std::span<std::uint8_t> out)> read_at;
    // The CRC-32 of the first size - 4 bytes; false when they cannot be read.
    std::function<bool(std::uint32_t& crc)> body_crc;
};

// The checks after the size: CRC, image mark, release text, bitmap type.
// Returns 0 with id filled, or ECR_ERR_REL_FILE_NOT_VALID with id empty.
std::int32_t ecr_rel_check(const ReleaseSource& source, ReleaseIdentity& id);

// True when a release file may have this size: above 0, a multiple of 4,
// at most kReleaseMaxSize.
bool release_size_ok(std::int64_t size);

// The whole check of an image in memory, size limits included.
std::int32_t ecr_rel_check_image(std::span<const std::uint8_t> image, ReleaseIdentity& id);

// The whole check of an open binary stream of `size` bytes (its size as
// taken before it was opened), size limits included.
std::int32_t ecr_rel_check_stream(std::FILE* file, std::int64_t size, ReleaseIdentity& id);

// The whole check of a release file: ERR_FILE_NOT_FOUND when it does not
// exist; ECR_ERR_REL_FILE_NOT_VALID when a check fails or it exists but
// cannot be read; else 0 with id filled. A file of the wrong size is not
// opened. id is empty after any failure.
std::int32_t ecr_rel_read_file(const char* path, ReleaseIdentity& id);

// Copies text into a caller's buffer of `size` bytes: at most size - 1
// characters and a NUL.
void copy_text_cut(const char* text, char* out, std::size_t size);

}  // namespace veltra
