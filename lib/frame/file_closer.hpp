// A C stream that closes itself.
#pragma once

#include <cstdio>
#include <memory>

namespace veltra {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace veltra
