// The tables down and up (a checked upload: the comparison first), and
// the invoices down.
#include <fstream>

#include "routes.hpp"

namespace veltra::tool::serve {
namespace {

// Bodies: a CSV of a few MB at most.
constexpr std::size_t kMaxCsvBytes = 4u << 20;

}  // namespace

void Routes::table_routes() {
    server_.get(R"(/api/v1/registers/([^/]+)/tables/(reparti|plu|clienti))",
                [this](const http::Request& req, http::Response& res) {
                    Register* r = find_register(req, res);
                    if (r == nullptr) return;
                    const std::string table = req.matches[2].str();
                    auto job = store_.make(r->config.name, "tables get " + table);
                    job->output_file = r->worker->path(job->id + ".csv");
                    job->content_type = "text/csv";
                    std::vector<std::string> args = {"--host",  r->config.host,  "--json",
                                                     "--quiet", "tables",        "get",
                                                     table,     job->output_file};
                    if (req.get_param_value("changed") == "1") args.push_back("--changed");
                    job->request = {{"args", args}};
                    restores_setup(*job, *r);
                    r->worker->submit(job);
                    answer(req, res, job);
                });

    server_.put(R"(/api/v1/registers/([^/]+)/tables/(reparti|plu|clienti))",
                [this](const http::Request& req, http::Response& res) {
                    Register* r = find_register(req, res);
                    if (r == nullptr) return;
                    // The upload waits for its check: on a thread of its own.
                    const http::Reply reply = res.defer();
                    server_.run_blocking([this, reply, r] {
                        http::Response out = reply.response();
                        const http::Request& q = reply.request();
                        put_table(q, out, *r, q.matches[2].str());
                        reply.send(std::move(out));
                    });
                });

    server_.get(R"(/api/v1/registers/([^/]+)/invoices)", [this](const http::Request& req,
                                                                http::Response& res) {
        Register* r = find_register(req, res);
        if (r == nullptr) return;
        auto job = store_.make(r->config.name, "invoices get");
        job->output_file = r->worker->path(job->id + ".csv");
        job->content_type = "text/csv";
        job->request = {
            {"args",
             {"--host", r->config.host, "--json", "--quiet", "invoices", "get", job->output_file}}};
        restores_setup(*job, *r);
        r->worker->submit(job);
        answer(req, res, job);
    });
}

void Routes::put_table(const http::Request& req, http::Response& res, Register& r,
                       const std::string& table) {
    const bool dry_run = req.get_param_value("dry_run") == "1";
    if (!dry_run && !confirmed(req, res)) return;
    if (!dry_run && replay(req, res, r)) return;
    if (req.body.size() > kMaxCsvBytes) {
        send_error(res, 413, "body too large: a CSV is at most 4 MB");
        return;
    }
    if (req.body.empty()) {
        send_error(res, 400, "the body holds no CSV");
        return;
    }
    if (req.body.find('\0') != std::string::npos) {
        send_error(res, 400, "the body is not a CSV text");
        return;
    }
    const bool allow_reset = req.get_param_value("allow_reset") == "1";
    // First the comparison: a CSV with lines that do not parse, or that
    // resets records nobody asked to reset, is refused before the
    // register changes.
    auto check = store_.make(r.config.name, "tables put " + table + " (dry run)");
    check->input_file = r.worker->path(check->id + ".csv");
    check->request = {{"args",
                       {"--host", r.config.host, "--json", "--quiet", "tables", "put", table,
                        check->input_file, "--dry-run"}}};
    restores_setup(*check, r);
    {
        std::ofstream f(check->input_file, std::ios::binary);
        f.write(req.body.data(), static_cast<std::streamsize>(req.body.size()));
    }
    r.worker->submit(check);
    if (!store_.wait(*check, std::chrono::seconds(config_.job_seconds + 30)) ||
        check->state != JobState::kSucceeded) {
        send_json(res, check->http_status, store_.describe(*check));
        return;
    }
    Json comparison = store_.describe(*check)["result"];
    comparison.erase("refused");  // in the command line's words
    if (const std::string why = upload_refusal(table, comparison, allow_reset || dry_run);
        !why.empty()) {
        Json j = error_object(why);
        j["comparison"] = comparison;
        send_json(res, 400, j);
        return;
    }
    if (dry_run) {
        Json j = store_.describe(*check);
        j["result"] = comparison;
        send_json(res, 200, j);
        return;
    }
    auto job = store_.make(r.config.name, "tables put " + table, false);
    job->setup = SetupCare::kLeave;
    job->input_file = r.worker->path(job->id + ".csv");
    std::vector<std::string> args = {"--host", r.config.host, "--json",        "--quiet", "tables",
                                     "put",    table,         job->input_file, "--yes"};
    if (allow_reset) args.push_back("--allow-reset");
    job->request = {{"args", args}};
    change(req, res, r, job, req.body);
}

// Why an upload with this comparison is refused; "" when it is not. A
// dry run is refused alike for lines that do not parse, and answers
// what would be reset.
std::string Routes::upload_refusal(const std::string& table, const Json& c, bool allow_reset) {
    const long bad = c.value("bad_lines", 0L);
    std::string lines;  // "2-80, 83 (line 2: why)": runs of line numbers, the first reason
    if (bad > 0 && !c["bad_line_list"].empty()) {
        const Json& list = c["bad_line_list"];
        for (std::size_t i = 0; i < list.size();) {
            std::size_t j = i;
            while (j + 1 < list.size() &&
                   list[j + 1].value("line", 0L) == list[j].value("line", 0L) + 1)
                ++j;
            if (!lines.empty()) lines += ", ";
            lines += std::to_string(list[i].value("line", 0L));
            if (j > i) lines += "-" + std::to_string(list[j].value("line", 0L));
            i = j + 1;
        }
        if (static_cast<std::size_t>(bad) > list.size()) lines += ", ...";
        lines += " (line " + std::to_string(list[0].value("line", 0L)) + ": " +
                 list[0].value("reason", "") + ")";
    }
    if (c.value("applied", 0) <= 0) {
        return "no line of the CSV applies to the " + table + " table: nothing uploaded" +
               (bad > 0 ? "; lines that do not parse: " + lines : "");
    }
    if (bad > 0) {
        return std::to_string(bad) + (bad == 1 ? " line" : " lines") +
               " of the CSV do not parse: " + lines + "; nothing uploaded";
    }
    const long reset = c.value("reset", 0L);
    if (reset > 0 && !allow_reset) {
        std::string records;
        for (const Json& rec : c["reset_list"]) {
            if (!records.empty()) records += ", ";
            records += std::to_string(rec.value("id", 0L)) + " " + rec.value("descr", "");
        }
        if (static_cast<std::size_t>(reset) > c["reset_list"].size()) records += ", ...";
        return "the upload would reset " + std::to_string(reset) + " " + table +
               " records to their defaults (" + records +
               "): nothing uploaded; add allow_reset=1 to reset them";
    }
    return "";
}

}  // namespace veltra::tool::serve
