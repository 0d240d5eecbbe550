// The register's sales of one day, by department and by article, and the
// sales files made from them: a day's VEND file and the 512-byte summary.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>

#include "le_bytes.hpp"
#include "register_files.hpp"

namespace ecrsim {

struct Totals {
    std::int32_t amount = 0;  // in cents
    std::int32_t quantity = 0;
};

// The sales file keeps each department's and article's totals in 32 bits,
// so a total stops at that ceiling, and one sale is at most what the keyboard
// can key (9.999.999,99). A sale past either is refused and counts nowhere.
inline constexpr std::int64_t kMaxSaleAmount = 999'999'999;
inline constexpr std::int64_t kMaxTotal = 2'147'483'647;

struct SalesBook {
    std::map<int, Totals> departments;  // by department number (1..80)
    std::map<int, Totals> articles;     // by article number

    bool empty() const { return departments.empty() && articles.empty(); }
    void clear() { departments.clear(), articles.clear(); }
    // False, and nothing counted, when the sale is outside the bounds above
    // (or negative).
    bool sell_department(int id, std::int64_t amount, std::int64_t qty = 1);
    // An article sale counts in its department as well, or in neither.
    bool sell_article(int id, int department, std::int64_t amount, std::int64_t qty = 1);
    std::int64_t total() const;
};

// The register's tables that a sales file quotes records from.
struct SalesTables {
    Bytes reparti, plu, iva;
    Layout layout;
};
SalesTables load_sales_tables(const std::filesystem::path& dir, Layout layout);

// A day's sales file: header, department section, article section.
Bytes build_sales_file(const SalesBook& book, std::uint32_t date_oro, const SalesTables& t);
// The summary: date, error flag and the two counts at the header's offsets.
Bytes build_sales_summary(const SalesBook& book, std::uint32_t date_oro, bool error);

// The current day's sales kept in the state directory across runs.
void save_sales(const std::filesystem::path& file, const SalesBook& book);
SalesBook load_sales(const std::filesystem::path& file);

// A few days of realistic sales, different for each day.
SalesBook sample_day(int day_index);

}  // namespace ecrsim
