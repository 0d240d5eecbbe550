// The simulated register's release handling.
#include "releases.hpp"

#include <cctype>
#include <fstream>

#include "release/crc32.hpp"

namespace ecrsim {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxSize = 516096;
constexpr std::uint32_t kMark = 0xE1A00000u;
constexpr std::size_t kBitmapAt = 65540;
constexpr std::size_t kTextAt = 65544;
constexpr std::size_t kTextSize = 64;

std::uint32_t word_at(const Bytes& image, std::size_t at) {
    if (at + 4 > image.size()) return 0;
    return get_u32le(image, at);
}

void put_if_room(Bytes& image, std::size_t at, std::uint32_t v) {
    if (at + 4 <= image.size()) put_u32le(image, at, v);
}

std::string file_safe(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += std::isalnum(c) || c == '.' || c == '-' ? char(c) : '_';
    return out;
}

}  // namespace

void seal_release(Bytes& image) {
    if (image.size() < 4) return;
    const std::size_t body = image.size() - 4;
    put_u32le(image, body, veltra::crc32_of(std::span(image).first(body)));
}

Bytes build_release(const ReleaseFields& f) {
    Bytes image(f.size, 0);
    // Some code-like filler, so that a changed byte anywhere changes the CRC.
    std::uint32_t x = 0x12345678u;
    for (auto& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    put_if_room(image, 20, f.mark20);
    put_if_room(image, 28, f.mark28);
    put_if_room(image, kBitmapAt, f.bitmap);
    for (std::size_t i = 0; i < kTextSize && kTextAt + i < image.size(); ++i)
        image[kTextAt + i] = i < f.text.size() ? static_cast<std::uint8_t>(f.text[i]) : 0;
    seal_release(image);
    return image;
}

std::optional<ReleaseText> check_release(const Bytes& image, std::string& why) {
    const std::size_t size = image.size();
    if (size == 0 || size % 4 != 0 || size > kMaxSize) {
        why = "size " + std::to_string(size) + " out of range";
        return std::nullopt;
    }
    const std::uint32_t crc = veltra::crc32_of(std::span(image).first(size - 4));
    if (crc != get_u32le(image, size - 4)) {
        why = "CRC does not match";
        return std::nullopt;
    }
    const std::uint32_t m20 = word_at(image, 20), m28 = word_at(image, 28);
    if (m20 != kMark && m28 != kMark && m28 != 0) {
        why = "no image mark";
        return std::nullopt;
    }
    std::string text;
    for (std::size_t i = 0; i < kTextSize && kTextAt + i < size && image[kTextAt + i]; ++i)
        text += static_cast<char>(image[kTextAt + i]);
    const auto blank = text.find(' ');
    if (blank == std::string::npos) {
        why = "release text '" + text + "' without a blank";
        return std::nullopt;
    }
    const std::uint32_t bitmap = word_at(image, kBitmapAt);
    if (bitmap != 'L' && bitmap != 'S') {
        why = "bitmap type " + std::to_string(bitmap);
        return std::nullopt;
    }
    return ReleaseText{text.substr(0, blank), text.substr(blank + 1)};
}

std::string receive_release(const fs::path& dir, const std::string& file, const Bytes& image,
                            const std::string& current_name,
                            std::optional<ReleaseText>& installed) {
    const std::string head = "release file " + file + " ";
    std::string why;
    const auto release = check_release(image, why);
    if (!release) return head + "refused: " + why + "; release kept";
    if (current_name.empty()) return head + "refused: this register takes no release update";
    if (release->name != current_name)
        return head + "refused: release " + release->name + " is not " + current_name +
               "; release kept";
    {
        std::ofstream out(dir / file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
        std::ofstream state(dir / kReleaseStateFile, std::ios::trunc);
        state << release->name << ' ' << release->version << '\n';
    }
    installed = release;
    return head + "installed: " + release->name + " " + release->version + " (" +
           std::to_string(image.size()) + " bytes)";
}

std::optional<ReleaseText> load_installed_release(const fs::path& dir) {
    std::ifstream in(dir / kReleaseStateFile);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    const auto blank = line.find(' ');
    if (blank == std::string::npos || blank == 0) return std::nullopt;
    return ReleaseText{line.substr(0, blank), line.substr(blank + 1)};
}

std::string next_version(const std::string& version) {
    const auto last = version.find_last_of("0123456789");
    if (last == std::string::npos) return version + "1";
    auto first = last;
    while (first > 0 && std::isdigit(static_cast<unsigned char>(version[first - 1]))) --first;
    const std::string digits = version.substr(first, last - first + 1);
    std::string next = std::to_string(std::stoull(digits) + 1);
    if (next.size() < digits.size()) next.insert(0, digits.size() - next.size(), '0');
    return version.substr(0, first) + next + version.substr(last + 1);
}

std::vector<fs::path> write_sample_releases(const fs::path& dir, const std::string& name,
                                            const std::string& version, char bitmap) {
    fs::create_directories(dir);
    std::vector<ReleaseText> samples;
    if (!name.empty()) samples.push_back({name, next_version(version)});
    samples.push_back({name == "ELT7" ? "ELT9" : "ELT7", "V7.01"});
    std::vector<fs::path> written;
    for (const auto& s : samples) {
        ReleaseFields f;
        f.text = s.name + " " + s.version;
        f.bitmap = static_cast<unsigned char>(bitmap);
        const Bytes image = build_release(f);
        const fs::path path = dir / (file_safe(s.name + "_" + s.version) + ".BIN");
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
        written.push_back(path);
    }
    return written;
}

}  // namespace ecrsim
