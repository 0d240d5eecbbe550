// Operations over a group of registers: one table pushed to every register
// of the group (each compared first, then canaries, then the rest), and a
// backup or the day's sales of each. Every register's part is a job of its
// own, kept and judged as a single request's would be; the operation ties
// them together in one summary.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "jobs.hpp"
#include "journal.hpp"

namespace veltra::tool::serve {

// One register's part of an operation.
struct FleetStep {
    std::string register_name;
    std::string shop;  // over a chain: the register's shop
    bool canary = false;
    // waiting, comparing, compared, refused (by its comparison), running,
    // then applied, not_applied, unknown (a change's verdict), succeeded,
    // failed (a read's end), or untouched (the operation stopped first).
    std::string state = "waiting";
    std::string compare_job;
    std::string job;
    Json compare = nullptr;  // the comparison: what changes, what would be reset
    Json result = nullptr;   // a read's result (its archive, its sales history)
    Json error = nullptr;
    bool kept = false;  // a backup's archive was kept (or could not be)
};

struct FleetOp {
    std::string id;
    std::string group;
    std::string kind;  // "tables put plu", "backup", "sales today"
    std::string who;
    int canary = 0;
    bool stop_on_failure = false;
    std::string state = "running";  // running, done, stopped, refused
    std::string reason;             // why it stopped or was refused
    std::string cancelled_by;       // who asked it to stop; empty: nobody
    std::int64_t created_ms = 0;
    std::int64_t ended_ms = 0;
    std::vector<FleetStep> steps;
    std::vector<std::function<void()>> on_end;  // called once, as it ends
};

// The summary of an operation its service left running, closed: stopped,
// each register it had reached judged by verdict_of(job id) (empty when the
// job is not known), the others untouched.
Json close_interrupted(Json summary,
                       const std::function<std::string(const std::string&)>& verdict_of,
                       std::int64_t now_ms);

// A step's job as its summary judges it: a change's verdict, else a read's
// end (succeeded or failed); empty while neither is known.
std::string step_verdict(const std::optional<JobRecord>& job);

struct TablePush {
    std::string table;  // reparti, plu, clienti
    std::string csv;
    int canary = 0;  // the group's first N registers go first, one at a time
    bool stop_on_failure = false;
    bool allow_reset = false;
};

// How an operation's register steps are done: by the registers' own
// workers on a shop's service, or through the chain's queue by the shops
// that own them. A step's job is made first and started by launch(), so
// that the operation keeps the job's id before anything may touch the
// register: a service that stops in between finds it, never a change it
// does not know of. Each call throws with the reason when it cannot go on
// (nothing was asked of the register then).
class FleetRunner {
public:
    struct End {
        std::string state;    // succeeded, failed, cancelled
        std::string verdict;  // a change's: applied, not_applied, unknown
        Json result = nullptr;
        Json error = nullptr;
    };
    virtual ~FleetRunner() = default;
    // The dry run of push on the register; its job's id.
    virtual std::string compare(const std::string& reg, const TablePush& push) = 0;
    virtual std::string upload(const std::string& reg, const TablePush& push,
                               const std::string& who) = 0;
    // kind: "backup" or "sales today".
    virtual std::string read(const std::string& reg, const std::string& kind,
                             const std::string& op_id) = 0;
    virtual void launch(const std::string& job) = 0;
    // Lets go of a job made and never to be launched.
    virtual void discard(const std::string& job) = 0;
    // Takes back a launched job that has not started (over a chain: still
    // queued, its shop away); its wait() then ends "cancelled". False when
    // it has started, or cannot be taken back here (a shop's own worker
    // takes its jobs at once).
    virtual bool withdraw(const std::string&, const std::string&) { return false; }
    // Where the register is, for the summary: its shop over a chain.
    virtual std::string shop_of(const std::string&) { return ""; }
    // The job's end; nothing when stopping is set first.
    virtual std::optional<End> wait(const std::string& job, const std::atomic<bool>& stopping) = 0;
    // A job's verdict as it stands now (verification may have settled an
    // unknown one), or a read's end; empty when the job is not known.
    virtual std::string verdict_of(const std::string& job) = 0;
    // Where the summaries of operations are kept: written as they change,
    // read back (newest first) after a restart. Nothing without a journal.
    virtual void keep(const std::string& id, std::int64_t created_ms, std::int64_t ended_ms,
                      const std::string& summary) = 0;
    virtual std::vector<std::string> kept(int limit) = 0;
};

class Fleet {
public:
    using LogLine = std::function<void(const std::string&)>;
    Fleet(FleetRunner& runner, LogLine log);
    // Reads the operations of earlier runs. One that was running when its
    // service stopped is closed: stopped, its registers' uploads judged by
    // their jobs' verdicts (settled by then), the registers it had not
    // reached untouched. Once, before the first request.
    void load_past(std::int64_t now_ms);
    ~Fleet();
    // Operations still running end at their next wait, as stopped; no more
    // are taken. Before the registers go.
    void stop();
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    // Start an operation over the registers (in the group's order); the
    // summary as it stands at once.
    Json push_table(const std::string& group, const std::vector<std::string>& members,
                    TablePush push, const std::string& who);
    // kind: "backup" or "sales today"; every register at once.
    Json read_each(const std::string& group, const std::vector<std::string>& members,
                   const std::string& kind, const std::string& who);

