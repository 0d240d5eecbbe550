// The service's journal: every job and its verdict, the Idempotency-Keys,
// and the audit trail of changes to registers, in one SQLite database (WAL)
// in the state folder or in a PostgreSQL database, so that all of it
// outlives the service's process. The files jobs produce live in the state
// folder's files/, named after job ids, whichever the store.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "store_db.hpp"

namespace veltra::tool::serve {

struct ArchiveInfo;  // archives.hpp

// One job as the journal keeps it. Times are milliseconds since the Unix
// epoch, 0 while not yet reached. request, result and evidence are JSON text
// the service writes and reads; the journal only stores them.
struct JobRecord {
    std::string id;
    std::string register_name;
    std::string kind;
    std::string request;
    std::string idempotency_key;  // empty: none given
    std::string request_hash;     // hex SHA-256 of the request, set by add()
    std::string state;            // queued, running, succeeded, failed, cancelled
    std::string result;
    std::int64_t created_ms = 0;
    std::int64_t started_ms = 0;
    std::int64_t ended_ms = 0;
    double progress = 0;  // 0 to 1
    std::string output_file;
    std::string verdict;  // applied, not_applied, unknown; empty before a change
    std::string evidence;

    // The request_hash of a request.
    static std::string hash_of(const std::string& request);
};

// What changes in a job: only the fields given.
struct JobUpdate {
    std::optional<std::string> state;
    std::optional<double> progress;
    std::optional<std::string> result;
    std::optional<std::int64_t> started_ms;
    std::optional<std::int64_t> ended_ms;
    std::optional<std::string> output_file;
    std::optional<std::string> verdict;
    std::optional<std::string> evidence;
};

// What add() did with a job.
enum class AddOutcome {
    added,     // a new job
    replayed,  // its key came with the same request before: the first job
    conflict,  // its key came with another request: the first job, not this one
};

struct AddResult {
    AddOutcome outcome;
    JobRecord job;  // the new job, or the first one under the key
};

// One row of the audit trail. seq counts from 1 with no gaps.
struct AuditEntry {
    std::int64_t seq = 0;
    std::int64_t time_ms = 0;
    std::string who;  // the token's name, or "local"
    std::string register_name;
    std::string job_id;
    std::string what;
    std::string verdict;
    std::string hash;  // hex SHA-256, see audit_row_hash
};

// The audit chain checked from its first row.
struct AuditCheck {
    std::int64_t rows = 0;
    std::optional<AuditEntry> first_altered;  // none: the chain holds
};

// A row's hash: SHA-256 over the previous row's hash (32 zero bytes before
// the first row), then the row's fields in this order, each as an 8-byte
// little-endian length followed by its bytes: seq and time_ms as decimal
// text, who, register, job id, what, verdict as UTF-8. The lengths make every
// split of the same bytes into fields hash differently.
std::string audit_row_hash(const std::string& previous_hash_hex, const AuditEntry& row);

// One schedule's run on one register for one local day (slot "2026-12-09").
// Times on the service's clock. result is JSON text the scheduler writes.
struct ScheduleRun {
    std::string schedule;
    std::string register_name;
    std::string slot;
    std::int64_t slot_ms = 0;
    std::string state;  // running, verifying, retrying, succeeded, gave_up, cancelled
    int attempts = 0;
    std::string job_id;  // the last attempt's jobs, separated by blanks
    std::int64_t next_try_ms = 0;
    std::int64_t updated_ms = 0;
    std::string result;
};

// One Journal is shared by the service's threads: each call holds its lock.
class Journal {
public:
    // Idempotency-Keys are honoured this long; older ones are forgotten.
    static constexpr std::int64_t kKeyLifeMs = 7LL * 24 * 60 * 60 * 1000;
    // The schema this build reads and writes (PRAGMA user_version).
    static constexpr int kSchemaVersion = 4;

    enum class Access { read_write, read_only };

    // Opens the journal in state_dir, creating the folder, the database and
    // its schema (read_write), or only reading an existing one (read_only).
    explicit Journal(const std::filesystem::path& state_dir, Access access = Access::read_write);
    // The same in the store given (the files still in its state_dir, which
    // a journal in PostgreSQL opened by a tool may leave empty).
    Journal(const StoreLocation& where, Access access);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    const std::filesystem::path& state_dir() const { return state_dir_; }
    // Where a job's output file goes: files/<job id>.
    std::filesystem::path output_path(const std::string& job_id) const;

