// The key table against the register's key list written out by hand; the
// places, colours and type sizes of the keys; the PC keyboard's keys.
#include "key_table.hpp"

#include <gtest/gtest.h>

#include <set>

#include "expected_keys.hpp"

using namespace delpad;

namespace {

bool overlaps(const TwipsRect& a, const TwipsRect& b) {
    return a.left < b.left + b.width && b.left < a.left + a.width && a.top < b.top + b.height &&
           b.top < a.top + a.height;
}

const KeySpec& key(const char* name) {
    const KeySpec* k = find_key(name);
    if (k == nullptr) throw std::runtime_error(std::string("no key ") + name);
    return *k;
}

}  // namespace

TEST(KeyTable, EveryKeyHasItsCaptionAndCodeAndNoOther) {
    std::set<std::string> names;
    for (const auto& expected : delpad_test::expected_keys) {
        const KeySpec* k = find_key(expected.name);
        ASSERT_NE(k, nullptr) << expected.name;
        EXPECT_EQ(k->caption, expected.caption) << expected.name;
        EXPECT_EQ(k->code, expected.code) << expected.name;
    }
    for (const auto& k : key_table()) EXPECT_TRUE(names.insert(k.name).second) << k.name;
    EXPECT_EQ(key_table().size(), delpad_test::expected_keys.size());
    EXPECT_EQ(find_key("NOPE"), nullptr);
}

TEST(KeyTable, MessageIsQuoteCodeQuote202F) {
    EXPECT_EQ(key_message("5C"), "\"5C\"202F");
    EXPECT_EQ(key_message("07"), "\"07\"202F");
    for (const auto& k : key_table()) EXPECT_EQ(key_message(k.code).size(), 8u) << k.name;
}

TEST(KeyTable, FamiliesAndDigitFieldClearing) {
    const std::set<std::string> clearing = {"C", "MENU", "X", "RISTAMPA_FATTURA"};
    for (const auto& k : key_table()) {
        const bool digit = k.name.rfind("T7(", 0) == 0;
        const bool department = k.name.rfind("REPARTO", 0) == 0 || k.name == "reparto15";
        EXPECT_EQ(k.family == KeyFamily::digit, digit) << k.name;
        EXPECT_EQ(k.clears_digit_field, department || clearing.count(k.name) > 0) << k.name;
    }
}

TEST(KeyTable, Places) {
    const struct {
        const char* name;
        int left, top, width;
        bool hidden;
    } cases[] = {
        {"REPARTO1", 120, 1920, 2175, false},
        {"REPARTO7", 120, 9120, 2175, false},
        {"REPARTO8", 2400, 1920, 2175, false},
        {"REPARTO12", 2400, 6720, 2175, false},
        {"reparto15", 4680, 1920, 2175, false},
        {"REPARTO21", 4680, 9120, 2175, false},
        {"MENU", 7440, 1920, 1455, false},
        {"FATTURA", 10560, 1920, 1455, true},
        {"RISTAMPA_FATTURA", 12120, 1920, 1455, true},
        {"AnnulloRT", 10575, 1935, 1455, false},
        {"ResoRT", 12150, 1935, 1455, false},
        {"CASSETTO", 13680, 1920, 1455, false},
        {"PERC_A", 12120, 3120, 1455, false},
        {"RESO", 10560, 4320, 1455, false},
        {"T7(7)", 7440, 5520, 1455, false},
        {"CARTACRED", 13680, 5520, 1455, false},
        {"Credito", 13680, 6720, 1455, false},
        {"C", 12120, 7920, 1455, false},
        {"T7(3)", 10560, 7920, 1455, false},
        {"Command3_VIRG", 7440, 9120, 1455, false},
        {"T7(0)", 9000, 9120, 1455, false},
        {"Command2", 10560, 9120, 1455, false},
        {"FEED", 12120, 9120, 1455, false},
        {"TOTALE", 13680, 9120, 1455, false},
    };
    for (const auto& c : cases) {
        const KeySpec& k = key(c.name);
        EXPECT_EQ(k.place.left, c.left) << c.name;
        EXPECT_EQ(k.place.top, c.top) << c.name;
        EXPECT_EQ(k.place.width, c.width) << c.name;
        EXPECT_EQ(k.place.height, 1095) << c.name;
        EXPECT_EQ(k.hidden, c.hidden) << c.name;
    }
}

TEST(KeyTable, VisibleKeysDoNotOverlap) {
    const auto& keys = key_table();
    for (std::size_t i = 0; i < keys.size(); ++i)
        for (std::size_t j = i + 1; j < keys.size(); ++j)
            if (!keys[i].hidden && !keys[j].hidden) {
                EXPECT_FALSE(overlaps(keys[i].place, keys[j].place))
                    << keys[i].name << " " << keys[j].name;
            }
    // Each hidden key lies under a visible one.
    EXPECT_TRUE(overlaps(key("FATTURA").place, key("AnnulloRT").place));
    EXPECT_TRUE(overlaps(key("RISTAMPA_FATTURA").place, key("ResoRT").place));
}

