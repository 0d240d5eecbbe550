// Reading a release file's identity, after every check the register relies
// on: size, CRC, image mark, release text and bitmap type.
#include "release/release_file.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "frame/export_call.hpp"
#include "frame/file_handle.hpp"
#include "frame/paths.hpp"
#include "frame/trace.hpp"
#include "release/crc32.hpp"
#include "tables/table_formats.hpp"
#include "veltra.h"

namespace veltra {
namespace {

bool read_word(const ReleaseSource& source, std::uint32_t at, std::uint32_t& word) {
    std::array<std::uint8_t, 4> bytes{};
    if (!source.read_at(at, bytes)) return false;
    word = get_u32(bytes, 0);
    return true;
}

std::int32_t check(const ReleaseSource& source, ReleaseIdentity& id) {
    std::uint32_t computed = 0;
    std::uint32_t stored = 0;
    if (!source.body_crc(computed) || !read_word(source, source.size - 4, stored) ||
        computed != stored)
        return ECR_ERR_REL_FILE_NOT_VALID;

    std::uint32_t mark = 0;
    if (!read_word(source, kReleaseMarkAt, mark)) return ECR_ERR_REL_FILE_NOT_VALID;
    if (mark != kReleaseMark) {
        // Images of the other kind carry the mark 8 bytes on, or nothing there.
        if (!read_word(source, kReleaseMark2At, mark)) return ECR_ERR_REL_FILE_NOT_VALID;
        if (mark != kReleaseMark && mark != 0) return ECR_ERR_REL_FILE_NOT_VALID;
    }

    std::array<std::uint8_t, kReleaseTextSize> field{};
    if (!source.read_at(kReleaseTextAt, field)) return ECR_ERR_REL_FILE_NOT_VALID;
    const auto* chars = reinterpret_cast<const char*>(field.data());
    const std::string text(chars, strnlen(chars, field.size()));
    const std::size_t blank = text.find(' ');
    if (text.empty() || blank == std::string::npos) return ECR_ERR_REL_FILE_NOT_VALID;

    std::uint32_t bitmap = 0;
    if (!read_word(source, kReleaseBitmapAt, bitmap)) return ECR_ERR_REL_FILE_NOT_VALID;
    if (bitmap != 'L' && bitmap != 'S') return ECR_ERR_REL_FILE_NOT_VALID;

    id.name = text.substr(0, blank);
    id.versione = text.substr(blank + 1);
    id.tipo_bitmap = std::string(1, static_cast<char>(bitmap));
    return 0;
}

// Reads from an open stream; what lies beyond the end stays zero.
bool stream_read_at(std::FILE* file, std::uint32_t size, std::uint32_t at,
                    std::span<std::uint8_t> out) {
    std::fill(out.begin(), out.end(), 0);
    if (at >= size) return true;
    const std::size_t want = std::min<std::size_t>(out.size(), size - at);
    if (std::fseek(file, static_cast<long>(at), SEEK_SET) != 0) return false;
    return std::fread(out.data(), 1, want, file) == want;
}

}  // namespace

bool release_size_ok(std::int64_t size) {
    return size > 0 && size % 4 == 0 && size <= kReleaseMaxSize;
}

std::int32_t ecr_rel_check(const ReleaseSource& source, ReleaseIdentity& id) {
    id = {};
    if (!release_size_ok(source.size)) return ECR_ERR_REL_FILE_NOT_VALID;
    ReleaseIdentity found;
    const std::int32_t result = check(source, found);
    if (result == 0) id = std::move(found);
    return result;
}

std::int32_t ecr_rel_check_image(std::span<const std::uint8_t> image, ReleaseIdentity& id) {
    id = {};
    if (!release_size_ok(static_cast<std::int64_t>(image.size())))
        return ECR_ERR_REL_FILE_NOT_VALID;
    const auto size = static_cast<std::uint32_t>(image.size());
    ReleaseSource source;
    source.size = size;
    source.read_at = [&](std::uint32_t at, std::span<std::uint8_t> out) {
        std::fill(out.begin(), out.end(), 0);
        if (at < size) {
            const std::size_t n = std::min<std::size_t>(out.size(), size - at);
            std::memcpy(out.data(), image.data() + at, n);
        }
        return true;
    };
    source.body_crc = [&](std::uint32_t& crc) {
        crc = crc32_of(image.first(size - 4));
        return true;
    };
    return ecr_rel_check(source, id);
}

std::int32_t ecr_rel_read_file(const char* path, ReleaseIdentity& id) {
    id = {};
    const std::int32_t size = ecr_file_size(path);
    if (size < 0) return ERR_FILE_NOT_FOUND;
    if (!release_size_ok(size)) return ECR_ERR_REL_FILE_NOT_VALID;
    // A file that exists but cannot be read fails the check it cannot pass.
    File file(std::fopen(path, "rb"));
    if (!file) return ECR_ERR_REL_FILE_NOT_VALID;
    return ecr_rel_check_stream(file.get(), size, id);
}

std::int32_t ecr_rel_check_stream(std::FILE* file, std::int64_t size, ReleaseIdentity& id) {
    id = {};
    if (file == nullptr || !release_size_ok(size)) return ECR_ERR_REL_FILE_NOT_VALID;
    ReleaseSource source;
    source.size = static_cast<std::uint32_t>(size);
    source.read_at = [&](std::uint32_t at, std::span<std::uint8_t> out) {
        return stream_read_at(file, source.size, at, out);
    };
    source.body_crc = [&](std::uint32_t& crc) {
        bool ok = false;
        crc = ecr_crc32_file(file, source.size - 4, ok);
        return ok;
    };
    return ecr_rel_check(source, id);
}

void copy_text_cut(const char* text, char* out, std::size_t size) {
    if (out == nullptr || size == 0) return;
    const std::size_t n = text != nullptr ? strnlen(text, size - 1) : 0;
    if (n > 0) std::memcpy(out, text, n);
    out[n] = '\0';
}

}  // namespace veltra

