// An owned C stream: closed when the handle goes, so every way out of a
// function closes what it opened.
#pragma once

#include <cstdio>
#include <memory>

namespace veltra {

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Closes the stream and reports whether everything written reached the file.
inline bool close_file(File& f) noexcept {
    if (!f) return true;
    return std::fclose(f.release()) == 0;
}

}  // namespace veltra
