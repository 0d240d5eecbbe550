// Sales files to CSV and the clearing of a folder's sales CSV files, on
// sales files the tests build byte by byte.
#include "sales/sales_file.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "clock/oro_codec.hpp"
#include "sys/files.hpp"
#include "test_support.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

void put_le32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put_text(Bytes& b, std::size_t at, const std::string& s) {
    std::memcpy(b.data() + at, s.data(), s.size());
}

constexpr const char* kRepHeader =
    "id_reparto;descr;iva;batt_sing;tipo_sconto;id_aux_lan;id_gruppo;prezzo;min_valore;"
    "max_valore;valore_sconto;non_fiscale;iva_descr;iva_aliquota;totale_reparto;totale_qt_rep;"
    "totale_sconto_rep;totale_reso_storno;tot_qt_reso_storno";
constexpr const char* kPluHeader =
    "id_plu;descr;id_reparto;var_prezzo;zero_si;prezzo;codice_ean;iva_descr;iva_aliquota;"
    "totale_plu;totale_qt_plu;totale_sconto_plu;totale_reso_storno;tot_qt_reso_storno";

// A sales file: the header's fields, then the sections as given, each
// record placed by its index (four to a 512-byte block).
struct SalesFile {
    std::uint32_t date = 1418688000;  // 16/12/2014
    std::uint32_t num_rep = 0, num_plu = 0;
    std::uint32_t size_rep = 0, size_plu = 0;
    Bytes rep, plu;  // the sections

    void add_rep(std::size_t i, std::int32_t id, const std::string& descr, std::int32_t total) {
        Bytes& s = rep;
        if (s.size() < (i / 4 + 1) * 512) s.resize((i / 4 + 1) * 512, 0xEE);
        const std::size_t r = i * 128;
        std::fill(s.begin() + r, s.begin() + r + 128, 0);
        put_le32(s, r + 1, id);
        put_text(s, r + 6, descr);  // reparto_rec descr at 1, record at 5
        s[r + 5 + 26] = 0x29;       // iva 2, batt_sing 1, tipo_sconto 0, id_aux_lan 2
        s[r + 5 + 27] = 4;          // id_gruppo 5
        put_le32(s, r + 5 + 28, 125);
        put_le32(s, r + 5 + 36, 99999);
        put_le32(s, r + 5 + 40, static_cast<std::uint32_t>(-5));
        s[r + 5 + 44] = 0xFF;  // non_fiscale is bit 0 only
        put_text(s, r + 55, "IVA 10%");
        put_le32(s, r + 80, 1000);
        const std::int32_t totals[] = {total, 2, -10, 30, 1};
        for (int k = 0; k < 5; ++k) put_le32(s, r + 84 + 4 * k, totals[k]);
    }
    void add_plu(std::size_t i, std::int32_t id, const std::string& descr, std::int32_t total) {
        Bytes& s = plu;
        if (s.size() < (i / 4 + 1) * 512) s.resize((i / 4 + 1) * 512, 0xEE);
        const std::size_t r = i * 128;
        std::fill(s.begin() + r, s.begin() + r + 128, 0);
        put_le32(s, r + 1, id);
        put_text(s, r + 6, descr);
        s[r + 5 + 26] = 6;  // id_reparto 7
        s[r + 5 + 27] = 2;  // var_prezzo 0, zero_si 1
        put_le32(s, r + 5 + 28, 249);
        put_text(s, r + 5 + 32, "8001234567890");
        put_text(s, r + 69, std::string(25, 'V'));  // a VAT text without its NUL
        put_le32(s, r + 94, 2200);
        const std::int32_t totals[] = {total, 3, 0, -249, -1};
        for (int k = 0; k < 5; ++k) put_le32(s, r + 98 + 4 * k, totals[k]);
    }
    // Header sizes follow the sections unless set otherwise.
    Bytes bytes() const {
        Bytes b(512, 0x11);  // the bytes no one reads are not zero
        put_le32(b, 0, date);
        b[26] = 0;
        b[27] = static_cast<std::uint8_t>(num_rep);
        put_le32(b, 28, num_plu);
        put_le32(b, 72, size_rep);
        put_le32(b, 76, size_plu);
        b.insert(b.end(), rep.begin(), rep.end());
        b.insert(b.end(), plu.begin(), plu.end());
        return b;
    }
};

class SalesFileTest : public ::testing::Test {
protected:
    std::string write(const SalesFile& f) {
        const Bytes b = f.bytes();
        write_file(sales_, std::string(b.begin(), b.end()));
        return sales_;
    }
    std::string csv(const std::string& name) const { return out_.file(name); }
    Lines names() const {
        Lines n;
        for (const auto& e : fs::directory_iterator(out_.path()))
            n.push_back(e.path().filename().string());
        std::sort(n.begin(), n.end());
        return n;
    }
    std::int32_t convert() {
        return ecr_conv_venduto(sales_.c_str(), out_.path().string().c_str());
    }

    TempDir work_, out_;
    std::string sales_ = work_.file("VENDCORR.DAT");
};

