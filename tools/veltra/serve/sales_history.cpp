// The sales history on the journal's store (SQLite or PostgreSQL). Days are
// replaced whole; the month tables are rebuilt from the days under them in
// the same transaction, so a report never sees one without the other.
#include "sales_history.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>
#include <map>
#include <set>
#include <span>
#include <tuple>

#include "latin1.hpp"
#include "store_db.hpp"

namespace veltra::tool::serve {
namespace {

constexpr std::int64_t kDepartmentKind = 0;
constexpr std::int64_t kArticleKind = 1;
// A line's key among the lines of every register and day: the newest
// day's (then the highest register's) description names a group.
constexpr std::int64_t kKeyScale = 100000;

bool leap(int y) {
    return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

int days_in_month(int y, int m) {
    static constexpr std::array<int, 12> kDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : kDays[static_cast<std::size_t>(m - 1)];
}

// The range as whole months and at most two runs of days at its ends. An
// absent part is an empty range (first > last).
struct SplitRange {
    std::int32_t m1 = 1, m2 = 0;  // YYYYMM
    std::int32_t a1 = 1, a2 = 0;  // YYYYMMDD
    std::int32_t b1 = 1, b2 = 0;
};

std::int32_t next_month(std::int32_t ym) {
    return ym % 100 == 12 ? (ym / 100 + 1) * 100 + 1 : ym + 1;
}
std::int32_t previous_month(std::int32_t ym) {
    return ym % 100 == 1 ? (ym / 100 - 1) * 100 + 12 : ym - 1;
}
std::int32_t month_end(std::int32_t ym) {
    return ym * 100 + days_in_month(ym / 100, ym % 100);
}

SplitRange split_range(std::int32_t from, std::int32_t to) {
    SplitRange r;
    const std::int32_t fm = from / 100, tm = to / 100;
    const bool starts_month = from % 100 == 1;
    const bool ends_month = to == month_end(tm);
    if (fm == tm) {
        if (starts_month && ends_month) {
            r.m1 = r.m2 = fm;
        } else {
            r.a1 = from;
            r.a2 = to;
        }
        return r;
    }
    std::int32_t first = fm, last = tm;
    if (!starts_month) {
        r.a1 = from;
        r.a2 = month_end(fm);
        first = next_month(fm);
    }
    if (!ends_month) {
        r.b1 = tm * 100 + 1;
        r.b2 = to;
        last = previous_month(tm);
    }
    if (first <= last) {
        r.m1 = first;
        r.m2 = last;
    }
    return r;
}

std::string deflate_text(const std::string& text) {
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()),
                  6) != Z_OK)
        throw JournalError("sales history: cannot compress a file");
    out.resize(size);
    return out;
}

std::string inflate_text(const std::string& deflated, std::int64_t size) {
    if (size < 0 || size > (std::int64_t{1} << 30))
        throw JournalError("sales history: a kept file has a size out of range");
    std::string out(static_cast<std::size_t>(size), '\0');
    uLongf n = static_cast<uLongf>(size);
    if (uncompress(reinterpret_cast<Bytef*>(out.data()), &n,
                   reinterpret_cast<const Bytef*>(deflated.data()),
                   static_cast<uLong>(deflated.size())) != Z_OK ||
        n != static_cast<uLongf>(size))
        throw JournalError("sales history: a kept file does not read back whole");
    return out;
}

SalesTotals sum_of(const std::vector<SalesLine>& lines) {
    SalesTotals t;
    for (const SalesLine& l : lines) t += l.totals;
    return t;
}

// A number twice in one file would make two lines of one key.
void check_unique(const SalesFile& f) {
    std::set<std::int32_t> seen;
    for (const SalesLine& l : f.lines)
        if (!seen.insert(l.number).second)
            throw SalesCsvError(f.name + ": number " + std::to_string(l.number) +
                                " is there twice");
}

}  // namespace

