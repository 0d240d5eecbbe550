// DELPAD's keys: name, caption, the code each sends, where it sits and how
// it looks. Plain data with no window toolkit, shared by the window and the
// tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace delpad {

// A place on the window in twips (15 twips are one pixel at 96 dpi).
struct TwipsRect {
    int left;
    int top;
    int width;
    int height;
};

inline constexpr int twips_per_pixel = 15;
constexpr int to_pixels(int twips) {
    return (twips + twips_per_pixel / 2) / twips_per_pixel;
}

// A key colour: a fixed #RRGGBB or one of the system's colours.
struct KeyColour {
    enum class Kind { rgb, system_highlight, system_button_face };
    Kind kind;
    std::uint32_t rgb;
};

// S keys send one fixed code; D keys (the digits) go through the digit field.
enum class KeyFamily { single, digit };

struct KeySpec {
    std::string name;  // the control's name, also the widget's object name
    std::string caption;
    std::string code;  // two upper-case hexadecimal digits
    KeyFamily family;
    bool clears_digit_field;
    TwipsRect place;
    KeyColour colour;
    double point_size;
    bool hidden;
    bool icon;  // CARTACRED and SBTL carry a 32 x 32 picture
};

// Every key of the window, in the order the window creates them (keys lying
// over hidden ones come after them).
const std::vector<KeySpec>& key_table();

// The name of department key n (1 to 21); the fifteenth is spelt in lower case.
std::string department_name(int n);

// The message a key code makes on the SEND connection: double quote, code,
// double quote, "202F", without blanks at either end.
std::string key_message(std::string_view code);

// The key of the given name; nullptr when there is none.
const KeySpec* find_key(std::string_view name);

// The PC keys that are not characters and press a keypad key.
enum class SpecialKey { enter, backspace, escape, function };

// Keyboard entry, the same in every front end: digits, comma (also "."),
// "D" for "00" (doppio zero), "X" (also "*"); Enter for TOTALE, Backspace
// for C, Escape for ANNULLA, F1 to F12 for REPARTO 1 to 12. nullptr when
// the PC key presses nothing.
const KeySpec* key_for_char(char32_t c);
const KeySpec* key_for_special(SpecialKey key, int function_number = 0);

// The PC key named in a key's tooltip ("Tastiera: Invio"); empty when the
// key has none.
std::string keyboard_hint(std::string_view name);

}  // namespace delpad
