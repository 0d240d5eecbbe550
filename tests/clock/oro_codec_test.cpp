// Clock codes: every day of 2000..2099 against the calendar of <chrono>,
// the named values, the sentinels, the checks, and arguments out of range.
#include "clock/oro_codec.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "veltra.h"

namespace {

namespace chr = std::chrono;

constexpr std::uint32_t kFirst = 946684800u;  // 01/01/2000 00:00:00
constexpr std::uint32_t kLast = 4102444799u;  // 31/12/2099 23:59:59
constexpr unsigned char kCanary = 0xA5;

// Seconds since 01/01/1970 of a civil date and time, from <chrono>, reduced
// modulo 2^32 as the register's 32-bit values are.
std::uint32_t civil_seconds(int year, unsigned month, unsigned day, unsigned hour = 0,
                            unsigned minute = 0, unsigned second = 0) {
    const chr::sys_days date{chr::year{year} / chr::month{month} / chr::day{day}};
    const std::int64_t s = static_cast<std::int64_t>(date.time_since_epoch().count()) * 86400 +
                           hour * 3600 + minute * 60 + second;
    return static_cast<std::uint32_t>(s);
}

// The 10-byte record as one readable line.
std::string struct_text(std::uint32_t oro) {
    unsigned char rec[ECR_ORO_STRUCT_SIZE];
    std::memset(rec, kCanary, sizeof rec);
    const int32_t rc = ecr_oro_2struct(oro, rec);
    char text[128];
    std::snprintf(text, sizeof text, "rc=%d %u/%u/%u %u:%u:%u wd=%u yd=%u b7=%02X",
                  static_cast<int>(rc), rec[0], rec[1], rec[2], rec[3], rec[4], rec[5], rec[6],
                  static_cast<unsigned>(rec[8] | rec[9] << 8), rec[7]);
    return text;
}

std::string encode_text(std::uint32_t oro) {
    char buf[ECR_ORO_TEXT_BUFSIZE];
    return ecr_oro_encode(oro, buf);
}

std::string number(std::uint32_t v) {
    return std::to_string(v);
}
std::string number(std::int32_t v) {
    return std::to_string(v);
}

// Reference text as the C library formats it.
std::string printf_text(const char* format, unsigned a, unsigned b, unsigned c, unsigned d = 0,
                        unsigned e = 0, unsigned f = 0, unsigned g = 0, unsigned h = 0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, a, b, c, d, e, f, g, h);
    return buf;
}