std::int32_t parse_report_day(const std::string& text, char separator) {
    std::array<int, 3> v{};
    std::size_t pos = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        const std::size_t end = i < 2 ? text.find(separator, pos) : text.size();
        if (end == std::string::npos) return 0;
        const std::string_view part(text.data() + pos, end - pos);
        // Day and month take one digit or two, the year two.
        if (part.empty() || part.size() > 2 || (i == 2 && part.size() != 2)) return 0;
        const auto [p, ec] = std::from_chars(part.data(), part.data() + part.size(), v[i]);
        if (ec != std::errc() || p != part.data() + part.size()) return 0;
        pos = end + 1;
    }
    const int d = v[0], m = v[1], y = 2000 + v[2];
    if (m < 1 || m > 12 || d < 1 || d > days_in_month(y, m)) return 0;
    return y * 10000 + m * 100 + d;
}

const char* sales_source_name(SalesSource s) {
    switch (s) {
        case SalesSource::today:
            return "today";
        case SalesSource::archive:
            return "archive";
        case SalesSource::import:
            return "import";
    }
    return "import";
}

std::optional<SalesSource> sales_source_of(std::string_view name) {
    for (SalesSource s : {SalesSource::today, SalesSource::archive, SalesSource::import})
        if (name == sales_source_name(s)) return s;
    return std::nullopt;
}

std::string iso_day(std::int32_t d) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", d / 10000, d / 100 % 100, d % 100);
    return text;
}

class SalesHistory::Impl {
    // First, so that the statements below are made on an open database.
    std::unique_ptr<Db> db_;

    static std::unique_ptr<Db> checked(std::unique_ptr<Db> db, Access access) {
        if (db->schema_version() < 3)
            throw JournalError("sales history: " + db->where() + " has no sales history yet");
        if (db->dialect() == Dialect::sqlite) {
            // A lost commit costs a day that can be exported again; the
            // journal's own writes keep their full syncs on their connection.
            if (access == Access::read_write) exec(*db, "PRAGMA synchronous = NORMAL");
            exec(*db, "PRAGMA cache_size = -32768");
        } else {
            // The same in PostgreSQL, on this connection only.
            if (access == Access::read_write) exec(*db, "SET synchronous_commit TO OFF");
        }
        return db;
    }

public:
    Impl(std::unique_ptr<Db> db, Access access) : db_(checked(std::move(db), access)) {}

    Db& db() const { return *db_; }

    std::int64_t register_id(const std::string& name, bool create) {
        for (int pass = 0; pass < 2; ++pass) {
            {
                Statement s(db(), "SELECT id FROM sales_registers WHERE name = ?1");
                Statement::Use u(s);
                u.bind(1, name);
                if (u.step()) return u.integer(0);
            }
            if (!create) throw UnknownRegister("no sales kept for register " + name);
            if (pass > 0) break;
            Statement s(db(), "INSERT INTO sales_registers (name) VALUES (?1)");
            Statement::Use u(s);
            u.bind(1, name).run();
        }
        throw JournalError("sales history: a register just kept is not there");
    }

    std::int64_t name_id(std::int64_t kind, const SalesLine& l) {
        const auto key =
            std::make_tuple(kind, l.number, l.descr, l.ean, l.department, l.vat_descr, l.vat_rate);
        if (auto it = names_.find(key); it != names_.end()) return it->second;
        {
            Statement::Use u(insert_name_);
            bind_name(u, kind, l).run();
        }
        Statement::Use u(find_name_);
        bind_name(u, kind, l);
        if (!u.step()) throw JournalError("sales history: a description just kept is not there");
        const std::int64_t id = u.integer(0);
        names_.emplace(key, id);
        return id;
    }

