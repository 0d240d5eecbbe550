// Reading and writing DELPAD's settings files.
#include "settings_files.hpp"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <system_error>

namespace delpad {
namespace {

// Only the first line matters; a longer file is not read further.
constexpr std::size_t read_limit = 4096;

bool is_line_end(char c) {
    return c == '\r' || c == '\n';
}

bool same_name(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// The exact name first; otherwise any entry whose name differs only in case.
std::filesystem::path find_setting(const std::filesystem::path& dir, std::string_view name) {
    std::error_code ec;
    auto exact = dir / std::string(name);
    if (std::filesystem::is_regular_file(exact, ec)) return exact;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const auto entry_name = it->path().filename().string();
        if (same_name(entry_name, name) && it->is_regular_file(ec)) return it->path();
    }
    return {};
}

std::string read_head(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return {};
    std::string head(read_limit, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return head;
}

// Rounds |integer part|.fraction to the nearest whole number, a half to the
// even neighbour. `magnitude` is already capped well above 32768.
long round_half_even(long magnitude, std::string_view fraction) {
    if (fraction.empty() || fraction[0] < '5') return magnitude;
    if (fraction[0] > '5') return magnitude + 1;
    const bool above_half =
        std::any_of(fraction.begin() + 1, fraction.end(), [](char c) { return c != '0'; });
    if (above_half) return magnitude + 1;
    return magnitude % 2 == 0 ? magnitude : magnitude + 1;
}

bool write_whole(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::string trim_blanks(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(' ');
    return std::string(text.substr(first, last - first + 1));
}

std::string first_field(std::string_view content) {
    // Editors such as Notepad may put a UTF-8 byte-order mark first.
    constexpr std::string_view bom = "\xEF\xBB\xBF";
    if (content.substr(0, bom.size()) == bom) content.remove_prefix(bom.size());
    const auto line_end = std::find_if(content.begin(), content.end(), is_line_end);
    std::string_view line(content.begin(), line_end);
    const auto start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) return {};
    line.remove_prefix(start);
    if (line.front() == '"') {
        line.remove_prefix(1);
        return std::string(line.substr(0, line.find('"')));
    }
    return std::string(line.substr(0, line.find(',')));
}

std::string read_setting(const std::filesystem::path& dir, std::string_view name) {
    const auto file = find_setting(dir, name);
    if (file.empty()) return {};
    return first_field(read_head(file));
}

bool convert_port(std::string_view text, std::int16_t& port) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Capped so that no digit string overflows; anything above the cap is
    // out of range anyway.
    constexpr long cap = 1000000;
    long magnitude = 0;
    for (; i < text.size() && is_digit(text[i]); ++i)
        magnitude = std::min(cap, magnitude * 10 + (text[i] - '0'));
    std::string_view fraction;
    if (i < text.size() && text[i] == '.') {
        const auto begin = ++i;
        while (i < text.size() && is_digit(text[i])) ++i;
        fraction = text.substr(begin, i - begin);
    }
    const long value = (negative ? -1 : 1) * round_half_even(magnitude, fraction);
    if (value > INT16_MAX || value < INT16_MIN) return false;
    port = static_cast<std::int16_t>(value);
    return true;
}

std::string ip_record(std::string_view address_field) {
    return '"' + trim_blanks(address_field) + "\"\r\n";
}

bool save_ip(const std::filesystem::path& dir, std::string_view address_field) {
    // The record goes to a side file first and replaces ip.txt only once it
    // is complete, so a failed write leaves the saved address as it was.
    std::error_code ec;
    const auto file = dir / std::string(ip_file);
    const auto side_file = dir / (std::string(ip_file) + ".new");
    if (!write_whole(side_file, ip_record(address_field))) {
        if (std::filesystem::is_regular_file(side_file, ec)) std::filesystem::remove(side_file, ec);
        return false;
    }
    std::filesystem::remove(file, ec);
    std::filesystem::rename(side_file, file, ec);
    if (!ec) return true;
    std::filesystem::remove(side_file, ec);
    return false;
}

}  // namespace delpad
