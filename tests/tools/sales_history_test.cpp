// The sales history against the books the simulated register sold: day
// files made by the simulator, turned into CSV by the library, kept, and
// summed over ranges that start and end inside months and across them, in
// SQLite's file and in PostgreSQL alike.
#include "sales_history.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "ecrsim_test.hpp"
#include "journal.hpp"
#include "sales/sales_file.hpp"
#include "test_store.hpp"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;
using tool::serve::Cents;
using tool::serve::JournalError;
using tool::serve::ReportBy;
using tool::serve::ReportQuery;
using tool::serve::SalesCsvError;
using tool::serve::SalesDay;
using tool::serve::SalesFile;
using tool::serve::SalesHistory;
using tool::serve::SalesReport;
using tool::serve::SalesSource;

constexpr std::uint32_t kDaySeconds = 86400;
constexpr std::uint32_t k20240120 = 1705708800;  // 20 January 2024, 00:00 UTC

std::int32_t yyyymmdd(std::uint32_t oro) {
    const std::string d = ecrsim::oro_ddmmyy(oro);  // ddmmyy
    return 20000000 + std::stoi(d.substr(4, 2)) * 10000 + std::stoi(d.substr(2, 2)) * 100 +
           std::stoi(d.substr(0, 2));
}

std::string read_text(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

// What was sold, by register and day: the oracle every report is held to.
struct Sold {
    std::map<std::string, std::map<std::int32_t, ecrsim::SalesBook>> books;

    template <class Pick>
    Cents sum(std::int32_t from, std::int32_t to, const std::string& reg, Pick pick) const {
        Cents total = 0;
        for (const auto& [name, days] : books) {
            if (!reg.empty() && name != reg) continue;
            for (const auto& [day, book] : days)
                if (day >= from && day <= to) total += pick(book);
        }
        return total;
    }
};

class SalesHistoryTest : public EcrsimTest, public ::testing::WithParamInterface<StoreKind> {
protected:
    void SetUp() override {
        EcrsimTest::SetUp();
        tables_ = ecrsim::load_sales_tables(reg_->state_dir(), ecrsim::Layout{});
        if (!store_.use(GetParam(), work_.path() / "state")) GTEST_SKIP() << store_.why_not();
        {
            const tool::serve::Journal journal(store_.location(),
                                               tool::serve::Journal::Access::read_write);
        }
        database_ = work_.path() / "state" / "journal.db";
        history_ =
            std::make_unique<SalesHistory>(store_.location(), SalesHistory::Access::read_write);
    }

    // One day's files with the first line's description changed.
    SalesDay renamed(SalesDay d, const std::string& descr) {
        for (std::optional<SalesFile>* f : {&d.departments, &d.articles}) {
            std::string text = (*f)->text;
            const std::size_t first_line = text.find('\n') + 1;
            const std::size_t from = text.find(';', first_line) + 1;
            text.replace(from, text.find(';', from) - from, descr);
            *f = tool::serve::parse_sales_csv((*f)->name, text);
        }
        return d;
    }

    // The library's CSV files of one day's book, read back.
    SalesDay day_of(const ecrsim::SalesBook& book, std::uint32_t oro) {
        const fs::path dir = work_.path() / ("csv" + std::to_string(++made_));
        fs::create_directories(dir);
        const fs::path dat = dir / "VEND.DAT";
        const auto bytes = ecrsim::build_sales_file(book, oro, tables_);
        std::ofstream(dat, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        EXPECT_EQ(ecr_conv_venduto(dat.string().c_str(), dir.string().c_str()), 0);
        std::vector<SalesFile> files;
        for (const auto& e : fs::directory_iterator(dir))
            files.push_back(
                tool::serve::parse_sales_csv(e.path().filename().string(), read_text(e.path())));
        auto days = tool::serve::sales_days(std::move(files));
        EXPECT_EQ(days.size(), 1u);
        return days.empty() ? SalesDay{} : days.front();
    }

    static ecrsim::SalesBook random_book(std::mt19937& rng) {
        ecrsim::SalesBook b;
        std::uniform_int_distribution<int> dep(1, 12), art(1, 30), cents(1, 250000), qty(1, 9);
        for (int i = 0; i < 25; ++i) {
            const int a = art(rng);
            b.sell_article(a, 1 + a % 12, cents(rng), qty(rng));
        }
        for (int i = 0; i < 6; ++i) b.sell_department(dep(rng), cents(rng), qty(rng));
        return b;
    }

    // days days of random books for each register, from 20 January 2024
    // (over the end of January and 29 February).
    Sold sell(const std::vector<std::string>& regs, int days, unsigned seed) {
        std::mt19937 rng(seed);
        Sold sold;
        for (const std::string& reg : regs) {
            std::vector<SalesDay> kept;
            for (int i = 0; i < days; ++i) {
                const std::uint32_t oro = k20240120 + static_cast<std::uint32_t>(i) * kDaySeconds;
                const ecrsim::SalesBook book = random_book(rng);
                sold.books[reg][yyyymmdd(oro)] = book;
                kept.push_back(day_of(book, oro));
            }
            history_->store(reg, SalesSource::archive, "test", kept, 1);
        }
        return sold;
    }

    SalesReport report(std::int32_t from, std::int32_t to, ReportBy by,
                       std::vector<std::string> regs = {}) {
        return history_->report(ReportQuery{from, to, std::move(regs), by, 0});
    }

    ecrsim::SalesTables tables_;
    TestStore store_;
    fs::path database_;  // SQLite's
    std::unique_ptr<SalesHistory> history_;
    int made_ = 0;
};

Cents departments_of(const ecrsim::SalesBook& b) {
    Cents t = 0;
    for (const auto& [n, v] : b.departments) t += v.amount;
    return t;
}
Cents articles_of(const ecrsim::SalesBook& b) {
    Cents t = 0;
    for (const auto& [n, v] : b.articles) t += v.amount;
    return t;
}

struct Range {
    const char* name;
    std::int32_t from, to;
};

// Whole months, runs of days at either end, a single day, a range inside
// one month, and one that covers days without sales.
const Range kRanges[] = {
    {"everything", 20240101, 20241231},      {"inside_january", 20240122, 20240129},
    {"whole_february", 20240201, 20240229},  {"january_end_to_march", 20240125, 20240305},
    {"single_leap_day", 20240229, 20240229}, {"march_start", 20240301, 20240310},
    {"before_any_sale", 20231201, 20240119},
};

TEST_P(SalesHistoryTest, EveryGroupingEqualsTheBooksSoldOverEveryRange) {
    const Sold sold = sell({"shop1", "shop2"}, 50, 7);
    for (const Range& r : kRanges) {
        SCOPED_TRACE(r.name);
        for (const std::string reg : {"", "shop2"}) {
            SCOPED_TRACE("register " + reg);
            const std::vector<std::string> regs =
                reg.empty() ? std::vector<std::string>{} : std::vector<std::string>{reg};
            const Cents takings = sold.sum(r.from, r.to, reg, departments_of);
            const Cents articles = sold.sum(r.from, r.to, reg, articles_of);

            const SalesReport by_day = report(r.from, r.to, ReportBy::day, regs);
            EXPECT_EQ(by_day.total.amount, takings);
            EXPECT_EQ(by_day.articles_total.amount, articles);
            for (const auto& row : by_day.rows)
                EXPECT_EQ(row.totals.amount, sold.sum(row.day, row.day, reg, departments_of))
                    << row.day;

            const SalesReport deps = report(r.from, r.to, ReportBy::department, regs);
            std::map<int, Cents> want;
            for (const auto& [name, days] : sold.books)
                for (const auto& [day, book] : days)
                    if ((reg.empty() || name == reg) && day >= r.from && day <= r.to)
                        for (const auto& [n, v] : book.departments) want[n] += v.amount;
            std::map<int, Cents> got;
            for (const auto& row : deps.rows) got[row.number] = row.totals.amount;
            EXPECT_EQ(got, want);
            for (std::size_t i = 1; i < deps.rows.size(); ++i)
                EXPECT_GE(deps.rows[i - 1].totals.amount, deps.rows[i].totals.amount);

            const SalesReport arts = report(r.from, r.to, ReportBy::article, regs);
            std::map<int, std::pair<Cents, std::int64_t>> want_a, got_a;
            for (const auto& [name, days] : sold.books)
                for (const auto& [day, book] : days)
                    if ((reg.empty() || name == reg) && day >= r.from && day <= r.to)
                        for (const auto& [n, v] : book.articles) {
                            want_a[n].first += v.amount;
                            want_a[n].second += v.quantity;
                        }
            for (const auto& row : arts.rows)
                got_a[row.number] = {row.totals.amount, row.totals.quantity};
            EXPECT_EQ(got_a, want_a);

            const SalesReport by_reg = report(r.from, r.to, ReportBy::register_name, regs);
            for (const auto& row : by_reg.rows)
                EXPECT_EQ(row.totals.amount,
                          sold.sum(r.from, r.to, row.register_name, departments_of));
        }
    }
}

TEST_P(SalesHistoryTest, TopKeepsTheLargestGroupsAndTheWholeTotals) {
    const Sold sold = sell({"shop1"}, 10, 3);
    const SalesReport all = report(20240101, 20241231, ReportBy::article);
    ReportQuery q{20240101, 20241231, {}, ReportBy::article, 5};
    const SalesReport top = history_->report(q);
    ASSERT_EQ(top.rows.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(top.rows[i].number, all.rows[i].number);
    EXPECT_EQ(top.articles_total, all.articles_total);
}

TEST_P(SalesHistoryTest, ADayStoredAgainIsReplacedAndASnapshotNeverReplacesAClosedDay) {
    std::mt19937 rng(11);
    const ecrsim::SalesBook first = random_book(rng), second = random_book(rng),
                            snapshot = random_book(rng);
    const std::int32_t day = yyyymmdd(k20240120);
    history_->store("shop1", SalesSource::archive, "a", {day_of(first, k20240120)}, 1);
    history_->store("shop1", SalesSource::archive, "b", {day_of(second, k20240120)}, 2);
    EXPECT_EQ(report(day, day, ReportBy::day).total.amount, departments_of(second));
    // The register's current day, read after the day was closed, starts
    // again under the same date: it must not wipe the closed day.
    const auto outcome =
        history_->store("shop1", SalesSource::today, "c", {day_of(snapshot, k20240120)}, 3);
    EXPECT_EQ(outcome.stored, 0);
    EXPECT_EQ(outcome.kept, std::vector<std::int32_t>{day});
    EXPECT_EQ(report(day, day, ReportBy::day).total.amount, departments_of(second));
    // A snapshot replaces a snapshot.
    const std::uint32_t next = k20240120 + kDaySeconds;
    history_->store("shop1", SalesSource::today, "d", {day_of(first, next)}, 4);
    history_->store("shop1", SalesSource::today, "e", {day_of(snapshot, next)}, 5);
    EXPECT_EQ(report(yyyymmdd(next), yyyymmdd(next), ReportBy::day).total.amount,
              departments_of(snapshot));
    // The files come back as they came.
    const auto files = history_->files("shop1", yyyymmdd(next));
    const SalesDay made = day_of(snapshot, next);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].first, made.articles->name);
    EXPECT_EQ(files[0].second, made.articles->text);
    EXPECT_EQ(files[1].second, made.departments->text);
}

// A reader that follows the history from the last day it read (a shop's
// link to its chain) sees every day kept since, once, in the order kept,
// even when the clock stands still or goes back, and a day replaced again.
TEST_P(SalesHistoryTest, AReaderGoingOnFromItsLastDayMissesNoDayKeptSince) {
    using tool::serve::StoredDay;
    std::mt19937 rng(3);
    const auto day_at = [&](int i) {
        const std::uint32_t oro = k20240120 + static_cast<std::uint32_t>(i) * kDaySeconds;
        return day_of(random_book(rng), oro);
    };
    // Read in pages of two, as a reader that stops and goes on would.
    StoredDay cursor;
    const auto read_all = [&] {
        std::vector<std::string> seen;
        for (auto page = history_->stored_after(cursor, 2); !page.empty();
             page = history_->stored_after(cursor, 2)) {
            for (const StoredDay& d : page)
                seen.push_back(d.register_name + "/" + std::to_string(d.day));
            cursor = page.back();
        }
        return seen;
    };
    const std::int32_t d0 = yyyymmdd(k20240120), d1 = yyyymmdd(k20240120 + kDaySeconds),
                       d2 = yyyymmdd(k20240120 + 2 * kDaySeconds);
    const auto key = [](const char* reg, std::int32_t d) {
        return std::string(reg) + "/" + std::to_string(d);
    };
    history_->store("shop2", SalesSource::archive, "a", {day_at(0), day_at(1), day_at(2)}, 1000);
    EXPECT_EQ(read_all(),
              (std::vector<std::string>{key("shop2", d0), key("shop2", d1), key("shop2", d2)}));
    // The same millisecond, and one before it: still after what was read.
    history_->store("shop1", SalesSource::archive, "b", {day_at(0)}, 1000);
    history_->store("shop1", SalesSource::archive, "c", {day_at(1)}, 500);
    EXPECT_EQ(read_all(), (std::vector<std::string>{key("shop1", d0), key("shop1", d1)}));
    // A day replaced comes again; a snapshot that did not replace a closed
    // day does not.
    history_->store("shop2", SalesSource::archive, "d", {day_at(0)}, 2000);
    history_->store("shop2", SalesSource::today, "e", {day_at(1)}, 3000);
    EXPECT_EQ(read_all(), std::vector<std::string>{key("shop2", d0)});
    EXPECT_TRUE(read_all().empty());
    // Each store is stamped after the last: its own time, or a millisecond
    // after the last stamp when its clock is behind.
    std::vector<std::int64_t> stamps;
    for (const StoredDay& d : history_->stored_after(StoredDay{}, 100))
        stamps.push_back(d.stored_ms);
    EXPECT_EQ(stamps, (std::vector<std::int64_t>{1000, 1000, 1001, 1002, 2000}));
}

TEST_P(SalesHistoryTest, ABadDayLeavesTheBatchAsItWas) {
    std::mt19937 rng(5);
    const ecrsim::SalesBook book = random_book(rng);
    history_->store("shop1", SalesSource::archive, "a", {day_of(book, k20240120)}, 1);
    SalesDay twice = day_of(random_book(rng), k20240120);
    twice.departments->lines.push_back(twice.departments->lines.front());
    EXPECT_THROW(history_->store("shop1", SalesSource::archive, "b", {twice}, 2), SalesCsvError);
    const std::int32_t day = yyyymmdd(k20240120);
    EXPECT_EQ(report(day, day, ReportBy::day).total.amount, departments_of(book));
}

TEST_P(SalesHistoryTest, SumsPassTheRegistersThirtyTwoBitsExactly) {
    // The largest total a day file holds, on many days: the range's sum is
    // exact past 2^31 cents.
    ecrsim::SalesBook big;
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(big.sell_department(1, ecrsim::kMaxSaleAmount));
    std::vector<SalesDay> days;
    for (int i = 0; i < 40; ++i)
        days.push_back(day_of(big, k20240120 + static_cast<std::uint32_t>(i) * kDaySeconds));
    history_->store("shop1", SalesSource::archive, "big", days, 1);
    const SalesReport r = report(20240101, 20241231, ReportBy::department);
    EXPECT_EQ(r.total.amount, Cents{40} * 2 * ecrsim::kMaxSaleAmount);
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0].totals.amount, r.total.amount);
}

