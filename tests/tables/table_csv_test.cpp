// Table files to CSV and CSV lines to records, on tables the tests build
// byte by byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "frame/library_frame.hpp"
#include "frame/paths.hpp"
#include "platform_traits.hpp"
#include "tables/table_files.hpp"
#include "tables/table_formats.hpp"
#include "tables/table_upload.hpp"
#include "test_support.hpp"
#include "tftp_test_util.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

using Lines = std::vector<std::string>;

void put_text(Bytes& t, std::size_t at, const std::string& s) {
    std::memcpy(t.data() + at, s.data(), s.size());
}
void put_le32(Bytes& t, std::size_t at, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    for (int i = 0; i < 4; ++i) t[at + i] = static_cast<std::uint8_t>(u >> (8 * i));
}

void save(const std::string& path, const Bytes& b) {
    write_file(path, std::string(b.begin(), b.end()));
}

// The CSV's lines, each checked to end with the platform's text line end.
std::vector<std::string> csv_lines(const std::string& path) {
    const std::string text = read_file(path);
    const std::string end = sys::kTextLineEnd;
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t e = text.find(end, at);
        EXPECT_NE(e, std::string::npos) << "last line without its line end";
        if (e == std::string::npos) break;
        lines.push_back(text.substr(at, e - at));
        at = e + end.size();
    }
    return lines;
}

class TableCsvTest : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return dir_.file(name); }
    TempDir dir_;
};

const char* kRepartiHeader =
    "id_reparto;descr;iva;batt_sing;tipo_sconto;id_aux_lan;id_gruppo;prezzo;min_valore;max_valore;"
    "valore_sconto;non_fiscale";

TEST_F(TableCsvTest, ZeroDepartmentsGiveEightyDefaultRowsOrNoFile) {
    save(path("REPARTI.BIN"), Bytes(4000, 0));
    EXPECT_EQ(ecr_conv_reparti_csv(path("REPARTI.BIN").c_str(), path("r.csv").c_str(), 1), 80);
    const auto lines = csv_lines(path("r.csv"));
    ASSERT_EQ(lines.size(), 81u);
    EXPECT_EQ(lines[0], kRepartiHeader);
    EXPECT_EQ(lines[1], "1;;1;0;0;1;1;0;0;0;0;0");
    EXPECT_EQ(lines[80], "80;;1;0;0;1;1;0;0;0;0;0");

    EXPECT_EQ(ecr_conv_reparti_csv(path("REPARTI.BIN").c_str(), path("m.csv").c_str(), 0), 0);
    EXPECT_FALSE(std::filesystem::exists(path("m.csv")));
}

TEST_F(TableCsvTest, DepartmentFieldsAtTheirOffsets) {
    Bytes t(4000, 0);
    const std::size_t r3 = 2 * 50, r80 = 79 * 50;
    t[r3] = 1;  // changed
    put_text(t, r3 + 1, "CAFFE");
    t[r3 + 26] = 0x29;  // iva 2, batt_sing 1, tipo_sconto 0, id_aux_lan 2
    t[r3 + 27] = 4;
    put_le32(t, r3 + 28, -150);
    put_le32(t, r3 + 32, 0);
    put_le32(t, r3 + 36, 100000);
    put_le32(t, r3 + 40, 5);
    t[r3 + 44] = 0xFF;
    t[r80] = 0x80;
    put_text(t, r80 + 1, std::string(25, 'Z'));  // fills its field, no NUL
    t[r80 + 26] = 0xFF;
    t[r80 + 27] = 255;
    put_le32(t, r80 + 28, INT32_MIN);
    save(path("REPARTI.BIN"), t);
    EXPECT_EQ(ecr_conv_reparti_csv(path("REPARTI.BIN").c_str(), path("r.csv").c_str(), 0), 2);
    EXPECT_EQ(csv_lines(path("r.csv")),
              (std::vector<std::string>{
                  kRepartiHeader, "3;CAFFE;2;1;0;2;5;-150;0;100000;5;1",
                  "80;" + std::string(25, 'Z') + ";8;1;1;8;256;-2147483648;0;0;0;0"}));
}

