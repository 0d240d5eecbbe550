// Little-endian and big-endian fields at explicit offsets of a byte image.
// Every register layout is written through these, never through a struct.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace ecrsim {

using Bytes = std::vector<std::uint8_t>;

inline void put_u8(std::span<std::uint8_t> b, std::size_t at, unsigned v) {
    b[at] = static_cast<std::uint8_t>(v & 0xFFu);
}
inline void put_u16le(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v & 0xFFu);
    b[at + 1] = static_cast<std::uint8_t>((v >> 8) & 0xFFu);
}
inline void put_u32le(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>((v >> (8 * i)) & 0xFFu);
}
inline void put_i32le(std::span<std::uint8_t> b, std::size_t at, std::int32_t v) {
    put_u32le(b, at, static_cast<std::uint32_t>(v));
}
inline std::uint32_t get_u32le(std::span<const std::uint8_t> b, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(b[at + i]) << (8 * i);
    return v;
}
inline std::int32_t get_i32le(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::int32_t>(get_u32le(b, at));
}
inline std::uint16_t get_u16le(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
// TFTP numbers are big-endian.
inline void put_u16be(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>((v >> 8) & 0xFFu);
    b[at + 1] = static_cast<std::uint8_t>(v & 0xFFu);
}
inline std::uint16_t get_u16be(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

// A NUL-terminated text in a field of the given width: at most width - 1
// bytes of text, the rest of the field zero.
inline void put_text(std::span<std::uint8_t> b, std::size_t at, std::size_t width,
                     std::string_view text) {
    const std::size_t n = std::min(text.size(), width - 1);
    std::fill(b.begin() + static_cast<std::ptrdiff_t>(at),
              b.begin() + static_cast<std::ptrdiff_t>(at + width), std::uint8_t{0});
    std::copy_n(text.begin(), n, b.begin() + static_cast<std::ptrdiff_t>(at));
}
// The text of a field, up to its NUL and never beyond its width.
inline std::string_view get_text(std::span<const std::uint8_t> b, std::size_t at,
                                 std::size_t width) {
    const auto* p = reinterpret_cast<const char*>(b.data() + at);
    std::size_t n = 0;
    while (n < width && p[n] != '\0') ++n;
    return {p, n};
}

}  // namespace ecrsim
