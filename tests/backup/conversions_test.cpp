// Member conversions against the values of the layouts: short lines and
// bitmaps both ways, the old-layout upgrades, the parameters and TAV_MIN.
#include "backup/conversions.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "backup/member_layouts.hpp"
#include "backup_test_support.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;

std::string text_at(const ByteVec& b, std::size_t at, std::size_t width) {
    const char* p = reinterpret_cast<const char*>(b.data() + at);
    return std::string(p, strnlen(p, width));
}

bool zero(const ByteVec& b, std::size_t from, std::size_t to) {
    return std::all_of(b.begin() + static_cast<std::ptrdiff_t>(from),
                       b.begin() + static_cast<std::ptrdiff_t>(to),
                       [](std::uint8_t c) { return c == 0; });
}

void put_text(ByteVec& b, std::size_t at, const std::string& text) {
    std::memcpy(b.data() + at, text.data(), text.size());
}

class ConversionsTest : public ::testing::Test {
protected:
    std::string dir() const { return dir_.path().string(); }
    std::string file(const char* name) const { return dir_.file(name); }
    ByteVec bytes(const char* name) const { return read_bytes(file(name)); }
    TempDir dir_;
};

// Short files with texts of 24 characters, a courtesy trailing byte, and
// bitmaps whose rows beyond their counts are zero.
void write_short_files(const TempDir& d) {
    ByteVec head(208, 0);
    for (std::size_t i = 0; i < 8; ++i) {
        head[i * 26] = static_cast<std::uint8_t>(i + 1);
        put_text(head, i * 26 + 1, std::string(24, static_cast<char>('A' + i)));
    }
    write_bytes(d.file("INTESTAZIONE.BIN"), head);
    ByteVec court(54, 0);
    for (std::size_t i = 0; i < 2; ++i) {
        court[i * 27] = 0x11;
        put_text(court, i * 27 + 1, i == 0 ? "GRAZIE" : "A PRESTO");
        court[i * 27 + 26] = static_cast<std::uint8_t>(0xA0 + i);
    }
    write_bytes(d.file("CORTESIA.BIN"), court);
    ByteVec bmp(230496, 0);
    for (std::size_t i = 0; i < 12; ++i) {
        const std::size_t at = i * 19208;
        const std::uint32_t rows = i == 0 ? 0 : static_cast<std::uint32_t>(i * 33);
        put_u32(bmp, at, 48);
        put_u32(bmp, at + 4, rows);
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t c = 0; c < 48; ++c)
                bmp[at + 8 + r * 48 + c] = static_cast<std::uint8_t>(r * 3 + c + i + 1);
    }
    write_bytes(d.file("BITMAP.BIN"), bmp);
}

TEST_F(ConversionsTest, ShortFilesExpandToTheFullLayout) {
    write_short_files(dir_);
    ASSERT_EQ(ecr_dati_expand_short(dir()), 0);
    const ByteVec head = bytes("INTESTAZIONE.BIN");
    ASSERT_EQ(head.size(), 304u);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(head[i * 38], i + 1);
        EXPECT_EQ(text_at(head, i * 38 + 1, 37), std::string(24, static_cast<char>('A' + i)));
        EXPECT_TRUE(zero(head, i * 38 + 25, i * 38 + 38));
    }
    const ByteVec court = bytes("CORTESIA.BIN");
    ASSERT_EQ(court.size(), 78u);
    EXPECT_EQ(text_at(court, 1, 37), "GRAZIE");
    EXPECT_EQ(court[38], 0xA0);
    EXPECT_EQ(court[39 + 38], 0xA1);
    const ByteVec bmp = bytes("BITMAP.BIN");
    ASSERT_EQ(bmp.size(), 384096u);
    // Row count 0: width 80, count 0, every row zero.
    EXPECT_EQ(get_u32(bmp, 0), 80u);
    EXPECT_EQ(get_u32(bmp, 4), 0u);
    EXPECT_TRUE(zero(bmp, 8, 32008));
    // A short row is bytes 16 to 63 of the full row.
    const std::size_t at = 5 * 32008;
    EXPECT_EQ(get_u32(bmp, at + 4), 165u);
    EXPECT_TRUE(zero(bmp, at + 8 + 2 * 80, at + 8 + 2 * 80 + 16));
    EXPECT_EQ(bmp[at + 8 + 2 * 80 + 16], 2 * 3 + 0 + 5 + 1);
    EXPECT_EQ(bmp[at + 8 + 2 * 80 + 63], 2 * 3 + 47 + 5 + 1);
    EXPECT_TRUE(zero(bmp, at + 8 + 2 * 80 + 64, at + 8 + 3 * 80));
}