TEST_P(SalesHistoryTest, AnUnknownRegisterIsAnErrorNotAnEmptyReport) {
    sell({"shop1"}, 2, 1);
    EXPECT_THROW(report(20240101, 20241231, ReportBy::day, {"nowhere"}),
                 tool::serve::UnknownRegister);
}

// A journal in PostgreSQL starts at the schema that has the history.
class SalesHistorySqlite : public SalesHistoryTest {};

TEST_P(SalesHistorySqlite, AJournalOfTheFormerSchemaGainsTheHistoryAndKeepsItsJobs) {
    history_.reset();
    {
        tool::serve::Journal journal(work_.path() / "state");
        tool::serve::JobRecord job;
        job.id = "kept-job";
        job.register_name = "shop1";
        job.kind = "status";
        job.state = "succeeded";
        journal.add_read(job);
    }
    ASSERT_EQ(store_.raw_exec("DROP TABLE sales_registers; DROP TABLE sales_days; DROP TABLE "
                              "sales_files; DROP TABLE sales_names; DROP TABLE sales_lines; DROP "
                              "TABLE sales_months; DROP TABLE fleet_ops; PRAGMA user_version = 2;"),
              "");
    EXPECT_THROW(SalesHistory(database_, SalesHistory::Access::read_only), JournalError);
    const tool::serve::Journal journal(work_.path() / "state");
    EXPECT_TRUE(journal.find("kept-job").has_value());
    SalesHistory history(database_, SalesHistory::Access::read_write);
    EXPECT_TRUE(history.registers().empty());
}

