// The head office's operations over a group of the chain's registers: each
// register's part is a job in the chain's queue, which the register's own
// shop claims and runs through its service (its checks, its journal, its
// verdict), so a group may span many shops.
#pragma once

#include <map>
#include <mutex>

#include "chain_store.hpp"
#include "fleet.hpp"

namespace veltra::tool::serve {

class ChainFleetRunner : public FleetRunner {
public:
    explicit ChainFleetRunner(ChainStore& store) : store_(store) {}

    // Each throws for a register no shop has named. A job made is queued by
    // launch().
    std::string compare(const std::string& reg, const TablePush& push) override;
    std::string upload(const std::string& reg, const TablePush& push,
                       const std::string& who) override;
    std::string read(const std::string& reg, const std::string& kind,
                     const std::string& op_id) override;
    void launch(const std::string& job) override;
    void discard(const std::string& job) override;
    bool withdraw(const std::string& job, const std::string& why) override;
    std::string shop_of(const std::string& reg) override;
    // Follows the job in the queue. A job whose shop's lease ran out ends
    // here with the verdict unknown, as the queue has it; the shop settles
    // it later, and verdict_of() tells.
    std::optional<End> wait(const std::string& job, const std::atomic<bool>& stopping) override;
    std::string verdict_of(const std::string& job) override;
    void keep(const std::string& id, std::int64_t created_ms, std::int64_t ended_ms,
              const std::string& summary) override;
    std::vector<std::string> kept(int limit) override;

private:
    std::string add(const std::string& reg, const std::string& kind, Json request);

    ChainStore& store_;
    std::mutex m_;
    std::map<std::string, JobRecord> made_;  // made, not yet queued
};

}  // namespace veltra::tool::serve
