// The service: the registers' workers and displays, the job store, the HTTP
// server with its checks of every request, and the routes (routes.hpp).
#include "service.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "address_book.hpp"
#include "answers.hpp"
#include "archives.hpp"
#include "chain_link.hpp"
#include "display_relay.hpp"
#include "fleet_local.hpp"
#include "guard.hpp"
#include "http.hpp"
#include "internal.hpp"
#include "jobs.hpp"
#include "journal.hpp"
#include "log_writer.hpp"
#include "notifier.hpp"
#include "register_watch.hpp"
#include "routes.hpp"
#include "sales_history.hpp"
#include "schedules.hpp"
#include "stop_request.hpp"
#include "sys/child_process.hpp"
#include "watching.hpp"
#include "worker_process.hpp"

namespace veltra::tool::serve {
namespace {

// The largest body of all: a backup archive, exactly its size.
constexpr std::size_t kMaxBody = kArchiveSize;

// A few threads serve every connection: requests waiting for a register
// hold none. Each route checks its own body limit; this one stops anything
// larger than the largest (an archive) before it is read.
http::Server::Settings server_settings() {
    http::Server::Settings s;
    s.threads = 3;
    s.blocking_threads = 4;
    s.max_body = kMaxBody;
    return s;
}

class Service {
public:
    Service(const ServiceConfig& config, std::ostream& log)
        : config_(config),
          log_(log),
          journal_(StoreLocation{config.state_dir, config.store, config.store_schema},
                   Journal::Access::read_write),
          store_(&journal_) {
        start_address_book();
        for (const auto& r : config.registers) {
            registers_[r.name] = {
                r,
                std::make_unique<WorkerProcess>(
                    r, config, store_, [this](const std::string& line) { log_.line(line); }),
                std::make_unique<DisplayWatch>(r, book_.get()), book_.get()};
            registers_[r.name].worker->use_address_book(book_.get());
            registers_[r.name].worker->keep_sales(
                [this](const Job& job, const Json& files) { return keep_sales(job, files); });
        }
        store_.on_end([this](const Job& job) {
            watching_.metrics.job_ended(job);
            watch_.job_ended(job);
        });
        watching_.journal = &journal_;
        watching_.watch = &watch_;
        watching_.notifier = &notifier_;
        watching_.last_backup = [this](const std::string& reg) -> std::optional<std::int64_t> {
            if (auto a = archives_.newest_good(reg)) return a->time_ms;
            return std::nullopt;
        };
        // Either sales kind counts: "sales" matches both.
        watching_.last_sales = [this](const std::string& reg) {
            return scheduler_.last_success_ms(reg, "sales");
        };
        watching_.next_run = [this](const std::string& reg) { return scheduler_.next_run_ms(reg); };
        watching_.runs = [this] { return scheduler_.describe()["runs"]; };
        checks();
        routes_.set_scheduler(&scheduler_);
        routes_.set_history(&history_);
        routes_.set_fleet(&fleet_);
        routes_.set_watching(&watching_);
        routes_.add_all();
        // A run that failed for good is the shop's to hear of.
        scheduler_.set_on_gave_up([this](const Json& event) { notifier_.notify(event); });
    }
    ~Service() {
        fleet_.stop();
        for (auto& [name, r] : registers_) r.display->stop();
        // The workers end first: a job they end tells the watch and the
        // metrics, which must still be there.
        registers_.clear();
    }

    int run() {
        const int port = server_.bind(config_.listen_host, config_.listen_port);
        if (port == 0) return fail_listen();
        listen_ = {config_.listen_host, port};
        // Before the first request: a key of an interrupted job must find
        // it settled, never running.
        settle_interrupted();
        fleet_.load_past(now_ms());
        log_.line("listening on http://" + config_.listen_host + ":" + std::to_string(port));
        scheduler_.start(config_.schedules);
        start_chain_link(port);
        std::atomic<bool> done{false};
        std::thread watcher([this, &done] {
            auto next_verify = std::chrono::steady_clock::now();
            auto next_housekeeping = next_verify + std::chrono::hours(1);
            while (!done && !ecrsim::stop_requested()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                watch_.tick();
                if (std::chrono::steady_clock::now() >= next_housekeeping) {
                    housekeeping();
                    next_housekeeping += std::chrono::hours(1);
                }
                if (std::chrono::steady_clock::now() >= next_verify) {
                    verify_unknown();
                    next_verify = std::chrono::steady_clock::now() +
                                  std::chrono::seconds(config_.verify_seconds);
                }
            }
            if (chain_) chain_->stop();
            scheduler_.stop();
            // Jobs not started are cancelled, not run; the running ones end
            // as they would.
            for (auto& [name, r] : registers_) r.worker->close("the service is stopping");
            for (auto& [name, r] : registers_) r.display->stop();
            server_.stop();
        });
        server_.listen();
        done = true;
        watcher.join();
        return 0;
    }

private:
    // Jobs a stopped run left queued or running are settled, never run
    // again: the log says which.
    void settle_interrupted() {
        housekeeping();
        for (const JobRecord& r : journal_.interrupted())
            log_.line("job " + r.id + " " + r.register_name + " " + r.kind + ": " + r.state +
                      " when the service stopped; settled, not run again");
        store_.settle_interrupted();
    }

