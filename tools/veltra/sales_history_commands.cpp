// `veltra sales import` and `veltra sales report`: the service's sales
// history filled from CSV files the library wrote earlier, and read back as
// a table, JSON, a CSV for Excel or a workbook.
#include <CLI/CLI.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "command_table.hpp"
#include "journal.hpp"
#include "sales_export.hpp"
#include "sales_history.hpp"
#include "sales_report_json.hpp"
#include "sales_xlsx.hpp"
#include "state_dir_option.hpp"

namespace veltra::tool {
namespace {

namespace fs = std::filesystem;
using serve::SalesHistory;

std::int64_t wall_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// The history, its database made or brought up to date by the journal.
std::unique_ptr<SalesHistory> open_history(const StateDirOption& state, bool writing) {
    const serve::StoreLocation where = state.location();
    if (where.is_postgresql()) {
        // The service that owns the schema may be running: the history is
        // written beside it, and the journal opened only to make a schema
        // that is not there yet.
        try {
            return std::make_unique<SalesHistory>(where, writing ? SalesHistory::Access::read_write
                                                                 : SalesHistory::Access::read_only);
        } catch (const serve::JournalError&) {
            if (!writing) throw;
        }
        { const serve::Journal journal(where, serve::Journal::Access::read_write); }
        return std::make_unique<SalesHistory>(where, SalesHistory::Access::read_write);
    }
    const fs::path& state_dir = where.state_dir;
    if (writing) {
        const serve::Journal journal(state_dir);
        return std::make_unique<SalesHistory>(journal.database_path(),
                                              SalesHistory::Access::read_write);
    }
    const fs::path db = state_dir / "journal.db";
    if (!fs::exists(db)) throw UsageError{"no sales history in " + state_dir.string()};
    return std::make_unique<SalesHistory>(db, SalesHistory::Access::read_only);
}

struct SalesImport {
    std::string dir;
    std::string register_name;
    StateDirOption state;

    void declare(CLI::App& app) {
        app.add_option("DIR", dir,
                       "a folder of VEND_REP_ddmmyy.CSV and VEND_PLU_ddmmyy.CSV files "
                       "(sub-folders too)")
            ->required();
        app.add_option("--register", register_name, "the register the files came from")->required();
        state.declare(app);
        app.footer(
            "Each day found replaces the day kept before for that register. A day found\n"
            "twice in DIR must have the same files; otherwise the newest files count.\n"
            "Safe while the service runs.");
    }

    int run(Context& ctx) {
        if (!fs::is_directory(dir)) throw UsageError{"DIR is not a folder: " + dir};
        auto history = open_history(state, true);
        const serve::ImportOutcome done =
            serve::import_sales_folder(*history, dir, register_name, wall_ms());
        const serve::StoreOutcome& kept = done.kept;
        const std::vector<std::string>& differing = done.differing;
        if (ctx.json) {
            ctx.emit({{"register", register_name},
                      {"days", kept.stored},
                      {"files", done.files},
                      {"differing", differing}});
            return kExitOk;
        }
        ctx.out() << kept.stored << (kept.stored == 1 ? " day" : " days") << " of " << register_name
                  << " kept from " << done.files << " files in " << dir << "\n";
        for (const std::string& name : differing)
            ctx.out() << "  " << name << " was found twice with different contents: the newest "
                      << "counts\n";
        return kExitOk;
    }
};

struct SalesReportCommand {
    std::string from;
    std::string to;
    std::vector<std::string> registers;
    std::string by = "day";
    std::string xlsx;
    std::string excel_csv;
    int top = 0;
    StateDirOption state;

    void declare(CLI::App& app) {
        app.add_option("FROM", from, "the first day, DD/MM/YY")->required();
        app.add_option("TO", to, "the last day, DD/MM/YY")->required();
        app.add_option("--register", registers, "only this register (again for more)");
        app.add_option("--by", by, "day, department, article or register (default: day)");
        app.add_option("--top", top, "the first N departments or articles (default: all)");
        auto* x = app.add_option("--xlsx", xlsx, "write an Excel workbook: a sheet a grouping");
        auto* c = app.add_option("--excel-csv", excel_csv,
                                 "write a CSV that Excel in Italian opens as it is");
        x->excludes(c);
        state.declare(app);
        app.footer(
            "Without a file, a table of the days with a bar beside each (or, with --by,\n"
            "the groups) and the range's totals. Amounts are the departments' totals;\n"
            "articles are a part of them.");
    }