// The files as the library writes them, and as a register may describe
// its goods: Latin-1 names, a ';' inside one, Windows line ends.
TEST_P(SalesHistoryTest, ReadsLatin1SemicolonsAndCrLf) {
    std::mt19937 rng(9);
    SalesDay d = day_of(random_book(rng), k20240120);
    std::string text = d.departments->text;
    const std::size_t first_line = text.find('\n') + 1;
    const std::size_t descr = text.find(';', first_line) + 1;
    const std::size_t descr_end = text.find(';', descr);
    text.replace(descr, descr_end - descr, "CAFF\xC8; BAR");
    // Windows lines whether the library wrote them (on Windows) or not.
    std::string crlf;
    for (char c : text)
        if (c != '\r') crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const SalesFile f = tool::serve::parse_sales_csv(d.departments->name, crlf);
    ASSERT_EQ(f.lines.size(), d.departments->lines.size());
    EXPECT_EQ(f.lines.front().descr, "CAFF\xC8; BAR");
    SalesDay changed = d;
    changed.departments = f;
    history_->store("shop1", SalesSource::archive, "a", {changed}, 1);
    const SalesReport r = report(20240101, 20241231, ReportBy::department);
    bool found = false;
    for (const auto& row : r.rows) found = found || row.descr == "CAFF\xC3\x88; BAR";
    EXPECT_TRUE(found) << "the Latin-1 name did not come back as UTF-8";
}