    void store_day(std::int64_t reg, SalesSource source, const std::string& job_id,
                   const SalesDay& d, std::int64_t now_ms) {
        const SalesTotals total = d.departments ? sum_of(d.departments->lines) : SalesTotals{};
        const SalesTotals articles = d.articles ? sum_of(d.articles->lines) : SalesTotals{};
        for (std::int64_t kind : {kDepartmentKind, kArticleKind}) {
            Statement::Use u(delete_lines_);
            u.bind(1, kind).bind(2, d.day).bind(3, reg).run();
        }
        {
            Statement::Use u(delete_files_);
            u.bind(1, reg).bind(2, d.day).run();
        }
        {
            Statement::Use u(insert_day_);
            u.bind(1, d.day)
                .bind(2, reg)
                .bind(3, sales_source_name(source))
                .bind(4, job_id)
                .bind(5, now_ms);
            bind_totals(u, 6, total);
            bind_totals(u, 11, articles);
            u.run();
        }
        for (const SalesFile* f :
             {d.departments ? &*d.departments : nullptr, d.articles ? &*d.articles : nullptr}) {
            if (f == nullptr) continue;
            {
                Statement::Use u(insert_file_);
                u.bind(1, reg)
                    .bind(2, d.day)
                    .bind(3, f->name)
                    .bind(4, static_cast<std::int64_t>(f->text.size()))
                    .bind_blob(5, deflate_text(f->text))
                    .run();
            }
            const std::int64_t kind =
                f->kind == SalesKind::departments ? kDepartmentKind : kArticleKind;
            // Many lines a statement: a round trip to PostgreSQL costs more
            // than a row.
            std::size_t i = 0;
            const std::span<const SalesLine> lines(f->lines);
            for (; i + kLinesPerInsert <= lines.size(); i += kLinesPerInsert) {
                Statement::Use u(insert_lines_);
                for (std::size_t k = 0; k < kLinesPerInsert; ++k)
                    bind_line(u, static_cast<int>(k * 10), d.day, reg, kind, lines[i + k]);
                u.run();
            }
            for (; i < lines.size(); ++i) {
                Statement::Use u(insert_line_);
                bind_line(u, 0, d.day, reg, kind, lines[i]);
                u.run();
            }
        }
    }

    std::int64_t last_stamp() {
        Statement::Use u(last_stamp_);
        return u.step() ? u.integer(0) : 0;
    }

    std::string kept_source(std::int64_t reg, std::int32_t day) {
        Statement::Use u(find_day_);
        u.bind(1, day).bind(2, reg);
        return u.step() ? u.text(0) : std::string();
    }

    void rebuild_month(std::int64_t reg, std::int32_t month) {
        for (std::int64_t kind : {kDepartmentKind, kArticleKind}) {
            {
                Statement::Use u(delete_month_);
                u.bind(1, kind).bind(2, month).bind(3, reg).run();
            }
            Statement::Use u(insert_month_);
            u.bind(1, kind).bind(2, month).bind(3, reg).run();
        }
    }

