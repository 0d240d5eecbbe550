// The central service of a chain: the routes shops and the head office
// call, over the chain's job queue in PostgreSQL.
#include "central.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <thread>
#include <vector>

#include "answers.hpp"
#include "chain_fleet.hpp"
#include "chain_store.hpp"
#include "config.hpp"
#include "fleet_routes.hpp"
#include "guard.hpp"
#include "http.hpp"
#include "jobs.hpp"
#include "latin1.hpp"
#include "log_writer.hpp"
#include "report_routes.hpp"
#include "sales_history.hpp"
#include "service_clock.hpp"
#include "stop_request.hpp"

namespace veltra::tool::serve {
namespace {

using Clock = std::chrono::steady_clock;

// The largest job's request carries a table's CSV, up to 4 MiB as the
// shop's service takes it, escaped in JSON (at most twice as long for the
// text the tables hold).
constexpr std::size_t kMaxBody = 10u << 20;
constexpr int kMaxClaim = 100;
constexpr int kMaxWaitSeconds = 60;
constexpr std::size_t kMaxRegistersPerShop = 1000;

// A stored JSON text as JSON again; text that is not JSON stays text, and
// nothing stored is null.
Json stored_json(const std::string& text) {
    if (text.empty()) return nullptr;
    Json j = Json::parse(text, nullptr, false);
    return j.is_discarded() ? Json(text) : j;
}

Json job_json(const JobRecord& j) {
    return {{"id", j.id},
            {"register", j.register_name},
            {"kind", j.kind},
            {"request", stored_json(j.request)},
            {"state", j.state},
            {"verdict", j.verdict.empty() ? Json(nullptr) : Json(j.verdict)},
            {"result", stored_json(j.result)},
            {"evidence", stored_json(j.evidence)},
            {"progress", j.progress},
            {"created", iso_time(j.created_ms)},
            {"started", iso_time(j.started_ms)},
            {"ended", iso_time(j.ended_ms)}};
}

Json jobs_json(const std::vector<JobRecord>& jobs) {
    Json list = Json::array();
    for (const JobRecord& j : jobs) list.push_back(job_json(j));
    return {{"jobs", std::move(list)}};
}

// A whole number from low to high in a query, fallback when absent.
std::optional<int> query_number(const http::Request& req, const std::string& name, int low,
                                int high, int fallback) {
    const std::string text = req.get_param_value(name);
    if (text.empty()) return req.has_param(name) ? std::nullopt : std::optional(fallback);
    if (text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int n = std::stoi(text);
    return n >= low && n <= high ? std::optional(n) : std::nullopt;
}

// The body as a JSON object; answered 400 when it is not one.
std::optional<Json> object_body(const http::Request& req, http::Response& res) {
    Json j = Json::parse(req.body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        send_error(res, 400, "the body is a JSON object");
        return std::nullopt;
    }
    return j;
}

// The claims shops wait on. One thread listens for the queue's NOTIFY and
// claims for the shops that were woken; once a second it also ends the
// leases that ran out and tries every waiting shop (a NOTIFY lost with a
// broken connection delays a job by that second, never loses it).
class ClaimHub {
public:
    ClaimHub(const std::string& conninfo, ChainStore& store, std::int64_t lease_ms,
             std::function<void(std::string)> log)
        : listener_(conninfo), store_(store), lease_ms_(lease_ms), log_(std::move(log)) {
        listener_.listen(ChainStore::kChannel);
    }
    ~ClaimHub() { stop(); }
    ClaimHub(const ClaimHub&) = delete;
    ClaimHub& operator=(const ClaimHub&) = delete;

    void start() {
        thread_ = std::thread([this] { loop(); });
    }
    void stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
    }

    // Answers reply with up to max of shop's jobs once there are some, or
    // with none after wait.
    void add(const std::string& shop, int max, std::chrono::milliseconds wait,
             const http::Reply& reply) {
        auto w = std::make_shared<Waiter>();
        w->shop = shop;
        w->max = max;
        w->until = Clock::now() + wait;
        w->reply = reply;
        // Weak: the reply keeps this callback, and the waiter keeps the reply.
        reply.on_gone([weak = std::weak_ptr<Waiter>(w)] {
            if (const auto waiter = weak.lock()) waiter->gone = true;
        });
        const std::lock_guard lock(m_);
        waiters_.push_back(std::move(w));
        fresh_.insert(shop);
    }

private:
    struct Waiter {
        std::string shop;
        int max = 1;
        Clock::time_point until;
        http::Reply reply;
        std::atomic<bool> gone{false};
    };

    void loop() {
        auto next_sweep = Clock::now();
        while (!stopping_) {
            std::vector<std::string> woken;
            try {
                woken = listener_.wait_notifications(100);
                if (listener_broken_) log_("the queue's notifications come again");
                listener_broken_ = false;
            } catch (const std::exception& e) {
                if (!listener_broken_) log_(std::string("the queue's notifications: ") + e.what());
                listener_broken_ = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            const bool sweep = Clock::now() >= next_sweep;
            if (sweep) {
                expire();
                next_sweep = Clock::now() + std::chrono::seconds(1);
            }
            serve(std::set<std::string>(woken.begin(), woken.end()), sweep);
        }
        const std::lock_guard lock(m_);
        for (const auto& w : waiters_) answer(*w, {});
        waiters_.clear();
    }

    void expire() {
        try {
            for (const std::string& id : store_.expire(service_now_ms()))
                log_("job " + id +
                     ": its shop's lease ran out; unknown until that shop settles it");
        } catch (const std::exception& e) {
            log_(std::string("ending the leases that ran out failed: ") + e.what());
        }
    }

    void serve(std::set<std::string> due, bool everyone) {
        std::vector<std::shared_ptr<Waiter>> waiting;
        {
            const std::lock_guard lock(m_);
            due.insert(fresh_.begin(), fresh_.end());
            fresh_.clear();
            waiting = waiters_;
        }
        std::set<const Waiter*> done;
        for (const auto& w : waiting) {
            if (w->gone) {
                done.insert(w.get());
                continue;
            }
            if (everyone || due.count(w->shop) != 0) {
                std::vector<JobRecord> jobs;
                try {
                    jobs = store_.claim(w->shop, service_now_ms(), lease_ms_, w->max);
                } catch (const std::exception& e) {
                    log_("claiming for shop " + w->shop + " failed: " + e.what());
                }
                if (!jobs.empty()) {
                    answer(*w, jobs);
                    done.insert(w.get());
                    continue;
                }
            }
            if (Clock::now() >= w->until) {
                answer(*w, {});
                done.insert(w.get());
            }
        }
        const std::lock_guard lock(m_);
        std::erase_if(waiters_, [&done](const auto& w) { return done.count(w.get()) != 0; });
    }

    // Jobs whose answer could not be sent go back to the queue: the shop
    // never had them.
    void answer(Waiter& w, const std::vector<JobRecord>& jobs) {
        http::Response out;
        Json body = jobs_json(jobs);
        body["lease_seconds"] = lease_ms_ / 1000;
        send_json(out, 200, body);
        if (w.reply.send(std::move(out)) || jobs.empty()) return;
        std::vector<std::string> ids;
        for (const JobRecord& j : jobs) ids.push_back(j.id);
        try {
            store_.release(w.shop, ids);
            log_("shop " + w.shop + " left before its claim was answered: " +
                 std::to_string(ids.size()) + " job(s) back in the queue");
        } catch (const std::exception& e) {
            log_("putting shop " + w.shop + "'s jobs back failed: " + e.what() +
                 "; their lease runs out and the shop settles them");
        }
    }

    pg::Connection listener_;
    ChainStore& store_;
    const std::int64_t lease_ms_;
    std::function<void(std::string)> log_;
    std::mutex m_;
    std::vector<std::shared_ptr<Waiter>> waiters_;
    std::set<std::string> fresh_;  // shops with a new waiter
    std::atomic<bool> stopping_{false};
    bool listener_broken_ = false;
    std::thread thread_;
};

// A register's part of its shop's last overview; null when the shop has
// not said (or said nothing of it).
Json overview_of(const ChainRegister& r) {
    const Json all = Json::parse(r.shop_overview, nullptr, false);
    if (all.is_discarded() || !all.is_object() || !all["registers"].is_array()) return nullptr;
    for (const Json& one : all["registers"])
        if (one.is_object() && one.value("id", Json()) == r.name) return one;
    return nullptr;
}

// Who sent a request, by its token.
struct Caller {
    enum Kind { nobody, head_office, shop } kind = nobody;
    std::string shop_name;
};

class Central {
public:
    Central(const CentralConfig& config, std::ostream& log)
        : config_(config),
          log_(log),
          store_(config.store),
          hub_(config.store, store_, std::int64_t{config.lease_seconds} * 1000,
               [this](std::string line) { log_.line(std::move(line)); }) {
        checks();
        shop_routes();
        head_office_routes();
        fleet_.load_past(service_now_ms());
        add_fleet_routes(server_, fleet_, config_.groups,
                         {[this](const http::Request& req, http::Response& res) {
                              return head_office(req, res);
                          },
                          [](const http::Request&) { return std::string("head office"); }});
        std::error_code ec;
        std::filesystem::create_directories(files_dir(), ec);
        add_report_routes(server_, history_, files_dir(),
                          [this](const http::Request& req, http::Response& res) {
                              return head_office(req, res);
                          });
        sales_routes();
        take_earlier_history();
    }

    int run() {
        std::string error;
        if (!config_.tls_cert.empty() &&
            !server_.use_tls(config_.tls_cert, config_.tls_key, error)) {
            log_.line(error);
            return 1;
        }
        const int port = server_.bind(config_.listen_host, config_.listen_port);
        if (port == 0) {
            log_.line("cannot listen on " + config_.listen_host + ":" +
                      std::to_string(config_.listen_port));
            return 1;
        }
        listen_ = {config_.listen_host, port, server_.uses_tls(),
                   [this](const std::string& name) { return server_.tls_certifies(name); }};
        hub_.start();
        log_.line(std::string("listening on ") + (listen_.tls ? "https://" : "http://") +
                  config_.listen_host + ":" + std::to_string(port) +
                  " (the chain's central service, " + std::to_string(config_.shops.size()) +
                  " shop(s))");
        if (!listen_.tls && !is_loopback(config_.listen_host))
            log_.line(
                "warning: plain HTTP: the shops' tokens and sales cross the network "
                "readable, unless a VPN carries them; give --tls-cert and --tls-key");
        std::atomic<bool> done{false};
        std::thread watcher([this, &done] {
            while (!done && !ecrsim::stop_requested())
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            server_.stop();
        });
        server_.listen();
        done = true;
        watcher.join();
        fleet_.stop();
        hub_.stop();
        return 0;
    }

private:
    static http::Server::Settings settings() {
        http::Server::Settings s;
        s.threads = 2;
        s.blocking_threads = 4;
        s.max_body = kMaxBody;
        return s;
    }

    Caller caller_of(const http::Request& req) const {
        const std::string given = req.get_header_value("Authorization");
        Caller c;
        if (!config_.token.empty() && same_secret(given, "Bearer " + config_.token))
            c.kind = Caller::head_office;
        for (const auto& [name, token] : config_.shops) {
            if (same_secret(given, "Bearer " + token)) {
                c.kind = Caller::shop;
                c.shop_name = name;
            }
        }
        // Without a token of its own (on loopback only) the head office is
        // whoever comes without one.
        if (c.kind == Caller::nobody && config_.token.empty() && given.empty())
            c.kind = Caller::head_office;
        return c;
    }

    void checks() {
        server_.set_pre_routing_handler([](const http::Request&, http::Response& res) {
            res.set_header("Cache-Control", "no-store");
            return false;
        });
        server_.add_header_check([this](const http::Request& req, http::Response& res) {
            if (auto refusal = refusal_for(req.method, req.path, req.headers, listen_)) {
                send_error(res, refusal->status, refusal->message);
                return true;
            }
            if (req.path.rfind("/api/", 0) != 0 || caller_of(req).kind != Caller::nobody)
                return false;
            res.set_header("WWW-Authenticate", "Bearer");
            send_error(res, 401,
                       req.get_header_value("Authorization").empty()
                           ? "this service needs a token: a shop's, or the head office's"
                           : "wrong token");
            return true;
        });
        server_.set_error_handler([](const http::Request&, http::Response& res) {
            if (!res.body.empty()) return;
            send_error(res, res.status,
                       res.status == 413   ? "body too large"
                       : res.status == 404 ? "no such resource"
                                           : "request refused");
        });
        server_.set_exception_handler([](const http::Request&, http::Response& res,
                                         std::exception_ptr ep) { send_internal_error(res, ep); });
        server_.set_logger([this](const http::Request& req, const http::Response& res) {
            const Caller c = caller_of(req);
            const std::string who = c.kind == Caller::shop          ? "shop " + c.shop_name
                                    : c.kind == Caller::head_office ? "head office"
                                                                    : "-";
            log_.line(req.remote_addr + " " + who + " " + req.method + " " + log_escaped(req.path) +
                      " " + std::to_string(res.status));
        });
        server_.get("/healthz", [](const http::Request&, http::Response& res) {
            send_json(res, 200, {{"status", "ok"}});
        });
    }

    // The route's shop; answered 403 for any other caller.
    std::optional<std::string> shop_of(const http::Request& req, http::Response& res) const {
        const Caller c = caller_of(req);
        if (c.kind == Caller::shop) return c.shop_name;
        send_error(res, 403, "this call is a shop's: it is made with that shop's token");
        return std::nullopt;
    }
    bool head_office(const http::Request& req, http::Response& res) const {
        if (caller_of(req).kind == Caller::head_office) return true;
        send_error(res, 403, "this call is the head office's");
        return false;
    }

    // Database work off the server's threads: the answer comes from
    // run_blocking(), a PostgreSQL failure as 503.
    void in_background(http::Response& res, std::function<void(http::Response&)> work) {
        const http::Reply reply = res.defer();
        server_.run_blocking([reply, work = std::move(work)] {
            http::Response out = reply.response();
            try {
                work(out);
            } catch (const pg::PgError& e) {
                send_error(out, 503, std::string("the chain's database: ") + e.what());
            } catch (const std::exception& e) {
                send_error(out, 500, std::string("internal error: ") + e.what());
            }
            reply.send(std::move(out));
        });
    }

    void shop_routes() {
        // The registers a shop owns: added, never taken away by this call.
        server_.put(
            "/api/v1/chain/registers", [this](const http::Request& req, http::Response& res) {
                const auto shop = shop_of(req, res);
                if (!shop) return;
                const auto body = object_body(req, res);
                if (!body) return;
                const Json list = body->value("registers", Json());
                if (!list.is_array() || list.empty() || list.size() > kMaxRegistersPerShop) {
                    send_error(res, 400, "registers is a list of 1 to 1000 register names");
                    return;
                }
                std::vector<std::string> names;
                for (const Json& n : list) {
                    if (!n.is_string() || !valid_name(n.get<std::string>())) {
                        send_error(res, 400, "not a register name: " + n.dump());
                        return;
                    }
                    names.push_back(n.get<std::string>());
                }
                in_background(res, [this, shop = *shop, names](http::Response& out) {
                    try {
                        store_.own(shop, names);
                        send_json(out, 200, {{"shop", shop}, {"registers", names}});
                    } catch (const OwnerConflict& e) {
                        send_error(out, 409, e.what());
                    }
                });
            });

        // The shop's word on its registers: its service's overview, shown
        // beside each register with when it came. The central service
        // never judges a register from a shop's silence; it shows its age.
        server_.put("/api/v1/chain/overview", [this](const http::Request& req,
                                                     http::Response& res) {
            const auto shop = shop_of(req, res);
            if (!shop) return;
            const auto body = object_body(req, res);
            if (!body) return;
            const Json list = body->value("registers", Json());
            if (!list.is_array() || list.size() > kMaxRegistersPerShop) {
                send_error(res, 400, "registers is a list of at most 1000 registers' overviews");
                return;
            }
            in_background(res, [this, shop = *shop,
                                text = Json{{"registers", list}}.dump()](http::Response& out) {
                store_.shop_report(shop, service_now_ms(), text);
                send_json(out, 200, {{"shop", shop}});
            });
        });

        // ?wait=S (0 to 60, 25 by default) &max=N (1 to 100, 10): the jobs
        // claimed, each running under a lease; none when none came in time.
        server_.post("/api/v1/chain/claim", [this](const http::Request& req, http::Response& res) {
            const auto shop = shop_of(req, res);
            if (!shop) return;
            const auto wait = query_number(req, "wait", 0, kMaxWaitSeconds, 25);
            const auto max = query_number(req, "max", 1, kMaxClaim, 10);
            if (!wait || !max) {
                send_error(res, 400, "wait is 0 to 60 seconds, max 1 to 100 jobs");
                return;
            }
            hub_.add(*shop, *max, std::chrono::seconds(*wait), res.defer());
        });

        server_.post(R"(/api/v1/chain/jobs/([^/]+)/renew)", [this](const http::Request& req,
                                                                   http::Response& res) {
            const auto shop = shop_of(req, res);
            if (!shop) return;
            const auto body = object_body(req, res);
            if (!body) return;
            const Json p = body->value("progress", Json(0.0));
            if (!p.is_number() || p.get<double>() < 0 || p.get<double>() > 1) {
                send_error(res, 400, "progress is a number from 0 to 1");
                return;
            }
            in_background(res, [this, shop = *shop, id = req.matches[1].str(),
                                progress = p.get<double>()](http::Response& out) {
                const std::int64_t now = service_now_ms();
                const std::int64_t lease = std::int64_t{config_.lease_seconds} * 1000;
                if (store_.renew(shop, id, now, lease, progress))
                    send_json(out, 200, {{"id", id}, {"lease_until", iso_time(now + lease)}});
                else
                    send_error(out, 409,
                               "job " + id + " is not running under a live lease of shop " + shop);
            });
        });

        server_.post(R"(/api/v1/chain/jobs/([^/]+)/end)", [this](const http::Request& req,
                                                                 http::Response& res) {
            const auto shop = shop_of(req, res);
            if (!shop) return;
            const auto body = object_body(req, res);
            if (!body) return;
            JobUpdate change;
            std::string error;
            if (!end_of(*body, change, error)) {
                send_error(res, 400, error);
                return;
            }
            in_background(
                res, [this, shop = *shop, id = req.matches[1].str(), change](http::Response& out) {
                    if (!store_.finish(shop, id, service_now_ms(), change)) {
                        send_error(out, 409,
                                   "job " + id + " is neither running under a live lease of shop " +
                                       shop +
                                       " nor left unknown for it to settle with applied or "
                                       "not_applied");
                        return;
                    }
                    send_json(out, 200, job_json(store_.find(id).value_or(JobRecord{})));
                });
        });

        // The shop's jobs left unknown: what it settles when it is back.
        server_.get("/api/v1/chain/unknown", [this](const http::Request& req, http::Response& res) {
            const auto shop = shop_of(req, res);
            if (!shop) return;
            in_background(res, [this, shop = *shop](http::Response& out) {
                send_json(out, 200, jobs_json(store_.unknown_of(shop)));
            });
        });
    }

    std::filesystem::path files_dir() const {
        return std::filesystem::path(config_.state_dir) / "files";
    }

    // A shop's day of sales, as its history kept it: {"source", "files":
    // [{"name", "text"}]}, the texts in UTF-8. The day is kept whole in the
    // chain's history, replacing the one kept before as a shop's history
    // would.
    void sales_routes() {
        server_.put(R"(/api/v1/chain/sales/([^/]+)/([0-9]{8}))", [this](const http::Request& req,
                                                                        http::Response& res) {
            const auto shop = shop_of(req, res);
            if (!shop) return;
            const auto body = object_body(req, res);
            if (!body) return;
            const std::string reg = req.matches[1].str();
            const std::int32_t day = std::stoi(req.matches[2].str());
            const auto source = sales_source_of(body->value("source", ""));
            const Json files = body->value("files", Json());
            if (!source || !files.is_array() || files.size() > 2) {
                send_error(res, 400,
                           "source is today, archive or import; files a list of at most two "
                           "{name, text}");
                return;
            }
            std::vector<SalesFile> parsed;
            try {
                for (const Json& f : files) {
                    const Json name = f.value("name", Json()), text = f.value("text", Json());
                    if (!name.is_string() || !text.is_string())
                        throw SalesCsvError("a file is {name, text}");
                    const auto bytes = utf8_to_latin1(text.get<std::string>());
                    if (!bytes)
                        throw SalesCsvError(name.get<std::string>() +
                                            ": a character the register's files cannot hold");
                    parsed.push_back(parse_sales_csv(name.get<std::string>(), *bytes));
                    if (parsed.back().day != day)
                        throw SalesCsvError(name.get<std::string>() + " is not of " + iso_day(day));
                }
            } catch (const SalesCsvError& e) {
                send_error(res, 400, e.what());
                return;
            }
            in_background(res, [this, shop = *shop, reg, day, source = *source,
                                days = sales_days(std::move(parsed))](http::Response& out) {
                if (store_.owner_of(reg) != shop) {
                    send_error(out, 403, "register " + reg + " is not shop " + shop + "'s");
                    return;
                }
                try {
                    const StoreOutcome kept =
                        history_.store(reg, source, "shop " + shop, days, service_now_ms());
                    send_json(out, 200,
                              {{"register", reg}, {"day", iso_day(day)}, {"stored", kept.stored}});
                } catch (const SalesCsvError& e) {
                    send_error(out, 400, e.what());
                }
            });
        });
    }

    // A job's end as a shop reports it.
    static bool end_of(const Json& body, JobUpdate& change, std::string& error) {
        const std::string state = body.value("state", "");
        if (state != "succeeded" && state != "failed" && state != "cancelled") {
            error = "state is succeeded, failed or cancelled";
            return false;
        }
        change.state = state;
        if (body.contains("verdict") && !body["verdict"].is_null()) {
            const Json& v = body["verdict"];
            if (!v.is_string() || (v != "applied" && v != "not_applied" && v != "unknown")) {
                error = "verdict is applied, not_applied or unknown";
                return false;
            }
            change.verdict = v.get<std::string>();
        }
        if (body.contains("progress")) {
            const Json& p = body["progress"];
            if (!p.is_number() || p.get<double>() < 0 || p.get<double>() > 1) {
                error = "progress is a number from 0 to 1";
                return false;
            }
            change.progress = p.get<double>();
        }
        if (body.contains("result")) change.result = body["result"].dump();
        if (body.contains("evidence")) change.evidence = body["evidence"].dump();
        return true;
    }

    void head_office_routes() {
        // A job for any shop's register: {"register", "kind", "request"}.
        server_.post("/api/v1/chain/jobs", [this](const http::Request& req, http::Response& res) {
            if (!head_office(req, res)) return;
            const auto body = object_body(req, res);
            if (!body) return;
            JobRecord job;
            const Json reg = body->value("register", Json());
            const Json kind = body->value("kind", Json());
            if (!reg.is_string() || !valid_name(reg.get<std::string>())) {
                send_error(res, 400, "register is a register's name");
                return;
            }
            if (!kind.is_string() || !valid_name(kind.get<std::string>())) {
                send_error(res, 400, "kind is a name of 1 to 32 letters, digits, - or _");
                return;
            }
            job.idempotency_key = req.get_header_value("Idempotency-Key");
            if (job.idempotency_key.size() > 200) {
                send_error(res, 400, "Idempotency-Key longer than 200 characters");
                return;
            }
            job.id = new_job_id();
            job.register_name = reg.get<std::string>();
            job.kind = kind.get<std::string>();
            job.request = body->value("request", Json::object()).dump();
            in_background(res, [this, job](http::Response& out) mutable {
                if (!store_.owner_of(job.register_name)) {
                    send_error(out, 404,
                               "no shop has named register " + job.register_name + " as its own");
                    return;
                }
                job.created_ms = service_now_ms();
                const AddResult added = store_.add(job);
                if (added.outcome == AddOutcome::conflict) {
                    send_error(out, 422, "Idempotency-Key already used for another request");
                    return;
                }
                out.set_header("Location", "/api/v1/chain/jobs/" + added.job.id);
                send_json(out, added.outcome == AddOutcome::added ? 202 : 200, job_json(added.job));
            });
        });

        // A job: for the head office, and for the shop that owns its register.
        server_.get(
            R"(/api/v1/chain/jobs/([^/]+))", [this](const http::Request& req, http::Response& res) {
                const Caller c = caller_of(req);
                in_background(res, [this, c, id = req.matches[1].str()](http::Response& out) {
                    const auto job = store_.find(id);
                    if (!job || (c.kind == Caller::shop &&
                                 store_.owner_of(job->register_name) != c.shop_name)) {
                        send_error(out, 404, "no such job: " + id);
                        return;
                    }
                    send_json(out, 200, job_json(*job));
                });
            });

        server_.get("/api/v1/chain/registers",
                    [this](const http::Request& req, http::Response& res) {
                        if (!head_office(req, res)) return;
                        in_background(res, [this](http::Response& out) {
                            Json list = Json::array();
                            for (const ChainRegister& r : store_.registers())
                                list.push_back({{"id", r.name},
                                                {"shop", r.shop},
                                                {"queued", r.queued},
                                                {"running", r.running},
                                                {"unknown", r.unknown},
                                                {"shop_seen", iso_time(r.shop_seen_ms)},
                                                {"overview", overview_of(r)}});
                            send_json(out, 200, {{"registers", std::move(list)}});
                        });
                    });
    }

    // A central service of an earlier version kept the chain's sales in its
    // state folder's journal.db: copied into the database while that has
    // none, the file left as it was.
    void take_earlier_history() {
        const std::filesystem::path earlier =
            std::filesystem::path(config_.state_dir) / "journal.db";
        std::error_code ec;
        if (!std::filesystem::exists(earlier, ec) || !history_.registers().empty()) return;
        std::unique_ptr<SalesHistory> from;
        try {
            from = std::make_unique<SalesHistory>(earlier, SalesHistory::Access::read_only);
        } catch (const JournalError&) {
            return;  // no history there
        }
        log_.line("copying the sales history of " + earlier.string() +
                  " into the chain's database: the service answers once it is done");
        const std::int64_t days = copy_sales_history(*from, history_, service_now_ms());
        if (days > 0)
            log_.line("copied " + std::to_string(days) + " days of sales from " + earlier.string() +
                      " into the chain's database");
    }

    CentralConfig config_;
    ListenAddress listen_;
    LogWriter log_;
    ChainStore store_;
    ClaimHub hub_;
    // The sales history's schema in the chain's database.
    Journal journal_{StoreLocation{config_.state_dir, config_.store, config_.store_schema},
                     Journal::Access::read_write};
    SalesHistory history_{journal_.location(), SalesHistory::Access::read_write};
    ChainFleetRunner fleet_runner_{store_};
    Fleet fleet_{fleet_runner_, [this](const std::string& line) { log_.line(line); }};
    http::Server server_{settings()};
};

}  // namespace

bool central_available() {
    return true;
}

int run_central(const CentralConfig& config, std::ostream& log, std::ostream& err) {
    std::unique_ptr<Central> central;
    try {
        central = std::make_unique<Central>(config, log);
    } catch (const pg::PgError& e) {
        err << "veltra serve: the chain's database: " << e.what() << std::endl;
        return 1;
    } catch (const JournalError& e) {
        err << "veltra serve: the chain's sales history: " << e.what() << std::endl;
        return 1;
    }
    return central->run();
}

}  // namespace veltra::tool::serve
