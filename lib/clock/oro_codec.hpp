// The register's packed date and time (the oro value): seconds since
// 01/01/1970 00:00:00 on the register's wall clock, valid from 2000 to 2099.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace veltra {

// The valid oro values, 01/01/2000 00:00:00 to 31/12/2099 23:59:59.
inline constexpr std::uint32_t kOroFirst = 946684800u;
inline constexpr std::uint32_t kOroLast = 4102444799u;

// What ecr_oro_2long answers for a missing input record: all ones, far
// outside the valid values.
inline constexpr std::uint32_t kOroNone = 0xFFFFFFFFu;

// Sizes of the byte records and texts, terminator included. The 10-byte
// record holds the six fields, the weekday, one byte the caller keeps, and
// the day of the year.
inline constexpr std::size_t kOroBytesSize = 6;      // day, month, year, hour, minute, second
inline constexpr std::size_t kOroStructSize = 10;    // the above, weekday, unused, u16 day of year
inline constexpr std::size_t kOroEncodeSize = 26;    // "dd/mm/yy-hh:mm:ss-[ddd-w]"
inline constexpr std::size_t kOroDatetimeSize = 18;  // "dd/mm/yy-hh:mm:ss"
inline constexpr std::size_t kOroDdmmyySize = 7;     // "ddmmyy"

// Calendar fields of an oro value. Out of range, every date and time field
// is 99, the weekday 1 and the day of the year 999.
struct OroFields {
    std::uint8_t day = 99;
    std::uint8_t month = 99;
    std::uint8_t year = 99;  // two digits, 00 = 2000
    std::uint8_t hour = 99;
    std::uint8_t minute = 99;
    std::uint8_t second = 99;
    std::uint8_t weekday = 1;      // 1 = Monday .. 7 = Sunday
    std::uint16_t year_day = 999;  // 1..366
};

// Oro value of six field bytes (day, month, two-digit year, hour, minute,
// second), unchecked, in wrapping 32-bit arithmetic. A month beyond 1..12
// carries into the year: month 0 is December of the year before, month 13
// January of the year after.
std::uint32_t oro_2long(std::span<const unsigned char, kOroBytesSize> bytes) noexcept;

// Oro value of six integers, of which only the low 8 bits count.
std::uint32_t oro_decode(std::int32_t day, std::int32_t month, std::int32_t year, std::int32_t hour,
                         std::int32_t minute, std::int32_t second) noexcept;

// Fields of an oro value into out; false, with the sentinel fields, when the
// value lies outside kOroFirst..kOroLast.
bool oro_2struct(std::uint32_t oro, OroFields& out) noexcept;

// Writes the 10-byte record of ecr_oro_2struct: bytes 0..6, then the day of
// the year little-endian at offset 8. Byte 7 is left as it was.
void oro_struct_store(const OroFields& fields,
                      std::span<unsigned char, kOroStructSize> out) noexcept;

// 0 when the six fields make a valid date and time of 2000..2099, else -1.
std::int32_t oro_check(std::int32_t day, std::int32_t month, std::int32_t year, std::int32_t hour,
                       std::int32_t minute, std::int32_t second) noexcept;

// Texts of an oro value (the sentinel 99s when it is out of range), each into
// a caller's buffer of the size above; each returns buf, nullptr for no buf.
// "dd/mm/yy-hh:mm:ss-[ddd-w]", 25 characters.
char* oro_encode(std::uint32_t oro, char* buf) noexcept;
// "dd/mm/yy-hh:mm:ss", 17 characters: the invoice date column.
char* oro_to_datetime_text(std::uint32_t oro, char* buf) noexcept;
// "ddmmyy", 6 characters: the sales file names.
char* oro_to_ddmmyy(std::uint32_t oro, char* buf) noexcept;

}  // namespace veltra
