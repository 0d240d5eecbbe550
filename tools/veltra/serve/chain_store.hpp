// The jobs of a chain's shops in one PostgreSQL database. Each register
// belongs to one shop, and only that shop's service ever runs its jobs: a
// job may be added by anyone (the head office, a fleet operation), but it
// is claimed by its register's shop, under a lease the shop renews while
// the job runs. A lease that runs out (the shop's PC went off mid-job)
// ends the job with the verdict unknown; it is never claimed again, and the
// register takes no other job until its shop has settled that one by what
// the register shows.
//
// The rows have the journal's job fields, plus the shop that claimed the
// job and the end of its lease. Times are milliseconds on the caller's
// clock, so that one clock decides leases for every shop.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "journal.hpp"
#include "pg.hpp"

namespace veltra::tool::serve {

// A register claimed by a shop while another shop owns it.
class OwnerConflict : public pg::PgError {
public:
    using pg::PgError::PgError;
};

// A register of the chain as the central service shows it.
struct ChainRegister {
    std::string name;
    std::string shop;
    int queued = 0;
    int running = 0;
    int unknown = 0;                // jobs whose verdict its shop has still to settle
    std::int64_t shop_seen_ms = 0;  // its shop's last report; 0: none yet
    std::string shop_overview;      // that report: the shop's /api/v1/overview
};

class ChainStore {
public:
    // The schema this build reads and writes.
    static constexpr int kSchemaVersion = 2;

    // Connects and brings the schema up to date (one service at a time does
    // that; the others wait for it). A database of a newer schema is refused.
    explicit ChainStore(const std::string& conninfo);

    // Makes shop the owner of registers. A register another shop owns is
    // refused (an OwnerConflict naming both), and nothing changes then.
    void own(const std::string& shop, const std::vector<std::string>& registers);
    std::optional<std::string> owner_of(const std::string& register_name);
    // Every register, by shop and name.
    std::vector<ChainRegister> registers();
    // A shop's word on its registers (its service's overview), and when.
    void shop_report(const std::string& shop, std::int64_t now_ms, const std::string& overview);

    // Adds a queued job, as Journal::add does (the same Idempotency-Key
    // rules), and wakes the register's shop.
    AddResult add(JobRecord job);

    // Claims up to max jobs for shop's registers, at most one per register
    // and none for a register that has a job running or one left unknown:
    // for each, its oldest queued job (the first added of those created in one
    // millisecond). The jobs come back running, with a
    // lease to now_ms + lease_ms. Claimers at once never take the same
    // register.
    std::vector<JobRecord> claim(const std::string& shop, std::int64_t now_ms,
                                 std::int64_t lease_ms, int max);

    // Puts jobs shop claimed back in the queue, untouched: they never
    // reached the shop (its request was gone before the answer).
    void release(const std::string& shop, const std::vector<std::string>& ids);

    // Ends a job no shop has claimed yet: cancelled, with result. False
    // when it was claimed (or ended) first.
    bool cancel_queued(const std::string& id, std::int64_t now_ms, const std::string& result);

    // Extends the lease of a job shop runs, with its progress (0 to 1).
    // False when the job is not shop's, not running, or its lease ran out.
    bool renew(const std::string& shop, const std::string& id, std::int64_t now_ms,
               std::int64_t lease_ms, double progress);

    // Ends every running job whose lease ran out before now_ms: failed, with
    // the verdict unknown. Returns their ids.
    std::vector<std::string> expire(std::int64_t now_ms);

    // shop reports the end of a job it claimed: state (succeeded, failed,
    // cancelled), verdict, result, evidence, progress and the end time from
    // change. Taken while the job runs under a live lease, and for a job
    // whose lease ran out, when the verdict settles it (applied or
    // not_applied); false otherwise (another shop's job, a job already
    // ended, an unknown left unknown).
    bool finish(const std::string& shop, const std::string& id, std::int64_t now_ms,
                const JobUpdate& change);

    std::optional<JobRecord> find(const std::string& id);
    // shop's jobs whose verdict is unknown, oldest first: what it settles
    // when it is back.
    std::vector<JobRecord> unknown_of(const std::string& shop);

    // The summaries of the head office's operations over groups, as the
    // journal keeps a shop's: written as they change, newest first.
    void put_fleet_op(const std::string& id, std::int64_t created_ms, std::int64_t ended_ms,
                      const std::string& summary);
    std::vector<std::string> fleet_ops(int limit);

    // The channel on which add() wakes a shop: the payload is the shop.
    static constexpr const char* kChannel = "veltra_jobs";

private:
    void migrate();

    std::mutex m_;
    pg::Connection db_;
};

// Waits for the jobs added for one shop: its own connection, listening.
class ChainWaiter {
public:
    ChainWaiter(const std::string& conninfo, std::string shop);
    // True when a job for the shop was added since the last call (or comes
    // within timeout_ms).
    bool wait(int timeout_ms);

private:
    pg::Connection db_;
    std::string shop_;
};

}  // namespace veltra::tool::serve