    Statement insert_name_{db(),
                           "INSERT INTO sales_names (kind, number, descr, ean, department, "
                           "vat_descr, vat_rate) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7) "
                           "ON CONFLICT DO NOTHING"};
    Statement find_name_{db(),
                         "SELECT id FROM sales_names WHERE kind = ?1 AND number = ?2 AND "
                         "descr = ?3 AND ean = ?4 AND department = ?5 AND vat_descr = ?6 AND "
                         "vat_rate = ?7"};
    Statement delete_lines_{db(),
                            "DELETE FROM sales_lines WHERE kind = ?1 AND day = ?2 AND "
                            "register = ?3"};
    Statement delete_files_{db(), "DELETE FROM sales_files WHERE register = ?1 AND day = ?2"};
    Statement insert_day_{
        db(),
        "INSERT INTO sales_days (day, register, source, job_id, stored_ms, amount, quantity, "
        "discount, returns, returns_quantity, article_amount, article_quantity, "
        "article_discount, article_returns, article_returns_quantity) VALUES (?1, ?2, ?3, ?4, "
        "?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15) ON CONFLICT (day, register) DO UPDATE "
        "SET source = excluded.source, job_id = excluded.job_id, stored_ms = excluded.stored_ms, "
        "amount = excluded.amount, quantity = excluded.quantity, discount = excluded.discount, "
        "returns = excluded.returns, returns_quantity = excluded.returns_quantity, "
        "article_amount = excluded.article_amount, article_quantity = excluded.article_quantity, "
        "article_discount = excluded.article_discount, article_returns = "
        "excluded.article_returns, article_returns_quantity = excluded.article_returns_quantity"};
    Statement insert_file_{db(),
                           "INSERT INTO sales_files (register, day, name, size, deflated) "
                           "VALUES (?1, ?2, ?3, ?4, ?5)"};
    static constexpr std::size_t kLinesPerInsert = 50;
    static std::string insert_lines_sql(std::size_t rows) {
        std::string sql =
            "INSERT INTO sales_lines (day, register, kind, number, name, amount, quantity, "
            "discount, returns, returns_quantity) VALUES ";
        for (std::size_t r = 0; r < rows; ++r) {
            sql += r == 0 ? "(" : ", (";
            for (std::size_t c = 1; c <= 10; ++c)
                sql += (c == 1 ? "?" : ", ?") + std::to_string(r * 10 + c);
            sql += ")";
        }
        return sql;
    }
    Statement insert_line_{db(), insert_lines_sql(1)};
    Statement insert_lines_{db(), insert_lines_sql(kLinesPerInsert)};
    Statement last_stamp_{db(), "SELECT coalesce(max(stored_ms), 0) FROM sales_days"};
    Statement find_day_{db(), "SELECT source FROM sales_days WHERE day = ?1 AND register = ?2"};
    Statement delete_month_{db(),
                            "DELETE FROM sales_months WHERE kind = ?1 AND month = ?2 AND "
                            "register = ?3"};
    // A month's line per number: its days' sums, and the description of its
    // newest day, looked up by that day's key.
    Statement insert_month_{
        db(),
        "INSERT INTO sales_months (kind, month, register, number, last_key, name, amount, "
        "quantity, discount, returns, returns_quantity) "
        "SELECT m.kind, ?2, m.register, m.number, m.last_day * " +
            std::to_string(kKeyScale) +
            " + m.register, (SELECT l.name FROM sales_lines l WHERE l.kind = m.kind AND l.day = "
            "m.last_day AND l.register = m.register AND l.number = m.number), m.amount, "
            "m.quantity, m.discount, m.returns, m.returns_quantity FROM (SELECT kind, register, "
            "number, max(day) AS last_day, sum(amount) AS amount, sum(quantity) AS quantity, "
            "sum(discount) AS discount, sum(returns) AS returns, sum(returns_quantity) AS "
            "returns_quantity FROM sales_lines WHERE kind = ?1 AND day BETWEEN ?2 * 100 + 1 AND "
            "?2 * 100 + 31 AND register = ?3 GROUP BY kind, register, number) AS m"};

private:
    static Statement::Use& bind_name(Statement::Use& u, std::int64_t kind, const SalesLine& l) {
        return u.bind(1, kind)
            .bind(2, l.number)
            .bind_blob(3, l.descr)
            .bind_blob(4, l.ean)
            .bind(5, l.department)
            .bind_blob(6, l.vat_descr)
            .bind(7, l.vat_rate);
    }
    // One line's ten parameters, after the first `before`.
    void bind_line(Statement::Use& u, int before, std::int32_t day, std::int64_t reg,
                   std::int64_t kind, const SalesLine& l) {
        const std::int64_t name = name_id(kind, l);
        u.bind(before + 1, day)
            .bind(before + 2, reg)
            .bind(before + 3, kind)
            .bind(before + 4, l.number)
            .bind(before + 5, name);
        bind_totals(u, before + 6, l.totals);
    }
    static void bind_totals(Statement::Use& u, int first, const SalesTotals& t) {
        u.bind(first, t.amount)
            .bind(first + 1, t.quantity)
            .bind(first + 2, t.discount)
            .bind(first + 3, t.returns)
            .bind(first + 4, t.returns_quantity);
    }

    std::map<std::tuple<std::int64_t, std::int32_t, std::string, std::string, std::int32_t,
                        std::string, std::int32_t>,
             std::int64_t>
        names_;
};

SalesHistory::SalesHistory(const std::filesystem::path& database, Access access)
    : impl_(std::make_unique<Impl>(open_sqlite(database, access == Access::read_only), access)) {}

SalesHistory::SalesHistory(const StoreLocation& where, Access access)
    : impl_(std::make_unique<Impl>(
          open_store(where,
                     access == Access::read_only ? StoreUse::journal_read_only : StoreUse::history),
          access)) {}

SalesHistory::~SalesHistory() = default;

