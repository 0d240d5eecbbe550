// How things stand: the process (/healthz), the store and the workers
// (/readyz), the scrape (/metrics) and the page's overview of the registers.
#include "routes.hpp"
#include "service_clock.hpp"
#include "watching.hpp"

namespace veltra::tool::serve {
namespace {

Json time_or_null(std::optional<std::int64_t> ms) {
    if (!ms || *ms == 0) return nullptr;
    return iso_local(*ms);
}

}  // namespace

std::vector<RegisterFacts> Routes::register_facts() {
    std::vector<RegisterFacts> facts;
    const auto looks =
        watching_->watch ? watching_->watch->looks() : std::map<std::string, RegisterLook>{};
    for (auto& [name, r] : registers_) {
        RegisterFacts f;
        f.name = name;
        if (auto it = looks.find(name); it != looks.end()) f.look = it->second;
        f.worker_restarts = r.worker->restarts();
        if (watching_->last_backup) f.last_backup_ms = watching_->last_backup(name);
        if (watching_->last_sales) f.last_sales_ms = watching_->last_sales(name);
        facts.push_back(std::move(f));
    }
    return facts;
}

void Routes::watch_routes() {
    server_.get("/healthz", [](const http::Request&, http::Response& res) {
        res.status = 200;
        res.set_content("ok\n", "text/plain; charset=utf-8");
    });
    server_.get("/readyz", [this](const http::Request&, http::Response& res) {
        Json why = Json::array();
        try {
            if (watching_->journal) watching_->journal->list(1);
        } catch (const std::exception& e) {
            why.push_back(std::string("the journal does not answer: ") + e.what());
        }
        for (auto& [name, r] : registers_)
            if (!r.worker->healthy()) why.push_back("the worker of " + name + " does not answer");
        send_json(res, why.empty() ? 200 : 503, {{"ready", why.empty()}, {"problems", why}});
    });
    server_.get("/metrics", [this](const http::Request&, http::Response& res) {
        const Notifier* n = watching_->notifier;
        res.status = 200;
        res.set_content(watching_->metrics.text(register_facts(), service_now_ms(),
                                                n ? n->sent() : 0, n ? n->failed() : 0),
                        "text/plain; version=0.0.4; charset=utf-8");
    });
    server_.get("/api/v1/overview", [this](const http::Request&, http::Response& res) {
        const Json runs = watching_->runs ? watching_->runs() : Json::array();
        Json list = Json::array();
        for (const RegisterFacts& f : register_facts()) {
            const RegisterLook& l = f.look;
            Json failures = Json::array();
            for (const Json& run : runs)
                if (run.value("register", "") == f.name && run.value("state", "") != "succeeded" &&
                    run.value("state", "") != "running")
                    failures.push_back(run);
            list.push_back(
                {{"id", f.name},
                 {"reachable", l.looked ? Json(l.answered) : Json(nullptr)},
                 {"silent_since", l.answered ? Json(nullptr) : time_or_null(l.silent_since_ms)},
                 {"last_answer", time_or_null(l.last_answer_ms)},
                 {"last_look", time_or_null(l.last_look_ms)},
                 {"state", l.state.empty() ? Json(nullptr) : Json(l.state)},
                 {"setup", l.setup},
                 {"error", l.error},
                 {"result", l.result.empty() ? Json(nullptr) : Json(l.result)},
                 {"last_backup", time_or_null(f.last_backup_ms)},
                 {"last_sales", time_or_null(f.last_sales_ms)},
                 {"next_run",
                  time_or_null(watching_->next_run ? watching_->next_run(f.name) : std::nullopt)},
                 {"failures", failures}});
        }
        send_json(res, 200, {{"now", iso_local(service_now_ms())}, {"registers", list}});
    });
}

}  // namespace veltra::tool::serve
