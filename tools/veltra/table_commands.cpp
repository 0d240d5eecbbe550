// Commands of the register tables and invoices: downloads to CSV, the
// converters of table files on disk, and uploads that show first what they
// will change.
#include <CLI/CLI.hpp>
#include <functional>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

#include "command_functions.hpp"
#include "command_table.hpp"
#include "failure.hpp"
#include "internal.hpp"
#include "latin1.hpp"
#include "table_compare.hpp"
#include "veltra.h"
#include "verdict.hpp"
#include "work_dir.hpp"

namespace veltra::tool {
namespace {

using Transfer = std::int32_t(ECR_CALL*)(const char*, const char*);
using Convert = std::int32_t(ECR_CALL*)(const char*, const char*, std::int32_t);

struct Table {
    const char* word;
    TableFormat format;
    UploadRule rule;
    Transfer recv_all;
    const char* recv_all_name;
    Transfer recv_mod;
    const char* recv_mod_name;
    Convert conv;
    const char* conv_name;
    Transfer send;
    const char* send_name;
};

const Table kTables[] = {
    {"reparti", kReparti, UploadRule::kRebuilt, ecr_recv_reparti_all, "ecr_recv_reparti_all",
     ecr_recv_reparti_mod, "ecr_recv_reparti_mod", ecr_conv_reparti_csv, "ecr_conv_reparti_csv",
     ecr_send_reparti, "ecr_send_reparti"},
    {"plu", kPlu, UploadRule::kRebuilt, ecr_recv_plu_all, "ecr_recv_plu_all", ecr_recv_plu_mod,
     "ecr_recv_plu_mod", ecr_conv_plu_csv, "ecr_conv_plu_csv", ecr_send_plu, "ecr_send_plu"},
    {"clienti", kClienti, UploadRule::kMerged, ecr_recv_clienti_all, "ecr_recv_clienti_all",
     ecr_recv_clienti_mod, "ecr_recv_clienti_mod", ecr_conv_clienti_csv, "ecr_conv_clienti_csv",
     ecr_send_clienti, "ecr_send_clienti"},
};

std::vector<std::string> table_words() {
    std::vector<std::string> words;
    for (const Table& t : kTables) words.emplace_back(t.word);
    return words;
}

const Table& table_named(const std::string& word) {
    for (const Table& t : kTables) {
        if (word == t.word) return t;
    }
    throw UsageError{"no table " + word};
}

void add_table_option(CLI::App& app, std::string& word) {
    app.add_option("TABLE", word, "reparti (departments), plu (articles) or clienti (customers)")
        ->required()
        ->check(CLI::IsMember(table_words()));
}

std::string rows_text(std::int32_t rows, const std::string& csv) {
    if (rows == 0) return "no rows: " + csv + " is not written";
    return std::to_string(rows) + " rows written to " + csv;
}

struct TablesGet {
    std::string word;
    std::string csv;
    bool changed = false;

    void declare(CLI::App& app) {
        add_table_option(app, word);
        app.add_option("CSV", csv, "the CSV to write")->required();
        app.add_flag("--changed", changed, "only the records marked as changed");
    }
    int run(Context& ctx) {
        const Table& t = table_named(word);
        const char* name = changed ? t.recv_mod_name : t.recv_all_name;
        const std::int32_t r = (changed ? t.recv_mod : t.recv_all)(ctx.host(), csv.c_str());
        return ctx.finish(name, r, true, rows_text(r, csv), {{"table", t.word}, {"csv", csv}});
    }
};

struct TablesConvert {
    std::string word;
    std::string bin;
    std::string csv;
    bool changed = false;

