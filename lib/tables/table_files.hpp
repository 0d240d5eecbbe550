// Record access to table files. A table is read and written record by
// record through a small window (64 KiB) of the file, so memory stays the
// same whatever the table's size, and a run of neighbouring records costs
// one read and one write of the window.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

namespace veltra {

class TableFile {
public:
    TableFile() = default;
    explicit TableFile(std::FILE* file);
    ~TableFile();
    TableFile(TableFile&& other) noexcept;
    TableFile& operator=(TableFile&& other) noexcept;
    TableFile(const TableFile&) = delete;
    TableFile& operator=(const TableFile&) = delete;

    explicit operator bool() const { return file_ != nullptr; }

    // Reads or writes record `index` (0-based) of buf.size() bytes: 0, or -1
    // when the file cannot be read or written there.
    int read_rec(std::size_t index, std::span<std::uint8_t> buf);
    int write_rec(std::size_t index, std::span<const std::uint8_t> buf);

    // Writes back what is pending and closes: false when that failed.
    bool close();

private:
    bool flush_window();
    bool load_window(std::uint64_t offset, std::size_t at_least, bool for_write);

    std::FILE* file_ = nullptr;
    std::vector<std::uint8_t> window_;
    std::uint64_t window_start_ = 0;
    std::size_t window_len_ = 0;
    bool dirty_ = false;
    bool failed_ = false;
};

using RecordFiller = std::function<void(std::size_t index, std::span<std::uint8_t> record)>;

// Creates (truncates) path with `count` records of `size` bytes (at most
// kMaxRecordSize), each from one zero-filled buffer that the filler updates
// (the buffer is not cleared between records). Returns the table open for
// reading and writing, or a closed one when the file cannot be created or
// written (a partial file is deleted).
TableFile table_create(const char* path, std::size_t count, std::size_t size,
                       const RecordFiller& filler);

// Opens an existing table for reading and writing. On failure prints
// "open file PATH error: errno=N" to standard output and returns a closed one.
TableFile table_open(const char* path);

int table_read_rec(TableFile& table, std::size_t index, std::span<std::uint8_t> buf);
int table_write_rec(TableFile& table, std::size_t index, std::span<const std::uint8_t> buf);

// Reads the whole file into buf: 0, or -1 when its size is not buf.size()
// or it cannot be read.
int file_read_exact(const char* path, std::span<std::uint8_t> buf);

// Creates or truncates path and writes all of data: 0, or -1 after removing
// the file when it cannot be created or the write (or its close) fails.
int file_write_exact(const char* path, std::span<const std::uint8_t> data);

// Stores text in a field of field.size() bytes: the text and its NUL with
// the rest zero-filled, or its first size - 1 bytes and a NUL.
void text_to_field(std::string_view text, std::span<std::uint8_t> field);

// Removes trailing blanks (code 32 only) in place; returns text.
char* trim_right_blanks(char* text);
std::string_view trim_right_blanks(std::string_view text);

}  // namespace veltra
