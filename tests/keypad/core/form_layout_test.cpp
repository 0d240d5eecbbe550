// The band's controls and the scaling that keeps the form on the screen.
#include "form_layout.hpp"

#include <gtest/gtest.h>

using namespace delpad;

TEST(FormLayout, BandControlsAtTheirTwips) {
    const struct {
        const char* name;
        TwipsRect place;
        double points;
        bool hidden;
    } cases[] = {
        {"Label2(0)", {120, 120, 1935, 255}, 9.75, false},
        {"Text3", {1920, 120, 1455, 375}, 9.75, false},
        {"Text4", {1920, 600, 975, 375}, 9.75, false},
        {"Text5", {1920, 1080, 975, 375}, 9.75, false},
        {"Command5", {3480, 120, 1575, 495}, 8.25, false},
        {"Command4", {3480, 720, 1575, 495}, 8.25, true},
        {"Command3", {3480, 1320, 1575, 495}, 8.25, true},
        {"CHIUDI", {5160, 120, 1095, 1695}, 13.5, false},
        {"Label1", {6360, 120, 8775, 1695}, 36, false},
        {"Label3", {120, 10320, 15015, 495}, 13.5, false},
    };
    for (const auto& c : cases) {
        const FormControl& f = form_control(c.name);
        ASSERT_STREQ(f.name, c.name);
        EXPECT_EQ(f.place.left, c.place.left) << c.name;
        EXPECT_EQ(f.place.top, c.place.top) << c.name;
        EXPECT_EQ(f.place.width, c.place.width) << c.name;
        EXPECT_EQ(f.place.height, c.place.height) << c.name;
        EXPECT_EQ(f.point_size, c.points) << c.name;
        EXPECT_EQ(f.hidden, c.hidden) << c.name;
    }
    EXPECT_EQ(credits_with_version("1.8.0"), std::string(credits_caption) + "     vers. 1.8.0");
}

TEST(FormLayout, ScaleFitsTheScreenKeepingProportions) {
    const double natural = 1.0 / 15;
    const struct {
        const char* label;
        double natural;
        int width, height;  // client area available
        int form_width_px, form_height_px;
    } cases[] = {
        {"room to spare at 96 dpi", natural, 1920, 1040, 1016, 721},
        {"150 % on 1920 x 1080", natural * 1.5, 1920 - 16, 1040 - 39, 1411, 1001},
        {"125 % on 1920 x 1080", natural * 1.25, 1920 - 16, 1040 - 39, 1270, 901},
        {"1366 x 768 at 96 dpi", natural, 1366 - 16, 728 - 39, 971, 689},
    };
    for (const auto& c : cases) {
        const double s = fit_scale(c.natural, c.width, c.height);
        const PixelRect r = scaled({0, 0, form_width, form_height}, s);
        EXPECT_EQ(r.width, c.form_width_px) << c.label;
        EXPECT_EQ(r.height, c.form_height_px) << c.label;
        EXPECT_LE(r.width, c.width) << c.label;
        EXPECT_LE(r.height, c.height) << c.label;
    }
    // Keys keep their places relative to each other.
    const PixelRect totale = scaled(find_key("TOTALE")->place, 0.5 / 15);
    EXPECT_EQ(totale.left, 456);
    EXPECT_EQ(totale.top, 304);
    EXPECT_EQ(font_pixels(36, natural), 48);
    EXPECT_EQ(font_pixels(36, natural * 1.5), 72);
    EXPECT_EQ(font_pixels(9.75, 0.5 / 15), 7);
}