TEST_F(TableCsvTest, ArticleAndCustomerRows) {
    Bytes p(6400000, 0);
    const std::size_t a = 99999 * 64;  // the last article
    p[a] = 1;
    put_text(p, a + 1, "ACQUA; NATURALE");  // a ";" in a text shifts the columns
    p[a + 26] = 79;
    p[a + 27] = 0xFE;  // var_prezzo 0, zero_si 1, other bits set
    put_le32(p, a + 28, 55);
    put_text(p, a + 32, "8001234567890");
    save(path("PLU.BIN"), p);
    EXPECT_EQ(ecr_conv_plu_csv(path("PLU.BIN").c_str(), path("p.csv").c_str(), 0), 1);
    EXPECT_EQ(
        csv_lines(path("p.csv")),
        (std::vector<std::string>{"id_plu;descr;id_reparto;var_prezzo;zero_si;prezzo;codice_ean",
                                  "100000;ACQUA; NATURALE;80;0;1;55;8001234567890"}));

    Bytes c(256000, 0);
    put_text(c, 0 * 256 + 2, "ROSSI SRL");
    put_text(c, 0 * 256 + 125, "01234567890");
    put_text(c, 0 * 256 + 137, "RSSMRA80A01H501U");
    put_text(c, 1 * 256 + 2, "NO VAT NUMBER");  // never exported
    c[1 * 256] = 1;
    put_text(c, 999 * 256 + 125, std::string(12, '9'));  // VAT field full, no NUL
    put_text(c, 999 * 256 + 43, "VIA ROMA 1");
    put_text(c, 999 * 256 + 84, "MILANO");
    save(path("CLIENTI.BIN"), c);
    EXPECT_EQ(ecr_conv_clienti_csv(path("CLIENTI.BIN").c_str(), path("c.csv").c_str(), 1), 2);
    EXPECT_EQ(csv_lines(path("c.csv")),
              (std::vector<std::string>{
                  "id_cliente;ragione_sociale;indirizzo;citta;partita_iva;codice_fiscale",
                  "1;ROSSI SRL;;;01234567890;RSSMRA80A01H501U",
                  "1000;;VIA ROMA 1;MILANO;" + std::string(12, '9') + ";"}));
    EXPECT_EQ(ecr_conv_clienti_csv(path("CLIENTI.BIN").c_str(), path("c0.csv").c_str(), 0), 0);
}

TEST_F(TableCsvTest, MissingAndWrongSizedTablesLeaveNoCsv) {
    write_file(path("old.csv"), "from an earlier call");
    EXPECT_EQ(ecr_conv_reparti_csv(path("none.bin").c_str(), path("x.csv").c_str(), 1),
              ERR_FILE_NOT_FOUND);
    for (std::size_t size : {0u, 3999u, 4001u, 6400000u}) {
        save(path("REPARTI.BIN"), Bytes(size, 0));
        EXPECT_EQ(ecr_conv_reparti_csv(path("REPARTI.BIN").c_str(), path("x.csv").c_str(), 1),
                  ERR_INVALID_FILESIZE)
            << size;
        // A direct conversion does not delete an existing CSV it never created.
        EXPECT_EQ(ecr_conv_reparti_csv(path("REPARTI.BIN").c_str(), path("old.csv").c_str(), 1),
                  ERR_INVALID_FILESIZE);
    }
    EXPECT_FALSE(std::filesystem::exists(path("x.csv")));
    EXPECT_EQ(read_file(path("old.csv")), "from an earlier call");
    save(path("PLU.BIN"), Bytes(6399999, 0));
    EXPECT_EQ(ecr_conv_plu_csv(path("PLU.BIN").c_str(), path("x.csv").c_str(), 1),
              ERR_INVALID_FILESIZE);
    save(path("CLIENTI.BIN"), Bytes(256001, 0));
    EXPECT_EQ(ecr_conv_clienti_csv(path("CLIENTI.BIN").c_str(), path("x.csv").c_str(), 1),
              ERR_INVALID_FILESIZE);
    EXPECT_FALSE(std::filesystem::exists(path("x.csv")));
}

TEST_F(TableCsvTest, ACsvThatCannotBeCreated) {
    save(path("REPARTI.BIN"), Bytes(4000, 0));
    const std::string inside_missing = path("no-dir") + std::string(1, sys::kPathSep) + "r.csv";
    EXPECT_EQ(ecr_conv_reparti_csv(path("REPARTI.BIN").c_str(), inside_missing.c_str(), 1),
              ERR_FILE_CREATION);
}

TEST(TextField, StoresUpToWidthMinusOneAndZeroFills) {
    const struct {
        std::string text;
        std::size_t width;
        std::string stored;  // the field's bytes
    } cases[] = {
        {std::string(24, 'a'), 25, std::string(24, 'a') + std::string(1, '\0')},
        {std::string(30, 'b'), 25, std::string(24, 'b') + std::string(1, '\0')},
        {"", 5, std::string(5, '\0')},
        {"ab", 5, std::string("ab") + std::string(3, '\0')},
    };
    for (const auto& c : cases) {
        Bytes field(c.width, 0xEE);
        text_to_field(c.text, field);
        EXPECT_EQ(std::string(field.begin(), field.end()), c.stored) << c.text;
    }
}

