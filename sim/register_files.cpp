// Table file sizes by generation and bitmap type, and the seeded register.
#include "register_files.hpp"

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace ecrsim {
namespace {

constexpr std::array<const char*, 14> kTableFiles = {
    "LOG.BIN",       "INTESTAZIONE.BIN", "IVA.BIN",     "REPARTI.BIN", "VAL.BIN",
    "OPERATORI.BIN", "CORTESIA.BIN",     "LOGO.BIN",    "BITMAP.BIN",  "PROG_PARAM.BIN",
    "PLU.BIN",       "CLIENTI.BIN",      "FATTURE.BIN", "TAV_MIN.BIN"};

// Record sizes and counts of the current layout and of the old one.
constexpr std::size_t kRepRec = 50, kRepRecOld = 42, kRepCount = 80;
constexpr std::size_t kPluRec = 64, kPluRecOld = 48, kPluCount = 100000, kPluCountOld = 5000;
constexpr std::size_t kCliRec = 256, kCliRecOld = 177, kCliCount = 1000, kCliCountOld = 250;
constexpr std::size_t kFatRec = 64, kFatCount = 3000;
constexpr std::size_t kIvaRec = 29, kIvaCount = 8;
constexpr std::size_t kBitmaps = 12, kBitmapRows = 400;

bool old(Layout l) {
    return l.generation == Generation::Old;
}
bool short_layout(Layout l) {
    return l.bitmap == 'S';
}

void write_file(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

struct Department {
    const char* name;
    int iva;
    int price;
};
constexpr std::array<Department, 10> kDepartments = {{{"FRUTTA", 2, 0},
                                                      {"VERDURA", 2, 0},
                                                      {"PANE", 2, 0},
                                                      {"LATTICINI", 3, 0},
                                                      {"SALUMI", 3, 0},
                                                      {"BEVANDE", 1, 0},
                                                      {"VINI", 1, 0},
                                                      {"DOLCI", 1, 0},
                                                      {"CASALINGHI", 1, 0},
                                                      {"GIORNALI", 4, 120}}};

struct Article {
    const char* name;
    int dept;
    int price;
    const char* ean;
};
constexpr std::array<Article, 16> kArticles = {{{"MELE GOLDEN KG", 1, 249, "2000000000015"},
                                                {"BANANE KG", 1, 189, "2000000000022"},
                                                {"INSALATA CESPO", 2, 99, "2000000000039"},
                                                {"POMODORI RAMATI KG", 2, 299, "2000000000046"},
                                                {"PANE CASERECCIO", 3, 350, "2000000000053"},
                                                {"GRISSINI TORINESI", 3, 215, "8001234567890"},
                                                {"LATTE INTERO 1L", 4, 159, "8002345678901"},
                                                {"MOZZARELLA 125G", 4, 119, "8003456789012"},
                                                {"PROSCIUTTO CRUDO HG", 5, 390, "2000000000060"},
                                                {"ACQUA NATURALE 1.5L", 6, 45, "8004567890123"},
                                                {"ARANCIATA 33CL", 6, 110, "8005678901234"},
                                                {"CHIANTI DOCG 75CL", 7, 790, "8006789012345"},
                                                {"CROSTATA ALBICOCCA", 8, 650, "2000000000077"},
                                                {"DETERSIVO PIATTI", 9, 199, "8007890123456"},
                                                {"SPUGNE 3 PZ", 9, 149, "8008901234567"},
                                                {"QUOTIDIANO", 10, 150, ""}}};

struct Customer {
    const char* name;
    const char* address;
    const char* town;
    const char* vat;
    const char* tax;
};
constexpr std::array<Customer, 5> kCustomers = {
    {{"BAR CENTRALE SNC", "PIAZZA GARIBALDI 3", "BOLOGNA", "01234567890", ""},
     {"TRATTORIA DA MARIO SRL", "VIA EMILIA 112", "MODENA", "02345678901", ""},
     {"ROSSI GIOVANNI", "VIA ROMA 45", "PARMA", "", "RSSGNN70A01G337X"},
     {"CARTOLERIA BIANCHI", "CORSO MAZZINI 8", "REGGIO EMILIA", "03456789012", ""},
     {"VERDI ANNA", "VIA DANTE 19", "FERRARA", "", "VRDNNA82C41D548K"}}};

Bytes make_reparti(Layout l) {
    const std::size_t rec = old(l) ? kRepRecOld : kRepRec;
    Bytes b(rec * kRepCount, 0);
    for (std::size_t i = 0; i < kRepCount; ++i) {
        const std::size_t at = i * rec;
        const bool named = i < kDepartments.size();
        const std::string name = named ? kDepartments[i].name : "REPARTO " + std::to_string(i + 1);
        const int iva = named ? kDepartments[i].iva : 1;
        const int price = named ? kDepartments[i].price : 0;
        if (old(l)) {
            put_text(b, at, 25, name);
            put_u8(b, at + 25, static_cast<unsigned>(iva - 1));
            put_i32le(b, at + 26, price);
            put_i32le(b, at + 34, named ? 99999 : 0);
        } else {
            put_text(b, at + 1, 25, name);
            put_u8(b, at + 26, static_cast<unsigned>(iva - 1));
            put_i32le(b, at + 28, price);
            put_i32le(b, at + 36, named ? 99999 : 0);
        }
    }
    return b;
}

Bytes make_plu(Layout l) {
    const std::size_t rec = old(l) ? kPluRecOld : kPluRec;
    const std::size_t count = old(l) ? kPluCountOld : kPluCount;
    Bytes b(rec * count, 0);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = i * rec;
        const bool named = i < kArticles.size();
        const std::string name = named ? kArticles[i].name : "PLU " + std::to_string(i + 1);
        const unsigned dept = named ? static_cast<unsigned>(kArticles[i].dept - 1) : 0;
        const unsigned flags = named ? 0x00 : 0x03;
        const int price = named ? kArticles[i].price : 0;
        const std::string ean = named ? kArticles[i].ean : "";
        if (old(l)) {
            put_text(b, at, 25, name);
            put_u8(b, at + 25, dept);
            put_u8(b, at + 26, flags);
            put_i32le(b, at + 27, price);
            put_text(b, at + 31, 17, ean);
        } else {
            put_text(b, at + 1, 25, name);
            put_u8(b, at + 26, dept);
            put_u8(b, at + 27, flags);
            put_i32le(b, at + 28, price);
            put_text(b, at + 32, 14, ean);
        }
    }
    return b;
}

Bytes make_clienti(Layout l) {
    const std::size_t rec = old(l) ? kCliRecOld : kCliRec;
    Bytes b(rec * (old(l) ? kCliCountOld : kCliCount), 0);
    for (std::size_t i = 0; i < kCustomers.size(); ++i) {
        const Customer& c = kCustomers[i];
        const std::size_t at = i * rec;
        const unsigned kind = (*c.name && *c.vat) ? 1 : 2;
        if (old(l)) {
            put_u8(b, at, kind);
            put_text(b, at + 1, 41, c.name);
            put_text(b, at + 42, 41, c.address);
            put_text(b, at + 83, 41, c.town);
            put_text(b, at + 124, 53, c.vat);
        } else {
            put_u8(b, at + 1, kind);
            put_text(b, at + 2, 41, c.name);
            put_text(b, at + 43, 41, c.address);
            put_text(b, at + 84, 41, c.town);
            put_text(b, at + 125, 12, c.vat);
            put_text(b, at + 137, 17, c.tax);
        }
    }
    return b;
}

Bytes make_fatture(std::uint32_t today) {
    Bytes b(kFatRec * kFatCount, 0);
    const std::array<int, 6> totals = {12200, 4880, 36600, 1830, 24400, 9760};
    for (std::size_t i = 0; i < totals.size(); ++i) {
        const std::size_t at = i * kFatRec;
        const int total = totals[i];
        const int taxable = total * 100 / 122;
        put_u8(b, at, i % 3 == 1 ? 0xA1 : 0xA0);
        put_u16le(b, at + 1, static_cast<std::uint32_t>(i % 2 == 0 ? 1 : 2) + (i == 4 ? 2 : 0));
        put_u32le(b, at + 3, today - static_cast<std::uint32_t>((6 - i) * 86400) + 36000);
        put_i32le(b, at + 7, total);
        put_i32le(b, at + 11, taxable);
        put_i32le(b, at + 15, total - taxable);
        put_i32le(b, at + 19, 0);
    }
    return b;
}

Bytes make_iva() {
    Bytes b(kIvaRec * kIvaCount, 0);
    const std::array<std::pair<const char*, int>, kIvaCount> rates = {{{"IVA 22%", 2200},
                                                                       {"IVA 10%", 1000},
                                                                       {"IVA 4%", 400},
                                                                       {"ESENTE ART.74", 0},
                                                                       {"IVA 5%", 500},
                                                                       {"NON IMPONIBILE", 0},
                                                                       {"ESCLUSO ART.15", 0},
                                                                       {"VENTILAZIONE", 0}}};
    for (std::size_t i = 0; i < kIvaCount; ++i) {
        put_text(b, i * kIvaRec, 25, rates[i].first);
        put_i32le(b, i * kIvaRec + 25, rates[i].second);
    }
    return b;
}

Bytes make_lines(std::size_t line, std::size_t text_width, std::size_t count,
                 const std::array<const char*, 8>& texts) {
    Bytes b(line * count, 0);
    for (std::size_t i = 0; i < count; ++i) {
        put_u8(b, i * line, 1);
        put_text(b, i * line + 1, text_width, texts[i]);
    }
    return b;
}

Bytes make_bitmaps(Layout l) {
    const std::size_t width = short_layout(l) ? 48 : 80;
    const std::size_t size = 8 + kBitmapRows * width;
    Bytes b(size * kBitmaps, 0);
    for (std::size_t i = 0; i < kBitmaps; ++i) {
        put_u32le(b, i * size, static_cast<std::uint32_t>(width));
        const std::size_t rows = i == 0 ? 64 : 0;  // one logo, the rest empty
        put_u32le(b, i * size + 4, static_cast<std::uint32_t>(rows));
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t c = 0; c < width; ++c)
                put_u8(b, i * size + 8 + r * width + c, ((r / 8 + c) % 2) ? 0xFF : 0x00);
    }
    return b;
}

Bytes make_prog_param(Layout l) {
    const bool o = old(l);
    Bytes b(o ? 428 : 1024, 0);
    const std::size_t shift = o ? 8 : 0;  // old texts sit 8 bytes earlier
    put_text(b, 35 - shift, 25, "TICKET");
    put_text(b, 60 - shift, 25, "SUBTENDER2");
    put_text(b, 85 - shift, 25, "SUBTENDER3");
    put_text(b, 110 - shift, 25, "SUBTENDER4");
    for (std::size_t k = 0; k < 8; ++k)
        put_text(b, (o ? 162 : 272) + 25 * k, 25, "TALLON_" + std::to_string(k + 1));
    return b;
}

Bytes make_tav_min() {
    Bytes b(64 * 200, 0);
    for (std::size_t i = 0; i < 200; ++i)
        put_text(b, i * 64, 64, "TAVOLO " + std::to_string(i + 1));
    return b;
}

Bytes make_named(std::size_t rec, std::size_t count, std::size_t text_width, const char* prefix) {
    Bytes b(rec * count, 0);
    for (std::size_t i = 0; i < count; ++i)
        put_text(b, i * rec, text_width, std::string(prefix) + std::to_string(i + 1));
    return b;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civil_from_days(long z, int& y, unsigned& m, unsigned& d) {
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int>(yoe) + static_cast<int>(era) * 400 + (m <= 2);
}

}  // namespace

bool valid_matricola(const std::string& text) {
    if (text.empty() || text.size() > 20) return false;
    for (char c : text)
        if (c < 0x21 || c > 0x7E || c == ',' || c == '=') return false;
    return true;
}

std::optional<Generation> parse_generation(const std::string& text) {
    if (text == "current") return Generation::Current;
    if (text == "old") return Generation::Old;
    if (text == "unsupported") return Generation::Unsupported;
    return std::nullopt;
}

const char* generation_name(Generation g) {
    switch (g) {
        case Generation::Current:
            return "current";
        case Generation::Old:
            return "old";
        case Generation::Unsupported:
            return "unsupported";
    }
    return "?";
}

bool is_table_file(const std::string& name) {
    for (const char* f : kTableFiles)
        if (name == f) return true;
    return false;
}

std::optional<std::size_t> table_file_size(const std::string& name, Layout l) {
    const bool s = short_layout(l), o = old(l);
    if (name == "LOG.BIN") return 2048;
    if (name == "INTESTAZIONE.BIN") return s ? 208 : 304;
    if (name == "IVA.BIN") return 232;
    if (name == "REPARTI.BIN") return o ? 3360 : 4000;
    if (name == "VAL.BIN") return 116;
    if (name == "OPERATORI.BIN") return 330;
    if (name == "CORTESIA.BIN") return s ? 54 : 78;
    if (name == "LOGO.BIN") return 120;
    if (name == "BITMAP.BIN") return s ? 230496 : 384096;
    if (name == "PROG_PARAM.BIN") return o ? 428 : 1024;
    if (name == "PLU.BIN") return o ? 240000 : 6400000;
    if (name == "CLIENTI.BIN") return o ? 44250 : 256000;
    if (name == "FATTURE.BIN") return 192000;
    if (name == "TAV_MIN.BIN" && !o) return 12800;
    return std::nullopt;
}

void seed_tables(const std::filesystem::path& dir, Layout l, std::uint32_t today) {
    const bool s = short_layout(l);
    const std::array<const char*, 8> header = {"ALIMENTARI ROSSI & C. SNC",
                                               "VIA INDIPENDENZA 24",
                                               "40121 BOLOGNA",
                                               "P.IVA 01928374650",
                                               "TEL. 051 123456",
                                               "",
                                               "",
                                               ""};
    const std::array<const char*, 8> courtesy = {
        "GRAZIE E ARRIVEDERCI", "A PRESTO!", "", "", "", "", "", ""};
    write_file(dir / "REPARTI.BIN", make_reparti(l));
    write_file(dir / "PLU.BIN", make_plu(l));
    write_file(dir / "CLIENTI.BIN", make_clienti(l));
    write_file(dir / "FATTURE.BIN", make_fatture(today));
    write_file(dir / "IVA.BIN", make_iva());
    write_file(dir / "INTESTAZIONE.BIN", make_lines(s ? 26 : 38, s ? 25 : 37, 8, header));
    write_file(dir / "CORTESIA.BIN", make_lines(s ? 27 : 39, s ? 25 : 37, 2, courtesy));
    write_file(dir / "BITMAP.BIN", make_bitmaps(l));
    write_file(dir / "PROG_PARAM.BIN", make_prog_param(l));
    write_file(dir / "VAL.BIN", make_named(29, 4, 25, "VALUTA "));
    write_file(dir / "OPERATORI.BIN", make_named(33, 10, 25, "OPERATORE "));
    write_file(dir / "LOGO.BIN", Bytes(120, 0));
    write_file(dir / "LOG.BIN", Bytes(2048, 0));
    if (!old(l)) write_file(dir / "TAV_MIN.BIN", make_tav_min());
}

Bytes department_record(const Bytes& reparti, Layout l, int id) {
    Bytes r(kRepRec, 0);
    const std::size_t rec = old(l) ? kRepRecOld : kRepRec;
    const std::size_t at = static_cast<std::size_t>(id - 1) * rec;
    if (id < 1 || at + rec > reparti.size()) return r;
    if (!old(l)) {
        std::copy_n(reparti.begin() + static_cast<std::ptrdiff_t>(at), kRepRec, r.begin());
        return r;
    }
    const std::span<const std::uint8_t> src(reparti.data() + at, rec);
    put_text(r, 1, 25, get_text(src, 0, 25));
    put_u8(r, 26, src[25] & 0x1Fu);
    put_u8(r, 27, (src[25] >> 5) & 0x07u);
    std::copy_n(src.begin() + 26, 16, r.begin() + 28);
    return r;
}

Bytes article_record(const Bytes& plu, Layout l, int id) {
    Bytes r(kPluRec, 0);
    const std::size_t rec = old(l) ? kPluRecOld : kPluRec;
    const std::size_t at = static_cast<std::size_t>(id - 1) * rec;
    if (id < 1 || at + rec > plu.size()) return r;
    if (!old(l)) {
        std::copy_n(plu.begin() + static_cast<std::ptrdiff_t>(at), kPluRec, r.begin());
        return r;
    }
    const std::span<const std::uint8_t> src(plu.data() + at, rec);
    put_text(r, 1, 25, get_text(src, 0, 25));
    put_u8(r, 26, src[25]);
    put_u8(r, 27, src[26] & 0x03u);
    std::copy_n(src.begin() + 27, 4, r.begin() + 28);
    put_text(r, 32, 14, get_text(src, 31, 17));
    return r;
}

std::uint32_t oro_now() {
    using namespace std::chrono;
    return static_cast<std::uint32_t>(
        duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

std::uint32_t oro_midnight(std::uint32_t oro) {
    return oro - oro % 86400;
}

std::string oro_ddmmyy(std::uint32_t oro) {
    int y = 0;
    unsigned m = 0, d = 0;
    civil_from_days(static_cast<long>(oro / 86400), y, m, d);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02u%02u%02d", d % 100, m % 100, y % 100);
    return buf;
}

}  // namespace ecrsim