// Lines are written many a statement: a day of more lines than one
// statement takes keeps every one of them, the last odd ones too.
TEST_P(SalesHistoryTest, ADayOfManyLinesKeepsEveryLine) {
    ecrsim::SalesBook book;
    for (int a = 1; a <= 123; ++a) ASSERT_TRUE(book.sell_article(a, 1 + a % 12, 100 * a, 1));
    history_->store("shop1", SalesSource::archive, "many", {day_of(book, k20240120)}, 1);
    const std::int32_t day = yyyymmdd(k20240120);
    std::map<int, Cents> got;
    for (const auto& row : report(day, day, ReportBy::article).rows)
        got[row.number] = row.totals.amount;
    std::map<int, Cents> want;
    for (const auto& [n, v] : book.articles) want[n] = v.amount;
    EXPECT_EQ(got.size(), 123u);
    EXPECT_EQ(got, want);
}

// A group is named by its newest day's description, whether the range is
// read from the month sums, from days, or from both.
TEST_P(SalesHistoryTest, TheNewestDaysDescriptionNamesAGroup) {
    std::mt19937 rng(13);
    const ecrsim::SalesBook book = random_book(rng);
    const std::uint32_t march = k20240120 + 45 * kDaySeconds;  // 5 March 2024
    history_->store(
        "shop1", SalesSource::archive, "a",
        {renamed(day_of(book, k20240120), "VECCHIO"), renamed(day_of(book, march), "NUOVO")}, 1);
    const std::int32_t first_number = day_of(book, k20240120).departments->lines.front().number;
    const auto name_in = [&](std::int32_t from, std::int32_t to) {
        for (const auto& row : report(from, to, ReportBy::department).rows)
            if (row.number == first_number) return row.descr;
        return std::string("(none)");
    };
    EXPECT_EQ(name_in(20240101, 20240331), "NUOVO");  // months only
    EXPECT_EQ(name_in(20240101, 20240310), "NUOVO");  // months and days
    EXPECT_EQ(name_in(20240115, 20240331), "NUOVO");  // days and months
    EXPECT_EQ(name_in(20240120, 20240305), "NUOVO");  // days only
    EXPECT_EQ(name_in(20240101, 20240131), "VECCHIO");
}

