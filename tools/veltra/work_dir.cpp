// Work directories under the system's temporary directory.
#include "work_dir.hpp"

#include <random>
#include <system_error>

namespace veltra::tool {

WorkDir::WorkDir() {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device entropy;
    std::mt19937_64 pick(entropy());
    for (int tries = 0;; ++tries) {
        path_ = base / ("veltra-" + std::to_string(pick() % 1000000000));
        std::error_code ec;
        if (std::filesystem::create_directory(path_, ec)) return;
        if (tries >= 100) {
            throw std::filesystem::filesystem_error("cannot make a work directory", base, ec);
        }
    }
}

WorkDir::~WorkDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void move_file(const std::string& from, const std::string& to) {
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    if (!ec) return;
    try {
        std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    } catch (...) {
        // No partial copy is left behind as if it were the file.
        std::filesystem::remove(to, ec);
        throw;
    }
    std::filesystem::remove(from);
}

}  // namespace veltra::tool
