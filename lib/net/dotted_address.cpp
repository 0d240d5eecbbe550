// The classic dotted parser, written out so that every platform accepts and
// refuses the same texts.
#include "net/dotted_address.hpp"

#include <array>
#include <cstring>

namespace veltra {
namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool parse_dotted(std::string_view text, std::uint32_t& addr_be) {
    std::array<std::uint32_t, 4> parts{};
    std::size_t count = 0;
    std::size_t i = 0;
    for (;;) {
        if (i >= text.size() || !is_digit(text[i])) return false;
        std::uint64_t value = 0;
        unsigned base = 10;
        bool digits = false;
        if (text[i] == '0') {
            ++i;
            if (i < text.size() && (text[i] == 'x' || text[i] == 'X')) {
                base = 16;
                ++i;
            } else {
                base = 8;
                digits = true;
            }
        }
        while (i < text.size()) {
            const char c = text[i];
            int digit = -1;
            if (base == 16) {
                digit = hex_value(c);
            } else if (is_digit(c)) {
                digit = c - '0';
                if (base == 8 && digit > 7) return false;
            }
            if (digit < 0) break;
            value = value * base + static_cast<unsigned>(digit);
            if (value > 0xFFFFFFFFu) return false;
            digits = true;
            ++i;
        }
        if (!digits) return false;
        parts[count++] = static_cast<std::uint32_t>(value);
        if (i < text.size() && text[i] == '.') {
            if (count == 4 || value > 0xFF) return false;
            ++i;
            continue;
        }
        break;
    }
    if (i < text.size() && !is_space(text[i])) return false;

    // The last part fills the bytes the earlier ones left.
    static constexpr std::uint32_t kLastMax[] = {0xFFFFFFFFu, 0xFFFFFFu, 0xFFFFu, 0xFFu};
    const std::uint32_t last = parts[count - 1];
    if (last > kLastMax[count - 1]) return false;
    std::uint32_t host = last;
    for (std::size_t k = 0; k + 1 < count; ++k) host |= parts[k] << (24 - 8 * k);

    const std::array<std::uint8_t, 4> bytes{
        static_cast<std::uint8_t>(host >> 24), static_cast<std::uint8_t>(host >> 16),
        static_cast<std::uint8_t>(host >> 8), static_cast<std::uint8_t>(host)};
    std::uint32_t be = 0;
    static_assert(sizeof be == bytes.size());
    std::memcpy(&be, bytes.data(), sizeof be);
    addr_be = be;
    return true;
}

}  // namespace veltra
