// Files in the gzip format through zlib: a file compressed whole to a .gz,
// and a .gz read back with a limit on what it may grow to, so that a small
// file that inflates without end is refused rather than written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>

namespace veltra::tool {

// Why a file could not be compressed or read back; what() says it in words
// (naming the file only for a failure to open, read or write one).
class GzipError : public std::runtime_error {
public:
    enum class Kind {
        io,         // a file cannot be opened, read or written
        not_gzip,   // it does not begin with the gzip magic bytes
        corrupt,    // the compressed data or its check value is wrong
        truncated,  // it ends before its last member does
        too_large,  // it inflates beyond the limit
    };
    GzipError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// True when data begins with gzip's magic bytes 1f 8b.
bool is_gzip(std::span<const std::uint8_t> data);
// True when the file begins with them (false for a file that cannot be read).
bool is_gzip(const std::filesystem::path& file);

// Compresses plain into gz (gzip format, one member). It is written as
// "<gz>.part" and renamed over gz only once complete. Returns gz's size.
std::uint64_t gzip_file(const std::filesystem::path& plain, const std::filesystem::path& gz,
                        int level = 6);

// Inflates gz (one member or several in a row) and hands the bytes to sink
// in pieces, in order; at most limit bytes in all, else GzipError too_large
// before a piece would pass it. Returns the size inflated.
std::uint64_t gunzip_each(const std::filesystem::path& gz, std::uint64_t limit,
                          const std::function<void(std::span<const std::uint8_t>)>& sink);

// Inflates gz into plain (made as "<plain>.part", renamed once complete: a
// failure leaves no plain file). Returns its size.
std::uint64_t gunzip_file(const std::filesystem::path& gz, const std::filesystem::path& plain,
                          std::uint64_t limit);

// Inflates gz into memory.
std::string gunzip_text(const std::filesystem::path& gz, std::uint64_t limit);

}  // namespace veltra::tool