TEST_F(SalesFileTest, ADayWithDepartmentsAndArticlesInSeveralBlocks) {
    SalesFile f;
    f.num_rep = 3, f.num_plu = 5, f.size_rep = 512, f.size_plu = 1024;
    for (int i = 0; i < 3; ++i) f.add_rep(i, i + 1, "REP" + std::to_string(i + 1), 100 * (i + 1));
    for (int i = 0; i < 5; ++i) f.add_plu(i, 10 + i, "ART" + std::to_string(i), 1000 + i);
    write(f);
    EXPECT_EQ(convert(), 0);
    EXPECT_FALSE(fs::exists(sales_)) << "the sales file goes after the conversion";
    EXPECT_EQ(names(), (Lines{"VEND_PLU_161214.CSV", "VEND_REP_161214.CSV"}));

    const Lines rep = text_file_lines(csv("VEND_REP_161214.CSV"));
    ASSERT_EQ(rep.size(), 4u);
    EXPECT_EQ(rep[0], kRepHeader);
    EXPECT_EQ(rep[1], "1;REP1;2;1;0;2;5;125;0;99999;-5;1;IVA 10%;1000;100;2;-10;30;1");
    EXPECT_EQ(rep[3], "3;REP3;2;1;0;2;5;125;0;99999;-5;1;IVA 10%;1000;300;2;-10;30;1");

    const Lines plu = text_file_lines(csv("VEND_PLU_161214.CSV"));
    ASSERT_EQ(plu.size(), 6u);
    EXPECT_EQ(plu[0], kPluHeader);
    const std::string vat(25, 'V');
    EXPECT_EQ(plu[1], "10;ART0;7;0;1;249;8001234567890;" + vat + ";2200;1000;3;0;-249;-1");
    // The fifth record is the first of the second block.
    EXPECT_EQ(plu[5], "14;ART4;7;0;1;249;8001234567890;" + vat + ";2200;1004;3;0;-249;-1");
}

TEST_F(SalesFileTest, NoDepartmentsMeansArticlesRightAfterTheHeader) {
    SalesFile f;
    f.num_plu = 2, f.size_plu = 512;
    f.add_plu(0, 1, "UNO", 5);
    f.add_plu(1, 2, "DUE", 6);
    write(f);
    EXPECT_EQ(convert(), 0);
    EXPECT_EQ(names(), Lines{"VEND_PLU_161214.CSV"});
    const Lines plu = text_file_lines(csv("VEND_PLU_161214.CSV"));
    ASSERT_EQ(plu.size(), 3u);
    EXPECT_EQ(plu[2].substr(0, 6), "2;DUE;");
}

TEST_F(SalesFileTest, NoArticlesGivesTheDepartmentFileAlone) {
    SalesFile f;
    f.num_rep = 1, f.size_rep = 512;
    f.add_rep(0, 80, "ULTIMO", 1);
    write(f);
    EXPECT_EQ(convert(), 0);
    EXPECT_EQ(names(), Lines{"VEND_REP_161214.CSV"});
}

TEST_F(SalesFileTest, ADateOutsideTheValidRangeNamesTheFiles999999) {
    SalesFile f;
    f.date = kOroFirst - 1;
    f.num_rep = 1, f.num_plu = 1, f.size_rep = 512, f.size_plu = 512;
    f.add_rep(0, 1, "A", 1);
    f.add_plu(0, 1, "B", 1);
    write(f);
    EXPECT_EQ(convert(), 0);
    EXPECT_EQ(names(), (Lines{"VEND_PLU_999999.CSV", "VEND_REP_999999.CSV"}));
}

TEST_F(SalesFileTest, TheDepartmentNumberIsTheRecordsOwn) {
    SalesFile f;
    f.num_rep = 2, f.size_rep = 512;
    f.add_rep(0, 42, "QUARANTADUE", 1);
    f.add_rep(1, -7, "NEGATIVO", 1);
    write(f);
    EXPECT_EQ(convert(), 0);
    const Lines rep = text_file_lines(csv("VEND_REP_161214.CSV"));
    ASSERT_EQ(rep.size(), 3u);
    EXPECT_EQ(rep[1].substr(0, 15), "42;QUARANTADUE;");
    EXPECT_EQ(rep[2].substr(0, 12), "-7;NEGATIVO;");
}

struct MisfitCase {
    const char* name;
    std::uint32_t num_rep, num_plu, size_rep, size_plu;
    std::size_t rep_blocks, plu_blocks;  // actually in the file
};
void PrintTo(const MisfitCase& c, std::ostream* os) {
    *os << c.name;
}

class SalesHeaderMisfit : public SalesFileTest, public ::testing::WithParamInterface<MisfitCase> {};

