// Work directories under the system's temporary directory, named
// veltra-PID-RANDOM after the program that made them.
#include "work_dir.hpp"

#include <array>
#include <cstdio>
#include <system_error>

#include "internal.hpp"
#include "sys/random_bytes.hpp"
#include "sys/work_files.hpp"

namespace veltra::tool {
namespace {

constexpr const char* kPrefix = "veltra-";
constexpr const char* kTempVariables[] = {"TEMP", "TMP", "TMPDIR"};

std::string random_hex(std::size_t bytes) {
    std::array<unsigned char, 16> raw{};
    if (bytes > raw.size() || !sys::random_bytes(std::span(raw.data(), bytes)))
        throw std::filesystem::filesystem_error(
            "no random bytes for a work directory",
            std::make_error_code(std::errc::resource_unavailable_try_again));
    std::string hex;
    for (std::size_t i = 0; i < bytes; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", raw[i]);
        hex += two;
    }
    return hex;
}

// The program id in a name veltra-PID-RANDOM, or 0 for any other name.
long owner_of(const std::string& name) {
    const std::string prefix = kPrefix;
    if (name.rfind(prefix, 0) != 0) return 0;
    const std::size_t dash = name.find('-', prefix.size());
    if (dash == std::string::npos || dash == prefix.size() || dash + 1 == name.size()) return 0;
    long id = 0;
    for (std::size_t i = prefix.size(); i < dash; ++i) {
        if (name[i] < '0' || name[i] > '9' || id > 100000000) return 0;
        id = id * 10 + (name[i] - '0');
    }
    return id;
}

}  // namespace

WorkDir::WorkDir() {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    const std::string own = kPrefix + std::to_string(sys::current_process_id()) + "-";
    for (int tries = 0;; ++tries) {
        path_ = base / (own + random_hex(8));
        std::error_code ec;
        if (std::filesystem::create_directory(path_, ec)) {
            // Whatever the process's mask, the directory is the user's alone.
            std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::replace, ec);
            return;
        }
        if (tries >= 100) {
            throw std::filesystem::filesystem_error("cannot make a work directory", base, ec);
        }
    }
}

WorkDir::~WorkDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

int remove_leftover_work_dirs(const std::filesystem::path& base) {
    int removed = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(base, ec)) {
        const long owner = owner_of(e.path().filename().string());
        std::error_code type_ec;
        if (owner == 0 || !e.is_directory(type_ec) || e.is_symlink(type_ec) ||
            sys::process_running(owner))
            continue;
        std::error_code gone;
        if (std::filesystem::remove_all(e.path(), gone) > 0 && !gone) ++removed;
    }
    return removed;
}

RunTempDir::RunTempDir() {
    sys::make_new_files_private();
    std::error_code ec;
    const auto base = std::filesystem::temp_directory_path(ec);
    if (ec) return;  // no temporary directory: the library falls back on its own
    remove_leftover_work_dirs(base);
    try {
        dir_.emplace();
    } catch (const std::filesystem::filesystem_error&) {
        return;
    }
    for (std::size_t i = 0; i < std::size(kTempVariables); ++i) {
        saved_[i] = sys::env_get(kTempVariables[i]);
        sys::env_set(kTempVariables[i], dir_->dir());
    }
}

RunTempDir::~RunTempDir() {
    if (!dir_) return;
    for (std::size_t i = 0; i < std::size(kTempVariables); ++i)
        sys::env_set(kTempVariables[i], saved_[i]);
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
