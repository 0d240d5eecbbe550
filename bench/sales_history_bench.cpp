// The sales history at a shop's scale: a year of four registers, each day
// with 80 departments and 500 article lines (drawn, Zipf-like, from 2000
// articles). The day files are made by the simulator and turned into CSV by
// the library, as the service receives them; then the import of the four
// folders is timed, and each report over the year and over a month.
//
// usage: sales_history_bench WORK_DIR
// Exits 1 when the import takes 10 s or more, or a report 200 ms or more.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "journal.hpp"
#include "sales.hpp"
#include "sales/sales_file.hpp"
#include "sales_history.hpp"
#include "simulator.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace veltra::tool::serve;

constexpr std::uint32_t kDaySeconds = 86400;
constexpr std::uint32_t k20250101 = 1735689600;
constexpr int kDays = 365, kDepartments = 80, kArticleLines = 500, kArticles = 2000;
// A shop's four registers by default; a chain's central history is asked
// for with more (20: the head office's year of five shops).
int kRegisters = 4;

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Article numbers by a Zipf-like weight: a few sell every day, most rarely.
std::vector<int> day_articles(std::mt19937& rng) {
    static const std::vector<double> weights = [] {
        std::vector<double> w(kArticles);
        for (int i = 0; i < kArticles; ++i) w[static_cast<std::size_t>(i)] = 1.0 / (i + 1);
        return w;
    }();
    std::discrete_distribution<int> pick(weights.begin(), weights.end());
    std::vector<int> out;
    std::vector<bool> taken(kArticles, false);
    while (out.size() < kArticleLines) {
        const int a = pick(rng);
        if (taken[static_cast<std::size_t>(a)]) continue;
        taken[static_cast<std::size_t>(a)] = true;
        out.push_back(a + 1);
    }
    return out;
}

void make_folders(const fs::path& work, const ecrsim::SalesTables& tables) {
    std::mt19937 rng(2026);
    std::uniform_int_distribution<int> cents(50, 5000), qty(1, 20);
    for (int r = 1; r <= kRegisters; ++r) {
        const fs::path dir = work / ("cassa" + std::to_string(r));
        fs::create_directories(dir);
        for (int d = 0; d < kDays; ++d) {
            ecrsim::SalesBook book;
            for (int a : day_articles(rng)) {
                const int q = qty(rng);
                book.sell_article(a, 1 + a % kDepartments, std::int64_t{cents(rng)} * q, q);
            }
            for (int dep = 1; dep <= kDepartments; ++dep) book.sell_department(dep, cents(rng), 1);
            const auto bytes = ecrsim::build_sales_file(
                book, k20250101 + static_cast<std::uint32_t>(d) * kDaySeconds, tables);
            const fs::path dat = dir / "VEND.DAT";
            std::ofstream(dat, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::streamsize>(bytes.size()));
            if (veltra::ecr_conv_venduto(dat.string().c_str(), dir.string().c_str()) != 0) {
                std::fprintf(stderr, "the library did not convert a day file\n");
                std::exit(2);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: sales_history_bench WORK_DIR [REGISTERS]\n");
        return 2;
    }
    if (argc == 3) kRegisters = std::atoi(argv[2]);
    if (kRegisters < 1 || kRegisters > 100) {
        std::fprintf(stderr, "REGISTERS is 1 to 100\n");
        return 2;
    }
    // A shop's targets: the import of four registers' year under 10 s, each
    // report under 200 ms. A chain's: 2.5 s of import per register, each
    // report under 1 s.
    const bool chain = kRegisters > 4;
    const double import_limit_ms = chain ? 2500.0 * kRegisters : 10000.0;
    const double report_limit_ms = chain ? 1000.0 : 200.0;
    const fs::path work = argv[1];
    fs::remove_all(work);
    fs::create_directories(work / "sim");
    ecrsim::SalesTables tables;
    {
        ecrsim::Options o;
        o.address = "127.0.0.1";
        o.state_dir = work / "sim";
        ecrsim::Register reg(o);
        tables = ecrsim::load_sales_tables(reg.state_dir(), ecrsim::Layout{});
    }
    auto t0 = Clock::now();
    make_folders(work / "csv", tables);
    std::uintmax_t csv_bytes = 0;
    for (const auto& e : fs::recursive_directory_iterator(work / "csv"))
        if (e.is_regular_file()) csv_bytes += e.file_size();
    std::printf("made %d days x %d registers of CSV (%.1f MB) in %.1f s\n", kDays, kRegisters,
                static_cast<double>(csv_bytes) / 1e6, ms_since(t0) / 1000);

    const fs::path state = work / "state";
    fs::path database;
    {
        const Journal journal(state);
        database = journal.database_path();
    }
    bool ok = true;
    {
        SalesHistory history(database, SalesHistory::Access::read_write);
        t0 = Clock::now();
        int days = 0;
        for (int r = 1; r <= kRegisters; ++r) {
            const std::string name = "cassa" + std::to_string(r);
            days += import_sales_folder(history, work / "csv" / name, name, 1).kept.stored;
        }
        const double import_ms = ms_since(t0);
        std::printf("import of %d register-days: %.2f s (limit %.0f s)\n", days, import_ms / 1000,
                    import_limit_ms / 1000);
        ok = ok && import_ms < import_limit_ms;
    }
    std::printf("database with its WAL: %.1f MB\n",
                static_cast<double>(fs::file_size(database) +
                                    (fs::exists(database.string() + "-wal")
                                         ? fs::file_size(database.string() + "-wal")
                                         : 0)) /
                    1e6);

    // A fresh connection, as the service's report route or the CLI has.
    const SalesHistory history(database, SalesHistory::Access::read_only);
    struct Case {
        const char* range;
        std::int32_t from, to;
        std::vector<std::string> regs;
    };
    const Case cases[] = {
        {"year, all registers", 20250101, 20251231, {}},
        {"year, one register", 20250101, 20251231, {"cassa2"}},
        {"15 Mar - 20 Nov, all", 20250315, 20251120, {}},
        {"one month, all", 20250601, 20250630, {}},
    };
    for (const Case& c : cases) {
        for (ReportBy by :
             {ReportBy::day, ReportBy::department, ReportBy::article, ReportBy::register_name}) {
            std::vector<double> times;
            std::size_t rows = 0;
            for (int i = 0; i < 8; ++i) {
                t0 = Clock::now();
                rows = history.report(ReportQuery{c.from, c.to, c.regs, by, 0}).rows.size();
                times.push_back(ms_since(t0));
            }
            const double first = times.front();
            std::sort(times.begin() + 1, times.end());
            const double median = times[4];
            const char* names[] = {"day", "department", "article", "register"};
            std::printf("%-22s by %-10s %5zu groups: first %7.1f ms, median of 7 %7.1f ms\n",
                        c.range, names[static_cast<int>(by)], rows, first, median);
            ok = ok && first < report_limit_ms && median < report_limit_ms;
        }
    }
    std::printf(ok ? "within the limits (reports: %.0f ms)\n" : "OVER A LIMIT (reports: %.0f ms)\n",
                report_limit_ms);
    return ok ? 0 : 1;
}