TEST(OroCodec, EveryDayOfTheRangeAgreesWithTheCivilCalendar) {
    const chr::sys_days first{chr::year{2000} / 1 / 1};
    const chr::sys_days last{chr::year{2099} / 12 / 31};
    int count = 0;
    for (chr::sys_days day = first; day <= last; day += chr::days{1}, ++count) {
        const chr::year_month_day ymd{day};
        const int year = static_cast<int>(ymd.year());
        const unsigned month = static_cast<unsigned>(ymd.month());
        const unsigned mday = static_cast<unsigned>(ymd.day());
        const unsigned yy = static_cast<unsigned>(year - 2000);
        const unsigned weekday = chr::weekday{day}.iso_encoding();  // 1 = Monday .. 7 = Sunday
        const unsigned year_day =
            static_cast<unsigned>((day - chr::sys_days{ymd.year() / 1 / 1}).count()) + 1;
        // Midnight, the last second and one time in between, varying by day.
        const unsigned spread = static_cast<unsigned>((count * 2654435761u) % 86400u);
        for (unsigned sec_of_day : {0u, spread, 86399u}) {
            const unsigned h = sec_of_day / 3600, mi = sec_of_day / 60 % 60, s = sec_of_day % 60;
            const std::uint32_t expected = civil_seconds(year, month, mday, h, mi, s);
            SCOPED_TRACE(printf_text("%02u/%02u/%04u %02u:%02u:%02u", mday, month,
                                     static_cast<unsigned>(year), h, mi, s));

            const unsigned char bytes[ECR_ORO_BYTES_SIZE] = {
                static_cast<unsigned char>(mday), static_cast<unsigned char>(month),
                static_cast<unsigned char>(yy),   static_cast<unsigned char>(h),
                static_cast<unsigned char>(mi),   static_cast<unsigned char>(s)};
            ASSERT_EQ(ecr_oro_2long(bytes), expected);
            ASSERT_EQ(ecr_oro_decode(static_cast<int32_t>(mday), static_cast<int32_t>(month),
                                     static_cast<int32_t>(yy), static_cast<int32_t>(h),
                                     static_cast<int32_t>(mi), static_cast<int32_t>(s)),
                      expected);
            ASSERT_EQ(ecr_oro_check(static_cast<int32_t>(mday), static_cast<int32_t>(month),
                                    static_cast<int32_t>(yy), static_cast<int32_t>(h),
                                    static_cast<int32_t>(mi), static_cast<int32_t>(s)),
                      0);

            unsigned char rec[ECR_ORO_STRUCT_SIZE];
            std::memset(rec, kCanary, sizeof rec);
            ASSERT_EQ(ecr_oro_2struct(expected, rec), 0);
            const unsigned char want[ECR_ORO_STRUCT_SIZE] = {
                bytes[0],
                bytes[1],
                bytes[2],
                bytes[3],
                bytes[4],
                bytes[5],
                static_cast<unsigned char>(weekday),
                kCanary,
                static_cast<unsigned char>(year_day & 0xFF),
                static_cast<unsigned char>(year_day >> 8)};
            ASSERT_EQ(std::memcmp(rec, want, sizeof want), 0)
                << "got " << struct_text(expected) << ", weekday " << weekday << ", year day "
                << year_day;

            ASSERT_EQ(encode_text(expected),
                      printf_text("%02u/%02u/%02u-%02u:%02u:%02u-[%03u-%u]", mday, month, yy, h, mi,
                                  s, year_day, weekday));
            char text[veltra::kOroDatetimeSize];
            ASSERT_EQ(std::string(veltra::oro_to_datetime_text(expected, text)),
                      printf_text("%02u/%02u/%02u-%02u:%02u:%02u", mday, month, yy, h, mi, s));
            char ddmmyy[veltra::kOroDdmmyySize];
            ASSERT_EQ(std::string(veltra::oro_to_ddmmyy(expected, ddmmyy)),
                      printf_text("%02u%02u%02u", mday, month, yy));
        }
    }
    EXPECT_EQ(count, 36525);
}

TEST(OroCodec, CheckRefusesTheDayAfterTheLastOfEveryMonth) {
    for (int32_t yy = 0; yy <= 99; ++yy) {
        for (unsigned month = 1; month <= 12; ++month) {
            const chr::year_month_day_last end{chr::year{2000 + yy} / chr::month{month} /
                                               chr::last};
            const auto last = static_cast<int32_t>(static_cast<unsigned>(end.day()));
            const auto m = static_cast<int32_t>(month);
            EXPECT_EQ(ecr_oro_check(last, m, yy, 0, 0, 0), 0) << last << "/" << m << "/" << yy;
            EXPECT_EQ(ecr_oro_check(last + 1, m, yy, 0, 0, 0), -1)
                << last + 1 << "/" << m << "/" << yy;
        }
    }
}