// Whatever the header claims, nothing is read from past the file's end and
// no CSV of the day is left.
TEST_P(SalesHeaderMisfit, GivesAnErrorAndNoCsv) {
    const MisfitCase& c = GetParam();
    SalesFile f;
    for (std::size_t i = 0; i < c.rep_blocks * 4; ++i) f.add_rep(i, 1, "R", 1);
    for (std::size_t i = 0; i < c.plu_blocks * 4; ++i) f.add_plu(i, 1, "P", 1);
    f.num_rep = c.num_rep, f.num_plu = c.num_plu, f.size_rep = c.size_rep, f.size_plu = c.size_plu;
    write(f);
    EXPECT_EQ(convert(), ERR_INVALID_FILESIZE);
    EXPECT_TRUE(names().empty());
    EXPECT_FALSE(fs::exists(sales_));
}

INSTANTIATE_TEST_SUITE_P(
    Headers, SalesHeaderMisfit,
    ::testing::Values(MisfitCase{"ArticlesPastTheEnd", 1, 1, 512, 1024, 1, 1},
                      MisfitCase{"DepartmentsPastTheEnd", 1, 0, 0xFFFFFE00u, 0, 1, 0},
                      MisfitCase{"SectionsWrapIn32Bits", 1, 1, 0x80000000u, 0x80000000u, 1, 1},
                      MisfitCase{"MoreDepartmentsThanTheirBlocksHold", 5, 0, 512, 0, 2, 0},
                      MisfitCase{"MoreArticlesThanTheirBlocksHold", 0, 9, 0, 1024, 0, 3},
                      MisfitCase{"CountsWithoutSections", 0, 1, 0, 0, 0, 1},
                      MisfitCase{"PartOfABlock", 1, 0, 128, 0, 1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SalesFileTest, AFileShorterThanItsHeaderGivesAnError) {
    write_file(sales_, std::string(511, '\0'));
    EXPECT_EQ(convert(), ERR_INVALID_FILESIZE);
    EXPECT_TRUE(names().empty());
    EXPECT_FALSE(fs::exists(sales_));
}

TEST_F(SalesFileTest, AMissingSalesFileIsAFailure) {
    EXPECT_NE(convert(), 0);
    EXPECT_TRUE(names().empty());
}

TEST_F(SalesFileTest, ACsvThatCannotBeCreatedGivesMinusOne) {
    SalesFile f;
    f.num_rep = 1, f.num_plu = 1, f.size_rep = 512, f.size_plu = 512;
    f.add_rep(0, 1, "A", 1);
    f.add_plu(0, 1, "B", 1);
    write(f);
    const std::string missing = (out_.path() / "no-such-folder").string();
    EXPECT_EQ(ecr_conv_venduto(sales_.c_str(), missing.c_str()), -1);
    EXPECT_FALSE(fs::exists(sales_));
    EXPECT_TRUE(names().empty());
}

TEST_F(SalesFileTest, CleanupDeletesMatchingFilesOnly) {
    const Lines doomed = {"VEND_REP_010114.CSV", "VEND_PLU_311214.CSV", "VEND_XYZ_ABCDEF.CSV"};
    const Lines kept = {"VEND_REP_01011.CSV",
                        "VEND_REP_0101144.CSV",
                        "VEND_REP_010114.CSV.bak",
                        "XVEND_REP_010114.CSV",
                        "VEND_REP_010114.TXT",
                        "VENDREP_0101145.CSV",
                        "other.csv"};
    for (const auto& n : doomed) write_file(csv(n), "x");
    for (const auto& n : kept) write_file(csv(n), "x");
    fs::create_directory(out_.path() / "VEND_PLU_020214.CSV");
    write_file((out_.path() / "VEND_PLU_020214.CSV" / "VEND_REP_020214.CSV").string(), "inside");

    sales_csv_cleanup(out_.path().string().c_str());
    for (const auto& n : doomed) EXPECT_FALSE(fs::exists(csv(n))) << n;
    for (const auto& n : kept) EXPECT_TRUE(fs::exists(csv(n))) << n;
    EXPECT_TRUE(fs::is_directory(out_.path() / "VEND_PLU_020214.CSV"));
    EXPECT_TRUE(fs::exists(out_.path() / "VEND_PLU_020214.CSV" / "VEND_REP_020214.CSV"))
        << "sub-folders are not entered";
    // A missing folder is no error.
    sales_csv_cleanup((out_.path() / "missing").string().c_str());
}

TEST(NamePattern, QuestionMarksAreOneCharacterEach) {
    struct Case {
        const char* name;
        const char* pattern;
        bool fold, match;
    } cases[] = {
        {"VEND_REP_010114.CSV", "VEND_???_??????.CSV", false, true},
        {"VEND_REP_01014.CSV", "VEND_???_??????.CSV", false, false},
        {"vend_rep_010114.csv", "VEND_???_??????.CSV", false, false},
        {"vend_rep_010114.csv", "VEND_???_??????.CSV", true, true},
        {"VEND_REP_010114.CSV", "*.CSV", false, true},
        {"A.CSV.TXT", "*.CSV", false, false},
        {"", "*", false, true},
        {"", "?", false, false},
        {"ABC", "A*C", false, true},
        {"ABBC", "A*B?", false, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sys::name_matches(c.name, c.pattern, c.fold), c.match)
            << c.name << " " << c.pattern;
}

}  // namespace
}  // namespace veltra::test