TEST_F(ConversionsTest, ExpandThenReduceGivesBackTheSameFiles) {
    write_short_files(dir_);
    const ByteVec head = bytes("INTESTAZIONE.BIN"), court = bytes("CORTESIA.BIN"),
                  bmp = bytes("BITMAP.BIN");
    ASSERT_EQ(ecr_dati_expand_short(dir()), 0);
    ASSERT_EQ(ecr_dati_reduce_short(dir()), 0);
    EXPECT_EQ(bytes("INTESTAZIONE.BIN"), head);
    EXPECT_EQ(bytes("CORTESIA.BIN"), court);
    EXPECT_EQ(bytes("BITMAP.BIN"), bmp);
}

TEST_F(ConversionsTest, ReductionCutsTextsTo24CharactersAndKeepsTrailingBytes) {
    ByteVec head(304, 0), court(78, 0), bmp(384096, 0);
    put_text(head, 1, std::string(36, 'H'));
    put_text(court, 39 + 1, std::string(36, 'C'));
    court[38] = 0x7E;
    court[39 + 38] = 0x7F;
    put_u32(bmp, 0, 80);
    put_u32(bmp, 4, 1);
    for (std::size_t c = 0; c < 80; ++c) bmp[8 + c] = static_cast<std::uint8_t>(c);
    write_bytes(file("INTESTAZIONE.BIN"), head);
    write_bytes(file("CORTESIA.BIN"), court);
    write_bytes(file("BITMAP.BIN"), bmp);
    ASSERT_EQ(ecr_dati_reduce_short(dir()), 0);
    const ByteVec h = bytes("INTESTAZIONE.BIN"), c = bytes("CORTESIA.BIN"), b = bytes("BITMAP.BIN");
    ASSERT_EQ(h.size(), 208u);
    EXPECT_EQ(text_at(h, 1, 25), std::string(24, 'H'));
    EXPECT_EQ(h[25], 0);
    ASSERT_EQ(c.size(), 54u);
    EXPECT_EQ(text_at(c, 27 + 1, 25), std::string(24, 'C'));
    EXPECT_EQ(c[26], 0x7E);
    EXPECT_EQ(c[27 + 26], 0x7F);
    ASSERT_EQ(b.size(), 230496u);
    EXPECT_EQ(get_u32(b, 0), 48u);
    EXPECT_EQ(get_u32(b, 4), 1u);
    for (std::size_t k = 0; k < 48; ++k) EXPECT_EQ(b[8 + k], 16 + k);
}

TEST_F(ConversionsTest, ARowCountAbove400IsTakenAs400) {
    ByteVec bmp(230496, 0);
    put_u32(bmp, 0, 48);
    put_u32(bmp, 4, 0xFFFFFFFFu);
    std::fill(bmp.begin() + 8, bmp.begin() + 19208, 0x5A);
    write_bytes(file("BITMAP.BIN"), bmp);
    write_bytes(file("INTESTAZIONE.BIN"), ByteVec(208, 0));
    write_bytes(file("CORTESIA.BIN"), ByteVec(54, 0));
    ASSERT_EQ(ecr_dati_expand_short(dir()), 0);
    const ByteVec b = bytes("BITMAP.BIN");
    EXPECT_EQ(get_u32(b, 4), 400u);
    EXPECT_EQ(b[8 + 399 * 80 + 63], 0x5A);
    EXPECT_EQ(get_u32(b, 32008), 80u);  // the next bitmap is untouched by the rows
    EXPECT_EQ(get_u32(b, 32008 + 4), 0u);
}

