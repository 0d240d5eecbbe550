// The display rule: 23 characters dropped, CR LF appended, blanks trimmed;
// code page 1252; the lines as they are drawn, blanks counted.
#include "display_text.hpp"

#include <gtest/gtest.h>

using namespace delpad;

TEST(DisplayText, DropsTheHeadAndTrimsBlanks) {
    const std::string head = "ABCDEFGHIJKLMNOPQRSTUVW";  // 23 characters
    const struct {
        const char* label;
        std::string arrival;
        std::string shown;
    } cases[] = {
        {"30 characters", head + "1234567", "1234567\r\n"},
        {"23 characters", head, "\r\n"},
        {"24 characters", head + "Z", "Z\r\n"},
        {"22 characters", head.substr(0, 22), "\r\n"},
        {"nothing", "", "\r\n"},
        {"leading blanks removed", head + "   TOTALE", "TOTALE\r\n"},
        {"blanks before CR LF stay", head + "TOTALE   ", "TOTALE   \r\n"},
        {"only blanks", head + "      ", "\r\n"},
        {"blanks in the head do not count", std::string(23, ' ') + "  12,50", "12,50\r\n"},
        {"line ends kept", head + "RIGA 1\r\nRIGA 2", "RIGA 1\r\nRIGA 2\r\n"},
        {"tabs are not blanks", head + "\t5,00", "\t5,00\r\n"},
        {"bytes above 127", head + "\xE0 \x80", "\xE0 \x80\r\n"},
        {"markup is text", head + "<b>1</b>&amp;", "<b>1</b>&amp;\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(display_text(c.arrival), c.shown) << c.label;
}

TEST(DisplayText, Cp1252Decoding) {
    const struct {
        std::string bytes;
        std::u16string text;
    } cases[] = {
        {"\x80", u"\u20AC"},
        {"\x85\x8A\x99\x9F", u"\u2026\u0160\u2122\u0178"},
        {"\x81\x8D\x8F\x90\x9D", u"\u0081\u008D\u008F\u0090\u009D"},
        {"TOT\xC0\xE8\xFF", u"TOT\u00C0\u00E8\u00FF"},
        {"\xA0\x7F", u"\u00A0\u007F"},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const auto& c : cases) EXPECT_EQ(decode_cp1252(c.bytes), c.text);
}

TEST(DisplayText, LinesKeepTheirBlanks) {
    using Lines = std::vector<std::u16string>;
    const struct {
        const char* label;
        std::u16string text;
        std::size_t columns;
        Lines lines;
    } cases[] = {
        {"one line", u"TOTALE\r\n", 20, {u"TOTALE"}},
        {"trailing blanks kept", u"TOTALE    \r\n", 20, {u"TOTALE    "}},
        {"leading blanks kept", u"  12,50\r\n", 20, {u"  12,50"}},
        {"two lines", u"RIGA 1\r\nRIGA 2\r\n", 20, {u"RIGA 1", u"RIGA 2"}},
        {"LF and CR alone", u"A\nB\rC", 20, {u"A", u"B", u"C"}},
        {"empty display", u"\r\n", 20, {u""}},
        {"nothing at all", u"", 20, {}},
        {"long line carried on", u"ABCDEFG\r\n", 3, {u"ABC", u"DEF", u"G"}},
        {"exact width", u"ABC\r\n", 3, {u"ABC"}},
        {"controls draw as blanks", u"A\tB\u0007\u0085", 20, {u"A B  "}},
        {"markup stays text", u"<img src=\"/x\">\r\n", 40, {u"<img src=\"/x\">"}},
    };
    for (const auto& c : cases) EXPECT_EQ(display_lines(c.text, c.columns), c.lines) << c.label;
}

TEST(DisplayText, CentringCountsEveryCell) {
    // 20 cells of 29 pixels in 585: 5 to spare, 2 on the left.
    EXPECT_EQ(centred_left(20, 29, 585), 2);
    // Trailing blanks push a centred text to the left.
    EXPECT_LT(centred_left(10, 29, 585), centred_left(6, 29, 585));
    EXPECT_EQ(centred_left(6, 29, 585), (585 - 6 * 29) / 2);
    EXPECT_EQ(centred_left(0, 29, 585), 292);
    EXPECT_EQ(centred_left(21, 29, 585), 0);
}