StoreOutcome SalesHistory::store(const std::string& register_name, SalesSource source,
                                 const std::string& job_id, const std::vector<SalesDay>& days,
                                 std::int64_t now_ms) {
    for (const SalesDay& d : days) {
        if (d.departments) check_unique(*d.departments);
        if (d.articles) check_unique(*d.articles);
    }
    const std::lock_guard lock(mutex_);
    StoreOutcome out;
    if (days.empty()) return out;
    std::int64_t reg = 0;
    {
        Transaction t(impl_->db());
        reg = impl_->register_id(register_name, true);
        t.commit();
    }
    for (std::size_t first = 0; first < days.size(); first += kBatchDays) {
        const std::size_t last = std::min(days.size(), first + kBatchDays);
        Transaction t(impl_->db());
        // Later than every day kept before, under the write lock.
        const std::int64_t stamp = std::max(now_ms, impl_->last_stamp() + 1);
        std::set<std::int32_t> months;
        int stored = 0;
        std::vector<std::int32_t> kept;
        for (std::size_t i = first; i < last; ++i) {
            const SalesDay& d = days[i];
            if (source == SalesSource::today) {
                const std::string was = impl_->kept_source(reg, d.day);
                if (!was.empty() && was != "today") {
                    kept.push_back(d.day);
                    continue;
                }
            }
            impl_->store_day(reg, source, job_id, d, stamp);
            months.insert(d.day / 100);
            ++stored;
        }
        for (std::int32_t m : months) impl_->rebuild_month(reg, m);
        t.commit();
        out.stored += stored;
        out.kept.insert(out.kept.end(), kept.begin(), kept.end());
    }
    return out;
}

namespace {

std::string register_filter(const std::vector<std::int64_t>& ids, const char* column) {
    if (ids.empty()) return "";
    std::string s = std::string(" AND ") + column + " IN (";
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i > 0) s += ',';
        s += std::to_string(ids[i]);
    }
    return s + ")";
}

SalesTotals totals_at(const Statement::Use& u, int first) {
    SalesTotals t;
    t.amount = u.integer(first);
    t.quantity = u.integer(first + 1);
    t.discount = u.integer(first + 2);
    t.returns = u.integer(first + 3);
    t.returns_quantity = u.integer(first + 4);
    return t;
}

constexpr const char* kSums =
    "sum(amount), sum(quantity), sum(discount), sum(returns), sum(returns_quantity)";

}  // namespace