TEST(TrimRightBlanks, OnlyTrailingSpaces) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {{"ABC  ", "ABC"}, {"ABC\t", "ABC\t"}, {" ABC", " ABC"}, {"   ", ""}, {"", ""}};
    for (const auto& c : cases) {
        std::string s = c.in;
        EXPECT_STREQ(trim_right_blanks(s.data()), c.out);
        EXPECT_EQ(trim_right_blanks(std::string_view(c.in)), c.out);
    }
}

TEST(CsvNumber, DecimalWithClamping) {
    const struct {
        const char* text;
        std::int32_t value;
    } cases[] = {{"", 0},
                 {"abc", 0},
                 {"7x", 7},
                 {"  -12", -12},
                 {"+3", 3},
                 {"0009", 9},
                 {"- 5", 0},
                 {"2147483647", INT32_MAX},
                 {"2147483648", INT32_MAX},
                 {"99999999999999999999", INT32_MAX},
                 {"-99999999999999999999", INT32_MIN}};
    for (const auto& c : cases) EXPECT_EQ(csv_number(c.text), c.value) << c.text;
}

TEST_F(TableCsvTest, LineReaderFieldsAndLimits) {
    const std::string long_line = "5;" + std::string(1500, 'L') + ";1";
    const std::string just_fits = "6;" + std::string(1020, 'F');  // 1022 characters
    write_file(path("in.csv"),
               "\n\nA;B  ;  C\r\n" + long_line + "\n7;x;y;z;w\n   \n" + just_fits + "\nlast");
    std::FILE* f = std::fopen(path("in.csv").c_str(), "r");
    ASSERT_NE(f, nullptr);
    CsvReader reader(f);
    std::array<std::string_view, 3> slots;
    EXPECT_EQ(reader.read_fields(slots), 3);
    EXPECT_EQ(slots[0], "A");
    EXPECT_EQ(slots[1], "B");
    EXPECT_EQ(slots[2], "  C");
    EXPECT_EQ(reader.read_fields(slots), 0) << "a line longer than the buffer is skipped whole";
    EXPECT_EQ(reader.read_fields(slots), 5) << "fields beyond the slots are counted";
    EXPECT_EQ(slots[2], "y");
    EXPECT_EQ(reader.read_fields(slots), 1) << "a line of blanks is one empty field";
    EXPECT_EQ(slots[0], "");
    EXPECT_EQ(reader.read_fields(slots), 2);
    EXPECT_EQ(slots[1].size(), 1020u);
    EXPECT_EQ(reader.read_fields(slots), 1);
    EXPECT_EQ(slots[0], "last");
    EXPECT_EQ(slots[1], "");
    EXPECT_EQ(reader.read_fields(slots), -1);
    std::fclose(f);
}

TEST_F(TableCsvTest, LineReaderKeepsTheLineAfterANulTakesCrLfAtTheLimitAndTracesLongLines) {
    const std::string saved = dirname();
    set_dirname(dir_.path().string());
    EnvVar trace("ECR_TRACE", "1"), trace_csv("ECR_TRCCSV", "1");
    const std::string at_limit = "6;" + std::string(1020, 'F');  // 1022 characters
    const std::string too_long = "7;" + std::string(1021, 'G');  // 1023 characters
    write_file(path("in.csv"), std::string("1;a\0b;c\nNEXT;2\n", 15) + at_limit + "\r\n" +
                                   too_long + "\r\nlast;3\n");
    std::FILE* f = std::fopen(path("in.csv").c_str(), "r");
    ASSERT_NE(f, nullptr);
    CsvReader reader(f);
    std::array<std::string_view, 2> slots;
    EXPECT_EQ(reader.read_fields(slots), 2) << "the text ends at the NUL";
    EXPECT_EQ(slots[1], "a");
    EXPECT_EQ(reader.read_fields(slots), 2);
    EXPECT_EQ(slots[0], "NEXT");
    EXPECT_EQ(reader.read_fields(slots), 2) << "the CR does not count against the limit";
    EXPECT_EQ(slots[1].size(), 1020u);
    EXPECT_EQ(reader.read_fields(slots), 0) << "one character too many";
    EXPECT_EQ(reader.read_fields(slots), 2);
    EXPECT_EQ(slots[0], "last");
    EXPECT_EQ(reader.read_fields(slots), -1);
    EXPECT_FALSE(reader.failed());
    std::fclose(f);
    const auto lines = read_lines(dir_.file("ecrlog.txt"));
    set_dirname(saved);
    const auto at =
        std::find(lines.begin(), lines.end(), "csv -- linea='" + too_long.substr(0, 1022) + "'");
    ASSERT_NE(at, lines.end()) << "the skipped line is traced";
    ASSERT_NE(at + 1, lines.end());
    EXPECT_EQ(*(at + 1), "csv -- count='0'");
}