// Each of the three members on its own, the other two in the size the
// direction converts: a member is converted, kept, or refused as it stands,
// never replaced by zeros.
enum class Given { kShort, kFull, kWrong, kMissing };
enum class Outcome { kConverted, kKept, kRefused };

struct ShortCase {
    const char* name;
    const MemberLayout* layout;
    bool expand;
    Given given;
    Outcome outcome;
};

ByteVec nonzero_image(std::size_t size) {
    ByteVec b(size);
    for (std::size_t k = 0; k < size; ++k) b[k] = static_cast<std::uint8_t>('A' + k % 23);
    return b;
}

void PrintTo(const ShortCase& c, std::ostream* os) {
    *os << c.name;
}

class ShortLayoutSizes : public ConversionsTest, public ::testing::WithParamInterface<ShortCase> {};

TEST_P(ShortLayoutSizes, AMemberIsConvertedKeptOrRefusedNeverZeroed) {
    const ShortCase& c = GetParam();
    for (const MemberLayout* other : {&kShortIntestazione, &kShortCortesia, &kShortBitmap})
        if (other != c.layout)
            write_bytes(file(other->file),
                        ByteVec(c.expand ? other->small_size() : other->full_size(), 0));
    const std::size_t size = c.given == Given::kShort  ? c.layout->small_size()
                             : c.given == Given::kFull ? c.layout->full_size()
                                                       : c.layout->small_size() + 1;
    const ByteVec before = nonzero_image(size);
    if (c.given != Given::kMissing) write_bytes(file(c.layout->file), before);

    const std::int32_t result =
        c.expand ? ecr_dati_expand_short(dir()) : ecr_dati_reduce_short(dir());
    switch (c.outcome) {
        case Outcome::kConverted: {
            ASSERT_EQ(result, 0);
            const ByteVec after = bytes(c.layout->file);
            ASSERT_EQ(after.size(), c.expand ? c.layout->full_size() : c.layout->small_size());
            // The leading byte of the first line or the first bitmap's count.
            EXPECT_FALSE(zero(after, 0, std::min<std::size_t>(after.size(), 64)));
            break;
        }
        case Outcome::kKept:
            ASSERT_EQ(result, 0);
            EXPECT_EQ(bytes(c.layout->file), before);
            break;
        case Outcome::kRefused:
            EXPECT_EQ(result, ERR_INVALID_FILESIZE);
            if (c.given == Given::kMissing)
                EXPECT_FALSE(fs::exists(file(c.layout->file)));
            else
                EXPECT_EQ(bytes(c.layout->file), before);
            break;
    }
}

std::vector<ShortCase> short_cases() {
    const std::pair<const char*, const MemberLayout*> members[] = {
        {"Intestazione", &kShortIntestazione},
        {"Cortesia", &kShortCortesia},
        {"Bitmap", &kShortBitmap}};
    struct Row {
        const char* name;
        bool expand;
        Given given;
        Outcome outcome;
    };
    const Row rows[] = {
        {"ExpandShort", true, Given::kShort, Outcome::kConverted},
        {"ExpandFull", true, Given::kFull, Outcome::kKept},
        {"ExpandWrongSize", true, Given::kWrong, Outcome::kRefused},
        {"ExpandMissing", true, Given::kMissing, Outcome::kRefused},
        {"ReduceFull", false, Given::kFull, Outcome::kConverted},
        {"ReduceShort", false, Given::kShort, Outcome::kRefused},
        {"ReduceWrongSize", false, Given::kWrong, Outcome::kRefused},
        {"ReduceMissing", false, Given::kMissing, Outcome::kRefused},
    };
    static std::vector<std::string> names;
    std::vector<ShortCase> out;
    names.reserve(std::size(members) * std::size(rows));
    for (const auto& [member, layout] : members)
        for (const Row& r : rows) {
            names.push_back(std::string(member) + r.name);
            out.push_back({names.back().c_str(), layout, r.expand, r.given, r.outcome});
        }
    return out;
}