TEST(OroCodec, NamedValues) {
    const struct {
        const char* what;
        std::string (*actual)();
        const char* expected;
    } cases[] = {
        {"decode of the first valid second",
         [] { return number(ecr_oro_decode(1, 1, 0, 0, 0, 0)); }, "946684800"},
        {"decode of the last valid second",
         [] { return number(ecr_oro_decode(31, 12, 99, 23, 59, 59)); }, "4102444799"},
        {"the last valid second read signed",
         [] { return number(static_cast<int32_t>(ecr_oro_decode(31, 12, 99, 23, 59, 59))); },
         "-192522497"},
        {"2struct of the first valid second", [] { return struct_text(946684800u); },
         "rc=0 1/1/0 0:0:0 wd=6 yd=1 b7=A5"},
        {"2struct just below the range", [] { return struct_text(946684799u); },
         "rc=-1 99/99/99 99:99:99 wd=1 yd=999 b7=A5"},
        {"2struct of the last valid second", [] { return struct_text(4102444799u); },
         "rc=0 31/12/99 23:59:59 wd=4 yd=365 b7=A5"},
        {"2struct just above the range", [] { return struct_text(4102444800u); },
         "rc=-1 99/99/99 99:99:99 wd=1 yd=999 b7=A5"},
        {"encode of the first valid second", [] { return encode_text(946684800u); },
         "01/01/00-00:00:00-[001-6]"},
        {"encode of the first second that reads negative", [] { return encode_text(2147483648u); },
         "19/01/38-03:14:08-[019-2]"},
        {"encode out of range", [] { return encode_text(0u); }, "99/99/99-99:99:99-[999-1]"},
        {"29/02/00 converts", [] { return encode_text(ecr_oro_decode(29, 2, 0, 0, 0, 0)); },
         "29/02/00-00:00:00-[060-2]"},
        {"29/02/04 converts", [] { return encode_text(ecr_oro_decode(29, 2, 4, 0, 0, 0)); },
         "29/02/04-00:00:00-[060-7]"},
        {"29/02/00 checks", [] { return number(ecr_oro_check(29, 2, 0, 0, 0, 0)); }, "0"},
        {"29/02/04 checks", [] { return number(ecr_oro_check(29, 2, 4, 0, 0, 0)); }, "0"},
        {"29/02/01 fails", [] { return number(ecr_oro_check(29, 2, 1, 0, 0, 0)); }, "-1"},
        {"31/04/14 fails", [] { return number(ecr_oro_check(31, 4, 14, 0, 0, 0)); }, "-1"},
        {"year -1 passes", [] { return number(ecr_oro_check(1, 1, -1, 0, 0, 0)); }, "0"},
        {"1 March of a leap year is day 61", [] { return encode_text(ecr_date_decode(1, 3, 12)); },
         "01/03/12-00:00:00-[061-4]"},
        {"1 March of a common year is day 60",
         [] { return encode_text(ecr_date_decode(1, 3, 13)); }, "01/03/13-00:00:00-[060-5]"},
        {"time decode", [] { return number(ecr_time_decode(12, 30, 15)); }, "946729815"},
        {"times decode equals decode of 01/01/00",
         [] { return number(ecr_times_decode(21, 0) - ecr_oro_decode(1, 1, 0, 21, 0, 0)); }, "0"},
        {"dates decode equals date decode of year 00",
         [] { return number(ecr_dates_decode(15, 8) - ecr_date_decode(15, 8, 0)); }, "0"},
        {"only the low 8 bits of the year count",
         [] { return number(ecr_date_decode(1, 1, 256) - ecr_date_decode(1, 1, 0)); }, "0"},
        {"decode of 16/12/14 14:55:17",
         [] { return number(ecr_oro_decode(16, 12, 14, 14, 55, 17)); }, "1418741717"},
        {"encode of 16/12/14 14:55:17", [] { return encode_text(1418741717u); },
         "16/12/14-14:55:17-[350-2]"},
        {"day 0 of March 2014",
         [] {
             const unsigned char day0[ECR_ORO_BYTES_SIZE] = {0, 3, 14, 0, 0, 0};
             return number(ecr_oro_2long(day0));
         },
         "1393545600"},
        {"28 February 2014",
         [] {
             const unsigned char feb28[ECR_ORO_BYTES_SIZE] = {28, 2, 14, 0, 0, 0};
             return number(ecr_oro_2long(feb28));
         },
         "1393545600"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.actual(), c.expected) << c.what;
}

TEST(OroCodec, ValuesOutsideTheRangeGiveTheSentinels) {
    for (std::uint32_t oro : {0u, 1u, 946684799u, 4102444800u, 4200000000u, 0xFFFFFFFFu}) {
        unsigned char rec[ECR_ORO_STRUCT_SIZE];
        std::memset(rec, kCanary, sizeof rec);
        EXPECT_EQ(ecr_oro_2struct(oro, rec), -1) << oro;
        const unsigned char want[ECR_ORO_STRUCT_SIZE] = {99, 99, 99,      99,   99,
                                                         99, 1,  kCanary, 0xE7, 0x03};
        EXPECT_EQ(std::memcmp(rec, want, sizeof want), 0) << struct_text(oro);
        EXPECT_EQ(encode_text(oro), "99/99/99-99:99:99-[999-1]") << oro;
        char text[veltra::kOroDatetimeSize];
        EXPECT_STREQ(veltra::oro_to_datetime_text(oro, text), "99/99/99-99:99:99") << oro;
        char ddmmyy[veltra::kOroDdmmyySize];
        EXPECT_STREQ(veltra::oro_to_ddmmyy(oro, ddmmyy), "999999") << oro;
    }
}

TEST(OroCodec, RangeBoundsAreComparedUnsigned) {
    // Valid values from 2038 on read negative as signed numbers.
    for (std::uint32_t oro : {kFirst, 2147483647u, 2147483648u, 3000000000u, kLast}) {
        unsigned char rec[ECR_ORO_STRUCT_SIZE];
        EXPECT_EQ(ecr_oro_2struct(oro, rec), 0) << oro;
        EXPECT_EQ(ecr_oro_2long(rec), oro) << oro;
    }
}

TEST(OroCodec, DayOfTheYearIsStoredLittleEndian) {
    const struct {
        std::uint32_t oro;
        unsigned char low, high;
    } cases[] = {
        {civil_seconds(2000, 12, 31), 366 & 0xFF, 366 >> 8},  // 0x016E
        {civil_seconds(2001, 12, 31), 365 & 0xFF, 365 >> 8},  // 0x016D
        {civil_seconds(2001, 9, 13), 0, 1},                   // day 256
        {civil_seconds(2001, 9, 12), 255, 0},                 // day 255
    };
    for (const auto& c : cases) {
        unsigned char rec[ECR_ORO_STRUCT_SIZE];
        ASSERT_EQ(ecr_oro_2struct(c.oro, rec), 0);
        EXPECT_EQ(rec[8], c.low) << c.oro;
        EXPECT_EQ(rec[9], c.high) << c.oro;
    }
}

TEST(OroCodec, CheckAppliesEachRuleInTurn) {
    const struct {
        int32_t day, month, year, hour, minute, second;
        int32_t expected;
    } cases[] = {
        {1, 1, 0, 0, 0, 0, 0},         {31, 12, 99, 23, 59, 59, 0},
        {1, 1, 100, 0, 0, 0, -1},      {1, 1, INT32_MAX, 0, 0, 0, -1},
        {1, 1, INT32_MIN, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0, -1},
        {1, 13, 0, 0, 0, 0, -1},       {1, -1, 0, 0, 0, 0, -1},
        {0, 1, 0, 0, 0, 0, -1},        {32, 1, 0, 0, 0, 0, -1},
        {-1, 1, 0, 0, 0, 0, -1},       {1, 1, 0, 24, 0, 0, -1},
        {1, 1, 0, 0, 60, 0, -1},       {1, 1, 0, 0, 0, 60, -1},
        {1, 1, 0, -1, -1, -1, 0},      {1, 1, 0, INT32_MIN, INT32_MIN, INT32_MIN, 0},
        {30, 2, 0, 0, 0, 0, -1},       {29, 2, 96, 0, 0, 0, 0},
        {29, 2, 99, 0, 0, 0, -1},      {28, 2, 99, 0, 0, 0, 0},
        {29, 2, -4, 0, 0, 0, 0},       {29, 2, -1, 0, 0, 0, -1},
        {31, 4, 0, 0, 0, 0, -1},       {31, 6, 0, 0, 0, 0, -1},
        {31, 9, 0, 0, 0, 0, -1},       {31, 11, 0, 0, 0, 0, -1},
        {30, 11, 0, 0, 0, 0, 0},       {31, 1, 0, 0, 0, 0, 0},
        {31, 3, 0, 0, 0, 0, 0},        {31, 5, 0, 0, 0, 0, 0},
        {31, 7, 0, 0, 0, 0, 0},        {31, 8, 0, 0, 0, 0, 0},
        {31, 10, 0, 0, 0, 0, 0},       {31, 12, 0, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ecr_oro_check(c.day, c.month, c.year, c.hour, c.minute, c.second), c.expected)
            << c.day << "/" << c.month << "/" << c.year << " " << c.hour << ":" << c.minute << ":"
            << c.second;
    }
}

TEST(OroCodec, DecodesKeepOnlyTheLowEightBitsOfEachArgument) {
    const struct {
        const char* what;
        std::uint32_t actual, expected;
    } cases[] = {
        {"oro_decode",
         ecr_oro_decode(15 + 256, 8 - 512, 14 + 0x7F00, 12 | INT32_MIN, 30 + 65536, 15 - 256),
         ecr_oro_decode(15, 8, 14, 12, 30, 15)},
        {"date_decode", ecr_date_decode(15 - 0x100, 8 + 0x1000, 14 + 0x10000),
         ecr_date_decode(15, 8, 14)},
        {"dates_decode", ecr_dates_decode(15 + 0x300, 8 - 0x300), ecr_dates_decode(15, 8)},
        {"time_decode", ecr_time_decode(12 + 256, 30 - 256, 15 + 0x12300),
         ecr_time_decode(12, 30, 15)},
        {"times_decode", ecr_times_decode(21 | INT32_MIN, 0 - 256), ecr_times_decode(21, 0)},
        // -1 is 255 in its low byte: hour 255 is ten days and 15 hours on.
        {"negative hour", ecr_time_decode(-1, 0, 0), kFirst + 255u * 3600u},
    };
    for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected) << c.what;
}

