// The service's jobs: what a request asks of a register's worker, its state
// and result, and the store that keeps them with their Idempotency-Keys. The
// store is one class, so that where it keeps them can change behind it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "answers.hpp"
#include "journal.hpp"

namespace veltra::tool::serve {

enum class JobState { kQueued, kRunning, kSucceeded, kFailed, kCancelled };

bool ended(JobState s);
const char* state_name(JobState s);

// A job's id: "j" and 128 random bits in hex, so that no client finds
// another's job.
std::string new_job_id();
// "2026-12-09T09:30:00.123Z", or null before the time is reached (0).
Json iso_time(std::int64_t ms);

// What a failed job does about setup mode, which the library enters for a
// transfer and leaves only once it has ended well.
enum class SetupCare {
    kNone,
    kRestore,  // the job changes nothing: setup mode goes back as the job found it
    kLeave,    // a register written in part must not sell: setup mode stays, and the answer says so
};

struct Job {
    std::string id;
    std::string register_name;
    std::string kind;          // "status", "tables put", "command azzdati", ...
    Json request;              // what the worker is asked
    std::string input_file;    // written before, removed after (worker's directory)
    std::string output_file;   // read into output after
    std::string output_dir;    // made before, its files read into files after, removed
    std::string content_type;  // of output; "" for a JSON answer (with files, if any)
    // Filled by the worker thread, read under the store's lock.
    JobState state = JobState::kQueued;
    Json result = nullptr;  // the tool's --json object
    Json error = nullptr;
    int http_status = 200;
    std::string output;
    bool output_dropped = false;
    int waiters = 0;  // requests waiting to hand the download out themselves
    std::string key;  // its Idempotency-Key, if any
    SetupCare setup = SetupCare::kNone;
    int setup_found = -1;     // the worker's report: 0 out of setup mode, 1 in it, -1 not known
    Json files = nullptr;     // name -> CSV text, from output_dir
    Json progress = nullptr;  // the worker's last progress line
    Json before = nullptr;    // a change's fingerprint of the register, read before it
    // A change to the register (kept in the journal from the start, with
    // who asked and a verdict) rather than a read (kept once it ended).
    bool change = false;
    std::string who;        // the token's name, or "local"
    std::string signature;  // the request as its Idempotency-Key is bound to it
    std::string verdict;    // "applied", "not_applied", "unknown"; "" before a change ends
    std::string reason;
    Json evidence = nullptr;
    std::int64_t created_ms = 0;
    std::int64_t started_ms = 0;
    std::int64_t ended_ms = 0;
    // Under the store's lock: called once when the job ends.
    std::map<unsigned long long, std::function<void()>> watchers;
    // Under its worker's lock: a read's waiting requests, and whether some
    // client asked for it by id (then it runs even when they all left).
    int wanted = 0;
    bool held = false;
    std::shared_ptr<Job> joined;  // the running or queued job that answers for this one
    bool queue_full = false;      // refused: its register had too many jobs waiting
};

bool pending(const Job& job);

// Milliseconds since the Unix epoch, as the journal keeps times.
std::int64_t now_ms();

class JobStore {
public:
    // Without a journal the jobs live in memory only (the store's tests).
    explicit JobStore(Journal* journal = nullptr) : journal_(journal) {}
    Journal* journal() const { return journal_; }
    // Called once for every job that ends, after its watchers, outside the
    // store's lock. Set before any job runs.
    void on_end(std::function<void(const Job&)> observer) { on_end_ = std::move(observer); }
    // A job kept in the store (registered: false, a draft that add() or
    // remember() keeps once the request's checks have passed).
    std::shared_ptr<Job> make(const std::string& reg, const std::string& kind,
                              bool registered = true);
    void add(const std::shared_ptr<Job>& job);
    // Jobs of the register not ended yet.
    std::size_t pending_of(const std::string& reg);
    bool is_pending(const Job& job);
    std::shared_ptr<Job> find(const std::string& id);
    void set_state(Job& job, JobState s);
    void finish(Job& job, JobState s, Json result, Json error, int http, std::string output,
                Json files = nullptr);
    void set_progress(Job& job, Json progress);
    // What the worker read of the register before a change: the evidence a
    // verdict on it starts from, kept before the change is made.
    void set_before(Job& job, Json fingerprint);
    // The job's download, handed out once: it is dropped as it goes.
    bool take_output(Job& job, std::string& output, Json& files);
    // Waits until the job ends; false when it is still pending at the limit.
    // A download waited for is not counted among the kept ones (so that no
    // waiting request loses it) unless the wait ends first.
    bool wait(Job& job, std::chrono::seconds limit);
    // Calls done once the job ends, on the thread that ends it (or at once,
    // here, when it has ended). Until then the watch counts as a waiter for
    // the download. Returns the watch's number for unwatch().
    unsigned long long watch(Job& job, std::function<void()> done);
    // Removes a watch that has not fired; false when it fired (or is firing).
    bool unwatch(Job& job, unsigned long long id);
    // A job that never ran and never will: gone from the list, as if never made.
    void forget(const Job& job);
    // A job answered by another one (a status joining a running status):
    // job is forgotten, and to is known from now on if job was.
    void hand_over(const Job& job, const std::shared_ptr<Job>& to);
    Json describe(const Job& job);
    // Idempotency keys: the first job of a key, or nothing. A key used for
    // another request gives conflict.
    // A new key keeps job in the store. Without a job, only asks.
    std::shared_ptr<Job> remember(const std::string& key, const std::string& request,
                                  const std::shared_ptr<Job>& job, bool& conflict);

