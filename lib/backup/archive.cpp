// The backup archive: member table, validation, writing and unpacking. All
// copying and CRC work goes through one 1024-byte buffer.
#include "backup/archive.hpp"

#include <cstring>
#include <filesystem>
#include <system_error>

#include "frame/paths.hpp"
#include "frame/result_codes.hpp"
#include "frame/trace.hpp"
#include "release/crc32.hpp"
#include "sys/files.hpp"
#include "tables/table_files.hpp"
#include "veltra.h"

namespace veltra {
namespace {

bool seek(std::FILE* f, std::uint32_t offset) {
    return std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0;
}

// The CSV converter of a member that has a CSV name.
std::int32_t convert_to_csv(std::string_view member, const char* bin, const char* csv) {
    if (member == "REPARTI.BIN") return ecr_conv_reparti_csv(bin, csv, 1);
    if (member == "PLU.BIN") return ecr_conv_plu_csv(bin, csv, 1);
    if (member == "CLIENTI.BIN") return ecr_conv_clienti_csv(bin, csv, 1);
    return 0;
}

// Copies exactly size bytes from in to out, running them through the CRC
// register when crc is given: 0, ERR_INVALID_FILESIZE when in ends early or
// cannot be read, ERR_FILE_CREATION when a write fails.
std::int32_t copy_exact(std::FILE* in, std::FILE* out, std::uint32_t size,
                        std::uint32_t* crc = nullptr) {
    std::uint8_t chunk[kCopyChunk];
    while (size > 0) {
        const std::size_t n = size < kCopyChunk ? size : kCopyChunk;
        if (std::fread(chunk, 1, n, in) != n) return ERR_INVALID_FILESIZE;
        if (std::fwrite(chunk, 1, n, out) != n) return ERR_FILE_CREATION;
        if (crc != nullptr) *crc = ecr_crc32_update(*crc, std::span<const std::uint8_t>(chunk, n));
        size -= static_cast<std::uint32_t>(n);
    }
    return 0;
}

// The archive stream's buffer: larger than a chunk, so that the 1024-byte
// writes reach the file in few system calls.
constexpr std::size_t kArchiveBuffer = 64 * 1024;

}  // namespace

std::uint32_t ecr_dati_body_size() {
    return kArchiveBody;
}

std::uint32_t member_offset(std::size_t index) {
    std::uint32_t at = kHeaderSize;
    for (std::size_t i = 0; i < index && i < kMemberCount; ++i) at += kMembers[i].size;
    return at;
}

bool member_size_accepted(const Member& member, std::int64_t size) {
    if (size <= 0) return false;
    return size == member.size || (member.short_size != 0 && size == member.short_size) ||
           (member.old_size != 0 && size == member.old_size);
}

std::string member_path(std::string_view dirname, std::string_view name) {
    return path_in_dir(dirname, name);
}

std::int32_t ecr_dati_file_valid(const char* filename, File& file_out) {
    file_out.reset();
    const std::int32_t size = ecr_file_size(filename);
    if (size < 0) return ERR_FILE_NOT_FOUND;
    ecr_trace("%s ecr_dati_file_valid -- size='%d'/'%d'\n", ecr_trace_time(),
              static_cast<int>(size), static_cast<int>(kArchiveBody));
    if (static_cast<std::uint32_t>(size) != kArchiveSize) return ECR_ERR_DATI_FILE_NOT_VALID;

    File f(std::fopen(filename, "rb"));
    if (!f) return ECR_ERR_DATI_FILE_NOT_VALID;
    bool ok = true;
    const std::uint32_t computed = ecr_crc32_file(f.get(), kArchiveBody, ok);
    std::uint8_t word[4] = {};
    ok = ok && seek(f.get(), kArchiveBody) && std::fread(word, 1, 4, f.get()) == 4;
    const std::uint32_t stored =
        static_cast<std::uint32_t>(word[0]) | (static_cast<std::uint32_t>(word[1]) << 8) |
        (static_cast<std::uint32_t>(word[2]) << 16) | (static_cast<std::uint32_t>(word[3]) << 24);
    ecr_trace("%s ecr_dati_file_valid -- crc32='%08X'/'%08X'\n", ecr_trace_time(),
              static_cast<unsigned>(stored), static_cast<unsigned>(computed));
    if (!ok || stored != computed || !seek(f.get(), 0)) return ECR_ERR_DATI_FILE_NOT_VALID;
    file_out = std::move(f);
    return 0;
}

bool ecr_dati_clean_dir(std::string_view dirname) {
    bool clean = true;
    const auto remove = [&](const char* name) {
        const std::string path = member_path(dirname, name);
        if (sys::remove_file(path.c_str())) return;
        std::error_code ec;
        if (std::filesystem::symlink_status(path, ec).type() !=
            std::filesystem::file_type::not_found)
            clean = false;
    };
    for (const Member& m : kMembers) {
        remove(m.name);
        if (m.csv != nullptr) remove(m.csv);
    }
    return clean;
}

int ecr_dati_read_member(std::string_view name, std::string_view dirname,
                         std::span<std::uint8_t> buffer) {
    return file_read_exact(member_path(dirname, name).c_str(), buffer);
}

int ecr_dati_write_member(std::string_view name, std::string_view dirname,
                          std::span<const std::uint8_t> data) {
    return file_write_exact(member_path(dirname, name).c_str(), data);
}

std::int32_t ecr_dati_check_members(std::string_view dirname) {
    for (const Member& m : kMembers) {
        const std::int32_t size = ecr_file_size(member_path(dirname, m.name).c_str());
        if (size < 0) return ERR_FILE_NOT_FOUND;
        if (static_cast<std::uint32_t>(size) != m.size) return ERR_INVALID_FILESIZE;
    }
    return 0;
}

std::int32_t ecr_dati_append_members(std::FILE* archive, std::string_view dirname,
                                     std::uint32_t* crc) {
    for (const Member& m : kMembers) {
        File in(std::fopen(member_path(dirname, m.name).c_str(), "rb"));
        if (!in) return ERR_FILE_NOT_FOUND;
        std::setvbuf(in.get(), nullptr, _IOFBF, kArchiveBuffer);
        const std::int32_t result = copy_exact(in.get(), archive, m.size, crc);
        if (result != 0) return result;
    }
    return 0;
}

std::int32_t ecr_dati_write_archive(const char* filename, std::string_view header,
                                    std::string_view dirname) {
    // Nothing is created for members that would not fill their fields.
    std::int32_t result = ecr_dati_check_members(dirname);
    if (result != 0) return result;

    const std::string part = std::string(filename) + ".part";
    sys::remove_file(part.c_str());
    File f(std::fopen(part.c_str(), "wb"));
    if (!f) return ERR_FILE_CREATION;
    std::setvbuf(f.get(), nullptr, _IOFBF, kArchiveBuffer);

    std::uint8_t head[kHeaderSize] = {};
    const std::size_t text = std::min<std::size_t>(header.find('\0'), header.size());
    std::memcpy(head, header.data(), std::min<std::size_t>(text, kHeaderSize - 1));
    // The CRC runs over the bytes as they are written: one pass over the body.
    std::uint32_t crc = 0xFFFFFFFFu;
    result = std::fwrite(head, 1, kHeaderSize, f.get()) == kHeaderSize ? 0 : ERR_FILE_CREATION;
    if (result == 0) {
        crc = ecr_crc32_update(crc, head);
        result = ecr_dati_append_members(f.get(), dirname, &crc);
    }
    if (result == 0) {
        crc = ~crc;
        const std::uint8_t word[4] = {
            static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8),
            static_cast<std::uint8_t>(crc >> 16), static_cast<std::uint8_t>(crc >> 24)};
        if (std::fwrite(word, 1, 4, f.get()) != 4) result = ERR_FILE_CREATION;
    }
    if (!close_file(f) && result == 0) result = ERR_FILE_CREATION;
    if (result == 0 && !sys::rename_file(part.c_str(), filename, true)) result = ERR_FILE_CREATION;
    if (result != 0) sys::remove_file(part.c_str());
    return result;
}

std::int32_t ecr_dati_member_csv(const Member& member, std::string_view dirname) {
    if (member.csv == nullptr) return 0;
    return convert_to_csv(member.name, member_path(dirname, member.name).c_str(),
                          member_path(dirname, member.csv).c_str());
}

std::int32_t ecr_dati_unpack_members(std::FILE* archive, std::string_view dirname) {
    if (!seek(archive, kHeaderSize)) return ECR_ERR_DATI_FILE_NOT_VALID;
    for (const Member& m : kMembers) {
        const std::string bin = member_path(dirname, m.name);
        File out(std::fopen(bin.c_str(), "wb"));
        if (!out) return ERR_FILE_CREATION;
        std::int32_t result = copy_exact(archive, out.get(), m.size);
        if (!close_file(out) && result == 0) result = ERR_FILE_CREATION;
        // A validated archive that reads short has changed under us.
        if (result == ERR_INVALID_FILESIZE) result = ECR_ERR_DATI_FILE_NOT_VALID;
        if (result != 0) return result;
        const std::int32_t rows = ecr_dati_member_csv(m, dirname);
        if (rows < 0) return rows;
    }
    return 0;
}

}  // namespace veltra
