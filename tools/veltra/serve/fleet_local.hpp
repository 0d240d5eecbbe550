// A shop's operations over its own registers: each register's part is a
// job its worker runs, kept in the service's journal and judged as a single
// request's would be.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "fleet.hpp"

namespace veltra::tool::serve {

struct Register;
class Routes;
class ArchiveStore;
class Journal;

class LocalFleetRunner : public FleetRunner {
public:
    // Without a journal nothing is kept across restarts.
    LocalFleetRunner(JobStore& store, std::map<std::string, Register>& registers, Routes& routes,
                     ArchiveStore* archives, Journal* journal);

    std::string compare(const std::string& reg, const TablePush& push) override;
    std::string upload(const std::string& reg, const TablePush& push,
                       const std::string& who) override;
    std::string read(const std::string& reg, const std::string& kind,
                     const std::string& op_id) override;
    void launch(const std::string& job) override;
    void discard(const std::string& job) override;
    std::optional<End> wait(const std::string& job, const std::atomic<bool>& stopping) override;
    std::string verdict_of(const std::string& job) override;
    void keep(const std::string& id, std::int64_t created_ms, std::int64_t ended_ms,
              const std::string& summary) override;
    std::vector<std::string> kept(int limit) override;

private:
    struct Started {
        std::shared_ptr<Job> job;
        std::string read;  // "backup", "sales today", or empty for a table's
        std::function<void()> launch;
        bool kept = false;  // a backup's archive was kept (or could not be)
        Json archive = nullptr;
    };
    // Keeps a job made, to be started by launch (nullptr: its worker takes it).
    std::string made(std::shared_ptr<Job> job, Register& r, std::function<void()> launch,
                     const std::string& read = "");

    JobStore& store_;
    std::map<std::string, Register>& registers_;
    Routes& routes_;
    ArchiveStore* archives_;
    Journal* journal_;
    std::mutex m_;
    std::condition_variable kept_;
    std::map<std::string, std::shared_ptr<Started>> jobs_;
};

}  // namespace veltra::tool::serve