    // The newest jobs, from the journal (with those still pending as they
    // stand now), newest first.
    Json history(int limit, bool changes_only = false);
    // A change whose verdict was reached later (a verification): the job,
    // in memory and in the journal, and an audit row. False: no such job.
    bool settle(const std::string& id, const std::string& verdict, const std::string& reason,
                const Json& evidence);
    // The jobs a stopped service left behind, settled at start: a change that
    // never started was not applied; one that was running is unknown until
    // it is verified. Returns the ids of the unknown ones. None runs again.
    std::vector<std::string> settle_interrupted();
    // Changes whose verdict is still unknown, oldest first; key presses are
    // left out, since no later reading of the register tells about them.
    std::vector<std::shared_ptr<Job>> unknown_changes(int limit);
    // Where a change keeps its input (a table, an archive, a release) until
    // its verdict is reached: the journal's folder, named after the job.
    std::string input_path(const std::string& id, const std::string& extension) const;
    // The inputs of changes are kept a week, so that a change can be
    // verified again; those of a change still unknown stay until it is not.
    void purge_inputs();

private:
    // Old finished jobs go, with their keys; a pending one stays.
    void add_locked(const std::shared_ptr<Job>& job);
    // Counts a download among the kept ones; the oldest beyond the limit go.
    void keep_output(Job& job);
    // The job ended: its watchers are called, outside the lock. They still
    // count as waiters, so that the download is theirs to take.
    void fire(Job& job, std::unique_lock<std::mutex>& lock);
    static void drop_output(Job& job);
    // The job as the journal keeps it, and back.
    static JobRecord record_of(const Job& job);
    static std::shared_ptr<Job> job_of(const JobRecord& record);
    // Writes the job's end to the journal: a change's row and its audit row.
    void journal_end(const Job& job);
    std::shared_ptr<Job> find_locked(const std::string& id);

    Journal* journal_;
    std::function<void(const Job&)> on_end_;

    std::mutex m_;
    std::condition_variable changed_;
    std::deque<std::string> outputs_;
    std::map<std::string, std::shared_ptr<Job>> jobs_;
    std::deque<std::string> order_;
    std::map<std::string, std::pair<std::string, std::shared_ptr<Job>>> keys_;
    unsigned long long next_watch_ = 0;
};

}  // namespace veltra::tool::serve
