// Shared by the backup suites: member files made in a directory, and the
// trace log captured for the duration of a test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "backup/archive.hpp"
#include "frame/library_frame.hpp"
#include "tables/table_formats.hpp"
#include "test_support.hpp"

namespace veltra::test {

using ByteVec = std::vector<std::uint8_t>;

inline ByteVec read_bytes(const std::string& path) {
    const std::string s = read_file(path);
    return ByteVec(s.begin(), s.end());
}

inline void write_bytes(const std::string& path, const ByteVec& bytes) {
    write_file(path, std::string(bytes.begin(), bytes.end()));
}

// A member image that tells members and offsets apart, in capital letters
// so that the CSV converters see plain texts: byte k of member m is
// 'A' + (k * 31 + m * 7) mod 26.
inline ByteVec member_pattern(std::size_t m) {
    ByteVec b(kMembers[m].size);
    for (std::size_t k = 0; k < b.size(); ++k)
        b[k] = static_cast<std::uint8_t>('A' + (k * 31 + m * 7) % 26);
    return b;
}

inline void write_member_files(const TempDir& dir) {
    for (std::size_t m = 0; m < kMemberCount; ++m)
        write_bytes(dir.file(kMembers[m].name), member_pattern(m));
}

// ECR_TRACE on, the log beside a fresh "host program" directory.
class TraceCapture {
public:
    TraceCapture() : saved_(dirname()) { set_dirname(dir_.path().string()); }
    ~TraceCapture() { set_dirname(saved_); }
    std::vector<std::string> lines() const {
        const std::string p = dir_.file("ecrlog.txt");
        return std::filesystem::exists(p) ? read_lines(p) : std::vector<std::string>{};
    }
    // The lines that contain needle, without their time stamps.
    std::vector<std::string> matching(const std::string& needle) const {
        std::vector<std::string> out;
        for (const auto& l : lines())
            if (l.find(needle) != std::string::npos) out.push_back(l.substr(l.find(' ') + 1));
        return out;
    }

private:
    TempDir dir_;
    EnvVar trace_{"ECR_TRACE", "1"};
    std::string saved_;
};

}  // namespace veltra::test