#if defined(__GLIBC__)
// A stream that gives some text and then a read error.
ssize_t read_then_fail(void* cookie, char* buf, size_t size) {
    auto* left = static_cast<std::string*>(cookie);
    if (left->empty()) {
        errno = EIO;
        return -1;
    }
    const size_t n = std::min(size, left->size());
    std::memcpy(buf, left->data(), n);
    left->erase(0, n);
    return static_cast<ssize_t>(n);
}

TEST(CsvReaderErrors, AReadErrorPartWayIsNotTheEndOfTheFile) {
    std::string text = "1;a\n2;b\n";
    cookie_io_functions_t io{read_then_fail, nullptr, nullptr, nullptr};
    std::FILE* f = fopencookie(&text, "r", io);
    ASSERT_NE(f, nullptr);
    CsvReader reader(f);
    std::array<std::string_view, 2> slots;
    EXPECT_EQ(reader.read_fields(slots), 2);
    EXPECT_EQ(reader.read_fields(slots), 2);
    EXPECT_EQ(reader.read_fields(slots), -1);
    EXPECT_TRUE(reader.failed());
    std::fclose(f);
}
#endif

TEST_F(TableCsvTest, ATableIsNeverConvertedOntoItself) {
    using Conv = int32_t(ECR_CALL*)(const char*, const char*, int32_t);
    struct Case {
        const char* name;
        Conv conv;
        std::size_t size;
    };
    const Case cases[] = {{"REPARTI.BIN", ecr_conv_reparti_csv, 4000},
                          {"PLU.BIN", ecr_conv_plu_csv, 6400000},
                          {"CLIENTI.BIN", ecr_conv_clienti_csv, 256000}};
    for (const Case& c : cases) {
        const std::string table = path(c.name);
        const std::string content(c.size, '\x01');
        write_file(table, content);
        const std::string other_spelling =
            (dir_.path() / "." / c.name).string();  // the same file, another path text
        EXPECT_EQ(c.conv(table.c_str(), table.c_str(), 1), ECR_ERR_PARAMETRI) << c.name;
        EXPECT_EQ(c.conv(table.c_str(), other_spelling.c_str(), 1), ECR_ERR_PARAMETRI) << c.name;
        EXPECT_TRUE(read_file(table) == content) << c.name << " was changed";
    }
}

class UploadTest : public TftpTest {
protected:
    TempDir temp_;
    EnvVar temp_var_{"TEMP", temp_.path().string()};
};

TEST_F(UploadTest, AnUnreadableCsvPutsNothing) {
    // A directory opens for reading on some systems but cannot be read.
    std::filesystem::create_directory(path("dir.csv"));
    using Send = int32_t(ECR_CALL*)(const char*, const char*);
    for (Send send : {ecr_send_reparti, ecr_send_plu, ecr_send_clienti}) {
        start([](PeerIo& io) { io.recv(300); });
        EXPECT_EQ(send("127.0.0.1", path("dir.csv").c_str()), ERR_FILE_NOT_FOUND);
        EXPECT_EQ(sent_by_client(), Lines{}) << "nothing goes to the register";
        EXPECT_TRUE(std::filesystem::is_empty(temp_.path()));
    }
}

struct ApplyCase {
    std::string name;
    std::vector<std::string> fields;
    std::vector<std::pair<std::size_t, std::uint8_t>> bytes;  // expected bytes at offsets
};

Bytes apply_reparto(const std::vector<std::string>& fields) {
    Bytes rec(50, 0);
    reparto_default(4, rec);
    rec[45] = 0xAB;  // not interpreted: must survive
    std::vector<std::string_view> f(fields.begin(), fields.end());
    f.resize(12);
    apply_reparto_fields(f, rec);
    EXPECT_EQ(rec[45], 0xAB);
    return rec;
}