TEST(KeyTable, ColoursAndTypeSizes) {
    constexpr auto rgb = KeyColour::Kind::rgb;
    const struct {
        const char* name;
        KeyColour::Kind kind;
        std::uint32_t rgb;
        double points;
    } cases[] = {
        {"AnnulloRT", rgb, 0xFF0000, 12},
        {"ANNULLA", rgb, 0xFF0000, 12},
        {"Command1", rgb, 0xFF0000, 12},
        {"TOTALVOID", rgb, 0xFF0000, 12},
        {"C", rgb, 0xFF0000, 13.5},
        {"ResoRT", rgb, 0xFF8080, 12},
        {"RESO", rgb, 0xFF8080, 12},
        {"TOTALE", rgb, 0xFF80FF, 9.75},
        {"Credito", rgb, 0xFF80FF, 13.5},
        {"CARTACRED", rgb, 0xFF80FF, 13.5},
        {"SBTL", rgb, 0xFF80FF, 13.5},
        {"MENU", rgb, 0xFF8000, 13.5},
        {"FUNZIONE", rgb, 0xFFC080, 12},
        {"T7(0)", rgb, 0x808080, 13.5},
        {"T7(9)", rgb, 0x808080, 13.5},
        {"Command2", rgb, 0x808080, 13.5},
        {"Command3_VIRG", rgb, 0x808080, 13.5},
        {"PLU", KeyColour::Kind::system_button_face, 0, 12},
        {"X", KeyColour::Kind::system_button_face, 0, 13.5},
        {"REPARTO3", KeyColour::Kind::system_highlight, 0, 13.5},
        {"CASSETTO", rgb, 0xC0C0C0, 9.75},
        {"RISTAMPA_FATTURA", rgb, 0xC0C0C0, 9.75},
        {"FATTURA", rgb, 0xC0C0C0, 12},
        {"OPERAT", rgb, 0xC0C0C0, 12},
        {"FEED", rgb, 0xC0C0C0, 12},
        {"BUONI", rgb, 0xC0C0C0, 12},
    };
    for (const auto& c : cases) {
        const KeySpec& k = key(c.name);
        EXPECT_EQ(k.colour.kind, c.kind) << c.name;
        if (c.kind == rgb) {
            EXPECT_EQ(k.colour.rgb, c.rgb) << c.name;
        }
        EXPECT_EQ(k.point_size, c.points) << c.name;
        EXPECT_EQ(k.icon, std::string(c.name) == "CARTACRED" || std::string(c.name) == "SBTL");
    }
}

TEST(KeyTable, PcKeyboardEntry) {
    const struct {
        char32_t c;
        const char* key;
    } chars[] = {
        {U'0', "T7(0)"},
        {U'5', "T7(5)"},
        {U'9', "T7(9)"},
        {U',', "Command3_VIRG"},
        {U'.', "Command3_VIRG"},
        {U'd', "Command2"},
        {U'D', "Command2"},
        {U'x', "X"},
        {U'X', "X"},
        {U'*', "X"},
    };
    for (const auto& c : chars) {
        const KeySpec* k = key_for_char(c.c);
        ASSERT_NE(k, nullptr) << c.key;
        EXPECT_EQ(k->name, c.key);
    }
    for (char32_t c : {U'a', U'+', U' ', U'/', U'\u20AC', U'\r'})
        EXPECT_EQ(key_for_char(c), nullptr) << static_cast<int>(c);

    EXPECT_EQ(key_for_special(SpecialKey::enter)->name, "TOTALE");
    EXPECT_EQ(key_for_special(SpecialKey::backspace)->name, "C");
    EXPECT_EQ(key_for_special(SpecialKey::escape)->name, "ANNULLA");
    for (int n = 1; n <= 12; ++n) {
        const KeySpec* k = key_for_special(SpecialKey::function, n);
        ASSERT_NE(k, nullptr);
        EXPECT_EQ(k->caption, "REPARTO " + std::to_string(n));
    }
    EXPECT_EQ(key_for_special(SpecialKey::function, 0), nullptr);
    EXPECT_EQ(key_for_special(SpecialKey::function, 13), nullptr);
}

TEST(KeyTable, TooltipsNameThePcKey) {
    const struct {
        const char* name;
        const char* hint;
    } cases[] = {
        {"TOTALE", "Tastiera: Invio"},
        {"C", "Tastiera: Backspace"},
        {"ANNULLA", "Tastiera: Esc"},
        {"T7(7)", "Tastiera: 7"},
        {"Command2", "Tastiera: D"},
        {"X", "Tastiera: X *"},
        {"REPARTO1", "Tastiera: F1"},
        {"REPARTO12", "Tastiera: F12"},
        {"Command3_VIRG", "Tastiera: , ."},
        {"REPARTO13", ""},
        {"SBTL", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(keyboard_hint(c.name), c.hint) << c.name;
    // Every hint names a PC key that presses that very key.
    for (const auto& k : key_table()) {
        const std::string hint = keyboard_hint(k.name);
        if (hint.size() == std::string("Tastiera: 7").size() && k.family == KeyFamily::digit) {
            EXPECT_EQ(key_for_char(static_cast<char32_t>(hint.back()))->name, k.name);
        }
    }
}
