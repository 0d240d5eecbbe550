// The control identifiers of the Win32 window, from the core's tables: the
// form's controls from 1000, the keys from 2000, in table order. The test
// probe finds controls by the same rule.
#pragma once

#include <string_view>

#include "form_layout.hpp"
#include "key_table.hpp"

namespace delpad::win32 {

inline constexpr int first_form_id = 1000;
inline constexpr int first_key_id = 2000;

// 0 when no control has that name.
inline int control_id(std::string_view name) {
    const auto& controls = form_controls();
    for (std::size_t i = 0; i < controls.size(); ++i)
        if (name == controls[i].name) return first_form_id + static_cast<int>(i);
    const auto& keys = key_table();
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (name == keys[i].name) return first_key_id + static_cast<int>(i);
    return 0;
}

// The key of a control identifier; nullptr for the form's controls.
inline const KeySpec* key_of_id(int id) {
    const auto& keys = key_table();
    const int index = id - first_key_id;
    if (index < 0 || index >= static_cast<int>(keys.size())) return nullptr;
    return &keys[static_cast<std::size_t>(index)];
}

}  // namespace delpad::win32
