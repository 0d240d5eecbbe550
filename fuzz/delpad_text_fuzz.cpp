// DELPAD's parsers of outside text: a settings file's first field and port,
// and a DATA arrival through the display rule, the code page and the line
// breaking. The first byte picks the display's width in cells.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "display_text.hpp"
#include "settings_files.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t columns = data[0] % 64;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    const std::string field = delpad::first_field(bytes);
    if (field.size() > bytes.size()) __builtin_trap();
    std::int16_t port = 0;
    delpad::convert_port(field, port);

    const std::string shown = delpad::display_text(bytes);
    const std::u16string text = delpad::decode_cp1252(shown);
    if (text.size() != shown.size()) __builtin_trap();
    std::size_t cells = 0;
    for (const auto& line : delpad::display_lines(text, columns)) {
        if (line.size() > (columns == 0 ? 1 : columns)) __builtin_trap();
        cells += line.size();
    }
    if (cells > text.size()) __builtin_trap();
    return 0;
}