SalesReport SalesHistory::report(const ReportQuery& q) const {
    const std::lock_guard lock(mutex_);
    Db& db = impl_->db();
    SalesReport r;
    r.from = q.from;
    r.to = q.to;
    r.by = q.by;
    // Register names to ids; a name the history never saw is an error,
    // not an empty report.
    std::map<std::int64_t, std::string> names;
    {
        Statement s(db, "SELECT id, name FROM sales_registers ORDER BY name");
        Statement::Use u(s);
        while (u.step()) names.emplace(u.integer(0), u.text(1));
    }
    std::vector<std::int64_t> ids;
    for (const std::string& want : q.registers) {
        auto it = std::find_if(names.begin(), names.end(),
                               [&](const auto& n) { return n.second == want; });
        if (it == names.end()) throw UnknownRegister("no sales kept for register " + want);
        ids.push_back(it->first);
        r.registers.push_back(want);
    }
    if (q.registers.empty())
        for (const auto& [id, name] : names) r.registers.push_back(name);
    std::sort(r.registers.begin(), r.registers.end());
    r.registers.erase(std::unique(r.registers.begin(), r.registers.end()), r.registers.end());
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());

    const std::string days_where =
        " FROM sales_days WHERE day BETWEEN ?1 AND ?2" + register_filter(ids, "register");
    {
        Statement s(db, std::string("SELECT count(DISTINCT day), ") + kSums +
                            ", sum(article_amount), sum(article_quantity), "
                            "sum(article_discount), sum(article_returns), "
                            "sum(article_returns_quantity)" +
                            days_where);
        Statement::Use u(s);
        u.bind(1, q.from).bind(2, q.to);
        if (u.step()) {
            r.days = static_cast<std::int32_t>(u.integer(0));
            r.total = totals_at(u, 1);
            r.articles_total = totals_at(u, 6);
        }
    }
    switch (q.by) {
        case ReportBy::day: {
            Statement s(db, std::string("SELECT day, count(*), ") + kSums + days_where +
                                " GROUP BY day ORDER BY day");
            Statement::Use u(s);
            u.bind(1, q.from).bind(2, q.to);
            while (u.step()) {
                ReportRow row;
                row.day = static_cast<std::int32_t>(u.integer(0));
                row.count = static_cast<std::int32_t>(u.integer(1));
                row.totals = totals_at(u, 2);
                r.rows.push_back(std::move(row));
            }
            break;
        }
        case ReportBy::register_name: {
            Statement s(db, std::string("SELECT register, count(*), ") + kSums + days_where +
                                " GROUP BY register");
            Statement::Use u(s);
            u.bind(1, q.from).bind(2, q.to);
            while (u.step()) {
                ReportRow row;
                row.register_name = names[u.integer(0)];
                row.count = static_cast<std::int32_t>(u.integer(1));
                row.totals = totals_at(u, 2);
                r.rows.push_back(std::move(row));
            }
            std::sort(r.rows.begin(), r.rows.end(), [](const ReportRow& a, const ReportRow& b) {
                return std::tie(b.totals.amount, a.register_name) <
                       std::tie(a.totals.amount, b.register_name);
            });
            break;
        }
        case ReportBy::department:
        case ReportBy::article: {
            const std::int64_t kind = q.by == ReportBy::department ? kDepartmentKind : kArticleKind;
            const SplitRange sr = split_range(q.from, q.to);
            const std::string regs = register_filter(ids, "register");
            const std::string cols = "amount, quantity, discount, returns, returns_quantity";
            const std::string key = "day * " + std::to_string(kKeyScale) + " + register";
            // Each number's sums over the months and days, and the
            // description of its newest day, found by that day's key (a
            // line's primary key).
            const std::string scale = std::to_string(kKeyScale);
            const std::string sql =
                "SELECT g.number, n.descr, n.ean, n.department, n.vat_descr, n.vat_rate, g.amount, "
                "g.quantity, g.discount, g.returns, g.returns_quantity FROM (SELECT number, "
                "max(k) AS k, sum(amount) AS amount, sum(quantity) AS quantity, sum(discount) AS "
                "discount, sum(returns) AS returns, sum(returns_quantity) AS returns_quantity "
                "FROM (SELECT number, last_key AS k, " +
                cols + " FROM sales_months WHERE kind = ?1 AND month BETWEEN ?2 AND ?3" + regs +
                " UNION ALL SELECT number, " + key + ", " + cols +
                " FROM sales_lines WHERE kind = ?1 AND day BETWEEN ?4 AND ?5" + regs +
                " UNION ALL SELECT number, " + key + ", " + cols +
                " FROM sales_lines WHERE kind = ?1 AND day BETWEEN ?6 AND ?7" + regs +
                ") AS u GROUP BY number) AS g JOIN sales_lines l ON l.kind = ?1 AND l.day = g.k "
                "/ " +
                scale + " AND l.register = g.k % " + scale +
                " AND l.number = g.number JOIN sales_names n ON n.id = l.name "
                "ORDER BY g.amount DESC, g.number" +
                (q.top > 0 ? " LIMIT " + std::to_string(q.top) : std::string());
            Statement s(db, sql);
            Statement::Use u(s);
            u.bind(1, kind)
                .bind(2, sr.m1)
                .bind(3, sr.m2)
                .bind(4, sr.a1)
                .bind(5, sr.a2)
                .bind(6, sr.b1)
                .bind(7, sr.b2);
            while (u.step()) {
                ReportRow row;
                row.number = static_cast<std::int32_t>(u.integer(0));
                row.descr = latin1_to_utf8(u.text(1));
                row.ean = latin1_to_utf8(u.text(2));
                row.department = static_cast<std::int32_t>(u.integer(3));
                row.vat_descr = latin1_to_utf8(u.text(4));
                row.vat_rate = static_cast<std::int32_t>(u.integer(5));
                row.totals = totals_at(u, 6);
                r.rows.push_back(std::move(row));
            }
            break;
        }
    }
    return r;
}

SalesReportSet SalesHistory::report_set(std::int32_t from, std::int32_t to,
                                        const std::vector<std::string>& registers) const {
    ReportQuery q{from, to, registers, ReportBy::day, 0};
    SalesReportSet set;
    set.by_day = report(q);
    q.by = ReportBy::department;
    set.by_department = report(q);
    q.by = ReportBy::article;
    set.by_article = report(q);
    q.by = ReportBy::register_name;
    set.by_register = report(q);
    return set;
}

