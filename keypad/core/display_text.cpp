// Each arrival stands alone: no framing, nothing carried over.
#include "display_text.hpp"

#include "settings_files.hpp"

namespace delpad {
namespace {

// 0x80 to 0x9F of code page 1252.
constexpr char16_t cp1252_high[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool is_control(char16_t c) {
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0);
}

}  // namespace

std::string display_text(std::string_view arrival) {
    std::string text;
    if (arrival.size() > display_prefix) text = arrival.substr(display_prefix);
    text += "\r\n";
    return trim_blanks(text);
}

std::u16string decode_cp1252(std::string_view bytes) {
    std::u16string text;
    text.reserve(bytes.size());
    for (const char b : bytes) {
        const auto byte = static_cast<unsigned char>(b);
        text += (byte >= 0x80 && byte < 0xA0) ? cp1252_high[byte - 0x80] : char16_t(byte);
    }
    return text;
}

std::vector<std::u16string> display_lines(std::u16string_view text, std::size_t columns) {
    if (columns == 0) columns = 1;
    std::vector<std::u16string> lines;
    std::u16string line;
    bool open = false;  // a line has begun and not been ended
    auto end_line = [&] {
        lines.push_back(line);
        line.clear();
        open = false;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'\r' || c == u'\n') {
            if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
            end_line();
            continue;
        }
        if (line.size() == columns) end_line();
        line += is_control(c) ? u' ' : c;
        open = true;
    }
    if (open) end_line();
    return lines;
}

int centred_left(std::size_t characters, int cell, int width) {
    const long long used = static_cast<long long>(characters) * cell;
    if (used >= width) return 0;
    return static_cast<int>((width - used) / 2);
}

}  // namespace delpad
