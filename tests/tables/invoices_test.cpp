// The invoice CSV: occupied records only, type names, times as text.
#include "tables/invoices.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put_le(Bytes& t, std::size_t at, std::uint32_t v, int width) {
    for (int i = 0; i < width; ++i) t[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

Bytes invoice(std::uint8_t type, std::uint16_t customer, std::uint32_t oro,
              std::initializer_list<std::int32_t> amounts) {
    Bytes r(64, 0x5C);  // bytes nobody reads
    r[0] = type;
    put_le(r, 1, customer, 2);
    put_le(r, 3, oro, 4);
    std::size_t at = 7;
    for (std::int32_t a : amounts) {
        put_le(r, at, static_cast<std::uint32_t>(a), 4);
        at += 4;
    }
    return r;
}

TEST(FatturaTipo, NamesOfTheTypeCodes) {
    const struct {
        unsigned code;
        const char* text;
    } cases[] = {{0xA0, "fattura_gestionale"},
                 {0xA1, "ricevuta_fiscale"},
                 {0xA2, ""},
                 {0xA3, "fattura_con_scontr"},
                 {0xA4, "fattura_mensile"},
                 {0xA5, ""},
                 {0x07, "0x07"},
                 {0x01, "0x01"},
                 {0xFF, "0xFF"}};
    for (const auto& c : cases) EXPECT_STREQ(fattura_tipo_text(c.code), c.text) << c.code;
}

TEST(InvoiceCsv, OccupiedRecordsOnly) {
    TempDir dir;
    Bytes table(192000, 0);
    auto place = [&](int n, const Bytes& r) {
        std::memcpy(table.data() + (n - 1) * 64, r.data(), 64);
    };
    place(1, invoice(0xA4, 12, 1418741717, {1220, 1000, 220, 0}));
    place(2, invoice(0x01, 65535, 0, {-5, 0, 0, 7}));
    place(3000, invoice(0xA2, 1, 946684800, {1, 2, 3, 4}));
    write_file(dir.file("FATTURE.BIN"), std::string(table.begin(), table.end()));
    EXPECT_EQ(convert_fatture_csv(dir.file("FATTURE.BIN").c_str(), dir.file("f.csv").c_str()), 3);
    EXPECT_EQ(
        read_lines(dir.file("f.csv")),
        (std::vector<std::string>{
            "id_fattura;tipo_fattura;id_cliente;data_tempo;importo;imponibile;imposta;credito",
            "1;fattura_mensile;12;16/12/14-14:55:17;1220;1000;220;0",
            "2;0x01;65535;99/99/99-99:99:99;-5;0;0;7", "3000;;1;01/01/00-00:00:00;1;2;3;4"}));
}

TEST(InvoiceCsv, EmptyOrWrongSizedTablesLeaveNoCsv) {
    TempDir dir;
    write_file(dir.file("FATTURE.BIN"), std::string(192000, '\0'));
    EXPECT_EQ(convert_fatture_csv(dir.file("FATTURE.BIN").c_str(), dir.file("f.csv").c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("f.csv")));
    write_file(dir.file("FATTURE.BIN"), std::string(191999, '\0'));
    EXPECT_EQ(convert_fatture_csv(dir.file("FATTURE.BIN").c_str(), dir.file("f.csv").c_str()),
              ERR_INVALID_FILESIZE);
    EXPECT_FALSE(std::filesystem::exists(dir.file("f.csv")));
}

}  // namespace
}  // namespace veltra::test
