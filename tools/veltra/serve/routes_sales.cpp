// The day's and past days' sales.
#include <array>
#include <filesystem>
#include <regex>
#include <tuple>

#include "routes.hpp"
#include "veltra.h"

namespace veltra::tool::serve {
namespace {

// "DD-MM-YY" (one-digit day and month allowed), checked as the register's
// clock checks dates: 31-04-14 is refused, not taken for 1 May.
bool parse_day(const std::string& text, std::array<std::int32_t, 3>& day, std::string& error) {
    static const std::regex form(R"(^([0-9]{1,2})-([0-9]{1,2})-([0-9]{2})$)");
    std::smatch m;
    if (!std::regex_match(text, m, form)) {
        error = "from and to are dates DD-MM-YY: \"" + text.substr(0, 32) + "\"";
        return false;
    }
    for (int i = 0; i < 3; ++i) day[static_cast<std::size_t>(i)] = std::stoi(m[i + 1].str());
    if (ecr_oro_check(day[0], day[1], day[2], 0, 0, 0) != 0) {
        error = "not a valid date: " + text;
        return false;
    }
    return true;
}

}  // namespace

// The folder a sales job fills; named after the job.
bool Routes::sales_dir(Register& r, Job& job, http::Response& res) {
    job.output_dir = r.worker->path(job.id + "-sales");
    std::error_code ec;
    std::filesystem::create_directories(job.output_dir, ec);
    if (ec) {
        send_error(res, 500, "cannot make the sales folder");
        return false;
    }
    job.request["dir"] = job.output_dir;
    return true;
}

// The day's or past days' sales: {"id", "state", "result", "progress",
// "files": {"VEND_REP_ddmmyy.CSV": "...", ...}}.
void Routes::sales_routes() {
    server_.get(R"(/api/v1/registers/([^/]+)/sales/today)",
                [this](const http::Request& req, http::Response& res) {
                    Register* r = find_register(req, res);
                    if (r == nullptr) return;
                    auto job = op_job(*r, "sales today", "sales-today");
                    restores_setup(*job, *r);
                    if (!sales_dir(*r, *job, res)) return;
                    r->worker->submit(job);
                    answer(req, res, job);
                });
    server_.get(R"(/api/v1/registers/([^/]+)/sales)", [this](const http::Request& req,
                                                             http::Response& res) {
        Register* r = find_register(req, res);
        if (r == nullptr) return;
        std::array<std::int32_t, 3> from{}, to{};
        std::string error;
        if (!parse_day(req.get_param_value("from"), from, error) ||
            !parse_day(req.get_param_value("to"), to, error)) {
            send_error(res, 400, error);
            return;
        }
        if (std::tie(from[2], from[1], from[0]) > std::tie(to[2], to[1], to[0])) {
            send_error(res, 400, "from is after to");
            return;
        }
        auto job =
            op_job(*r, "sales " + req.get_param_value("from") + " " + req.get_param_value("to"),
                   "sales-range");
        job->request["from"] = from;
        job->request["to"] = to;
        restores_setup(*job, *r);
        if (!sales_dir(*r, *job, res)) return;
        r->worker->submit(job);
        answer(req, res, job);
    });
}

}  // namespace veltra::tool::serve
