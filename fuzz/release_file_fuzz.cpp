// Fuzzes the release file check. The same bytes checked in memory and read
// through a stream must give one verdict and one identity, and an accepted
// identity must fit the callers' buffers.
//
// The first byte steers: bit 0 makes the CRC right first, so the checks
// behind it see changed fields too; bit 1 builds a sparse image from the
// rest, since the identity fields lie 64 KiB in: the next 32 bytes go to
// offset 0 (the marks at 20 and 28), the next 68 to offset 65540 (bitmap
// type and release text), any more after them, then the 4 CRC bytes.
// Without bit 1 the rest is the file as it is.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "release/crc32.hpp"
#include "release/release_file.hpp"
#include "veltra.h"

using veltra::ReleaseIdentity;

namespace {

constexpr std::size_t kHead = 32;
constexpr std::size_t kFields = 68;

std::vector<std::uint8_t> sparse_image(std::span<const std::uint8_t> in) {
    const std::size_t head = std::min(in.size(), kHead);
    const std::size_t fields = std::min(in.size() - head, kFields);
    const std::size_t extra = in.size() - head - fields;
    std::vector<std::uint8_t> image(veltra::kReleaseBitmapAt + kFields + extra + 4, 0);
    std::copy_n(in.begin(), head, image.begin());
    std::copy_n(in.begin() + head, fields, image.begin() + veltra::kReleaseBitmapAt);
    std::copy_n(in.begin() + head + fields, extra,
                image.begin() + veltra::kReleaseBitmapAt + kFields);
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    // Larger files are refused on their size alone.
    if (rest.size() > veltra::kReleaseMaxSize + 4) return 0;
    std::vector<std::uint8_t> bytes = (data[0] & 2) != 0
                                          ? sparse_image(rest)
                                          : std::vector<std::uint8_t>(rest.begin(), rest.end());
    const std::size_t n = bytes.size();
    if ((data[0] & 1) != 0 && n >= 4) {
        const std::uint32_t crc = veltra::crc32_of(std::span(bytes).first(n - 4));
        for (int i = 0; i < 4; ++i) bytes[n - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    }

    ReleaseIdentity in_memory;
    const std::int32_t a = veltra::ecr_rel_check_image(bytes, in_memory);

    std::FILE* file = std::tmpfile();
    if (file == nullptr) return 0;
    if (std::fwrite(bytes.data(), 1, n, file) != n) {
        std::fclose(file);
        return 0;
    }
    ReleaseIdentity streamed;
    const std::int32_t b =
        veltra::ecr_rel_check_stream(file, static_cast<std::int64_t>(n), streamed);
    std::fclose(file);

    if (a != b || !(in_memory == streamed)) __builtin_trap();
    if (a != 0 && a != ECR_ERR_REL_FILE_NOT_VALID) __builtin_trap();
    if (a == 0) {
        if (in_memory.name.size() >= veltra::kReleaseTextBuf ||
            in_memory.versione.size() >= veltra::kReleaseTextBuf ||
            in_memory.name.find(' ') != std::string::npos ||
            (in_memory.tipo_bitmap != "L" && in_memory.tipo_bitmap != "S"))
            __builtin_trap();
    } else if (!(in_memory == ReleaseIdentity{})) {
        __builtin_trap();
    }
    return 0;
}