TEST(ApplyFields, DepartmentColumnsClampAndKeep) {
    const ApplyCase cases[] = {
        {"iva 9 only", {"5", "", "9"}, {{26, 0x07}, {1, 'R'}}},
        {"iva 0", {"5", "", "0"}, {{26, 0x00}}},
        {"iva -3", {"5", "", "-3"}, {{26, 0x00}}},
        {"iva 12", {"5", "", "12"}, {{26, 0x07}}},
        {"flags", {"5", "", "", "1", "7", "3"}, {{26, 0x08 | 0x10 | (2 << 5)}}},
        {"id_aux_lan 99", {"5", "", "", "", "", "99"}, {{26, 7 << 5}}},
        {"id_gruppo 40", {"5", "", "", "", "", "", "40"}, {{27, 15}}},
        {"id_gruppo 0", {"5", "", "", "", "", "", "0"}, {{27, 0}}},
        {"non_fiscale", {"5", "", "", "", "", "", "", "", "", "", "", "2"}, {{44, 1}}},
        {"prezzo",
         {"5", "", "", "", "", "", "", "-2"},
         {{28, 0xFE}, {29, 0xFF}, {30, 0xFF}, {31, 0xFF}}},
    };
    for (const ApplyCase& c : cases) {
        const Bytes rec = apply_reparto(c.fields);
        for (auto [at, value] : c.bytes) EXPECT_EQ(rec[at], value) << c.name << " at " << at;
    }
    // A 30-character name keeps 24; an empty name keeps the default.
    Bytes rec = apply_reparto({"5", std::string(30, 'N')});
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec.data() + 1)), std::string(24, 'N'));
    rec = apply_reparto({"5", ""});
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec.data() + 1)), "REPARTO 5");
}

TEST(ApplyFields, ArticleColumns) {
    Bytes rec(64, 0);
    plu_default(6, rec);
    EXPECT_EQ(rec[27], 3);
    rec[27] |= 0xF0;  // bits nobody reads
    rec[50] = 0x5A;
    std::vector<std::string_view> f = {"7", "", "0", "0", "", "", "12345678901234567"};
    apply_plu_fields(f, rec);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec.data() + 1)), "PLU 7");
    EXPECT_EQ(rec[26], 0) << "id_reparto 0 is stored as 1";
    EXPECT_EQ(rec[27], 0xF2) << "var_prezzo off, zero_si kept, other bits kept";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec.data() + 32)), "1234567890123");
    EXPECT_EQ(rec[50], 0x5A);
    f = {"7", "", "81", "", "", "", ""};
    apply_plu_fields(f, rec);
    EXPECT_EQ(rec[26], 79) << "id_reparto 81 is stored as 80";
}

TEST(ApplyFields, CustomerMergeRecomputesTheKind) {
    Bytes rec(256, 0);
    rec[0] = 1;
    rec[200] = 0x77;
    std::memcpy(rec.data() + 125, "11111111111", 11);
    std::vector<std::string_view> f = {"3", "BIANCHI SPA", "", "", "", ""};
    apply_cliente_fields(f, rec);
    EXPECT_EQ(rec[0], 0) << "the change mark is cleared";
    EXPECT_EQ(rec[1], 1) << "name and the stored VAT number";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec.data() + 125)), "11111111111");
    EXPECT_EQ(rec[200], 0x77);

    Bytes other(256, 0);
    f = {"4", "", "VIA VERDI", "", "", ""};
    apply_cliente_fields(f, other);
    EXPECT_EQ(other[1], 2);
    Bytes empty(256, 0);
    empty[1] = 2;
    f = {"5", "", "", "", "", ""};
    apply_cliente_fields(f, empty);
    EXPECT_EQ(empty[1], 0);
}

TEST_F(TableCsvTest, DefaultTablesAndRecordOffsets) {
    TableFile t = table_create(path("PLU.BIN").c_str(), 100000, 64, plu_default);
    ASSERT_TRUE(t);
    Bytes rec(64);
    ASSERT_EQ(t.read_rec(99999, rec), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec.data() + 1)), "PLU 100000");
    rec[0] = 9;
    ASSERT_EQ(t.write_rec(99999, rec), 0);
    ASSERT_EQ(t.read_rec(0, rec), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rec.data() + 1)), "PLU 1");
    EXPECT_EQ(rec[27], 3);
    EXPECT_TRUE(t.close());
    EXPECT_EQ(ecr_file_size(path("PLU.BIN").c_str()), 6400000);
    const std::string bytes = read_file(path("PLU.BIN"));
    EXPECT_EQ(bytes[6399936], 9) << "record 100000 at offset 6399936";
    EXPECT_EQ(bytes.substr(6399937, 10), "PLU 100000");

    TableFile r = table_create(path("REPARTI.BIN").c_str(), 80, 50, reparto_default);
    ASSERT_TRUE(r.close());
    EXPECT_EQ(read_file(path("REPARTI.BIN")).substr(3951, 10), "REPARTO 80");
    EXPECT_FALSE(table_open(path("none.bin").c_str()));
}

}  // namespace
}  // namespace veltra::test
