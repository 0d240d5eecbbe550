// Archive validation and ecr_dati_info on archives made from the input:
// byte 0 chooses the shape (bit 0: the size is right, bit 1: the CRC is
// right), the next 512 bytes are the header field as stored, the rest lands
// on the members from offset 512 on. The header read must stay inside the
// 513-byte buffers of info_org and info_mod.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "backup/archive.hpp"
#include "release/crc32.hpp"
#include "veltra.h"

namespace {

constexpr std::size_t kGuard = 64;

std::string archive_path() {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/veltra-fuzz-archive.bin";
}

const std::vector<std::uint8_t>& zeros() {
    static const std::vector<std::uint8_t> chunk(64 * 1024, 0);
    return chunk;
}

// The CRC-32 of the prefix followed by zeros up to the body size.
std::uint32_t body_crc(std::span<const std::uint8_t> prefix) {
    std::uint32_t crc = veltra::ecr_crc32_update(0xFFFFFFFFu, prefix);
    for (std::size_t left = veltra::kArchiveBody - prefix.size(); left > 0;) {
        const std::size_t n = std::min(left, zeros().size());
        crc = veltra::ecr_crc32_update(crc, std::span<const std::uint8_t>(zeros().data(), n));
        left -= n;
    }
    return ~crc;
}

// The archive as the input shapes it: the prefix, zeros, and the CRC word
// when asked for, cut to length. The zeros are a hole of a sparse file, so
// no input writes megabytes.
bool write_archive(const std::string& path, std::span<const std::uint8_t> prefix,
                   std::size_t length, const std::uint8_t* crc_word) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(prefix.data(), 1, std::min(prefix.size(), length), f) ==
              std::min(prefix.size(), length);
    if (crc_word != nullptr && length > veltra::kArchiveBody)
        ok = ok && std::fseek(f, static_cast<long>(veltra::kArchiveBody), SEEK_SET) == 0 &&
             std::fwrite(crc_word, 1, length - veltra::kArchiveBody, f) ==
                 length - veltra::kArchiveBody;
    ok = std::fclose(f) == 0 && ok;
    std::error_code ec;
    std::filesystem::resize_file(path, length, ec);
    return ok && !ec;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool right_size = (data[0] & 1) != 0, right_crc = (data[0] & 2) != 0;
    const std::size_t body = std::min<std::size_t>(size - 1, veltra::kArchiveBody);
    const std::span<const std::uint8_t> prefix(data + 1, body);
    std::uint8_t word[4] = {};
    if (right_crc) {
        const std::uint32_t crc = body_crc(prefix);
        for (int i = 0; i < 4; ++i) word[i] = static_cast<std::uint8_t>(crc >> (8 * i));
    }
    const std::size_t length =
        right_size ? veltra::kArchiveSize : (body + 4) % veltra::kArchiveSize;
    const std::string path = archive_path();
    if (!write_archive(path, prefix, length, word)) return 0;

    veltra::File archive;
    const std::int32_t valid = veltra::ecr_dati_file_valid(path.c_str(), archive);
    if ((valid == 0) != static_cast<bool>(archive)) std::abort();
    archive.reset();

    std::vector<char> org(ECR_DATI_INFO_BUFSIZE + kGuard, '#');
    std::vector<char> mod(ECR_DATI_INFO_BUFSIZE + kGuard, '#');
    char* vars[22] = {};
    const std::int32_t info = ecr_dati_info(path.c_str(), org.data(), mod.data(), vars);
    if (info != valid) std::abort();
    for (std::size_t i = ECR_DATI_INFO_BUFSIZE; i < org.size(); ++i)
        if (org[i] != '#' || mod[i] != '#') std::abort();
    for (char* v : vars) {
        if (v == nullptr) std::abort();
        const bool inside = v >= mod.data() && v < mod.data() + ECR_DATI_INFO_BUFSIZE;
        if (!inside && v[0] != '\0') std::abort();
    }
    // The header read is the stored field: the prefix, then zeros.
    if (info == 0) {
        const std::size_t text = strnlen(org.data(), 512);
        for (std::size_t i = 0; i < text; ++i)
            if (static_cast<std::uint8_t>(org[i]) != (i < body ? prefix[i] : 0)) std::abort();
    }
    std::remove(path.c_str());
    return 0;
}
