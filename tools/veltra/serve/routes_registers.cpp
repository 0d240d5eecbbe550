// The registers: the list with each one's state, one register's status,
// and the commands that change it.
#include <atomic>

#include "address_book.hpp"
#include "routes.hpp"

namespace veltra::tool::serve {
namespace {

// A register named by serial: its serial number and the address it was
// found at (null until found).
void add_found(Json& j, const Register& r) {
    if (r.book == nullptr || r.config.matricola.empty()) return;
    const Json found = r.book->describe(r.config.name);
    j["matricola"] = found["matricola"];
    j["address"] = found["address"];
}

}  // namespace

Json Routes::register_list(const std::vector<Ask>& asks) {
    Json list = Json::array();
    for (const Ask& a : asks) {
        Json j = {{"id", a.r->config.name},
                  {"host", a.r->config.host},
                  {"worker_pid", a.r->worker->pid()},
                  {"worker_restarts", a.r->worker->restarts()}};
        add_found(j, *a.r);
        const Json d = store_.describe(*a.job);
        j["reachable"] = d["state"] == "succeeded";
        if (d.contains("result") && d["result"].contains("stato"))
            j["state"] = d["result"]["stato"];
        if (d.contains("error")) j["error"] = d["error"];
        list.push_back(j);
    }
    return list;
}

void Routes::register_routes() {
    server_.get("/api/v1/registers", [this](const http::Request& req, http::Response& res) {
        // ?check=0: the configuration and the workers only, at once.
        if (req.get_param_value("check") == "0") {
            Json list = Json::array();
            for (auto& [name, r] : registers_) {
                Json j = {{"id", r.config.name},
                          {"host", r.config.host},
                          {"worker_pid", r.worker->pid()},
                          {"worker_restarts", r.worker->restarts()},
                          {"pending_jobs", store_.pending_of(r.config.name)}};
                add_found(j, r);
                list.push_back(j);
            }
            send_json(res, 200, {{"registers", list}});
            return;
        }
        // Every register's status at once: each worker asks its own, and
        // the answer goes when all have ended (or at the time limit).
        auto asks = std::make_shared<std::vector<Ask>>();
        for (auto& [name, r] : registers_) {
            auto job = op_job(r, "status", "status");
            r.worker->submit(job);
            asks->push_back({&r, job->joined ? job->joined : job});
        }
        const http::Reply reply = res.defer();
        auto send = [this, asks, reply] {
            http::Response out;
            send_json(out, 200, {{"registers", register_list(*asks)}});
            reply.send(std::move(out));
        };
        auto left = std::make_shared<std::atomic<std::size_t>>(asks->size() + 1);
        for (auto& a : *asks)
            a.watch = store_.watch(*a.job, [left, send] {
                if (--*left == 0) send();
            });
        if (--*left == 0) send();
        reply.on_timeout(std::chrono::seconds(config_.job_seconds + 30), send);
        reply.on_gone([this, asks] {
            for (auto& a : *asks)
                if (store_.unwatch(*a.job, a.watch)) a.r->worker->release(a.job);
        });
    });

    server_.get(R"(/api/v1/registers/([^/]+)/status)",
                [this](const http::Request& req, http::Response& res) {
                    Register* r = find_register(req, res);
                    if (r == nullptr) return;
                    auto job = op_job(*r, "status", "status");
                    r->worker->submit(job);
                    answer(req, res, job);
                });

    server_.post(
        R"(/api/v1/registers/([^/]+)/commands/(setup-on|setup-off|azzdati|azzfat|azzven-corr|azzfis|azzven-arch))",
        [this](const http::Request& req, http::Response& res) {
            Register* r = find_register(req, res);
            if (r == nullptr || !confirmed(req, res)) return;
            const std::string command = req.matches[2].str();
            auto job = op_job(*r, "command " + command, "command", false);
            job->request["name"] = command;
            change(req, res, *r, job);
        });
}

}  // namespace veltra::tool::serve
