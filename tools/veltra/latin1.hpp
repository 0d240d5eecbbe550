// The register keeps its texts in Latin-1; JSON and the page want UTF-8.
#pragma once

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

}  // namespace veltra::tool