    enum class Cancel { unknown, ended, not_a_push, asked };
    // Stops a table push: no register it has not started on is touched
    // (they end untouched), uploads already running end with their
    // verdicts, and uploads still queued for a shop that is away are taken
    // back. A read of each register changes nothing and is not cancelled.
    Cancel cancel(const std::string& id, const std::string& who);

    // The summary of an operation; null for an unknown id.
    Json describe(const std::string& id);
    // Calls done once the operation has ended (at once, here, when it has);
    // false for an unknown id.
    bool when_ended(const std::string& id, std::function<void()> done);
    Json list();

private:
    std::shared_ptr<FleetOp> make(const std::string& group, const std::vector<std::string>& members,
                                  const std::string& kind, const std::string& who);
    void run_push(const std::shared_ptr<FleetOp>& op, const TablePush& push);
    void run_reads(const std::shared_ptr<FleetOp>& op);
    bool compare_all(FleetOp& op, const TablePush& push);
    // Uploads to step i and waits for its verdict; false when it was not applied.
    bool upload(FleetOp& op, std::size_t i, const TablePush& push);
    void untouched_from(FleetOp& op, std::size_t first, const std::string& reason);
    // Whether the push was cancelled; then the steps from first on that it
    // had not reached are left untouched.
    bool cancelled_from(FleetOp& op, std::size_t first);
    // Makes step i's job (make returns its id), keeps its id in the
    // summary, then launches it; false, with the step ended as end_state,
    // when it could not be made or launched.
    bool start(FleetOp& op, std::size_t i, bool comparison,
               const std::function<std::string()>& make, const std::string& end_state);
    void finish(FleetOp& op);
    Json summary(const FleetOp& op) const;  // under m_
    template <class F>
    void update(FleetOp& op, F f) {
        {
            const std::lock_guard lock(m_);
            f(op);
        }
        changed_.notify_all();
        persist(op);
    }
    void persist(const FleetOp& op);
    // A step's verdict as its job has it now (verification may have settled
    // an unknown one since).
    void refresh(Json& summary) const;

    FleetRunner& runner_;
    LogLine log_;
    std::mutex persist_m_;  // one summary written at a time, the latest last
    // Summaries of earlier runs' operations, newest first.
    std::vector<Json> past_;
    std::mutex m_;
    std::condition_variable changed_;
    std::map<std::string, std::shared_ptr<FleetOp>> ops_;
    std::vector<std::string> order_;  // ids, oldest first
    std::atomic<bool> stopping_{false};
    std::mutex threads_m_;
    std::vector<std::jthread> threads_;
    void start_thread(std::function<void()> f);
};

}  // namespace veltra::tool::serve
