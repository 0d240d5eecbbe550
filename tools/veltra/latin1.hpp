// The register keeps its texts in Latin-1; JSON and the page want UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace veltra::tool {

inline std::string latin1_to_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The Latin-1 bytes of a UTF-8 text that latin1_to_utf8 could have made:
// nothing for a text with a character beyond U+00FF or a malformed,
// overlong or cut sequence.
inline std::optional<std::string> utf8_to_latin1(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        // Only C2 and C3 lead to U+0080..U+00FF; C0 and C1 would be overlong.
        if ((c != 0xC2 && c != 0xC3) || i + 1 == text.size()) return std::nullopt;
        const auto next = static_cast<unsigned char>(text[++i]);
        if ((next & 0xC0) != 0x80) return std::nullopt;
        out += static_cast<char>(((c & 0x03) << 6) | (next & 0x3F));
    }
    return out;
}

}  // namespace veltra::tool