TEST(OroCodec, DecodesFillTheFieldsTheyDoNotTake) {
    EXPECT_EQ(ecr_date_decode(15, 8, 14), civil_seconds(2014, 8, 15));
    EXPECT_EQ(ecr_dates_decode(15, 8), civil_seconds(2000, 8, 15));
    EXPECT_EQ(ecr_time_decode(12, 30, 15), civil_seconds(2000, 1, 1, 12, 30, 15));
    EXPECT_EQ(ecr_times_decode(12, 30), civil_seconds(2000, 1, 1, 12, 30, 0));
}

TEST(OroCodec, FieldsBeyondTheirRangesAddUpLinearly) {
    const struct {
        const char* what;
        std::uint32_t actual, expected;
    } cases[] = {
        {"day 0 of January 2000 is 31/12/1999", ecr_date_decode(0, 1, 0),
         civil_seconds(1999, 12, 31)},
        {"day 0 of March 2012 is 29/02/2012", ecr_date_decode(0, 3, 12),
         civil_seconds(2012, 2, 29)},
        {"day 32 of January", ecr_date_decode(32, 1, 5), civil_seconds(2005, 2, 1)},
        {"hour 24 is midnight of the next day", ecr_oro_decode(31, 12, 99, 24, 0, 0), kLast + 1u},
        {"minute 60", ecr_oro_decode(1, 1, 0, 0, 60, 0), civil_seconds(2000, 1, 1, 1, 0, 0)},
        {"second 255", ecr_oro_decode(1, 1, 0, 0, 0, 255), kFirst + 255u},
        // Years beyond 99 count every fourth year as a leap year (2100 too),
        // and the sum wraps at 32 bits.
        {"year 136 wraps", ecr_date_decode(1, 1, 136),
         static_cast<std::uint32_t>(civil_seconds(2136, 1, 1) + 86400u)},
        {"year 255 wraps", ecr_oro_decode(31, 12, 255, 255, 255, 255),
         static_cast<std::uint32_t>(civil_seconds(2255, 12, 31) + 2u * 86400u + 255u * 3600u +
                                    255u * 60u + 255u)},
    };
    for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected) << c.what;
}

