// The key table: department keys in three columns on the left, the keypad
// block in five columns on the right, the same seven rows for both.
#include "key_table.hpp"

#include <array>
#include <cstdio>

#include "settings_files.hpp"

namespace delpad {
namespace {

constexpr int key_height = 1095;
constexpr int department_width = 2175;
constexpr int block_width = 1455;
constexpr std::array<int, 7> row_tops = {1920, 3120, 4320, 5520, 6720, 7920, 9120};
constexpr std::array<int, 3> department_lefts = {120, 2400, 4680};
constexpr std::array<int, 5> block_lefts = {7440, 9000, 10560, 12120, 13680};

constexpr KeyColour rgb(std::uint32_t value) {
    return {KeyColour::Kind::rgb, value};
}
constexpr KeyColour highlight{KeyColour::Kind::system_highlight, 0};
constexpr KeyColour button_face{KeyColour::Kind::system_button_face, 0};
constexpr KeyColour red = rgb(0xFF0000);
constexpr KeyColour pink = rgb(0xFF8080);
constexpr KeyColour violet = rgb(0xFF80FF);
constexpr KeyColour grey = rgb(0x808080);
constexpr KeyColour silver = rgb(0xC0C0C0);

// One key of the keypad block, placed by row and column (both from 0).
struct BlockKey {
    const char* name;
    const char* caption;
    const char* code;
    KeyFamily family;
    int row;
    int column;
    KeyColour colour;
    double point_size;
    bool clears_digit_field = false;
    bool hidden = false;
    bool icon = false;
};

constexpr auto S = KeyFamily::single;
constexpr auto D = KeyFamily::digit;

// clang-format off
const BlockKey block_keys[] = {
    {"MENU",             "MENU",                "6B", S, 0, 0, rgb(0xFF8000), 13.5, true},
    {"FUNZIONE",         "FUNZIONE",            "70", S, 0, 1, rgb(0xFFC080), 12},
    {"FATTURA",          "FATT.",               "7D", S, 0, 2, silver, 12,   false, true},
    {"RISTAMPA_FATTURA", "RISTAMPA FATT.",      "81", S, 0, 3, silver, 9.75, true,  true},
    {"CASSETTO",         "CASSETTO",            "6D", S, 0, 4, silver, 9.75},
    {"OPERAT",           "OPERAT.",             "6C", S, 1, 0, silver, 12},
    {"EAN",              "EAN",                 "74", S, 1, 1, silver, 12},
    {"CF",               "C.FISC.",             "73", S, 1, 2, silver, 12},
    {"PERC_A",           "%A",                  "65", S, 1, 3, silver, 12},
    {"SCONTO",           "SCONTO",              "66", S, 1, 4, silver, 12},
    {"PLU",              "PLU",                 "60", S, 2, 0, button_face, 12},
    {"X",                "X",                   "61", S, 2, 1, button_face, 13.5, true},
    {"RESO",             "RESO",                "72", S, 2, 2, pink, 12},
    {"ANNULLA",          "ANNULLA",             "69", S, 2, 3, red, 12},
    {"BUONI",            "BUONI",               "71", S, 2, 4, silver, 12},
    {"T7(7)",            "7             PQRS",  "07", D, 3, 0, grey, 13.5},
    {"T7(8)",            "8             TUV",   "08", D, 3, 1, grey, 13.5},
    {"T7(9)",            "9             WXYZ",  "09", D, 3, 2, grey, 13.5},
    {"Command1",         "STORNO",              "63", S, 3, 3, red, 12},
    {"CARTACRED",        "CARTA CRED.",         "64", S, 3, 4, violet, 13.5, false, false, true},
    {"T7(4)",            "4        GHI",        "04", D, 4, 0, grey, 13.5},
    {"T7(5)",            "5            JKL",    "05", D, 4, 1, grey, 13.5},
    {"T7(6)",            "6       MNO",         "06", D, 4, 2, grey, 13.5},
    {"TOTALVOID",        "TOTAL VOID",          "6F", S, 4, 3, red, 12},
    {"Credito",          "CREDITO / ESCI",      "5E", S, 4, 4, violet, 13.5},
    {"T7(1)",            "1             ",      "01", D, 5, 0, grey, 13.5},
    {"T7(2)",            "2       ABC",         "02", D, 5, 1, grey, 13.5},
    {"T7(3)",            "3       DEF",         "03", D, 5, 2, grey, 13.5},
    {"C",                "C",                   "5F", S, 5, 3, red, 13.5, true},
    {"SBTL",             "SBTL",                "5D", S, 5, 4, violet, 13.5, false, false, true},
    {"Command3_VIRG",    ",",                   "0B", S, 6, 0, grey, 13.5},
    {"T7(0)",            "0    space",          "00", D, 6, 1, grey, 13.5},
    {"Command2",         "00",                  "0A", S, 6, 2, grey, 13.5},
    {"FEED",             "AV. CARTA",           "6E", S, 6, 3, silver, 12},
    {"TOTALE",           "TOTALE CONFERMA",     "5C", S, 6, 4, violet, 9.75},
};
// clang-format on

KeySpec from_block(const BlockKey& k) {
    const auto column = static_cast<std::size_t>(k.column);
    const auto row = static_cast<std::size_t>(k.row);
    return {.name = k.name,
            .caption = k.caption,
            .code = k.code,
            .family = k.family,
            .clears_digit_field = k.clears_digit_field,
            .place = {block_lefts[column], row_tops[row], block_width, key_height},
            .colour = k.colour,
            .point_size = k.point_size,
            .hidden = k.hidden,
            .icon = k.icon};
}

std::string hex_code(int value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(value) & 0xFFu);
    return text;
}

KeySpec department(int n) {
    const auto index = static_cast<std::size_t>(n - 1);
    return {
        .name = department_name(n),
        .caption = "REPARTO " + std::to_string(n),
        .code = hex_code(n + 11),
        .family = KeyFamily::single,
        .clears_digit_field = true,
        .place = {department_lefts[index / 7], row_tops[index % 7], department_width, key_height},
        .colour = highlight,
        .point_size = 13.5,
        .hidden = false,
        .icon = false};
}

// A key of the first row placed by its own twips rather than by the grid.
KeySpec overlay(const char* name, const char* caption, const char* code, int left,
                KeyColour colour) {
    return {.name = name,
            .caption = caption,
            .code = code,
            .family = KeyFamily::single,
            .clears_digit_field = false,
            .place = {left, 1935, block_width, key_height},
            .colour = colour,
            .point_size = 12,
            .hidden = false,
            .icon = false};
}

// The two keys that lie over the hidden FATTURA and RISTAMPA_FATTURA.
std::vector<KeySpec> overlay_keys() {
    return {overlay("AnnulloRT", "ANNULLO scontrino", "86", 10575, red),
            overlay("ResoRT", "   RESO   scontrino", "72", 12150, pink)};
}

std::vector<KeySpec> make_table() {
    std::vector<KeySpec> keys;
    for (int n = 1; n <= 21; ++n) keys.push_back(department(n));
    for (const auto& k : block_keys) keys.push_back(from_block(k));
    for (auto& k : overlay_keys()) keys.push_back(std::move(k));
    return keys;
}

}  // namespace

