// Helpers shared by the test suites: a fresh temporary directory per test,
// environment variables restored on the way out, whole-file reads.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace veltra::test {

// A new empty directory, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Sets or removes an environment variable and puts back the old state.
class EnvVar {
public:
    EnvVar(const char* name, std::optional<std::string> value);
    ~EnvVar();
    EnvVar(const EnvVar&) = delete;
    EnvVar& operator=(const EnvVar&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

std::string read_file(const std::string& path);

// Milliseconds from now to a deadline, 0 once it has passed.
inline int left_ms(std::chrono::steady_clock::time_point end) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    return ms.count() > 0 ? static_cast<int>(ms.count()) : 0;
}

// Joins texts and numbers into one string. (GCC 12 at -O3 warns falsely on
// `"text" + std::string` chains, so the tests build strings this way.)
template <class... Parts>
std::string cat(const Parts&... parts) {
    std::string out;
    auto add = [&out](const auto& part) {
        if constexpr (std::is_arithmetic_v<std::decay_t<decltype(part)>>) {
            out += std::to_string(part);
        } else {
            out += std::string_view(part);
        }
    };
    (add(parts), ...);
    return out;
}
void write_file(const std::string& path, const std::string& bytes);
std::vector<std::string> read_lines(const std::string& path);
// The lines of a file written as text, each checked (a test failure) to
// end with the platform's text line end (CR LF on Windows).
std::vector<std::string> text_file_lines(const std::string& path);

// n bytes of file content for transfer tests: every byte value turns up, and
// another seed gives other bytes, so a block sent twice or out of place shows.
std::vector<std::uint8_t> pattern_bytes(std::size_t n, unsigned seed = 1);

}  // namespace veltra::test
