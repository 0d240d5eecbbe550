// The sales history: every register's days of sales, as the library's CSV
// files gave them, kept in the state folder's database and summed over any
// range of days by day, department, article or register.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sales_csv.hpp"
#include "sales_report.hpp"
#include "store_db.hpp"

namespace veltra::tool::serve {

// A register the history has never had a day of.
class UnknownRegister : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where a day came from. A day read from the register's archive or imported
// from files is its closed day and replaces whatever was kept; a snapshot of
// today replaces only another snapshot, since after a closure the register's
// current day starts again under the same date.
enum class SalesSource { today, archive, import };

struct ReportQuery {
    std::int32_t from = 0;  // YYYYMMDD, both included
    std::int32_t to = 0;
    std::vector<std::string> registers;  // empty: every register
    ReportBy by = ReportBy::day;
    int top = 0;  // by department or article: the first top groups; 0: all
};

// A day as kept, and when: where a reader that follows the history (a
// shop's link to its chain) stands.
struct StoredDay {
    std::string register_name;
    std::int32_t day = 0;
    SalesSource source = SalesSource::import;
    std::int64_t stored_ms = 0;
};

struct StoreOutcome {
    int stored = 0;
    std::vector<std::int32_t> kept;  // days a snapshot of today did not replace
};

class SalesHistory {
public:
    // A day's files and lines are written in one transaction with the days
    // around it, this many at most, so that a long import never holds the
    // database for long.
    static constexpr std::size_t kBatchDays = 31;

    enum class Access { read_write, read_only };

    // Opens the history in the journal's database, which must be at a
    // schema that has it (the Journal makes it so when it opens).
    SalesHistory(const std::filesystem::path& database, Access access);
    // The same in the journal's store.
    SalesHistory(const StoreLocation& where, Access access);
    ~SalesHistory();
    SalesHistory(const SalesHistory&) = delete;
    SalesHistory& operator=(const SalesHistory&) = delete;

    // Keeps a register's days, each replacing the one kept before (as the
    // source allows). Throws SalesCsvError for a day that cannot be kept
    // (a number twice in one file) and JournalError for the database;
    // batches committed before stay.
    StoreOutcome store(const std::string& register_name, SalesSource source,
                       const std::string& job_id, const std::vector<SalesDay>& days,
                       std::int64_t now_ms);

    // Throws UnknownRegister for a register the history has no day of.
    SalesReport report(const ReportQuery& query) const;
    SalesReportSet report_set(std::int32_t from, std::int32_t to,
                              const std::vector<std::string>& registers) const;

    // The days kept after the one given (by stored_ms, register, day), in
    // that order, at most limit. A day is stamped at its store, later than
    // every day kept before it (its store's time, or a millisecond after the
    // last stamp), so a reader that goes on from the last day it read misses
    // no day kept or replaced since, whichever process kept it.
    std::vector<StoredDay> stored_after(const StoredDay& last, int limit) const;

    // Every register with a day kept, sorted.
    std::vector<std::string> registers() const;
    // Days kept per register, sorted by register.
    std::vector<std::pair<std::string, std::int64_t>> days_kept() const;
    // A register's day's files as they came: name and bytes.
    std::vector<std::pair<std::string, std::string>> files(const std::string& register_name,
                                                           std::int32_t day) const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
    mutable std::mutex mutex_;
};

// A folder of the library's sales CSV files (and its sub-folders) kept as
// one register's days. A day found twice must have the same files, or the
// newest counts and its name is listed in differing. Throws SalesCsvError
// for a file that does not read, before anything is kept.
struct ImportOutcome {
    StoreOutcome kept;
    std::size_t files = 0;
    std::vector<std::string> differing;
};
ImportOutcome import_sales_folder(SalesHistory& history, const std::filesystem::path& dir,
                                  const std::string& register_name, std::int64_t now_ms);

// Every day of one history kept in another, from its files as they came,
// each day under the source it had; returns the days kept.
std::int64_t copy_sales_history(const SalesHistory& from, SalesHistory& to, std::int64_t now_ms);

// YYYYMMDD of a DD-MM-YY or DD/MM/YY date (one-digit day and month taken,
// 20YY), 0 when it is not a date.
std::int32_t parse_report_day(const std::string& text, char separator);
// "2026-12-09"
std::string iso_day(std::int32_t yyyymmdd);

const char* sales_source_name(SalesSource s);
std::optional<SalesSource> sales_source_of(std::string_view name);

}  // namespace veltra::tool::serve
