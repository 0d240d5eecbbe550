// Sales files of the register: 512-byte header, then 512-byte blocks of
// four 128-byte records per section.
#include "sales.hpp"

#include <fstream>
#include <sstream>

namespace ecrsim {
namespace {

constexpr std::size_t kHeader = 512, kBlock = 512, kRec = 128;

Bytes read_all(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::size_t section_size(std::size_t records) {
    return (records + 3) / 4 * kBlock;
}

// The VAT description and rate of a department record's rate number.
void put_iva(std::span<std::uint8_t> rec, std::size_t at, const Bytes& iva, unsigned rate_no) {
    const std::size_t src = rate_no * 29;
    if (src + 29 > iva.size()) return;
    put_text(rec, at, 25, get_text(iva, src, 25));
    put_i32le(rec, at + 25, get_i32le(iva, src + 25));
}

}  // namespace

namespace {

// Whether a total takes the sale; sums are made in 64 bits, so they cannot wrap.
bool fits(const std::map<int, Totals>& book, int id, std::int64_t amount, std::int64_t qty) {
    const auto it = book.find(id);
    const Totals t = it == book.end() ? Totals{} : it->second;
    return t.amount + amount <= kMaxTotal && t.quantity + qty <= kMaxTotal;
}

void add(Totals& t, std::int64_t amount, std::int64_t qty) {
    t.amount = static_cast<std::int32_t>(t.amount + amount);
    t.quantity = static_cast<std::int32_t>(t.quantity + qty);
}

bool valid_sale(std::int64_t amount, std::int64_t qty) {
    return amount >= 0 && amount <= kMaxSaleAmount && qty >= 0 && qty <= kMaxTotal;
}

}  // namespace

bool SalesBook::sell_department(int id, std::int64_t amount, std::int64_t qty) {
    if (!valid_sale(amount, qty) || !fits(departments, id, amount, qty)) return false;
    add(departments[id], amount, qty);
    return true;
}

bool SalesBook::sell_article(int id, int department, std::int64_t amount, std::int64_t qty) {
    if (!valid_sale(amount, qty) || !fits(articles, id, amount, qty) ||
        !fits(departments, department, amount, qty))
        return false;
    add(articles[id], amount, qty);
    add(departments[department], amount, qty);
    return true;
}

std::int64_t SalesBook::total() const {
    std::int64_t sum = 0;
    for (const auto& [id, t] : departments) sum += t.amount;
    return sum;
}

SalesTables load_sales_tables(const std::filesystem::path& dir, Layout layout) {
    return {read_all(dir / "REPARTI.BIN"), read_all(dir / "PLU.BIN"), read_all(dir / "IVA.BIN"),
            layout};
}

Bytes build_sales_file(const SalesBook& book, std::uint32_t date, const SalesTables& t) {
    const std::size_t size_rep = section_size(book.departments.size());
    const std::size_t size_plu = section_size(book.articles.size());
    Bytes b(kHeader + size_rep + size_plu, 0);
    put_u32le(b, 0, date);
    put_u8(b, 27, static_cast<unsigned>(book.departments.size()));
    put_u32le(b, 28, static_cast<std::uint32_t>(book.articles.size()));
    put_u32le(b, 72, static_cast<std::uint32_t>(size_rep));
    put_u32le(b, 76, static_cast<std::uint32_t>(size_plu));
    std::size_t at = kHeader;
    for (const auto& [id, tot] : book.departments) {
        const Bytes rep = department_record(t.reparti, t.layout, id);
        std::span<std::uint8_t> r(b.data() + at, kRec);
        put_i32le(r, 1, id);
        std::copy(rep.begin(), rep.end(), r.begin() + 5);
        put_iva(r, 55, t.iva, rep[26] & 0x07u);
        put_i32le(r, 84, tot.amount);
        put_i32le(r, 88, tot.quantity);
        at += kRec;
    }
    at = kHeader + size_rep;
    for (const auto& [id, tot] : book.articles) {
        const Bytes plu = article_record(t.plu, t.layout, id);
        const Bytes rep = department_record(t.reparti, t.layout, plu[26] + 1);
        std::span<std::uint8_t> r(b.data() + at, kRec);
        put_i32le(r, 1, id);
        std::copy(plu.begin(), plu.end(), r.begin() + 5);
        put_iva(r, 69, t.iva, rep[26] & 0x07u);
        put_i32le(r, 98, tot.amount);
        put_i32le(r, 102, tot.quantity);
        at += kRec;
    }
    return b;
}

Bytes build_sales_summary(const SalesBook& book, std::uint32_t date, bool error) {
    Bytes b(kHeader, 0);
    put_u32le(b, 0, date);
    put_u8(b, 26, error ? 1 : 0);
    put_u8(b, 27, static_cast<unsigned>(book.departments.size()));
    put_u32le(b, 28, static_cast<std::uint32_t>(book.articles.size()));
    return b;
}

void save_sales(const std::filesystem::path& file, const SalesBook& book) {
    std::ofstream out(file, std::ios::trunc);
    for (const auto& [id, t] : book.departments)
        out << "R " << id << ' ' << t.amount << ' ' << t.quantity << '\n';
    for (const auto& [id, t] : book.articles)
        out << "P " << id << ' ' << t.amount << ' ' << t.quantity << '\n';
}

SalesBook load_sales(const std::filesystem::path& file) {
    SalesBook book;
    std::ifstream in(file);
    std::string line;
    for (int n = 0; n < 200000 && std::getline(in, line); ++n) {
        std::istringstream f(line);
        char kind = 0;
        int id = 0;
        Totals t;
        if (!(f >> kind >> id >> t.amount >> t.quantity) || id < 1) continue;
        (kind == 'R' ? book.departments : book.articles)[id] = t;
    }
    return book;
}

SalesBook sample_day(int day) {
    SalesBook book;
    // Article number, its department, price in cents.
    const int sold[][3] = {{1, 1, 249}, {2, 1, 189},  {5, 3, 350},  {7, 4, 159},
                           {10, 6, 45}, {12, 7, 790}, {13, 8, 650}, {16, 10, 150}};
    for (int i = 0; i < 8; ++i) {
        if ((i + day) % 3 == 2) continue;
        const int qty = 1 + (i * 7 + day * 5) % 6;
        book.sell_article(sold[i][0], sold[i][1], sold[i][2] * qty, qty);
    }
    book.sell_department(2, 320 + 45 * day, 2);  // open-price sales
    book.sell_department(5, 1275 + 100 * day, 3);
    return book;
}

}  // namespace ecrsim