TEST(OroCodec, MonthsOutsideTheYearCountOnFromTheYearGiven) {
    const struct {
        int32_t day, month, year;
        std::uint32_t expected;
    } cases[] = {
        {15, 0, 14, civil_seconds(2013, 12, 15)}, {1, 0, 0, civil_seconds(1999, 12, 1)},
        {15, 13, 14, civil_seconds(2015, 1, 15)}, {29, 14, 11, civil_seconds(2012, 2, 29)},
        {1, 15, 11, civil_seconds(2012, 3, 1)},   {31, 24, 98, civil_seconds(2099, 12, 31)},
        {1, 255, 14, civil_seconds(2035, 3, 1)},  {1, 1 + 12 * 8, 0, civil_seconds(2008, 1, 1)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ecr_date_decode(c.day, c.month, c.year), c.expected)
            << c.day << "/" << c.month << "/" << c.year;
    }
}

TEST(OroCodec, EveryMonthByteGivesTheSameValueAsItsMonthInRange) {
    // Whatever the month byte, the value is that of a month in 1..12 with the
    // year moved on (or back, for month 0); under the address sanitizer this
    // also shows the day table is never read outside its entries.
    for (int32_t year = 0; year <= 234; ++year) {
        for (int32_t month = 0; month <= 255; ++month) {
            const int32_t index = month - 1;
            const int32_t carry = index < 0 ? -1 : index / 12;
            const int32_t in_range = index - carry * 12 + 1;
            const int32_t moved_year = year + carry;
            if (moved_year < 0) continue;  // December 1999 is checked above
            ASSERT_EQ(ecr_oro_decode(10, month, year, 1, 2, 3),
                      ecr_oro_decode(10, in_range, moved_year, 1, 2, 3))
                << "month " << month << " year " << year;
        }
    }
}

