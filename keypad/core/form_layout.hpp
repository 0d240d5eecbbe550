// TASTIERA's controls outside the key table (the settings band, the display
// line, the connection mark, the credits line), and how the whole form
// scales to the screen. Positions are twips, as the keys'.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "key_table.hpp"

namespace delpad {

// The client area of the form, and its background.
inline constexpr int form_width = 15240;
inline constexpr int form_height = 10815;
inline constexpr std::uint32_t form_colour = 0x404040;
// The system's inactive-border colour of the classic Windows scheme: the
// captions of the settings band and the credits line.
inline constexpr std::uint32_t caption_colour = 0xD4D0C8;
// The connection mark: connected, not connected.
inline constexpr std::uint32_t mark_on_colour = 0x00C000;
inline constexpr std::uint32_t mark_off_colour = 0x800000;

enum class ControlKind { label, field, button, display, mark };

struct FormControl {
    const char* name;
    ControlKind kind;
    const char* text;  // the text it is laid out with
    TwipsRect place;
    double point_size;
    KeyColour colour;  // a button's face; a label's background
    bool hidden;
};

// Every control of the form that is not a key.
const std::vector<FormControl>& form_controls();
// The control of that name; the first control when there is none.
const FormControl& form_control(std::string_view name);

inline constexpr std::string_view program_title = "DELPAD";
inline constexpr std::string_view send_failure_text = "Indirizzo IP non rintracciabile";
inline constexpr std::string_view save_failure_text =
    "Impossibile scrivere ip.txt nella cartella del programma";
inline constexpr std::string_view credits_caption =
    "DELPAD  -  tastiera remota del registratore di cassa";
inline constexpr std::string_view mark_on_text = "COLLEGATO";
inline constexpr std::string_view mark_off_text = "NON COLLEGATO";

// The program's version as major.minor.revision.
std::string_view program_version();

// The credits line once start-up has added the version.
std::string credits_with_version(std::string_view version);

// A rectangle in pixels.
struct PixelRect {
    int left;
    int top;
    int width;
    int height;
};

// Pixels per twip that fit the whole form into a client area of the given
// pixels, never above `natural` (the screen's own: dpi / 1440), so the
// layout keeps its proportions and only ever shrinks.
double fit_scale(double natural, int client_width, int client_height);

PixelRect scaled(const TwipsRect& place, double pixels_per_twip);

// A type size in pixels at that scale (a point is 20 twips).
int font_pixels(double points, double pixels_per_twip);

}  // namespace delpad