    void declare(CLI::App& app) {
        add_table_option(app, word);
        app.add_option("TABLE.BIN", bin, "the table file")->required();
        app.add_option("CSV", csv, "the CSV to write")->required();
        app.add_flag("--changed", changed, "only the records marked as changed");
    }
    int run(Context& ctx) {
        const Table& t = table_named(word);
        const std::int32_t r = t.conv(bin.c_str(), csv.c_str(), changed ? 0 : 1);
        return ctx.finish(t.conv_name, r, true, rows_text(r, csv),
                          {{"table", t.word}, {"csv", csv}});
    }
};

std::string changes_text(const Table& t, const std::string& csv, const TableChanges& c) {
    std::ostringstream text;
    text << csv << ": " << c.applied << " lines apply; " << c.changed << " " << t.word
         << " records change, " << c.reset << " are reset to their defaults, " << c.unchanged
         << " stay as they are";
    return text.str();
}

// Runs of consecutive bad lines with the same reason, as "2-80" or "7".
struct LineRun {
    std::int64_t first, last;
    const std::string* reason;
};

std::vector<LineRun> line_runs(const CsvLineReport& lines) {
    std::vector<LineRun> runs;
    for (const auto& b : lines.bad) {
        if (!runs.empty() && runs.back().last + 1 == b.line && *runs.back().reason == b.reason) {
            runs.back().last = b.line;
        } else {
            runs.push_back({b.line, b.line, &b.reason});
        }
    }
    return runs;
}

std::string run_text(const LineRun& r) {
    return r.first == r.last ? std::to_string(r.first)
                             : std::to_string(r.first) + "-" + std::to_string(r.last);
}

std::string listed_lines(const CsvLineReport& lines) {
    std::string text;
    for (const LineRun& r : line_runs(lines)) text += (text.empty() ? "" : ", ") + run_text(r);
    if (lines.bad_count > lines.bad.size()) text += ", ...";
    return text;
}

std::string listed_resets(const TableChanges& c) {
    std::string text;
    for (std::size_t i = 0; i < c.reset_names.size(); ++i)
        text += (i == 0 ? "" : ", ") + std::to_string(c.reset_records[i]) + " " + c.reset_names[i];
    if (c.reset > c.reset_names.size()) text += ", ...";
    return text;
}

// What stops an upload: lines that do not parse, always; records reset to
// their defaults, unless allowed. "" when nothing does.
std::string refusal(const Table& t, const std::string& csv, const TableChanges& c,
                    bool allow_reset) {
    if (c.lines.bad_count > 0) {
        const auto& first = c.lines.bad.front();
        const std::string first_text = "line " + std::to_string(first.line) + ": " + first.reason;
        if (c.lines.bad_count == 1)
            return "1 line of " + csv + " does not parse (" + first_text +
                   "): nothing uploaded; correct it, or remove it";
        return std::to_string(c.lines.bad_count) + " lines of " + csv + " do not parse (lines " +
               listed_lines(c.lines) + "; " + first_text +
               "): nothing uploaded; correct them, or remove them";
    }
    if (c.reset > 0 && !allow_reset) {
        return "the upload would reset " + std::to_string(c.reset) + " " + t.word +
               " records to their defaults (" + listed_resets(c) +
               "): nothing uploaded; name them in the CSV, or add --allow-reset";
    }
    return "";
}

nlohmann::json comparison_json(const Table& t, const std::string& csv, const TableChanges& c) {
    nlohmann::json bad = nlohmann::json::array();
    for (const auto& b : c.lines.bad) bad.push_back({{"line", b.line}, {"reason", b.reason}});
    nlohmann::json reset = nlohmann::json::array();
    for (std::size_t i = 0; i < c.reset_names.size(); ++i)
        reset.push_back({{"id", c.reset_records[i]}, {"descr", latin1_to_utf8(c.reset_names[i])}});
    return {{"table", t.word},
            {"csv", csv},
            {"applied", c.applied},
            {"changed", c.changed},
            {"reset", c.reset},
            {"unchanged", c.unchanged},
            {"bad_lines", c.lines.bad_count},
            {"bad_line_list", bad},
            {"reset_list", reset}};
}

// The lines that do not parse and the records reset, as a person reads them.
std::string details_text(const TableChanges& c) {
    std::ostringstream text;
    if (c.lines.bad_count > 0) {
        text << c.lines.bad_count << " lines do not parse:\n";
        for (const LineRun& r : line_runs(c.lines))
            text << "  " << (r.first == r.last ? "line " : "lines ") << run_text(r) << ": "
                 << *r.reason << "\n";
        if (c.lines.bad_count > c.lines.bad.size())
            text << "  and " << c.lines.bad_count - c.lines.bad.size() << " more\n";
    }
    if (c.reset > 0) text << "reset to their defaults: " << listed_resets(c) << "\n";
    return text.str();
}

// Records of the register's table that differ from the table sent (built),
// the change mark aside; through `records` the table's record count.
std::int32_t read_back_differences(const char* host, const Table& t, const WorkDir& work,
                                   const std::string& built, std::size_t& records,
                                   std::size_t& differing) {
    // The library names the register file after the local one: the read-back
    // takes the place of the download compared before.
    const std::string back = work.file(t.format.file);
    std::int32_t keep = 1;
    const std::int32_t r = ecr_get_table(host, back.c_str(), &keep);
    if (r != 0) return r;
    std::vector<std::uint8_t> sent(static_cast<std::size_t>(t.format.file_size()));
    std::vector<std::uint8_t> held(sent.size());
    if (file_read_exact(built.c_str(), sent) != 0) return ERR_FILE_NOT_FOUND;
    records = sent.size() / t.format.record_size;
    // A table of another size holds something else than what was sent.
    if (file_read_exact(back.c_str(), held) != 0) {
        differing = records;
        return 0;
    }
    const TableChanges c = compare_tables(held, sent, {}, t.format.record_size);
    differing = c.changed;
    return 0;
}

struct TablesPut {
    std::string word;
    std::string csv;
    bool dry_run = false;
    bool yes = false;
    bool allow_reset = false;
    // The service's rule in place of the command line's (see
    // TablesPutOptions::refuse).
    std::function<std::string(const nlohmann::json&)> refuse;