TEST(OroCodec, NullBuffersAreRefusedWithoutWriting) {
    EXPECT_EQ(ecr_oro_2long(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(ecr_oro_2struct(kFirst, nullptr), -1);
    EXPECT_EQ(ecr_oro_2struct(0, nullptr), -1);
    EXPECT_EQ(ecr_oro_encode(kFirst, nullptr), nullptr);
    EXPECT_EQ(veltra::oro_to_datetime_text(kFirst, nullptr), nullptr);
    EXPECT_EQ(veltra::oro_to_ddmmyy(kFirst, nullptr), nullptr);
}

TEST(OroCodec, TextsStayWithinTheirBuffersAndReturnThem) {
    const struct {
        const char* what;
        std::size_t size;
        char* (*write)(std::uint32_t, char*);
    } writers[] = {
        {"encode", ECR_ORO_TEXT_BUFSIZE,
         [](std::uint32_t v, char* b) { return ecr_oro_encode(v, b); }},
        {"datetime", veltra::kOroDatetimeSize, veltra::oro_to_datetime_text},
        {"ddmmyy", veltra::kOroDdmmyySize, veltra::oro_to_ddmmyy},
    };
    for (const auto& w : writers) {
        for (std::uint32_t oro : {0u, kFirst, civil_seconds(2000, 12, 31, 23, 59, 59), kLast}) {
            char buf[64];
            std::memset(buf, 'x', sizeof buf);
            EXPECT_EQ(w.write(oro, buf), buf) << w.what;
            EXPECT_EQ(std::strlen(buf), w.size - 1) << w.what << " " << oro;
            EXPECT_EQ(buf[w.size], 'x') << w.what << " wrote past its text for " << oro;
        }
    }
}

TEST(OroCodec, InternalFieldsMatchTheExportedRecord) {
    veltra::OroFields f;
    EXPECT_TRUE(veltra::oro_2struct(1418741717u, f));
    EXPECT_EQ(f.day, 16);
    EXPECT_EQ(f.month, 12);
    EXPECT_EQ(f.year, 14);
    EXPECT_EQ(f.hour, 14);
    EXPECT_EQ(f.minute, 55);
    EXPECT_EQ(f.second, 17);
    EXPECT_EQ(f.weekday, 2);
    EXPECT_EQ(f.year_day, 350);
    // A failed conversion leaves the sentinels, whatever was there before.
    EXPECT_FALSE(veltra::oro_2struct(kLast + 1u, f));
    EXPECT_EQ(f.day, 99);
    EXPECT_EQ(f.weekday, 1);
    EXPECT_EQ(f.year_day, 999);
}

}  // namespace
