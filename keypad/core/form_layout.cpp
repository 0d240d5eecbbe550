// The settings band and the display line sit along the top, the credits line
// along the bottom; the mark takes the place of the hidden CONNETTI.
#include "form_layout.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace delpad {
namespace {

constexpr KeyColour rgb(std::uint32_t value) {
    return {KeyColour::Kind::rgb, value};
}
constexpr KeyColour form = rgb(form_colour);
constexpr KeyColour silver = rgb(0xC0C0C0);
constexpr KeyColour highlight{KeyColour::Kind::system_highlight, 0};
constexpr auto label = ControlKind::label;
constexpr auto field = ControlKind::field;
constexpr auto button = ControlKind::button;

// clang-format off
const std::vector<FormControl> controls = {
    {"Label2(0)", label,  "IP STAMPANTE",  {120, 120, 1935, 255},    9.75, form, false},
    {"Text3",     field,  "192.168.1.100", {1920, 120, 1455, 375},   9.75, form, false},
    {"Label2(1)", label,  "DATA",          {120, 600, 2175, 255},    9.75, form, false},
    {"Text4",     field,  "9930",          {1920, 600, 975, 375},    9.75, form, false},
    {"Label2(2)", label,  "SEND",          {120, 1080, 2175, 255},   9.75, form, false},
    {"Text5",     field,  "1723",          {1920, 1080, 975, 375},   9.75, form, false},
    {"Command5",  button, "SALVA IP",      {3480, 120, 1575, 495},   8.25, rgb(0xC0C000), false},
    {"Command4",  button, "CONNETTI",      {3480, 720, 1575, 495},   8.25, silver, true},
    {"Command3",  button, "DISCONNETTI",   {3480, 1320, 1575, 495},  8.25, silver, true},
    {"CHIUDI",    button, "OFF",           {5160, 120, 1095, 1695},  13.5, rgb(0x008000), false},
    {"Label1",    ControlKind::display, "", {6360, 120, 8775, 1695}, 36,   highlight, false},
    {"Connessione", ControlKind::mark, "NON COLLEGATO", {3480, 720, 1575, 375}, 8.25,
     rgb(mark_off_colour), false},
    {"Label3",    label,  "DELPAD  -  tastiera remota del registratore di cassa",
     {120, 10320, 15015, 495}, 13.5, form, false},
};
// clang-format on

}  // namespace

const std::vector<FormControl>& form_controls() {
    return controls;
}

const FormControl& form_control(std::string_view name) {
    for (const auto& c : controls)
        if (name == c.name) return c;
    return controls.front();
}

std::string_view program_version() {
    return DELPAD_VERSION;
}

std::string credits_with_version(std::string_view version) {
    return std::string(credits_caption) + "     vers. " + std::string(version);
}

double fit_scale(double natural, int client_width, int client_height) {
    const double across = static_cast<double>(client_width) / form_width;
    const double down = static_cast<double>(client_height) / form_height;
    return std::max(0.0, std::min({natural, across, down}));
}

PixelRect scaled(const TwipsRect& place, double pixels_per_twip) {
    auto px = [&](int twips) { return static_cast<int>(std::lround(twips * pixels_per_twip)); };
    return {px(place.left), px(place.top), px(place.width), px(place.height)};
}

int font_pixels(double points, double pixels_per_twip) {
    return std::max(1, static_cast<int>(std::lround(points * 20 * pixels_per_twip)));
}

}  // namespace delpad
