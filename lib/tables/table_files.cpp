// Table files: creation with default records, windowed record access, and
// the fixed-width text codec.
#include "tables/table_files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "frame/paths.hpp"
#include "sys/files.hpp"
#include "tables/table_formats.hpp"

namespace veltra {
namespace {

constexpr std::size_t kWindow = 64 * 1024;

bool seek(std::FILE* f, std::uint64_t offset) {
    // Tables stay far below 2 GiB; fseek's long is enough on every platform.
    if (offset > 0x7FFFFFFFu) return false;
    return std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0;
}

}  // namespace

TableFile::TableFile(std::FILE* file) : file_(file) {}

TableFile::~TableFile() {
    close();
}

TableFile::TableFile(TableFile&& other) noexcept {
    *this = std::move(other);
}

TableFile& TableFile::operator=(TableFile&& other) noexcept {
    if (this != &other) {
        close();
        file_ = std::exchange(other.file_, nullptr);
        window_ = std::move(other.window_);
        window_start_ = other.window_start_;
        window_len_ = std::exchange(other.window_len_, 0);
        dirty_ = std::exchange(other.dirty_, false);
        failed_ = std::exchange(other.failed_, false);
    }
    return *this;
}

bool TableFile::flush_window() {
    if (!dirty_) return true;
    dirty_ = false;
    if (!seek(file_, window_start_) ||
        std::fwrite(window_.data(), 1, window_len_, file_) != window_len_) {
        failed_ = true;
        return false;
    }
    return true;
}

bool TableFile::load_window(std::uint64_t offset, std::size_t at_least, bool for_write) {
    if (!flush_window()) return false;
    if (window_.size() < std::max(kWindow, at_least)) window_.resize(std::max(kWindow, at_least));
    window_start_ = offset;
    window_len_ = 0;
    if (!seek(file_, offset)) return false;
    window_len_ = std::fread(window_.data(), 1, window_.size(), file_);
    if (window_len_ < at_least) {
        if (!for_write) return false;
        // A record past the end of the file: it is written as a whole.
        std::fill(window_.begin() + static_cast<std::ptrdiff_t>(window_len_),
                  window_.begin() + static_cast<std::ptrdiff_t>(at_least), 0);
        window_len_ = at_least;
    }
    return true;
}

int TableFile::read_rec(std::size_t index, std::span<std::uint8_t> buf) {
    if (file_ == nullptr) return -1;
    const std::uint64_t offset = static_cast<std::uint64_t>(index) * buf.size();
    const bool inside =
        offset >= window_start_ && offset + buf.size() <= window_start_ + window_len_;
    if (!inside && !load_window(offset, buf.size(), false)) return -1;
    std::memcpy(buf.data(), window_.data() + (offset - window_start_), buf.size());
    return 0;
}

int TableFile::write_rec(std::size_t index, std::span<const std::uint8_t> buf) {
    if (file_ == nullptr) return -1;
    const std::uint64_t offset = static_cast<std::uint64_t>(index) * buf.size();
    const bool inside =
        offset >= window_start_ && offset + buf.size() <= window_start_ + window_len_;
    if (!inside && !load_window(offset, buf.size(), true)) return -1;
    std::memcpy(window_.data() + (offset - window_start_), buf.data(), buf.size());
    dirty_ = true;
    return 0;
}

bool TableFile::close() {
    if (file_ == nullptr) return !failed_;
    bool ok = flush_window();
    if (std::fclose(file_) != 0) ok = false;
    file_ = nullptr;
    window_len_ = 0;
    return ok && !failed_;
}

TableFile table_create(const char* path, std::size_t count, std::size_t size,
                       const RecordFiller& filler) {
    if (size == 0 || size > kMaxRecordSize) return TableFile();
    std::FILE* f = std::fopen(path, "w+b");
    if (f == nullptr) return TableFile();
    std::setvbuf(f, nullptr, _IOFBF, kWindow);
    std::uint8_t record[kMaxRecordSize] = {};
    for (std::size_t i = 0; i < count; ++i) {
        if (filler) filler(i, std::span<std::uint8_t>(record, size));
        if (std::fwrite(record, 1, size, f) != size) {
            std::fclose(f);
            sys::remove_file(path);
            return TableFile();
        }
    }
    if (std::fflush(f) != 0) {
        std::fclose(f);
        sys::remove_file(path);
        return TableFile();
    }
    return TableFile(f);
}

TableFile table_open(const char* path) {
    std::FILE* f = std::fopen(path, "r+b");
    if (f == nullptr) {
        std::printf("open file %s error: errno=%d\n", path, errno);
        return TableFile();
    }
    return TableFile(f);
}

int table_read_rec(TableFile& table, std::size_t index, std::span<std::uint8_t> buf) {
    return table.read_rec(index, buf);
}

int table_write_rec(TableFile& table, std::size_t index, std::span<const std::uint8_t> buf) {
    return table.write_rec(index, buf);
}

int file_read_exact(const char* path, std::span<std::uint8_t> buf) {
    if (ecr_file_size(path) != static_cast<std::int64_t>(buf.size())) return -1;
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return -1;
    const bool ok = buf.empty() || std::fread(buf.data(), 1, buf.size(), f) == buf.size();
    std::fclose(f);
    return ok ? 0 : -1;
}

int file_write_exact(const char* path, std::span<const std::uint8_t> data) {
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) return -1;
    // An empty span may have no data pointer, which fwrite must not get.
    bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
    ok = std::fclose(f) == 0 && ok;
    if (ok) return 0;
    sys::remove_file(path);
    return -1;
}

void text_to_field(std::string_view text, std::span<std::uint8_t> field) {
    if (field.empty()) return;
    // Text ends at its first NUL, as a C text would.
    text = text.substr(0, text.find('\0'));
    const std::size_t n = std::min(text.size(), field.size() - 1);
    std::memcpy(field.data(), text.data(), n);
    std::fill(field.begin() + static_cast<std::ptrdiff_t>(n), field.end(), 0);
}

char* trim_right_blanks(char* text) {
    std::size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == ' ') text[--n] = '\0';
    return text;
}

std::string_view trim_right_blanks(std::string_view text) {
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

}  // namespace veltra