using namespace veltra;

namespace {

// Empties the caller's buffers, those given.
void clear_outputs(char* name, char* versione, char* tipo_bitmap) {
    for (char* out : {name, versione, tipo_bitmap})
        if (out != nullptr) out[0] = '\0';
}

}  // namespace

extern "C" ECR_API int32_t ECR_CALL ecr_rel_info_file(const char* filename, char* name,
                                                      char* versione, char* tipo_bitmap) {
    return export_call(
        ECR_ERR_REL_FILE_NOT_VALID,
        [&]() noexcept {
            ecr_trace(
                "%s ecr_rel_info_file -- begin: filename='%s' name='%08X' versione='%08X' "
                "tipo_bitmap='%08X'\n",
                ecr_trace_time(), trace_text(filename), trace_addr(name), trace_addr(versione),
                trace_addr(tipo_bitmap));
            clear_outputs(name, versione, tipo_bitmap);
        },
        [&]() -> std::int32_t {
            if (name == nullptr || versione == nullptr || tipo_bitmap == nullptr)
                return ECR_ERR_PARAMETRI;
            ReleaseIdentity id;
            const std::int32_t result = ecr_rel_read_file(filename != nullptr ? filename : "", id);
            if (result != 0) return result;
            copy_text_cut(id.name.c_str(), name, kReleaseTextBuf);
            copy_text_cut(id.versione.c_str(), versione, kReleaseTextBuf);
            copy_text_cut(id.tipo_bitmap.c_str(), tipo_bitmap, kBitmapTypeBuf);
            return 0;
        },
        [&](std::int32_t result) noexcept {
            if (result != 0) clear_outputs(name, versione, tipo_bitmap);
            char text[kResultTextSize];
            ecr_trace(
                "%s ecr_rel_info_file -- end  : esito='%s' name='%s' versione='%s' "
                "tipo_bitmap='%s'\n",
                ecr_trace_time(), ecr_err_name(result, text), trace_text(name),
                trace_text(versione), trace_text(tipo_bitmap));
        });
}