    int run(Context& ctx) {
        serve::ReportQuery q;
        q.from = serve::parse_report_day(from, '/');
        q.to = serve::parse_report_day(to, '/');
        if (q.from == 0) throw UsageError{"FROM must be a date DD/MM/YY: " + from};
        if (q.to == 0) throw UsageError{"TO must be a date DD/MM/YY: " + to};
        if (q.from > q.to) throw UsageError{"FROM " + from + " is after TO " + to};
        const auto grouping = serve::report_by_of(by);
        if (!grouping) throw UsageError{"--by is day, department, article or register: " + by};
        if (top < 0) throw UsageError{"--top is a count of groups"};
        q.by = *grouping;
        q.top = top;
        q.registers = registers;
        auto history = open_history(state, false);
        try {
            if (!xlsx.empty()) return write_workbook(ctx, *history, q);
            const serve::SalesReport report = history->report(q);
            if (!excel_csv.empty()) return write_csv(ctx, report);
            if (ctx.json) {
                ctx.emit(serve::report_json(report));
                return kExitOk;
            }
            print(ctx, report);
            return kExitOk;
        } catch (const serve::UnknownRegister& e) {
            throw UsageError{e.what()};
        }
    }

    int write_workbook(Context& ctx, const SalesHistory& history, const serve::ReportQuery& q) {
        if (!serve::sales_xlsx_available())
            throw UsageError{"this veltra was built without XLSX (libxlsxwriter); use --excel-csv"};
        std::string error;
        if (!serve::write_sales_xlsx(history.report_set(q.from, q.to, q.registers), xlsx, error)) {
            ctx.err() << "veltra: cannot write " << xlsx << ": " << error << "\n";
            return kExitFailure;
        }
        if (ctx.json)
            ctx.emit({{"file", xlsx}});
        else
            ctx.out() << "workbook written to " << xlsx << "\n";
        return kExitOk;
    }

    int write_csv(Context& ctx, const serve::SalesReport& report) {
        // Whole or not at all: a temporary name renamed into place.
        const fs::path target(excel_csv);
        const fs::path part = target.string() + ".part";
        {
            std::ofstream f(part, std::ios::binary | std::ios::trunc);
            serve::write_excel_csv(report, f);
            f.flush();
            if (!f) {
                std::error_code ec;
                fs::remove(part, ec);
                ctx.err() << "veltra: cannot write " << excel_csv << "\n";
                return kExitFailure;
            }
        }
        std::error_code ec;
        fs::rename(part, target, ec);
        if (ec) {
            fs::remove(part, ec);
            ctx.err() << "veltra: cannot write " << excel_csv << ": " << ec.message() << "\n";
            return kExitFailure;
        }
        if (ctx.json)
            ctx.emit({{"file", excel_csv}});
        else
            ctx.out() << "CSV for Excel written to " << excel_csv << "\n";
        return kExitOk;
    }

    void print(Context& ctx, const serve::SalesReport& r) {
        if (r.by == serve::ReportBy::day) {
            ctx.out() << serve::day_table_text(r);
            return;
        }
        for (const serve::ReportRow& row : r.rows) {
            std::string name;
            switch (r.by) {
                case serve::ReportBy::register_name:
                    name = row.register_name;
                    break;
                default:
                    name = std::to_string(row.number) + " " + row.descr;
                    break;
            }
            ctx.out() << serve::euro_it(row.totals.amount) << "  " << row.totals.quantity << "  "
                      << name << "\n";
        }
        const serve::SalesTotals& t = r.by == serve::ReportBy::article ? r.articles_total : r.total;
        ctx.out() << "totale " << serve::euro_it(t.amount) << "  " << t.quantity << "\n";
    }
};

}  // namespace

std::vector<Command> sales_history_commands() {
    return {
        command<SalesImport>({"sales", "import"},
                             "keep a folder of sales CSV files in the service's sales history",
                             "none: reads files and the service's state folder",
                             "veltra sales import vendite --register cassa1 --state-dir "
                             "/var/lib/veltra"),
        command<SalesReportCommand>({"sales", "report"},
                                    "the sales history over a range: a table, --json, --xlsx or "
                                    "--excel-csv",
                                    "none: reads the service's state folder",
                                    "veltra sales report 01/12/26 31/12/26 --xlsx dicembre.xlsx"),
    };
}

}  // namespace veltra::tool