    // Jobs a stopped service left queued or running, as found at open: the
    // caller settles each by the verdict rules and never runs it again.
    const std::vector<JobRecord>& interrupted() const { return interrupted_; }

    // Adds a job (its id, created_ms and request set). With a key, a key
    // seen within kKeyLifeMs of created_ms returns the first job instead.
    AddResult add(JobRecord job);
    // Adds a job that changed nothing on a register, once it ended. Its
    // commit is not synced to the disk: losing the last reads to a power
    // cut costs nothing, and a status read must not wait for the disk.
    void add_read(JobRecord job);
    // Changes a job; false when there is no such job.
    bool update(const std::string& id, const JobUpdate& change);
    std::optional<JobRecord> find(const std::string& id) const;
    // The job first added under key, if the key is still honoured at now_ms.
    std::optional<JobRecord> find_by_key(const std::string& key, std::int64_t now_ms) const;
    // Newest first; with changes_only, the jobs that change a register (those
    // with a verdict, or not ended yet: a read is kept only once it ended).
    std::vector<JobRecord> list(int limit, bool changes_only = false) const;
    // Jobs with this verdict, oldest first.
    std::vector<JobRecord> with_verdict(const std::string& verdict, int limit) const;
    // Forgets reads (jobs without a verdict) that ended before
    // now_ms - kKeyLifeMs; changes are kept for good.
    void purge_reads(std::int64_t now_ms);
    // Forgets keys older than kKeyLifeMs at now_ms; the jobs stay.
    void purge_keys(std::int64_t now_ms);

    // Appends a change to a register to the audit trail; returns the row.
    AuditEntry append_audit(std::int64_t time_ms, const std::string& who,
                            const std::string& register_name, const std::string& job_id,
                            const std::string& what, const std::string& verdict);
    // Oldest first.
    std::vector<AuditEntry> audit() const;
    AuditCheck verify_audit() const;

    // The database file, for tools that read it directly (SQLite).
    std::filesystem::path database_path() const { return state_dir_ / "journal.db"; }
    const StoreLocation& location() const { return location_; }

    // The schedules' runs.
    // Writes the run's row unless the slot has one: false when it had, and
    // then the slot never starts again.
    bool claim_run(const ScheduleRun& run);
    void update_run(const ScheduleRun& run);
    std::optional<ScheduleRun> find_run(const std::string& schedule, const std::string& reg,
                                        const std::string& slot) const;
    // Runs not settled yet: running, verifying, retrying.
    std::vector<ScheduleRun> open_runs() const;
    // Newest slot first.
    std::vector<ScheduleRun> recent_runs(int limit) const;
    bool ran_before(const std::string& schedule, const std::string& reg) const;
    std::optional<std::int64_t> last_success(const std::string& schedule,
                                             const std::string& reg) const;
    // The set the API gave, as schedule lines; nothing when none was given
    // (or the API gave the file's back). An empty set given is an empty list.
    std::optional<std::vector<std::string>> api_schedules() const;
    void set_api_schedules(const std::vector<std::pair<std::string, std::string>>& named_lines,
                           std::int64_t now_ms);
    void clear_api_schedules();

    // The archive catalogue.
    // Lists an archive (a name taken already throws).
    void add_archive(const ArchiveInfo& archive);
    // The register's archives not deleted, newest first.
    std::vector<ArchiveInfo> archives(const std::string& register_name) const;
    // One archive, deleted or not.
    std::optional<ArchiveInfo> find_archive(const std::string& register_name,
                                            const std::string& name) const;
    // Marks an archive deleted at deleted_ms; false when it was not listed.
    bool delete_archive(const std::string& register_name, const std::string& name,
                        std::int64_t deleted_ms);

    // The fleet operations' summaries (JSON text the service writes), each
    // as last written: written whole again at every change, so that one
    // outlives the service that ran it.
    void put_fleet_op(const std::string& id, std::int64_t created_ms, std::int64_t ended_ms,
                      const std::string& summary);
    // Newest first.
    std::vector<std::string> fleet_ops(int limit) const;

private:
    class Statements;

    void migrate();
    std::optional<JobRecord> find_locked(const std::string& id) const;
    void insert_locked(const JobRecord& job);

    std::filesystem::path state_dir_;
    StoreLocation location_;
    std::unique_ptr<Db> db_;  // declared first: closed after the statements
    std::unique_ptr<Statements> st_;
    mutable std::mutex mutex_;  // the statements are made once and shared
    std::vector<JobRecord> interrupted_;
};

}  // namespace veltra::tool::serve
