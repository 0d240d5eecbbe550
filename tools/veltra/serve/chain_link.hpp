// A shop's link to its chain's central service. The shop's service dials
// out (the central service never reaches into the shop): it names the
// registers it owns, claims their jobs, runs each through its own API with
// the chain job's id as Idempotency-Key, renews the job's lease while it
// runs and reports its end. The shop's journal stays its own truth: a job
// it was running when the link or the service went down is settled by its
// verdict there once the central service answers again, never run again.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "answers.hpp"
#include "http_client.hpp"
#include "jobs.hpp"
#include "sales_history.hpp"

namespace veltra::tool::serve {

struct ChainLinkConfig {
    http::Endpoint central;
    http::TlsOptions central_tls;  // whom an https central service's certificate must chain to
    std::string token;             // this shop's token at the central service
    std::vector<std::string> registers;  // the shop's own
    // How the link reaches the shop's own API.
    std::string self_host;
    int self_port = 0;
    std::string self_token;
    // The shop's sales history, whose days go to the central service as
    // they are kept, and the file that says how far that has come.
    SalesHistory* history = nullptr;
    std::filesystem::path sales_cursor;
};

// What a chain job may ask of a shop: a change to one of the job's
// register's resources through the shop's API. The request is
// {"method": "PUT"|"POST", "target": "/api/v1/registers/REG/...",
//  "body": "...", "content_type": "..."}. False with error set otherwise.
struct ChainRequest {
    std::string method, target, body, content_type;
};
bool parse_chain_request(const Json& request, const std::string& register_name, ChainRequest& out,
                         std::string& error);

// Where a shop's sales stand at the central service: the last day it took
// (see SalesHistory::stored_after). A missing or unreadable file is the
// start; write_sales_cursor writes a new file whole, then renames it.
StoredDay read_sales_cursor(const std::filesystem::path& file);
bool write_sales_cursor(const std::filesystem::path& file, const StoredDay& last);

// The Idempotency-Key a chain job runs under in the shop's journal.
std::string chain_key(const std::string& chain_job_id);

class ChainLink {
public:
    ChainLink(ChainLinkConfig config, JobStore& store, std::function<void(std::string)> log);
    ~ChainLink();
    ChainLink(const ChainLink&) = delete;
    ChainLink& operator=(const ChainLink&) = delete;

    void start();
    void stop();

private:
    void loop();
    void handle(Json job);
    void settle_unknown();
    // Reports a job's end until the central service answers: true when it
    // took it, false when it refused it (the lease had run out).
    bool report(const std::string& id, const Json& end);
    bool sleep_for(std::chrono::milliseconds d);
    // Sends the days kept since the cursor, a batch at a time: false when
    // there was nothing to send or the central service did not take them.
    bool ship_sales();
    // The shop's registers as its overview shows them, to the central service.
    void send_overview();

    ChainLinkConfig config_;
    JobStore& store_;
    std::function<void(std::string)> log_;
    std::atomic<bool> stopping_{false};
    std::mutex m_;
    std::set<std::string> active_;  // chain jobs a thread of this link runs
    struct Runner {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    std::vector<Runner> runners_;
    // The central service's lease, as its claims say; renewed three times a lease.
    std::atomic<int> lease_seconds_{60};
    std::thread loop_;
    bool sales_down_ = false;  // said once until the central service takes a day again
    std::thread reports_;      // the overview and the days of sales
};

}  // namespace veltra::tool::serve