std::string department_name(int n) {
    return (n == 15 ? "reparto" : "REPARTO") + std::to_string(n);
}

const std::vector<KeySpec>& key_table() {
    static const std::vector<KeySpec> keys = make_table();
    return keys;
}

std::string key_message(std::string_view code) {
    return trim_blanks('"' + std::string(code) + "\"202F");
}

const KeySpec* find_key(std::string_view name) {
    for (const auto& key : key_table())
        if (key.name == name) return &key;
    return nullptr;
}

const KeySpec* key_for_char(char32_t c) {
    if (c >= U'0' && c <= U'9') {
        const char name[] = {'T', '7', '(', static_cast<char>(c), ')', '\0'};
        return find_key(name);
    }
    switch (c) {
        case U',':
        case U'.':
            return find_key("Command3_VIRG");
        case U'd':
        case U'D':
            return find_key("Command2");
        case U'x':
        case U'X':
        case U'*':
            return find_key("X");
        default:
            return nullptr;
    }
}

const KeySpec* key_for_special(SpecialKey key, int function_number) {
    switch (key) {
        case SpecialKey::enter:
            return find_key("TOTALE");
        case SpecialKey::backspace:
            return find_key("C");
        case SpecialKey::escape:
            return find_key("ANNULLA");
        case SpecialKey::function:
            if (function_number < 1 || function_number > 12) return nullptr;
            return find_key(department_name(function_number));
    }
    return nullptr;
}

std::string keyboard_hint(std::string_view name) {
    static const struct {
        const char* name;
        const char* pc_key;
    } fixed[] = {{"Command3_VIRG", ", ."}, {"Command2", "D"},  {"X", "X *"},
                 {"TOTALE", "Invio"},      {"C", "Backspace"}, {"ANNULLA", "Esc"}};
    for (const auto& f : fixed)
        if (name == f.name) return std::string("Tastiera: ") + f.pc_key;
    if (name.size() == 5 && name.substr(0, 3) == "T7(")
        return "Tastiera: " + std::string(1, name[3]);
    for (int n = 1; n <= 12; ++n)
        if (name == department_name(n)) return "Tastiera: F" + std::to_string(n);
    return {};
}

}  // namespace delpad
