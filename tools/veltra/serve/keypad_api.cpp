// The keypad's key names and colours, from DELPAD's own key table.
#include "keypad_api.hpp"

#include <cctype>
#include <cstdio>

#include "key_table.hpp"

namespace veltra::tool::serve {
namespace {

std::string normalized(const std::string& s) {
    std::string out;
    bool blank = false;
    for (unsigned char c : s) {
        if (std::isspace(c)) {
            blank = !out.empty();
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        out += static_cast<char>(std::toupper(c));
    }
    return out;
}

std::string css_colour(const delpad::KeyColour& c) {
    if (c.kind == delpad::KeyColour::Kind::system_highlight) return "#3399ff";
    if (c.kind == delpad::KeyColour::Kind::system_button_face) return "#f0f0f0";
    char text[8];
    std::snprintf(text, sizeof text, "#%06X", static_cast<unsigned>(c.rgb & 0xFFFFFF));
    return text;
}

}  // namespace

std::optional<std::string> key_code(const std::string& word) {
    const std::string w = normalized(word);
    if (w.empty()) return std::nullopt;
    for (const auto& k : delpad::key_table()) {
        if (normalized(k.name) == w || normalized(k.caption) == w) return k.code;
        if (k.family == delpad::KeyFamily::digit && normalized(k.caption).substr(0, 1) == w)
            return k.code;
    }
    return std::nullopt;
}

Json keypad_json() {
    Json keys = Json::array();
    for (const auto& k : delpad::key_table()) {
        if (k.hidden) continue;
        keys.push_back({{"name", k.name},
                        {"caption", k.caption},
                        {"code", k.code},
                        {"left", delpad::to_pixels(k.place.left)},
                        {"top", delpad::to_pixels(k.place.top)},
                        {"width", delpad::to_pixels(k.place.width)},
                        {"height", delpad::to_pixels(k.place.height)},
                        {"colour", css_colour(k.colour)}});
    }
    return {{"keys", keys}};
}

}  // namespace veltra::tool::serve
