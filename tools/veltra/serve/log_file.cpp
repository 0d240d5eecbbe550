// The service's log file and its rotation.
#include "log_file.hpp"

#include <string_view>
#include <system_error>
#include <utility>

namespace veltra::tool::serve {

namespace fs = std::filesystem;

LogFile::LogFile(fs::path path, std::uintmax_t max_bytes, int keep)
    : path_(std::move(path)), max_bytes_(max_bytes), keep_(keep) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path_, ec);
    size_ = ec ? 0 : size;
    file_.open(path_, std::ios::binary | std::ios::app);
}

std::streamsize LogFile::xsputn(const char* s, std::streamsize n) {
    // Line by line, so that a rotation falls between two lines.
    std::string_view rest(s, static_cast<std::size_t>(n));
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::size_t piece = end == std::string_view::npos ? rest.size() : end + 1;
        write_piece(rest.data(), piece);
        rest.remove_prefix(piece);
    }
    return file_ ? n : 0;
}

LogFile::int_type LogFile::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    write_piece(&ch, 1);
    return file_ ? c : traits_type::eof();
}

int LogFile::sync() {
    file_.flush();
    return file_ ? 0 : -1;
}

void LogFile::write_piece(const char* s, std::size_t n) {
    // A line's text often comes without its end, which follows at once.
    const bool ends_line = s[n - 1] == '\n';
    if (line_start_ && size_ > 0 && size_ + n + (ends_line ? 0 : 1) > max_bytes_) rotate();
    file_.write(s, static_cast<std::streamsize>(n));
    size_ += n;
    line_start_ = ends_line;
}

void LogFile::rotate() {
    file_.close();
    std::error_code ec;
    auto numbered = [this](int i) { return fs::path(path_.string() + "." + std::to_string(i)); };
    fs::remove(numbered(keep_), ec);
    for (int i = keep_ - 1; i >= 1; --i) {
        if (fs::exists(numbered(i), ec)) fs::rename(numbered(i), numbered(i + 1), ec);
    }
    fs::rename(path_, numbered(1), ec);
    size_ = 0;
    if (ec) {
        // The lines go on into the same file: a log too long beats a log lost.
        std::error_code ignored;
        const std::uintmax_t size = fs::file_size(path_, ignored);
        if (!ignored) size_ = size;
    }
    file_.clear();
    file_.open(path_, std::ios::binary | std::ios::app);
}

}  // namespace veltra::tool::serve