    // What is kept a week goes once the week is over: keys, reads, inputs.
    void housekeeping() {
        try {
            journal_.purge_keys(now_ms());
            journal_.purge_reads(now_ms());
            store_.purge_inputs();
        } catch (const std::exception& e) {
            log_.line(std::string("clearing the journal's old entries failed: ") + e.what());
        }
    }

    // Changes whose verdict is unknown are verified again, each on its
    // register's worker, until one reading decides.
    void verify_unknown() {
        try {
            for (const auto& job : store_.unknown_changes(100)) routes_.verify(job);
        } catch (const std::exception& e) {
            log_.line(std::string("verifying unknown verdicts failed: ") + e.what());
        }
    }

    int fail_listen() {
        log_.line("cannot listen on " + config_.listen_host + ":" +
                  std::to_string(config_.listen_port));
        return 1;
    }

    // What every request passes before its route, and what every answer
    // passes after.
    void checks() {
        server_.set_pre_routing_handler([](const http::Request&, http::Response& res) {
            res.set_header("Cache-Control", "no-store");
            return false;
        });
        // Other web sites first, then the token, both on the header: a
        // refused request is answered before its body is read.
        server_.add_header_check([this](const http::Request& req, http::Response& res) {
            if (auto refusal = refusal_for(req.method, req.path, req.headers, listen_)) {
                res.set_header("Cache-Control", "no-store");
                send_error(res, refusal->status, refusal->message);
                return true;
            }
            return false;
        });
        server_.add_header_check([this](const http::Request& req, http::Response& res) {
            // The scrape tells of the registers: it takes the token too.
            // /healthz and /readyz tell nothing a stranger could use.
            if (config_.token.empty() ||
                (req.path.rfind("/api/", 0) != 0 && req.path != "/metrics"))
                return false;
            const std::string given = req.get_header_value("Authorization");
            if (!same_secret(given, "Bearer " + config_.token)) {
                res.set_header("Cache-Control", "no-store");
                res.set_header("WWW-Authenticate", "Bearer");
                send_error(res, 401, given.empty() ? "this service needs a token" : "wrong token");
                return true;
            }
            return false;
        });
        server_.set_error_handler([](const http::Request&, http::Response& res) {
            if (!res.body.empty()) return;
            const std::string what = res.status == 413   ? "body too large"
                                     : res.status == 404 ? "no such resource"
                                     : res.status == 400
                                         ? "bad request (a POST or PUT needs a Content-Length)"
                                         : "request refused";
            send_error(res, res.status, what);
        });
        server_.set_exception_handler([](const http::Request&, http::Response& res,
                                         std::exception_ptr ep) { send_internal_error(res, ep); });
        server_.set_logger([this](const http::Request& req, const http::Response& res) {
            std::string line = req.remote_addr + " " + req.method + " " + log_escaped(req.path) +
                               " " + std::to_string(res.status);
            const std::string job = res.get_header_value("X-Veltra-Job");
            if (!job.empty()) line += " job " + job;
            log_.line(std::move(line));
        });
    }

