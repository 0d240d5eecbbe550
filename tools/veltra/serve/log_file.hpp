// The service's log as a file of limited size, for a service that has no
// console: veltra-serve.log, then .1 (the newest full one) to .5.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <streambuf>

namespace veltra::tool::serve {

// A stream buffer that appends to path and, before a line that would take
// the file past max_bytes, moves it to path.1 (path.1 to path.2, and so on,
// the oldest beyond `keep` dropped). A line is never split between files;
// only a line longer than max_bytes makes a file longer than that.
class LogFile : public std::streambuf {
public:
    static constexpr std::uintmax_t kMaxBytes = 1024 * 1024;
    static constexpr int kKeep = 5;

    explicit LogFile(std::filesystem::path path, std::uintmax_t max_bytes = kMaxBytes,
                     int keep = kKeep);

    // False when the file could not be opened or a write failed.
    bool good() const { return file_.good(); }

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int_type overflow(int_type c) override;
    int sync() override;

private:
    void write_piece(const char* s, std::size_t n);
    void rotate();

    std::filesystem::path path_;
    std::uintmax_t max_bytes_;
    int keep_;
    std::ofstream file_;
    std::uintmax_t size_ = 0;
    bool line_start_ = true;
};

}  // namespace veltra::tool::serve
