// Commands of the register's sales: the current day's, and the archived days
// of a range, as CSV files in a folder. Both dates of a range are checked
// before anything is asked of the register.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

#include "command_table.hpp"
#include "veltra.h"

namespace veltra::tool {
namespace {

namespace fs = std::filesystem;

// The folder the CSV files go to, made when it is missing.
void make_folder(const std::string& dir) {
    std::error_code ec;
    if (!dir.empty()) fs::create_directories(dir, ec);
    if (!dir.empty() && !fs::is_directory(dir)) throw UsageError{"DIR is not a folder: " + dir};
}

// The sales files the library wrote into dir, sorted.
std::vector<std::string> sales_files(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir.empty() ? "." : dir, ec)) {
        const std::string n = e.path().filename().string();
        if (n.size() == 19 && n.rfind("VEND_", 0) == 0 && n.substr(15) == ".CSV")
            names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string files_text(const std::vector<std::string>& files) {
    std::string text;
    for (const std::string& f : files) text += (text.empty() ? "" : ", ") + f;
    return text;
}

struct Day {
    int day, month, year;
};

// A DD/MM/YY date the register's clock takes; a usage error otherwise.
Day checked_date(const std::string& text, const char* which) {
    std::array<int, 3> d{};
    if (!parse_triple(text, '/', d))
        throw UsageError{std::string(which) + " must be DD/MM/YY: " + text};
    // Unchecked, the fields add up: 31/04/14 would become 1 May.
    if (ecr_oro_check(d[0], d[1], d[2], 0, 0, 0) != 0)
        throw UsageError{std::string(which) + " is not a valid date: " + text};
    return {d[0], d[1], d[2]};
}

struct SalesToday {
    std::string dir;

    void declare(CLI::App& app) {
        app.add_option("DIR", dir, "the folder for the CSV files (made when missing)")->required();
        app.footer("Earlier VEND_???_??????.CSV files in DIR are deleted first; other files stay.");
    }
    int run(Context& ctx) {
        make_folder(dir);
        const std::int32_t r = ecr_recv_vend_corrente(ctx.host(), dir.c_str());
        const std::vector<std::string> files =
            r > 0 ? sales_files(dir) : std::vector<std::string>{};
        const std::string text = r > 0
                                     ? "today's sales written to " + dir + ": " + files_text(files)
                                     : "no sales today: nothing written to " + dir;
        return ctx.finish("ecr_recv_vend_corrente", r, true, text,
                          {{"dir", dir}, {"files", files}});
    }
};

struct SalesRange {
    std::string from;
    std::string to;
    std::string dir;

    void declare(CLI::App& app) {
        app.add_option("FROM", from, "the first day, DD/MM/YY (00 to 99: 2000 to 2099)")
            ->required();
        app.add_option("TO", to, "the last day, DD/MM/YY")->required();
        app.add_option("DIR", dir, "the folder for the CSV files (made when missing)")->required();
        app.footer(
            "Days the register has no sales for are skipped; each request is one day, so a\n"
            "long range takes a while (a bar shows the days done on a terminal).");
    }
    int run(Context& ctx) {
        const Day a = checked_date(from, "FROM");
        const Day b = checked_date(to, "TO");
        if (ecr_date_decode(a.day, a.month, a.year) > ecr_date_decode(b.day, b.month, b.year))
            throw UsageError{"FROM " + from + " is after TO " + to};
        make_folder(dir);
        const std::int32_t r = ecr_recv_vend_storico(ctx.host(), dir.c_str(), a.day, a.month,
                                                     a.year, b.day, b.month, b.year);
        const std::vector<std::string> files =
            r > 0 ? sales_files(dir) : std::vector<std::string>{};
        std::ostringstream text;
        text << r << (r == 1 ? " day" : " days") << " of sales from " << from << " to " << to
             << " written to " << dir;
        if (!files.empty()) text << ": " << files_text(files);
        return ctx.finish("ecr_recv_vend_storico", r, true, text.str(),
                          {{"from", from}, {"to", to}, {"dir", dir}, {"files", files}});
    }
};

}  // namespace

std::vector<Command> sales_commands() {
    return {
        command<SalesToday>(
            {"sales", "today"},
            "the current day's sales to VEND_REP_ddmmyy.CSV and VEND_PLU_ddmmyy.CSV in DIR",
            "ecr_recv_vend_corrente", "veltra --host 192.168.1.20 sales today vendite"),
        command<SalesRange>(
            {"sales", "range"},
            "the archived sales of every day from FROM to TO (both included) as CSV in DIR",
            "ecr_oro_check, ecr_recv_vend_storico",
            "veltra --host 192.168.1.20 sales range 01/12/14 31/12/14 vendite"),
    };
}

}  // namespace veltra::tool
