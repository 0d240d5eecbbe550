// The tables down and up (a checked upload: one job compares, then
// uploads), and the invoices down.
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
                    auto job = op_job(*r, "tables get " + table, "tables-get");
                    job->output_file = r->worker->path(job->id + ".csv");
                    job->content_type = "text/csv";
                    job->request["table"] = table;
                    job->request["file"] = job->output_file;
                    job->request["changed"] = req.get_param_value("changed") == "1";
                    restores_setup(*job, *r);
                    r->worker->submit(job);
                    answer(req, res, job);
                });

    server_.put(R"(/api/v1/registers/([^/]+)/tables/(reparti|plu|clienti))",
                [this](const http::Request& req, http::Response& res) {
                    Register* r = find_register(req, res);
                    if (r == nullptr) return;
                    put_table(req, res, *r, req.matches[2].str());
                });

    server_.get(R"(/api/v1/registers/([^/]+)/invoices)",
                [this](const http::Request& req, http::Response& res) {
                    Register* r = find_register(req, res);
                    if (r == nullptr) return;
                    auto job = op_job(*r, "invoices get", "invoices-get");
                    job->output_file = r->worker->path(job->id + ".csv");
                    job->content_type = "text/csv";
                    job->request["file"] = job->output_file;
                    restores_setup(*job, *r);
                    r->worker->submit(job);
                    answer(req, res, job);
                });
}

bool Routes::csv_body(const http::Request& req, http::Response& res) {
    if (req.body.size() > kMaxCsvBytes) {
        send_error(res, 413, "body too large: a CSV is at most 4 MB");
        return false;
    }
    if (req.body.empty()) {
        send_error(res, 400, "the body holds no CSV");
        return false;
    }
    if (req.body.find('\0') != std::string::npos) {
        send_error(res, 400, "the body is not a CSV text");
        return false;
    }
    return true;
}

// One job: the download, the comparison and the refusal rules, then
// (unless a dry run) the upload and its verdict. A CSV with lines that do
// not parse, or that resets records nobody asked to reset, is refused
// before the register changes: 400, the comparison as the result.
std::shared_ptr<Job> Routes::table_put_job(Register& r, const std::string& table, bool dry_run,
                                           bool allow_reset) {
    const std::string kind = "tables put " + table + (dry_run ? " (dry run)" : "");
    auto job = op_job(r, kind, "tables-put", dry_run);
    job->input_file = r.worker->path(job->id + ".csv");
    job->request["table"] = table;
    job->request["file"] = job->input_file;
    job->request["dry_run"] = dry_run;
    job->request["allow_reset"] = allow_reset;
    if (dry_run) {
        // Changes nothing: no Idempotency-Key, and setup mode goes back
        // should the download fail.
        restores_setup(*job, r);
    } else {
        job->setup = SetupCare::kLeave;
    }
    return job;
}

void Routes::put_table(const http::Request& req, http::Response& res, Register& r,
                       const std::string& table) {
    const bool dry_run = req.get_param_value("dry_run") == "1";
    if (!dry_run && !confirmed(req, res)) return;
    if (!dry_run && replay(req, res, r)) return;
    if (!csv_body(req, res)) return;
    auto job = table_put_job(r, table, dry_run, req.get_param_value("allow_reset") == "1");
    if (dry_run) {
        std::ofstream f(job->input_file, std::ios::binary);
        f.write(req.body.data(), static_cast<std::streamsize>(req.body.size()));
        if (!f) {
            send_error(res, 500, "cannot store the body");
            return;
        }
        f.close();
        r.worker->submit(job);
        answer(req, res, job);
        return;
    }
    change(req, res, r, job, req.body);
}

}  // namespace veltra::tool::serve