std::vector<std::string> SalesHistory::registers() const {
    const std::lock_guard lock(mutex_);
    Statement s(impl_->db(), "SELECT name FROM sales_registers ORDER BY name");
    Statement::Use u(s);
    std::vector<std::string> out;
    while (u.step()) out.push_back(u.text(0));
    return out;
}

std::vector<StoredDay> SalesHistory::stored_after(const StoredDay& last, int limit) const {
    const std::lock_guard lock(mutex_);
    Statement s(impl_->db(),
                "SELECT r.name, d.day, d.source, d.stored_ms FROM sales_days d JOIN "
                "sales_registers r ON r.id = d.register WHERE (d.stored_ms, r.name, d.day) > "
                "(?1, ?2, ?3) ORDER BY d.stored_ms, r.name, d.day LIMIT ?4");
    Statement::Use u(s);
    u.bind(1, last.stored_ms).bind(2, last.register_name).bind(3, last.day).bind(4, limit);
    std::vector<StoredDay> out;
    while (u.step())
        out.push_back({u.text(0), static_cast<std::int32_t>(u.integer(1)),
                       sales_source_of(u.text(2)).value_or(SalesSource::import), u.integer(3)});
    return out;
}

std::vector<std::pair<std::string, std::int64_t>> SalesHistory::days_kept() const {
    const std::lock_guard lock(mutex_);
    Statement s(impl_->db(),
                "SELECT r.name, count(d.day) FROM sales_registers r LEFT JOIN sales_days d ON "
                "d.register = r.id GROUP BY r.id ORDER BY r.name");
    Statement::Use u(s);
    std::vector<std::pair<std::string, std::int64_t>> out;
    while (u.step()) out.emplace_back(u.text(0), u.integer(1));
    return out;
}

std::vector<std::pair<std::string, std::string>> SalesHistory::files(
    const std::string& register_name, std::int32_t day) const {
    const std::lock_guard lock(mutex_);
    Statement s(impl_->db(),
                "SELECT f.name, f.size, f.deflated FROM sales_files f JOIN sales_registers r ON "
                "r.id = f.register WHERE r.name = ?1 AND f.day = ?2 ORDER BY f.name");
    Statement::Use u(s);
    u.bind(1, register_name).bind(2, day);
    std::vector<std::pair<std::string, std::string>> out;
    while (u.step()) out.emplace_back(u.text(0), inflate_text(u.text(2), u.integer(1)));
    return out;
}

std::int64_t copy_sales_history(const SalesHistory& from, SalesHistory& to, std::int64_t now_ms) {
    std::int64_t kept = 0;
    StoredDay last;
    for (;;) {
        const std::vector<StoredDay> days = from.stored_after(last, 200);
        if (days.empty()) return kept;
        for (const StoredDay& d : days) {
            std::vector<SalesFile> files;
            for (auto& [name, text] : from.files(d.register_name, d.day))
                files.push_back(parse_sales_csv(name, text));
            kept +=
                to.store(d.register_name, d.source, "copied", sales_days(std::move(files)), now_ms)
                    .stored;
        }
        last = days.back();
    }
}

ImportOutcome import_sales_folder(SalesHistory& history, const std::filesystem::path& dir,
                                  const std::string& register_name, std::int64_t now_ms) {
    namespace fs = std::filesystem;
    struct Found {
        fs::file_time_type time;
        std::string text;
    };
    std::map<std::string, Found> found;
    ImportOutcome out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (!e.is_regular_file() || !sales_csv_name(name)) continue;
        std::ifstream f(e.path(), std::ios::binary);
        Found file{e.last_write_time(), std::string(std::istreambuf_iterator<char>(f), {})};
        if (f.bad()) throw SalesCsvError(e.path().string() + ": cannot be read");
        auto it = found.find(name);
        if (it == found.end()) {
            found.emplace(name, std::move(file));
            continue;
        }
        if (it->second.text != file.text) out.differing.push_back(name);
        if (file.time > it->second.time) it->second = std::move(file);
    }
    std::vector<SalesFile> files;
    for (auto& [name, f] : found) files.push_back(parse_sales_csv(name, f.text));
    out.files = files.size();
    out.kept = history.store(register_name, SalesSource::import, "import",
                             sales_days(std::move(files)), now_ms);
    return out;
}

}  // namespace veltra::tool::serve
