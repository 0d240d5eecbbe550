// The keypad as the service offers it: keys by name, and the key table with
// its places and colours for the page to draw.
#pragma once

#include <optional>
#include <string>

#include "answers.hpp"

namespace veltra::tool::serve {

// A key by its control name ("TOTALE", "REPARTO1"), its caption ("REPARTO
// 1", "TOTALE CONFERMA") or, for the digit keys, its digit: its code.
std::optional<std::string> key_code(const std::string& word);

// {"keys": [{"name", "caption", "code", "left", "top", "width", "height",
// "colour"}, ...]}, the visible keys in pixels and CSS colours.
Json keypad_json();

}  // namespace veltra::tool::serve
