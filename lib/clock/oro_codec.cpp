// Conversions between oro values, calendar fields and text, and the nine
// exported clock-code functions. They are pure computations and, unlike the
// rest of the library, write no trace lines.
#include "clock/oro_codec.hpp"

#include <array>

#include "frame/export_call.hpp"
#include "veltra.h"

namespace veltra {
namespace {

// Days before the first of each month in a common year; the 13th entry
// closes December.
constexpr std::array<std::uint32_t, 13> kCumulative{0,   31,  59,  90,  120, 151, 181,
                                                    212, 243, 273, 304, 334, 365};

constexpr std::uint32_t kSecondsPerDay = 86400;

static_assert(kOroBytesSize == ECR_ORO_BYTES_SIZE && kOroStructSize == ECR_ORO_STRUCT_SIZE &&
              kOroEncodeSize == ECR_ORO_TEXT_BUFSIZE);

// Writes value as exactly width decimal digits, zero-padded. Every field
// given here is bounded (date and time fields by 99, the day of the year by
// 999, the weekday by 7), so the fixed widths print what "%02u", "%03u" and
// "%u" would.
char* put_digits(char* p, unsigned value, int width) noexcept {
    for (int i = width - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return p + width;
}

// "dd/mm/yy"
char* put_date(char* p, const OroFields& f) noexcept {
    p = put_digits(p, f.day, 2);
    *p++ = '/';
    p = put_digits(p, f.month, 2);
    *p++ = '/';
    return put_digits(p, f.year, 2);
}

// "hh:mm:ss"
char* put_time(char* p, const OroFields& f) noexcept {
    p = put_digits(p, f.hour, 2);
    *p++ = ':';
    p = put_digits(p, f.minute, 2);
    *p++ = ':';
    return put_digits(p, f.second, 2);
}

}  // namespace

std::uint32_t oro_2long(std::span<const unsigned char, kOroBytesSize> bytes) noexcept {
    const std::uint32_t day = bytes[0];
    const std::uint32_t hour = bytes[3];
    const std::uint32_t minute = bytes[4];
    const std::uint32_t second = bytes[5];

    // Months are not checked, yet the cumulative table must never be read
    // outside its entries: a month beyond 1..12 counts on from the given
    // year like an overflowing day does, month 0 being December of the year
    // before and month 13 January of the year after (month 255 is March of
    // year + 21). Months 1..12 are unaffected.
    int month_index = static_cast<int>(bytes[1]) - 1;  // -1..254
    const int year_carry = month_index < 0 ? -1 : month_index / 12;
    month_index -= year_carry * 12;  // 0..11

    // Years since 1900; at least 99, so every difference below is positive.
    const std::uint32_t y = static_cast<std::uint32_t>(bytes[2] + 100 + year_carry);
    const std::uint32_t m = static_cast<std::uint32_t>(month_index);

    // Unsigned 32-bit throughout: fields far out of range wrap rather than
    // overflow, and day 0 is the last day of the month before.
    std::uint32_t days = (y - 70u) * 365u + kCumulative[m] + day - 1u;
    days += (y - 69u) / 4u;               // leap days of the years before
    if (m > 1 && y % 4u == 0) days += 1;  // this year's 29 February is past
    return second + minute * 60u + (hour + days * 24u) * 3600u;
}

std::uint32_t oro_decode(std::int32_t day, std::int32_t month, std::int32_t year, std::int32_t hour,
                         std::int32_t minute, std::int32_t second) noexcept {
    const std::array<unsigned char, kOroBytesSize> bytes{
        static_cast<unsigned char>(day & 0xFF),    static_cast<unsigned char>(month & 0xFF),
        static_cast<unsigned char>(year & 0xFF),   static_cast<unsigned char>(hour & 0xFF),
        static_cast<unsigned char>(minute & 0xFF), static_cast<unsigned char>(second & 0xFF),
    };
    return oro_2long(bytes);
}

bool oro_2struct(std::uint32_t t, OroFields& out) noexcept {
    out = OroFields{};  // the sentinels, overwritten below when t is valid
    if (t < kOroFirst || t > kOroLast) return false;

    const std::uint32_t d = t / kSecondsPerDay;  // days since 01/01/1970

    // Counted from 01/01/1968, the first (leap) year of a four-year cycle;
    // no year of the valid range needs the century rule.
    const std::uint32_t x = d + 731;
    std::uint32_t q = x / 1461;             // leap days of the completed cycles
    const std::uint32_t r = x % 1461;       // day within the cycle
    if (r >= 60) ++q;                       // the cycle's own 29 February is past
    const std::uint32_t n = (x - q) / 365;  // years since 1968
    std::uint32_t yd = x - n * 365 - q;     // day of the year, 0-based
    if (r >= 60 && r <= 365) ++yd;          // leap year, after 29 February
    const std::uint32_t y = n + 68;         // years since 1900

    // The month whose first day is the last one not after yd. cumulative[0]
    // is 0, so the search ends at index 0 at the latest.
    unsigned index = 13;
    std::uint32_t limit = 366;
    while (yd < limit && index > 0) {
        --index;
        limit = kCumulative[index] + ((index >= 2 && y % 4 == 0) ? 1u : 0u);
    }

    const std::uint32_t weekday = (d + 4) % 7;  // 0 = Sunday; 01/01/1970 was a Thursday
    out.day = static_cast<std::uint8_t>(yd - limit + 1);
    out.month = static_cast<std::uint8_t>(index + 1);
    out.year = static_cast<std::uint8_t>(y - 100);
    out.hour = static_cast<std::uint8_t>((t / 3600) % 24);
    out.minute = static_cast<std::uint8_t>((t / 60) % 60);
    out.second = static_cast<std::uint8_t>(t % 60);
    out.weekday = static_cast<std::uint8_t>(weekday == 0 ? 7 : weekday);
    out.year_day = static_cast<std::uint16_t>(yd + 1);
    return true;
}

void oro_struct_store(const OroFields& f, std::span<unsigned char, kOroStructSize> out) noexcept {
    out[0] = f.day;
    out[1] = f.month;
    out[2] = f.year;
    out[3] = f.hour;
    out[4] = f.minute;
    out[5] = f.second;
    out[6] = f.weekday;
    // out[7] belongs to the caller and is not written.
    out[8] = static_cast<unsigned char>(f.year_day & 0xFF);
    out[9] = static_cast<unsigned char>(f.year_day >> 8);
}

std::int32_t oro_check(std::int32_t day, std::int32_t month, std::int32_t year, std::int32_t hour,
                       std::int32_t minute, std::int32_t second) noexcept {
    // Year, hour, minute and second have no lower bound: negative values pass.
    if (year > 99) return -1;
    if (month < 1 || month > 12) return -1;
    if (day < 1 || day > 31) return -1;
    if (hour > 23 || minute > 59 || second > 59) return -1;
    if (month == 2 && day > (year % 4 == 0 ? 29 : 28)) return -1;
    if ((month == 4 || month == 6 || month == 9 || month == 11) && day > 30) return -1;
    return 0;
}

char* oro_encode(std::uint32_t oro, char* buf) noexcept {
    if (buf == nullptr) return nullptr;
    OroFields f;
    oro_2struct(oro, f);  // out of range: the sentinels are printed
    char* p = put_date(buf, f);
    *p++ = '-';
    p = put_time(p, f);
    *p++ = '-';
    *p++ = '[';
    p = put_digits(p, f.year_day, 3);
    *p++ = '-';
    p = put_digits(p, f.weekday, 1);
    *p++ = ']';
    *p = '\0';
    return buf;
}

char* oro_to_datetime_text(std::uint32_t oro, char* buf) noexcept {
    if (buf == nullptr) return nullptr;
    OroFields f;
    oro_2struct(oro, f);
    char* p = put_date(buf, f);
    *p++ = '-';
    p = put_time(p, f);
    *p = '\0';
    return buf;
}

char* oro_to_ddmmyy(std::uint32_t oro, char* buf) noexcept {
    if (buf == nullptr) return nullptr;
    OroFields f;
    oro_2struct(oro, f);
    char* p = put_digits(buf, f.day, 2);
    p = put_digits(p, f.month, 2);
    p = put_digits(p, f.year, 2);
    *p = '\0';
    return buf;
}

}  // namespace veltra

using namespace veltra;

// The clock codes only compute and write no trace lines; the wrapper still
// keeps any exception inside the library.
extern "C" ECR_API uint32_t ECR_CALL ecr_oro_2long(const unsigned char* oro_bytes) {
    return export_call<std::uint32_t>(
        kOroNone, no_trace,
        [&] {
            if (oro_bytes == nullptr) return kOroNone;
            return oro_2long(
                std::span<const unsigned char, kOroBytesSize>(oro_bytes, kOroBytesSize));
        },
        [](std::uint32_t) noexcept {});
}

extern "C" ECR_API int32_t ECR_CALL ecr_oro_2struct(uint32_t oro, unsigned char* oro_struct) {
    return export_call(
        -1, no_trace,
        [&] {
            if (oro_struct == nullptr) return -1;
            OroFields f;
            const bool valid = oro_2struct(oro, f);
            oro_struct_store(f,
                             std::span<unsigned char, kOroStructSize>(oro_struct, kOroStructSize));
            return valid ? 0 : -1;
        },
        [](std::int32_t) noexcept {});
}

extern "C" ECR_API int32_t ECR_CALL ecr_oro_check(int32_t day, int32_t month, int32_t year,
                                                  int32_t hour, int32_t minute, int32_t second) {
    return export_call(
        -1, no_trace, [&] { return oro_check(day, month, year, hour, minute, second); },
        [](std::int32_t) noexcept {});
}

extern "C" ECR_API char* ECR_CALL ecr_oro_encode(uint32_t oro, char* text) {
    return export_call<char*>(
        nullptr, no_trace, [&] { return oro_encode(oro, text); }, [](char*) noexcept {});
}

extern "C" ECR_API uint32_t ECR_CALL ecr_oro_decode(int32_t day, int32_t month, int32_t year,
                                                    int32_t hour, int32_t minute, int32_t second) {
    return export_call<std::uint32_t>(
        kOroNone, no_trace, [&] { return oro_decode(day, month, year, hour, minute, second); },
        [](std::uint32_t) noexcept {});
}

extern "C" ECR_API uint32_t ECR_CALL ecr_date_decode(int32_t day, int32_t month, int32_t year) {
    return export_call<std::uint32_t>(
        kOroNone, no_trace, [&] { return oro_decode(day, month, year, 0, 0, 0); },
        [](std::uint32_t) noexcept {});
}

extern "C" ECR_API uint32_t ECR_CALL ecr_dates_decode(int32_t day, int32_t month) {
    return export_call<std::uint32_t>(
        kOroNone, no_trace, [&] { return oro_decode(day, month, 0, 0, 0, 0); },
        [](std::uint32_t) noexcept {});
}

extern "C" ECR_API uint32_t ECR_CALL ecr_time_decode(int32_t hour, int32_t minute, int32_t second) {
    return export_call<std::uint32_t>(
        kOroNone, no_trace, [&] { return oro_decode(1, 1, 0, hour, minute, second); },
        [](std::uint32_t) noexcept {});
}

extern "C" ECR_API uint32_t ECR_CALL ecr_times_decode(int32_t hour, int32_t minute) {
    return export_call<std::uint32_t>(
        kOroNone, no_trace, [&] { return oro_decode(1, 1, 0, hour, minute, 0); },
        [](std::uint32_t) noexcept {});
}
