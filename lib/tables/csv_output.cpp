// CSV files written as text through one large buffer.
#include "tables/csv_output.hpp"

#include <cstdarg>
#include <vector>

#include "sys/files.hpp"

namespace veltra {

CsvOutput::CsvOutput(const char* path) : path_(path) {
    file_ = std::fopen(path, "w");
    if (file_ == nullptr) return;
    // The stream keeps only the text-mode translation's own small buffer:
    // the blocks come from buf_.
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
    buf_ = std::make_unique_for_overwrite<char[]>(kBufferSize);
}

CsvOutput::~CsvOutput() {
    if (file_ != nullptr) {
        std::fclose(file_);
        sys::remove_file(path_.c_str());
    }
}

void CsvOutput::flush() {
    if (len_ != 0 && !failed_ && std::fwrite(buf_.get(), 1, len_, file_) != len_) failed_ = true;
    len_ = 0;
}

void CsvOutput::write_through(const char* s, std::size_t n) {
    if (!failed_ && std::fwrite(s, 1, n, file_) != n) failed_ = true;
}

bool CsvOutput::format(const char* fmt, ...) {
    if (file_ == nullptr) return false;
    std::va_list args;
    va_start(args, fmt);
    std::va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(buf_.get() + len_, kBufferSize - len_, fmt, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        failed_ = true;
        return false;
    }
    const auto need = static_cast<std::size_t>(n);
    if (need < kBufferSize - len_) {
        len_ += need;
    } else {
        // It did not fit behind what is buffered: format it on its own.
        std::vector<char> line(need + 1);
        std::vsnprintf(line.data(), line.size(), fmt, again);
        text(line.data(), need);
    }
    va_end(again);
    return ok();
}

bool CsvOutput::keep() {
    if (file_ == nullptr) return false;
    flush();
    const bool ok = !failed_ && std::ferror(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!ok || !closed) {
        sys::remove_file(path_.c_str());
        return false;
    }
    return true;
}

}  // namespace veltra