    void declare(CLI::App& app) {
        add_table_option(app, word);
        app.add_option("CSV", csv, "the CSV to upload")->required();
        app.add_flag("--dry-run", dry_run, "show the comparison, upload nothing");
        app.add_flag("--yes", yes, "upload without asking");
        app.add_flag("--allow-reset", allow_reset,
                     "upload even if records go back to their defaults");
        app.footer(
            "Departments and articles are rebuilt from default records plus the CSV:\n"
            "every record the CSV does not name goes back to its default, so a --changed\n"
            "download fed back resets all the others; such an upload needs --allow-reset.\n"
            "Customers are merged. A CSV with lines that do not parse is not uploaded.\n\n" +
            std::string(kVerdictHelp) +
            "\nA lost answer is applied when the table read back equals what was sent.");
    }
    int run(Context& ctx) {
        const Table& t = table_named(word);
        WorkDir work;
        const std::string current = work.file(t.format.file);
        std::int32_t keep = 1;
        std::int32_t r = ecr_get_table(ctx.host(), current.c_str(), &keep);
        if (r != 0) return ctx.finish("ecr_get_table", r, false, "");
        TableChanges c;
        r = compare_upload(t.format, t.rule, std::string_view(t.format.file) == kPlu.file, current,
                           csv, work.dir(), c);
        if (r != 0) return ctx.finish(t.send_name, r, true, "");
        nlohmann::json extra = comparison_json(t, csv, c);
        extra["dry_run"] = dry_run;
        extra["uploaded"] = false;
        if (!ctx.json) ctx.out() << changes_text(t, csv, c) << "\n" << details_text(c);
        auto why_refused = [&] { return refuse ? refuse(extra) : refusal(t, csv, c, allow_reset); };
        if (dry_run) {
            const std::string why = why_refused();
            extra["refused"] = why.empty() ? nlohmann::json(nullptr) : nlohmann::json(why);
            return ctx.finish(
                t.send_name, 0, false,
                why.empty() ? "dry run: nothing uploaded" : "dry run: an upload is refused: " + why,
                extra);
        }
        // Refused before any question: no answer makes such an upload right.
        if (const std::string why = why_refused(); !why.empty()) {
            if (ctx.json) {
                extra["function"] = t.send_name;
                extra["refused"] = why;
                ctx.emit(extra);
            }
            ctx.err() << "veltra: tables put: " << why << "\n";
            return kExitUsage;
        }
        std::string question =
            "Upload " + csv + " to the " + t.word + " table of " + ctx.host_label() + "?";
        if (c.reset > 0)
            question += " " + std::to_string(c.reset) + " records are reset to their defaults.";
        if (!ctx.confirm(yes, question, "tables put")) {
            ctx.err() << "veltra: not confirmed, nothing uploaded\n";
            return kExitFailure;
        }
        const std::optional<Fingerprint> before = ctx.read_before();
        r = t.send(ctx.host(), csv.c_str());
        Decision d;
        if (r >= 0) {
            Reading after;
            if (Fingerprint fp; (after.failure = read_fingerprint(ctx.host(), fp)) == 0)
                after.fingerprint = fp;
            d = decide_acknowledged(before, after);
            d.evidence["table"] = t.word;
            d.evidence["records_changed"] = c.changed + c.reset;
        } else {
            std::size_t records = 0, differing = 0;
            const std::int32_t back = read_back_differences(
                ctx.host(), t, work, work.file(kBuiltTableFile), records, differing);
            d = decide_table(t.word, back, records, differing);
        }
        extra["uploaded"] = d.verdict == Verdict::applied;
        return ctx.finish_change(t.send_name, r, true,
                                 std::to_string(r) + " lines applied; the " + t.word +
                                     " table of " + ctx.host_label() + " is uploaded",
                                 extra, d);
    }
};

struct InvoicesGet {
    std::string csv;