// A history copied into another store, SQLite's into PostgreSQL's (as a
// central service of an earlier version's is at its first start), reports
// the same as the one it came from.
TEST_P(SalesHistoryTest, ACopyReportsTheSameInTheOtherStore) {
    sell({"shop1", "shop2"}, 45, 17);
    std::mt19937 rng(1);
    history_->store("shop2", SalesSource::today, "now",
                    {day_of(random_book(rng), k20240120 + 50 * kDaySeconds)}, 2);
    TempDir other_dir;
    TestStore other;
    const StoreKind kind =
        store_kinds().back() == GetParam() ? store_kinds().front() : store_kinds().back();
    ASSERT_TRUE(other.use(kind, other_dir.path() / "state"));
    {
        const tool::serve::Journal journal(other.location(),
                                           tool::serve::Journal::Access::read_write);
    }
    SalesHistory copy(other.location(), SalesHistory::Access::read_write);
    EXPECT_EQ(tool::serve::copy_sales_history(*history_, copy, 5), 45 * 2 + 1);
    EXPECT_EQ(copy.days_kept(), history_->days_kept());
    for (ReportBy by :
         {ReportBy::day, ReportBy::department, ReportBy::article, ReportBy::register_name})
        for (const Range& r : kRanges) {
            SCOPED_TRACE(r.name);
            const ReportQuery q{r.from, r.to, {}, by, 0};
            const SalesReport a = history_->report(q), b = copy.report(q);
            EXPECT_EQ(a.total, b.total);
            EXPECT_EQ(a.articles_total, b.articles_total);
            ASSERT_EQ(a.rows.size(), b.rows.size());
            for (std::size_t i = 0; i < a.rows.size(); ++i) {
                EXPECT_EQ(a.rows[i].number, b.rows[i].number);
                EXPECT_EQ(a.rows[i].day, b.rows[i].day);
                EXPECT_EQ(a.rows[i].register_name, b.rows[i].register_name);
                EXPECT_EQ(a.rows[i].descr, b.rows[i].descr);
                EXPECT_EQ(a.rows[i].totals, b.rows[i].totals);
            }
        }
    // The snapshot of today stays a snapshot.
    const auto last = copy.stored_after(tool::serve::StoredDay{}, 1000);
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(std::count_if(last.begin(), last.end(),
                            [](const auto& d) { return d.source == SalesSource::today; }),
              1);
}

