// The clock codec: every conversion over any value, and the round trip of a
// valid value through its fields and back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "clock/oro_codec.hpp"

namespace {

std::uint32_t u32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6 + 4 * 7) return 0;
    const std::span<const unsigned char, veltra::kOroBytesSize> six(data, 6);
    (void)veltra::oro_2long(six);
    std::int32_t v[6];
    for (int i = 0; i < 6; ++i) v[i] = static_cast<std::int32_t>(u32(data + 6 + 4 * i));
    (void)veltra::oro_decode(v[0], v[1], v[2], v[3], v[4], v[5]);
    (void)veltra::oro_check(v[0], v[1], v[2], v[3], v[4], v[5]);

    const std::uint32_t oro = u32(data + 30);
    veltra::OroFields f;
    const bool valid = veltra::oro_2struct(oro, f);
    if (valid != (oro >= veltra::kOroFirst && oro <= veltra::kOroLast)) std::abort();
    unsigned char rec[veltra::kOroStructSize] = {};
    veltra::oro_struct_store(f, rec);
    char enc[veltra::kOroEncodeSize], dt[veltra::kOroDatetimeSize], day[veltra::kOroDdmmyySize];
    std::memset(enc, 'x', sizeof enc);
    std::memset(dt, 'x', sizeof dt);
    std::memset(day, 'x', sizeof day);
    veltra::oro_encode(oro, enc);
    veltra::oro_to_datetime_text(oro, dt);
    veltra::oro_to_ddmmyy(oro, day);
    if (std::strlen(enc) != sizeof enc - 1 || std::strlen(dt) != sizeof dt - 1 ||
        std::strlen(day) != sizeof day - 1)
        std::abort();
    if (valid) {
        if (veltra::oro_decode(f.day, f.month, f.year, f.hour, f.minute, f.second) != oro)
            std::abort();
        if (veltra::oro_check(f.day, f.month, f.year, f.hour, f.minute, f.second) != 0)
            std::abort();
    }
    return 0;
}
