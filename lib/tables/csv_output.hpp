// A CSV file being written as text (CR LF line ends on Windows, LF
// elsewhere, from the same code). Lines are formatted into a large buffer
// of its own and go to the file in big blocks, so memory stays the same
// whatever the number of rows. Unless kept, the file is deleted when the
// object goes, so a failed or empty export leaves no file behind.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "frame/trace.hpp"

namespace veltra {

class CsvOutput {
public:
    // Bytes formatted before they go to the file in one write.
    static constexpr std::size_t kBufferSize = 256 * 1024;

    explicit CsvOutput(const char* path);
    ~CsvOutput();
    CsvOutput(const CsvOutput&) = delete;
    CsvOutput& operator=(const CsvOutput&) = delete;

    explicit operator bool() const { return file_ != nullptr; }
    // False once the file is closed or a write to it has failed.
    bool ok() const { return file_ != nullptr && !failed_; }

    void put(char c) {
        if (len_ == kBufferSize) flush();
        buf_[len_++] = c;
    }
    void text(const char* s, std::size_t n) {
        if (n > kBufferSize - len_) {
            flush();
            if (n > kBufferSize) return write_through(s, n);
        }
        std::memcpy(buf_.get() + len_, s, n);
        len_ += n;
    }
    void text(std::string_view s) { text(s.data(), s.size()); }
    void number(std::int32_t v) {
        char* at = room(kNumberRoom);
        commit(std::to_chars(at, at + kNumberRoom, v).ptr);
    }

    // A line of at most n bytes formatted in place: room(n) gives where it
    // starts, commit() takes where it ends.
    char* room(std::size_t n) {
        if (n > kBufferSize - len_) flush();
        return buf_.get() + len_;
    }
    void commit(char* end) { len_ = static_cast<std::size_t>(end - buf_.get()); }
    // printf-style, for lines that are not on the hot path.
    bool format(const char* fmt, ...) ECR_PRINTF(2, 3);

    // Writes out what is buffered, closes the file and keeps it: false when
    // writing it failed (the file is then deleted).
    bool keep();

private:
    static constexpr std::size_t kNumberRoom = 12;
    void flush();
    void write_through(const char* s, std::size_t n);

    std::FILE* file_ = nullptr;
    std::string path_;
    std::unique_ptr<char[]> buf_;
    std::size_t len_ = 0;
    bool failed_ = false;
};

}  // namespace veltra