INSTANTIATE_TEST_SUITE_P(EachMemberAndSize, ShortLayoutSizes, ::testing::ValuesIn(short_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConversionsTest, OldDepartmentsSplitTheirPackedByte) {
    ByteVec old(3360, 0);
    put_text(old, 0, "FRUTTA");
    old[25] = 0xE5;
    put_u32(old, 26, 1234);
    put_u32(old, 38, 0xA1B2C3D4u);
    put_text(old, 42, std::string(25, 'N'));  // no NUL: runs to the next field
    old[42 + 25] = 0x1F;
    write_bytes(file("REPARTI.BIN"), old);
    ASSERT_EQ(ecr_dati_upgrade_reparti(dir()), 0);
    const ByteVec b = bytes("REPARTI.BIN");
    ASSERT_EQ(b.size(), 4000u);
    EXPECT_EQ(text_at(b, 1, 25), "FRUTTA");
    EXPECT_EQ(b[26] & 0x1F, 5);
    EXPECT_EQ(b[26] & 0xE0, 0);  // the default's bits
    EXPECT_EQ(b[27], 7);
    EXPECT_EQ(get_u32(b, 28), 1234u);
    EXPECT_EQ(get_u32(b, 40), 0xA1B2C3D4u);
    EXPECT_EQ(text_at(b, 50 + 1, 25), std::string(24, 'N'));
    EXPECT_EQ(b[50 + 26], 0x1F);
    EXPECT_FALSE(fs::exists(file("REPARTI.TMP")));
}

TEST_F(ConversionsTest, OldCustomersLandAtTheirNewPlacesWithBoundedTexts) {
    ByteVec old(44250, 0);
    for (std::size_t i = 0; i < 250; ++i) {
        const std::size_t at = i * 177;
        old[at] = 1;
        put_text(old, at + 1, "CLIENTE " + std::to_string(i));
        put_text(old, at + 42, "VIA " + std::to_string(i));
        put_text(old, at + 83, "BOLOGNA");
        put_text(old, at + 124, std::string(52, '9'));
    }
    write_bytes(file("CLIENTI.BIN"), old);
    ASSERT_EQ(ecr_dati_upgrade_clienti(dir()), 0);
    const ByteVec b = bytes("CLIENTI.BIN");
    ASSERT_EQ(b.size(), 256000u);
    for (const std::size_t i : {0u, 137u, 249u}) {
        const std::size_t at = 256 * i;
        EXPECT_EQ(b[at + 1], 1);
        EXPECT_EQ(text_at(b, at + 2, 41), "CLIENTE " + std::to_string(i));
        EXPECT_EQ(text_at(b, at + 43, 41), "VIA " + std::to_string(i));
        EXPECT_EQ(text_at(b, at + 84, 41), "BOLOGNA");
        EXPECT_EQ(text_at(b, at + 125, 12), std::string(11, '9'));
        EXPECT_TRUE(zero(b, at + 136, at + 256)) << "the text stops at its new field";
    }
    EXPECT_TRUE(zero(b, 250 * 256, 256000));
}

TEST_F(ConversionsTest, OldArticlesKeepTheirFieldsAndNewOnesTheirDefaults) {
    ByteVec old(240000, 0);
    put_text(old, 0, "MELE GOLDEN KG");
    old[25] = 3;
    old[26] = 0xFE;
    put_u32(old, 27, 249);
    put_text(old, 31, std::string(17, '8'));
    write_bytes(file("PLU.BIN"), old);
    ASSERT_EQ(ecr_dati_upgrade_plu(dir()), 0);
    const ByteVec b = bytes("PLU.BIN");
    ASSERT_EQ(b.size(), 6400000u);
    EXPECT_EQ(text_at(b, 1, 25), "MELE GOLDEN KG");
    EXPECT_EQ(b[26], 3);
    EXPECT_EQ(b[27], 0x02);  // bits 0 and 1 from the old flags, bits 2-7 the default's
    EXPECT_EQ(get_u32(b, 28), 249u);
    EXPECT_EQ(text_at(b, 32, 14), std::string(13, '8'));
    EXPECT_TRUE(zero(b, 45, 64));
    // Old record 1 was empty: an empty name, flags 0.
    EXPECT_EQ(text_at(b, 64 + 1, 25), "");
    EXPECT_EQ(b[64 + 27], 0);
    EXPECT_EQ(text_at(b, 5000 * 64 + 1, 25), "PLU 5001");
    EXPECT_EQ(b[5000 * 64 + 27], 0x03);
    EXPECT_EQ(text_at(b, 99999 * 64 + 1, 25), "PLU 100000");
}

TEST_F(ConversionsTest, OldParametersKeepEveryMappedFieldOverTheDefaults) {
    ByteVec old(428, 0);
    for (std::size_t k = 0; k < 428; ++k) old[k] = static_cast<std::uint8_t>(k % 200 + 1);
    put_text(old, 27, "SCONTRINO");
    old[27 + 9] = 0;
    write_bytes(file("PROG_PARAM.BIN"), old);
    ASSERT_EQ(ecr_dati_upgrade_prog_param(dir()), 0);
    const ByteVec b = bytes("PROG_PARAM.BIN");
    ASSERT_EQ(b.size(), 1024u);
    const std::pair<std::size_t, std::size_t> same[] = {
        {0, 0},     {1, 1},     {15, 15},   {18, 16},   {20, 18},   {24, 19},
        {30, 22},   {33, 25},   {34, 26},   {142, 134}, {143, 135}, {147, 139},
        {251, 141}, {257, 147}, {258, 148}, {265, 155}, {266, 156}, {271, 161},
        {672, 362}, {698, 388}, {724, 414}, {728, 417}};
    for (const auto& [to, from] : same) EXPECT_EQ(b[to], old[from]) << "new byte " << to;
    EXPECT_EQ(text_at(b, 35, 25), "SCONTRINO");
    // A text without NUL in its old field is cut to its width minus one.
    EXPECT_EQ(text_at(b, 60, 25), text_at(old, 52, 24));
    EXPECT_EQ(b[60 + 24], 0);
    EXPECT_EQ(b[135 + 6], 0);
    // Fields with no old offset keep their defaults.
    EXPECT_EQ(b[21], 0);
    EXPECT_EQ(b[22], 1);
    EXPECT_EQ(b[148], 1);
    EXPECT_TRUE(
        std::all_of(b.begin() + 151, b.begin() + 251, [](std::uint8_t c) { return c == 0xFF; }));
    EXPECT_TRUE(zero(b, 472, 672));
    EXPECT_EQ(b[729], 1);
    EXPECT_EQ(b[730], 1);
    EXPECT_TRUE(zero(b, 731, 1024));
}

TEST_F(ConversionsTest, ParametersOfAnotherSizeBecomeTheDefaults) {
    write_bytes(file("PROG_PARAM.BIN"), ByteVec(500, 0x33));
    ASSERT_EQ(ecr_dati_upgrade_prog_param(dir()), 0);
    const ByteVec b = bytes("PROG_PARAM.BIN");
    ASSERT_EQ(b.size(), 1024u);
    const ByteVec first = {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 2, 1, 1, 0, 0, 0, 1, 0};
    EXPECT_EQ(ByteVec(b.begin(), b.begin() + 21), first);
    EXPECT_EQ(get_u32(b, 30), 4102358400u);  // 31/12/99 00:00:00
    EXPECT_EQ(get_u32(b, 143), 946760400u);  // 01/01/00 21:00:00
    EXPECT_EQ(text_at(b, 35, 25), "TICKET");
    EXPECT_EQ(text_at(b, 110, 25), "SUBTENDER4");
    EXPECT_EQ(text_at(b, 135, 7), "000000");
    EXPECT_EQ(text_at(b, 272, 25), "TALLON_1");
    EXPECT_EQ(text_at(b, 447, 25), "TALLON_8");
    EXPECT_EQ(ByteVec(b.begin() + 251, b.begin() + 258), (ByteVec{1, 11, 0, 34, 1, 1, 0}));
    EXPECT_EQ(ByteVec(b.begin() + 266, b.begin() + 272), (ByteVec{40, 0, 1, 0, 0, 0}));
    EXPECT_EQ(b[725], 1);
    EXPECT_EQ(text_at(b, 673, 25), "");
}

// A register's file already in the current size is not read as old records.
TEST_F(ConversionsTest, MembersAlreadyInTheCurrentLayoutAreLeftAlone) {
    const std::pair<const char*, std::size_t> cases[] = {{"REPARTI.BIN", 4000},
                                                         {"CLIENTI.BIN", 256000},
                                                         {"PLU.BIN", 6400000},
                                                         {"PROG_PARAM.BIN", 1024}};
    for (const auto& [name, size] : cases) {
        ByteVec b(size);
        for (std::size_t k = 0; k < size; ++k) b[k] = static_cast<std::uint8_t>(k * 13);
        write_bytes(file(name), b);
    }
    EXPECT_EQ(ecr_dati_upgrade_reparti(dir()), 0);
    EXPECT_EQ(ecr_dati_upgrade_clienti(dir()), 0);
    EXPECT_EQ(ecr_dati_upgrade_plu(dir()), 0);
    EXPECT_EQ(ecr_dati_upgrade_prog_param(dir()), 0);
    for (const auto& [name, size] : cases) {
        const ByteVec b = bytes(name);
        ASSERT_EQ(b.size(), size);
        EXPECT_EQ(b[7], static_cast<std::uint8_t>(7 * 13)) << name;
    }
}

TEST_F(ConversionsTest, ALeftoverTmpFileStopsTheUpgradeWithTheOldFileKept) {
    const ByteVec old(3360, 0x41);
    write_bytes(file("REPARTI.BIN"), old);
    write_file(file("REPARTI.TMP"), "left from before");
    EXPECT_EQ(ecr_dati_upgrade_reparti(dir()), -1);
    EXPECT_EQ(bytes("REPARTI.BIN"), old);
    EXPECT_EQ(read_file(file("REPARTI.TMP")), "left from before");
    ecr_dati_remove_tmp(dir());
    EXPECT_FALSE(fs::exists(file("REPARTI.TMP")));
    EXPECT_EQ(ecr_dati_upgrade_reparti(dir()), 0);
    EXPECT_EQ(bytes("REPARTI.BIN").size(), 4000u);
}

TEST_F(ConversionsTest, AFileOfNeitherSizeIsNotUpgraded) {
    write_bytes(file("PLU.BIN"), ByteVec(239999, 1));
    EXPECT_EQ(ecr_dati_upgrade_plu(dir()), -1);
    EXPECT_EQ(bytes("PLU.BIN").size(), 239999u);
    EXPECT_EQ(ecr_dati_upgrade_clienti(dir()), -1);
    EXPECT_FALSE(fs::exists(file("CLIENTI.BIN")));
}

TEST_F(ConversionsTest, TablesAreMadeAnew) {
    ASSERT_EQ(ecr_dati_make_tav_min(dir()), 0);
    const ByteVec b = bytes("TAV_MIN.BIN");
    ASSERT_EQ(b.size(), 12800u);
    EXPECT_EQ(text_at(b, 0, 64), "TAVOLO 1");
    EXPECT_EQ(text_at(b, 199 * 64, 64), "TAVOLO 200");
    EXPECT_TRUE(zero(b, 199 * 64 + 10, 12800));
}

}  // namespace
}  // namespace veltra::test
