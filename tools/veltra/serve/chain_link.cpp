// A shop's link to its chain's central service.
#include "chain_link.hpp"

#include <algorithm>
#include <chrono>
#include <fstream>

#include "config.hpp"
#include "guard.hpp"
#include "http_client.hpp"
#include "latin1.hpp"

namespace veltra::tool::serve {
namespace {

using Clock = std::chrono::steady_clock;

// Short enough that a stopping service waits little for the claim under way.
constexpr int kClaimWaitSeconds = 5;
constexpr auto kRetry = std::chrono::seconds(2);
constexpr auto kSettleEvery = std::chrono::seconds(10);
// How often the sales history is looked at for days the central service
// has not had yet.
constexpr auto kSalesEvery = std::chrono::seconds(2);
constexpr auto kOverviewEvery = std::chrono::seconds(30);

const http::Headers& change_headers() {
    static const http::Headers h = {{kRequestHeader, "1"}};
    return h;
}

bool ended_state(const std::string& s) {
    return s == "succeeded" || s == "failed" || s == "cancelled";
}

Json parsed(const std::string& body) {
    Json j = Json::parse(body, nullptr, false);
    return j.is_discarded() ? Json(body) : j;
}

// A job's end as the central service takes it, from the shop's own job.
Json end_of(const Json& local) {
    Json end = {{"state", local.value("state", "failed")},
                {"result",
                 {{"shop_job", local.value("id", "")},
                  {"result", local.value("result", Json())},
                  {"error", local.value("error", Json())}}}};
    if (local.contains("verdict")) end["verdict"] = local["verdict"];
    if (local.contains("progress") && local["progress"].is_number())
        end["progress"] = std::clamp(local["progress"].get<double>(), 0.0, 1.0);
    return end;
}

}  // namespace

bool parse_chain_request(const Json& request, const std::string& register_name, ChainRequest& out,
                         std::string& error) {
    if (!request.is_object()) {
        error = "a chain job's request is an object";
        return false;
    }
    const Json method = request.value("method", Json());
    const Json target = request.value("target", Json());
    const std::string prefix = "/api/v1/registers/" + register_name + "/";
    // The one read: the day's sales, which the register's job fetches.
    const bool day_sales = method == "GET" && target == prefix + "sales/today";
    if (method != "PUT" && method != "POST" && !day_sales) {
        error = "a chain job's method is PUT or POST (or GET of the day's sales)";
        return false;
    }
    if (!target.is_string() || target.get<std::string>().rfind(prefix, 0) != 0 ||
        target.get<std::string>().find("..") != std::string::npos ||
        target.get<std::string>().find_first_of(" \r\n#") != std::string::npos) {
        error = "a chain job's target is one of its register's resources, " + prefix + "...";
        return false;
    }
    const Json body = request.value("body", Json(""));
    const Json type = request.value("content_type", Json("text/plain"));
    if (!body.is_string() || !type.is_string()) {
        error = "a chain job's body and content_type are texts";
        return false;
    }
    out = {method.get<std::string>(), target.get<std::string>(), body.get<std::string>(),
           type.get<std::string>()};
    return true;
}

std::string chain_key(const std::string& chain_job_id) {
    return "chain-" + chain_job_id;
}

ChainLink::ChainLink(ChainLinkConfig config, JobStore& store, std::function<void(std::string)> log)
    : config_(std::move(config)), store_(store), log_(std::move(log)) {}

ChainLink::~ChainLink() {
    stop();
}

void ChainLink::start() {
    loop_ = std::thread([this] { loop(); });
    // What the central service shows of this shop: its registers' overview
    // now and then, and its days of sales as they are kept.
    reports_ = std::thread([this] {
        auto next_overview = Clock::now();
        while (!stopping_) {
            if (Clock::now() >= next_overview) {
                send_overview();
                next_overview = Clock::now() + kOverviewEvery;
            }
            if (!ship_sales()) sleep_for(kSalesEvery);
        }
    });
}

void ChainLink::stop() {
    stopping_ = true;
    if (loop_.joinable()) loop_.join();
    if (reports_.joinable()) reports_.join();
    std::vector<Runner> runners;
    {
        const std::lock_guard lock(m_);
        runners.swap(runners_);
    }
    for (Runner& r : runners) r.thread.join();
}

bool ChainLink::sleep_for(std::chrono::milliseconds d) {
    const auto until = Clock::now() + d;
    while (!stopping_ && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return !stopping_;
}

void ChainLink::loop() {
    // One client, whose connection is kept between claims (a TLS handshake
    // when it is made, not at every claim) and made again when it breaks.
    http::Client c(config_.central, config_.central_tls);
    c.set_bearer_token(config_.token);
    c.set_timeout(std::chrono::seconds(kClaimWaitSeconds + 30));
    bool named = false, down = false;
    auto next_settle = Clock::now();
    while (!stopping_) {
        if (!named) {
            const auto r =
                c.put("/api/v1/chain/registers", Json{{"registers", config_.registers}}.dump(),
                      "application/json", change_headers());
            if (!r || r->status != 200) {
                if (!down || r)
                    log_(r ? "the central service refused this shop's registers: " + r->body
                           : "the central service does not answer (" + c.last_error() +
                                 "): working on, and trying again");
                down = true;
                sleep_for(std::chrono::seconds(5));
                continue;
            }
            named = true;
            if (down) log_("the central service answers again");
            down = false;
        }
        if (Clock::now() >= next_settle) {
            settle_unknown();
            next_settle = Clock::now() + kSettleEvery;
        }
        const auto r = c.post("/api/v1/chain/claim?wait=" + std::to_string(kClaimWaitSeconds), "",
                              "application/json", change_headers());
        if (!r || r->status != 200) {
            if (!down)
                log_(r ? "the central service refused a claim: " + r->body
                       : "the central service does not answer (" + c.last_error() +
                             "): working on, and trying again");
            down = true;
            named = false;  // name the registers again once it answers
            sleep_for(std::chrono::seconds(5));
            continue;
        }
        const Json claimed = parsed(r->body);
        if (claimed.contains("lease_seconds") && claimed["lease_seconds"].is_number_integer())
            lease_seconds_ = std::max(1, claimed["lease_seconds"].get<int>());
        const std::lock_guard lock(m_);
        // The runners of ended jobs are let go.
        for (Runner& done : runners_)
            if (*done.finished) done.thread.join();
        std::erase_if(runners_, [](const Runner& x) { return !x.thread.joinable(); });
        for (const Json& job : claimed.value("jobs", Json::array())) {
            active_.insert(job.value("id", ""));
            auto finished = std::make_shared<std::atomic<bool>>(false);
            runners_.push_back({std::thread([this, job, finished] {
                                    handle(job);
                                    *finished = true;
                                }),
                                finished});
        }
    }
}

void ChainLink::handle(Json job) {
    const std::string id = job.value("id", "");
    const std::string reg = job.value("register", "");
    const auto done = [this, &id] {
        const std::lock_guard lock(m_);
        active_.erase(id);
    };
    ChainRequest req;
    std::string error;
    const bool ours = std::find(config_.registers.begin(), config_.registers.end(), reg) !=
                      config_.registers.end();
    if (!ours || !parse_chain_request(job.value("request", Json()), reg, req, error)) {
        report(id,
               {{"state", "failed"},
                {"verdict", "not_applied"},
                {"result", error_object(ours ? error : "not a register of this shop: " + reg)}});
        done();
        return;
    }
    log_("chain job " + id + " " + reg + ": " + req.method + " " + req.target);
    http::Client self(config_.self_host, config_.self_port);
    if (!config_.self_token.empty()) self.set_bearer_token(config_.self_token);
    http::Client central(config_.central, config_.central_tls);
    central.set_bearer_token(config_.token);
    http::Headers headers = change_headers();
    headers.emplace("Idempotency-Key", chain_key(id));
    const std::string target =
        req.target + (req.target.find('?') == std::string::npos ? "?" : "&") + "wait=0";
    // A repeat under the same key is the same job: retrying a call whose
    // answer was lost runs nothing twice.
    std::optional<http::Client::Result> r;
    while (!stopping_ && !(r = self.send(req.method, target, req.body, req.content_type, headers)))
        sleep_for(kRetry);
    if (!r) return done();  // stopping: the next start settles it
    Json local = parsed(r->body);
    if (r->status != 200 && r->status != 202) {
        // Refused by the shop's own checks: a 4xx, or 503 (the register's
        // queue full, or not found yet), never reached the register.
        const bool untouched = (r->status >= 400 && r->status < 500) || r->status == 503;
        report(id, {{"state", "failed"},
                    {"verdict", untouched ? "not_applied" : "unknown"},
                    {"result", local}});
        return done();
    }
    const std::string local_id = local.value("id", "");
    const auto renew_every = std::chrono::seconds(std::max(1, lease_seconds_ / 3));
    auto next_renew = Clock::now() + renew_every;
    while (!ended_state(local.value("state", "")) && sleep_for(std::chrono::milliseconds(500))) {
        if (auto g = self.get("/api/v1/jobs/" + local_id); g && g->status == 200)
            local = parsed(g->body);
        if (Clock::now() >= next_renew) {
            const double progress = local.contains("progress") && local["progress"].is_number()
                                        ? std::clamp(local["progress"].get<double>(), 0.0, 1.0)
                                        : 0.0;
            central.post("/api/v1/chain/jobs/" + id + "/renew", Json{{"progress", progress}}.dump(),
                         "application/json", change_headers());
            next_renew = Clock::now() + renew_every;
        }
    }
    if (!stopping_) report(id, end_of(local));
    done();
}

bool ChainLink::report(const std::string& id, const Json& end) {
    while (!stopping_) {
        http::Client c(config_.central, config_.central_tls);
        c.set_bearer_token(config_.token);
        const auto r = c.post("/api/v1/chain/jobs/" + id + "/end", end.dump(), "application/json",
                              change_headers());
        if (r && r->status == 200) return true;
        if (r && r->status >= 400 && r->status < 500) {
            // The lease ran out: the job is unknown there, and settled from
            // this shop's journal.
            log_("chain job " + id + ": the central service refused its end: " + r->body);
            return false;
        }
        sleep_for(kRetry);
    }
    return false;
}

void ChainLink::settle_unknown() {
    http::Client c(config_.central, config_.central_tls);
    c.set_bearer_token(config_.token);
    const auto r = c.get("/api/v1/chain/unknown");
    if (!r || r->status != 200) return;
    for (const Json& job : parsed(r->body).value("jobs", Json::array())) {
        const std::string id = job.value("id", "");
        {
            const std::lock_guard lock(m_);
            if (active_.count(id) != 0) continue;
        }
        bool conflict = false;
        const std::shared_ptr<Job> local = store_.remember(chain_key(id), "", nullptr, conflict);
        if (!local) {
            report(id, {{"state", "failed"},
                        {"verdict", "not_applied"},
                        {"result", {{"reason", "this shop never started the job"}}}});
            log_("chain job " + id + ": never started here; settled not applied");
            continue;
        }
        const Json d = store_.describe(*local);
        if (!ended_state(d.value("state", ""))) continue;
        Json end = end_of(d);
        // A read changed nothing; a change is settled once its verdict is known.
        if (!d.contains("verdict")) end["verdict"] = "not_applied";
        if (end["verdict"] != "applied" && end["verdict"] != "not_applied") continue;
        if (report(id, end))
            log_("chain job " + id + ": settled " + end["verdict"].get<std::string>() +
                 " from this shop's journal");
    }
}

StoredDay read_sales_cursor(const std::filesystem::path& file) {
    std::ifstream f(file, std::ios::binary);
    const Json j = Json::parse(f, nullptr, false);
    StoredDay last;
    if (j.is_discarded() || !j.is_object()) return last;
    const Json ms = j.value("stored_ms", Json()), reg = j.value("register", Json()),
               day = j.value("day", Json());
    if (!ms.is_number_integer() || !reg.is_string() || !day.is_number_integer()) return last;
    last.stored_ms = ms.get<std::int64_t>();
    last.register_name = reg.get<std::string>();
    last.day = day.get<std::int32_t>();
    return last;
}

bool write_sales_cursor(const std::filesystem::path& file, const StoredDay& last) {
    const std::filesystem::path part = file.string() + ".part";
    {
        std::ofstream f(part, std::ios::binary | std::ios::trunc);
        f << Json{{"stored_ms", last.stored_ms},
                  {"register", last.register_name},
                  {"day", last.day}}
                 .dump();
        if (!f.flush()) return false;
    }
    std::error_code ec;
    std::filesystem::rename(part, file, ec);
    return !ec;
}

void ChainLink::send_overview() {
    http::Client self(config_.self_host, config_.self_port);
    if (!config_.self_token.empty()) self.set_bearer_token(config_.self_token);
    const auto mine = self.get("/api/v1/overview");
    if (!mine || mine->status != 200) return;
    const Json overview = parsed(mine->body);
    if (!overview.is_object()) return;
    http::Client c(config_.central, config_.central_tls);
    c.set_bearer_token(config_.token);
    c.put("/api/v1/chain/overview",
          Json{{"registers", overview.value("registers", Json::array())}}.dump(),
          "application/json", change_headers());
}

bool ChainLink::ship_sales() {
    if (config_.history == nullptr) return false;
    StoredDay cursor = read_sales_cursor(config_.sales_cursor);
    std::vector<StoredDay> days;
    try {
        days = config_.history->stored_after(cursor, 50);
    } catch (const std::exception& e) {
        log_(std::string("the sales history cannot be read for the chain: ") + e.what());
        return false;
    }
    if (days.empty()) return false;
    http::Client c(config_.central, config_.central_tls);
    c.set_bearer_token(config_.token);
    c.set_timeout(std::chrono::seconds(60));
    for (const StoredDay& d : days) {
        if (stopping_) return false;
        const bool ours = std::find(config_.registers.begin(), config_.registers.end(),
                                    d.register_name) != config_.registers.end();
        if (ours) {
            Json files = Json::array();
            for (const auto& [name, text] : config_.history->files(d.register_name, d.day))
                files.push_back({{"name", name}, {"text", latin1_to_utf8(text)}});
            const Json body = {{"source", sales_source_name(d.source)}, {"files", files}};
            const auto r =
                c.put("/api/v1/chain/sales/" + d.register_name + "/" + std::to_string(d.day),
                      body.dump(), "application/json", change_headers());
            if (!r || r->status >= 500) {
                if (!sales_down_)
                    log_("the central service did not take the sales of " + d.register_name +
                         ": kept here, sent again later");
                sales_down_ = true;
                return false;
            }
            sales_down_ = false;
            // A refusal is for good (a day that does not read): said, not
            // sent again, so that the days after it go on.
            if (r->status != 200)
                log_("the central service refused the sales of " + d.register_name + " on " +
                     iso_day(d.day) + ": " + r->body);
        }
        cursor = d;
        if (!write_sales_cursor(config_.sales_cursor, cursor)) {
            log_("cannot write " + config_.sales_cursor.string() +
                 ": the chain's sales are sent again from the last point written");
            return false;
        }
    }
    return true;
}

}  // namespace veltra::tool::serve
