// Each arrival stands alone: no framing, nothing carried over.
#include "display_text.hpp"

#include "settings_files.hpp"

namespace delpad {

std::string display_text(std::string_view arrival) {
    std::string text;
    if (arrival.size() > display_prefix) text = arrival.substr(display_prefix);
    text += "\r\n";
    return trim_blanks(text);
}

}  // namespace delpad