    // A sales job's files into the history, on the worker's thread before
    // the job ends. A failure is told in the job's result and the log; the
    // files still reach whoever asked for them.
    Json keep_sales(const Job& job, const Json& files) {
        const std::string op = job.request.value("op", "");
        if (op != "sales-today" && op != "sales-range") return nullptr;
        try {
            std::vector<SalesFile> read;
            for (const auto& [name, text] : files.items())
                if (sales_csv_name(name) && text.is_string())
                    read.push_back(parse_sales_csv(name, text.get<std::string>()));
            const StoreOutcome kept = history_.store(
                job.register_name, op == "sales-today" ? SalesSource::today : SalesSource::archive,
                job.id, sales_days(std::move(read)), now_ms());
            Json j = {{"stored", true}, {"days", kept.stored}};
            if (!kept.kept.empty()) {
                Json days = Json::array();
                for (std::int32_t d : kept.kept) days.push_back(iso_day(d));
                j["closed_days_kept"] = std::move(days);
            }
            return j;
        } catch (const std::exception& e) {
            log_.line("job " + job.id + " " + job.register_name +
                      ": the sales history did not keep the files: " + e.what());
            return {{"stored", false}, {"error", e.what()}};
        }
    }

    // The chain's jobs for this shop's registers come through its own API,
    // as any client's would.
    void start_chain_link(int port) {
        if (config_.chain_url.empty()) return;
        ChainLinkConfig c;
        std::string error;
        http::parse_endpoint(config_.chain_url, c.central, error);
        c.central_tls.ca_file = config_.chain_ca;
        const bool readable = !c.central.tls && !is_loopback(c.central.host);
        c.token = config_.chain_token;
        for (const auto& r : config_.registers) c.registers.push_back(r.name);
        c.self_host = config_.listen_host == "0.0.0.0" ? "127.0.0.1" : config_.listen_host;
        c.self_port = port;
        c.self_token = config_.token;
        c.history = &history_;
        c.sales_cursor = std::filesystem::path(config_.state_dir) / "chain-sales.json";
        chain_ = std::make_unique<ChainLink>(
            std::move(c), store_, [this](std::string line) { log_.line(std::move(line)); });
        chain_->start();
        log_.line("dialling out to the chain's central service at " + config_.chain_url);
        if (readable)
            log_.line(
                "warning: the link to the central service is plain HTTP: this shop's token "
                "and its sales cross the network readable, unless a VPN or a tunnel "
                "carries them; give an https:// address");
    }

    // Registers named by serial number are looked for at once, in the
    // background: the service answers meanwhile, and their jobs fail with
    // 503 until they are found.
    void start_address_book() {
        std::map<std::string, std::string> serials;
        for (const auto& r : config_.registers)
            if (!r.matricola.empty()) serials[r.name] = r.matricola;
        if (serials.empty()) return;
        std::vector<AddressRange> ranges;
        for (const std::string& text : config_.discover_ranges) {
            std::string error;
            if (auto range = parse_range(text, error)) ranges.push_back(*range);
        }
        book_ = std::make_unique<AddressBook>(
            std::move(serials), discovery_search(std::move(ranges), DiscoverOptions{}),
            [this](const std::string& line) { log_.line(line); });
    }

    ServiceConfig config_;
    ListenAddress listen_;  // the port bound, once run() has it
    LogWriter log_;         // before the workers and the server, which log to it
    Journal journal_;
    SalesHistory history_{journal_.location(), SalesHistory::Access::read_write};
    JobStore store_;
    ArchiveStore archives_{journal_, std::filesystem::path(config_.state_dir) / "archives"};
    // Before the registers: a job's end may reach the scheduler until their
    // workers are gone.
    Scheduler scheduler_{journal_, store_,    registers_,
                         routes_,  archives_, [this](const std::string& line) { log_.line(line); }};
    // Before the registers, whose workers and displays ask it.
    std::unique_ptr<AddressBook> book_;
    std::map<std::string, Register> registers_;
    Notifier notifier_{config_.notify_command,
                       [this](const std::string& line) { log_.line(line); }};
    RegisterWatch watch_{registers_, store_, config_, notifier_};
    Watching watching_;
    http::Server server_{server_settings()};
    Routes routes_{config_, store_, registers_, server_, &archives_};
    LocalFleetRunner fleet_runner_{store_, registers_, routes_, &archives_, &journal_};
    Fleet fleet_{fleet_runner_, [this](const std::string& line) { log_.line(line); }};
    std::unique_ptr<ChainLink> chain_;  // stopped before the workers
};

}  // namespace

int run_service(const ServiceConfig& config, std::ostream& log) {
    sys::ignore_broken_pipes();
    Service service(config, log);
    return service.run();
}

}  // namespace veltra::tool::serve
