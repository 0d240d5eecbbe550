// Fuzzes the release file check. The same bytes checked in memory and read
// through a stream must give one verdict and one identity, and an accepted
// identity must fit the callers' buffers. An input whose first byte is odd
// gets its CRC made right first, so the checks behind the CRC see changed
// fields too. Identity fields lie 64 KiB in, so run it with
// -max_len=140000 on the corpus in fuzz/corpus/release_file/.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "release/crc32.hpp"
#include "release/release_file.hpp"
#include "veltra.h"

using veltra::ReleaseIdentity;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Larger inputs are refused on their size alone.
    if (size > veltra::kReleaseMaxSize + 4) return 0;
    std::vector<std::uint8_t> bytes(data, data + size);
    if (size >= 4 && (bytes[0] & 1) != 0) {
        const std::uint32_t crc = veltra::crc32_of(std::span(bytes).first(size - 4));
        for (int i = 0; i < 4; ++i) bytes[size - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    }
    data = bytes.data();
    ReleaseIdentity in_memory;
    const std::int32_t a = veltra::ecr_rel_check_image(std::span(data, size), in_memory);

    std::FILE* file = std::tmpfile();
    if (file == nullptr) return 0;
    if (std::fwrite(data, 1, size, file) != size) {
        std::fclose(file);
        return 0;
    }
    ReleaseIdentity streamed;
    const std::int32_t b =
        veltra::ecr_rel_check_stream(file, static_cast<std::int64_t>(size), streamed);
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
