// Archive validation and ecr_dati_info on archives made from the input:
// byte 0 chooses the shape (bit 0: the size is right, bit 1: the CRC is
// right), the next 512 bytes are the header field as stored, the rest lands
// on the members from offset 512 on. The header read must stay inside the
// 513-byte buffers of info_org and info_mod.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static std::vector<std::uint8_t> image(veltra::kArchiveSize);
    const bool right_size = (data[0] & 1) != 0, right_crc = (data[0] & 2) != 0;
    std::fill(image.begin(), image.end(), 0);
    const std::size_t body = std::min<std::size_t>(size - 1, veltra::kArchiveBody);
    std::memcpy(image.data(), data + 1, body);
    if (right_crc) {
        const std::uint32_t crc =
            veltra::crc32_of(std::span<const std::uint8_t>(image.data(), veltra::kArchiveBody));
        for (int i = 0; i < 4; ++i)
            image[veltra::kArchiveBody + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    }
    const std::size_t length = right_size ? image.size() : (body + 4) % image.size();
    const std::string path = archive_path();
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(image.data(), 1, length, f);
        std::fclose(f);
    }

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
    if (info == 0 && std::memcmp(org.data(), image.data(), strnlen(org.data(), 512)) != 0)
        std::abort();
    std::remove(path.c_str());
    return 0;
}