    void declare(CLI::App& app) { app.add_option("CSV", csv, "the CSV to write")->required(); }
    int run(Context& ctx) {
        const std::int32_t r = ecr_recv_fatture(ctx.host(), csv.c_str());
        return ctx.finish("ecr_recv_fatture", r, true, rows_text(r, csv), {{"csv", csv}});
    }
};

}  // namespace

int tables_get(Context& ctx, const std::string& table, const std::string& csv, bool changed) {
    TablesGet c{table, csv, changed};
    table_named(table);
    return c.run(ctx);
}

int tables_put(Context& ctx, TablesPutOptions o) {
    TablesPut c;
    c.word = std::move(o.table);
    c.csv = std::move(o.csv);
    c.dry_run = o.dry_run;
    c.yes = true;
    c.allow_reset = o.allow_reset;
    c.refuse = std::move(o.refuse);
    table_named(c.word);
    return c.run(ctx);
}

int invoices_get(Context& ctx, const std::string& csv) {
    InvoicesGet c{csv};
    return c.run(ctx);
}

Decision verify_table(const char* host, const std::string& table, const std::string& csv) {
    const Table& t = table_named(table);
    WorkDir work;
    const std::string current = work.file(t.format.file);
    std::int32_t keep = 1;
    const std::int32_t r = ecr_get_table(host, current.c_str(), &keep);
    if (r != 0) return decide_table(t.word, r, 0, 0);
    // The table the upload makes, built from the CSV and the table read
    // back: a merged table already holding the CSV builds to itself.
    TableChanges c;
    if (const std::int32_t built =
            compare_upload(t.format, t.rule, std::string_view(t.format.file) == kPlu.file, current,
                           csv, work.dir(), c);
        built != 0) {
        return {Verdict::unknown,
                "the " + std::string(t.word) +
                    " table was read back, but the file sent cannot be compared with it (" +
                    result_label(built) + ")",
                {{"table", t.word}, {"file_sent", result_label(built)}}};
    }
    const std::size_t records =
        static_cast<std::size_t>(t.format.file_size()) / t.format.record_size;
    return decide_table(t.word, 0, records, c.changed + c.reset);
}

std::vector<Command> table_commands() {
    return {
        command<TablesGet>(
            {"tables", "get"},
            "download a table to CSV (--changed: only the records changed on the register)",
            "ecr_recv_reparti_all/_mod, ecr_recv_plu_all/_mod, ecr_recv_clienti_all/_mod",
            "veltra --host 192.168.1.20 tables get plu plu.csv"),
        command<TablesPut>(
            {"tables", "put"},
            "upload a CSV to a table, after showing what changes and what is reset",
            "ecr_send_reparti, ecr_send_plu, ecr_send_clienti (compared first with a download)",
            "veltra --host 192.168.1.20 tables put reparti reparti.csv --dry-run"),
        command<TablesConvert>(
            {"tables", "convert"},
            "convert a table file on disk (REPARTI.BIN, PLU.BIN, CLIENTI.BIN) to CSV",
            "ecr_conv_reparti_csv, ecr_conv_plu_csv, ecr_conv_clienti_csv",
            "veltra tables convert plu PLU.BIN plu.csv --changed"),
        command<InvoicesGet>({"invoices", "get"}, "download the register's invoices to CSV",
                             "ecr_recv_fatture",
                             "veltra --host 192.168.1.20 invoices get fatture.csv"),
    };
}

}  // namespace veltra::tool