INSTANTIATE_TEST_SUITE_P(Stores, SalesHistoryTest, ::testing::ValuesIn(store_kinds()),
                         store_kind_name);
INSTANTIATE_TEST_SUITE_P(Stores, SalesHistorySqlite, ::testing::Values(StoreKind::sqlite),
                         store_kind_name);

TEST(SalesCsv, RefusesWhatTheLibraryNeverWrites) {
    const std::string header =
        "id_reparto;descr;iva;batt_sing;tipo_sconto;id_aux_lan;id_gruppo;prezzo;min_valore;"
        "max_valore;valore_sconto;non_fiscale;iva_descr;iva_aliquota;totale_reparto;"
        "totale_qt_rep;totale_sconto_rep;totale_reso_storno;tot_qt_reso_storno\n";
    const std::string good = "3;PANE;1;0;0;1;1;0;0;0;0;0;IVA 10;1000;627;3;0;0;0\n";
    struct Case {
        const char* name;
        std::string file, text;
    };
    const Case cases[] = {
        {"wrong_header", "VEND_REP_010324.CSV", "id;descr\n" + good},
        {"empty", "VEND_REP_010324.CSV", ""},
        {"letters_for_a_total", "VEND_REP_010324.CSV",
         header + "3;PANE;1;0;0;1;1;0;0;0;0;0;IVA;1000;6x;3;0;0;0\n"},
        {"total_past_32_bits", "VEND_REP_010324.CSV",
         header + "3;PANE;1;0;0;1;1;0;0;0;0;0;IVA;1000;4294967296;3;0;0;0\n"},
        {"too_few_fields", "VEND_REP_010324.CSV", header + "3;PANE;1\n"},
        {"bare_cr", "VEND_REP_010324.CSV",
         header + "3;PA\rNE;1;0;0;1;1;0;0;0;0;0;IVA;1000;627;3;0;0;0\n"},
        {"nul", "VEND_REP_010324.CSV",
         header + std::string("3;PA\0NE;1;0;0;1;1;0;0;0;0;0;IVA;1000;627;3;0;0;0\n", 50)},
        {"not_a_day", "VEND_REP_300224.CSV", header + good},
        {"not_a_sales_name", "VENDITE.CSV", header + good},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            tool::serve::parse_sales_csv(c.file, c.text);
            ADD_FAILURE() << "taken";
        } catch (const SalesCsvError& e) {
            EXPECT_NE(std::string(e.what()).find(c.file), std::string::npos) << e.what();
        }
    }
    const SalesFile f = tool::serve::parse_sales_csv("VEND_REP_290224.CSV", header + good);
    EXPECT_EQ(f.day, 20240229);
    ASSERT_EQ(f.lines.size(), 1u);
    EXPECT_EQ(f.lines[0].totals.amount, 627);
    EXPECT_EQ(f.lines[0].vat_rate, 1000);
}

TEST(SalesReportDay, ReadsTheDatesItShould) {
    using tool::serve::parse_report_day;
    EXPECT_EQ(parse_report_day("1-3-24", '-'), 20240301);
    EXPECT_EQ(parse_report_day("29/02/24", '/'), 20240229);
    for (const char* bad : {"29-02-23", "31-04-24", "1-3-2024", "01-13-24", "0-1-24", "1-1", "",
                            "a-b-cd", "1-1-24-", "+1-1-24"})
        EXPECT_EQ(parse_report_day(bad, '-'), 0) << bad;
}

}  // namespace
}  // namespace veltra::test
