// The journal on SQLite: prepared statements made once at open, writes that
// belong together in one transaction, the audit trail chained by SHA-256.
#include "journal.hpp"

#include <sqlite3.h>

#include <array>
#include <system_error>

#include "sys/sha256.hpp"

namespace veltra::tool::serve {
namespace {

constexpr const char* kJobColumns =
    "id, register, kind, request, idem_key, request_hash, state, result, created_ms, "
    "started_ms, ended_ms, progress, output_file, verdict, evidence";

// Version 1. The key table is apart from the jobs so that purging a key
// keeps its job. The triggers make the audit table append-only for every
// writer but one that drops them first, which the chain then catches.
constexpr const char* kSchema1 = R"sql(
CREATE TABLE jobs (
    id TEXT PRIMARY KEY,
    register TEXT NOT NULL,
    kind TEXT NOT NULL,
    request TEXT NOT NULL,
    idem_key TEXT NOT NULL,
    request_hash TEXT NOT NULL,
    state TEXT NOT NULL,
    result TEXT NOT NULL,
    created_ms INTEGER NOT NULL,
    started_ms INTEGER NOT NULL,
    ended_ms INTEGER NOT NULL,
    progress REAL NOT NULL,
    output_file TEXT NOT NULL,
    verdict TEXT NOT NULL,
    evidence TEXT NOT NULL
);
CREATE INDEX jobs_by_created ON jobs (created_ms);
CREATE INDEX jobs_by_state ON jobs (state);
CREATE TABLE idempotency_keys (
    idem_key TEXT PRIMARY KEY,
    request_hash TEXT NOT NULL,
    job_id TEXT NOT NULL REFERENCES jobs (id),
    created_ms INTEGER NOT NULL
);
CREATE INDEX idempotency_keys_by_created ON idempotency_keys (created_ms);
CREATE TABLE audit (
    seq INTEGER PRIMARY KEY,
    time_ms INTEGER NOT NULL,
    who TEXT NOT NULL,
    register TEXT NOT NULL,
    job_id TEXT NOT NULL,
    what TEXT NOT NULL,
    verdict TEXT NOT NULL,
    hash TEXT NOT NULL
);
CREATE TRIGGER audit_no_update BEFORE UPDATE ON audit
BEGIN SELECT RAISE(ABORT, 'the audit trail is append-only'); END;
CREATE TRIGGER audit_no_delete BEFORE DELETE ON audit
BEGIN SELECT RAISE(ABORT, 'the audit trail is append-only'); END;
)sql";

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
    throw JournalError("journal: " + what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

void exec(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string text = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        throw JournalError("journal: " + text);
    }
}

std::string hex(std::span<const unsigned char> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

// A hex digest back to its bytes; all zero when it is not 64 hex digits.
sys::Sha256Digest digest_of(const std::string& text) {
    sys::Sha256Digest out{};
    if (text.size() != out.size() * 2) return {};
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int hi = value(text[2 * i]);
        const int lo = value(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return {};
        out[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return out;
}

// A prepared statement, made once. A Use binds it, steps it and resets it
// when it goes out of scope, so that the next user finds it clean.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) : db_(db) {
        if (sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size()),
                               SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK)
            fail(db, "cannot prepare " + sql);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    class Use {
    public:
        explicit Use(Statement& s) : s_(s) {}
        ~Use() {
            sqlite3_reset(s_.stmt_);
            sqlite3_clear_bindings(s_.stmt_);
        }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

        Use& bind(int i, const std::string& v) {
            check(sqlite3_bind_text(s_.stmt_, i, v.data(), static_cast<int>(v.size()),
                                    SQLITE_TRANSIENT));
            return *this;
        }
        Use& bind(int i, std::int64_t v) {
            check(sqlite3_bind_int64(s_.stmt_, i, v));
            return *this;
        }
        Use& bind(int i, double v) {
            check(sqlite3_bind_double(s_.stmt_, i, v));
            return *this;
        }
        template <class T>
        Use& bind(int i, const std::optional<T>& v) {
            if (v) return bind(i, *v);
            check(sqlite3_bind_null(s_.stmt_, i));
            return *this;
        }
        // True while there is a row to read.
        bool step() {
            const int rc = sqlite3_step(s_.stmt_);
            if (rc == SQLITE_ROW) return true;
            if (rc == SQLITE_DONE) return false;
            fail(s_.db_, "cannot step " + std::string(sqlite3_sql(s_.stmt_)));
        }
        void run() {
            while (step()) {
            }
        }
        std::string text(int i) const {
            const auto* p = sqlite3_column_text(s_.stmt_, i);
            return p ? std::string(reinterpret_cast<const char*>(p),
                                   static_cast<std::size_t>(sqlite3_column_bytes(s_.stmt_, i)))
                     : std::string();
        }
        std::int64_t integer(int i) const { return sqlite3_column_int64(s_.stmt_, i); }
        double real(int i) const { return sqlite3_column_double(s_.stmt_, i); }
        int changes() const { return sqlite3_changes(s_.db_); }

    private:
        void check(int rc) {
            if (rc != SQLITE_OK) fail(s_.db_, "cannot bind a value");
        }
        Statement& s_;
    };

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// BEGIN IMMEDIATE takes the write lock at once, so that a check and the
// write after it see the same database. Rolled back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) { exec(db_, "BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        exec(db_, "COMMIT");
        done_ = true;
    }

private:
    sqlite3* db_;
    bool done_ = false;
};

JobRecord job_from(const Statement::Use& u) {
    JobRecord j;
    j.id = u.text(0);
    j.register_name = u.text(1);
    j.kind = u.text(2);
    j.request = u.text(3);
    j.idempotency_key = u.text(4);
    j.request_hash = u.text(5);
    j.state = u.text(6);
    j.result = u.text(7);
    j.created_ms = u.integer(8);
    j.started_ms = u.integer(9);
    j.ended_ms = u.integer(10);
    j.progress = u.real(11);
    j.output_file = u.text(12);
    j.verdict = u.text(13);
    j.evidence = u.text(14);
    return j;
}

AuditEntry audit_from(const Statement::Use& u) {
    AuditEntry a;
    a.seq = u.integer(0);
    a.time_ms = u.integer(1);
    a.who = u.text(2);
    a.register_name = u.text(3);
    a.job_id = u.text(4);
    a.what = u.text(5);
    a.verdict = u.text(6);
    a.hash = u.text(7);
    return a;
}

void hash_field(sys::Sha256& h, const std::string& field) {
    std::array<unsigned char, 8> length{};
    std::uint64_t n = field.size();
    for (unsigned char& b : length) {
        b = static_cast<unsigned char>(n & 0xff);
        n >>= 8;
    }
    h.update(length);
    h.update(field);
}

// Job ids name files: only letters, digits, '-' and '_'.
bool safe_id(const std::string& id) {
    if (id.empty() || id.size() > 128) return false;
    for (char c : id) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                        (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

std::string JobRecord::hash_of(const std::string& request) {
    return hex(sys::sha256(request));
}

std::string audit_row_hash(const std::string& previous_hash_hex, const AuditEntry& row) {
    sys::Sha256 h;
    h.update(digest_of(previous_hash_hex));
    hash_field(h, std::to_string(row.seq));
    hash_field(h, std::to_string(row.time_ms));
    hash_field(h, row.who);
    hash_field(h, row.register_name);
    hash_field(h, row.job_id);
    hash_field(h, row.what);
    hash_field(h, row.verdict);
    return hex(h.finish());
}

class Journal::Statements {
public:
    explicit Statements(sqlite3* db)
        : insert_job(db, std::string("INSERT INTO jobs (") + kJobColumns +
                             ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, "
                             "?14, ?15)"),
          // An absent field binds NULL and keeps its value.
          update_job(db,
                     "UPDATE jobs SET state = coalesce(?2, state), "
                     "progress = coalesce(?3, progress), result = coalesce(?4, result), "
                     "started_ms = coalesce(?5, started_ms), ended_ms = coalesce(?6, ended_ms), "
                     "output_file = coalesce(?7, output_file), "
                     "verdict = coalesce(?8, verdict), evidence = coalesce(?9, evidence) "
                     "WHERE id = ?1"),
          find_job(db, std::string("SELECT ") + kJobColumns + " FROM jobs WHERE id = ?1"),
          find_key(db,
                   "SELECT request_hash, job_id FROM idempotency_keys "
                   "WHERE idem_key = ?1 AND created_ms > ?2"),
          insert_key(db,
                     "INSERT OR REPLACE INTO idempotency_keys "
                     "(idem_key, request_hash, job_id, created_ms) VALUES (?1, ?2, ?3, ?4)"),
          purge_keys(db, "DELETE FROM idempotency_keys WHERE created_ms <= ?1"),
          list_jobs(
              db, std::string("SELECT ") + kJobColumns +
                      " FROM jobs WHERE ?2 = 0 OR verdict != '' OR state IN ('queued', 'running') "
                      "ORDER BY created_ms DESC, rowid DESC LIMIT ?1"),
          interrupted(db, std::string("SELECT ") + kJobColumns +
                              " FROM jobs WHERE state IN ('queued', 'running') "
                              "ORDER BY created_ms, rowid"),
          with_verdict(db, std::string("SELECT ") + kJobColumns +
                               " FROM jobs WHERE verdict = ?1 ORDER BY created_ms, rowid "
                               "LIMIT ?2"),
          purge_reads(db,
                      "DELETE FROM jobs WHERE verdict = '' AND ended_ms > 0 AND ended_ms <= ?1 "
                      "AND id NOT IN (SELECT job_id FROM idempotency_keys)"),
          last_audit(db, "SELECT seq, hash FROM audit ORDER BY seq DESC LIMIT 1"),
          insert_audit(db,
                       "INSERT INTO audit (seq, time_ms, who, register, job_id, what, verdict, "
                       "hash) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"),
          list_audit(db,
                     "SELECT seq, time_ms, who, register, job_id, what, verdict, hash "
                     "FROM audit ORDER BY seq") {}

    Statement insert_job, update_job, find_job, find_key, insert_key, purge_keys, list_jobs,
        interrupted, with_verdict, purge_reads, last_audit, insert_audit, list_audit;
};

void Journal::CloseDb::operator()(sqlite3* db) const {
    sqlite3_close_v2(db);
}

Journal::Journal(const std::filesystem::path& state_dir, Access access) : state_dir_(state_dir) {
    const bool writing = access == Access::read_write;
    std::error_code ec;
    if (writing) {
        std::filesystem::create_directories(state_dir_ / "files", ec);
        if (ec)
            throw JournalError("journal: cannot make " + (state_dir_ / "files").string() + ": " +
                               ec.message());
    } else if (!std::filesystem::exists(database_path(), ec)) {
        throw JournalError("journal: no journal at " + database_path().string());
    }
    sqlite3* db = nullptr;
    const int flags = writing ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    // SQLite takes UTF-8 names on every platform.
    const std::u8string name = database_path().u8string();
    const int rc = sqlite3_open_v2(reinterpret_cast<const char*>(name.c_str()), &db,
                                   flags | SQLITE_OPEN_FULLMUTEX, nullptr);
    db_.reset(db);
    if (rc != SQLITE_OK) fail(db, "cannot open " + database_path().string());
    // Another process (veltra audit, a second service) may hold the lock a
    // moment; wait for it rather than fail.
    sqlite3_busy_timeout(db, 5000);
    if (writing) {
        // WAL lets readers go on while the service writes. FULL syncs each
        // commit, so that a job recorded before the register is touched is
        // still there after the machine loses power, not only after a crash.
        exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL;");
        exec(db, "PRAGMA foreign_keys = ON");
        migrate();
    } else {
        Statement version(db, "PRAGMA user_version");
        Statement::Use u(version);
        if (!u.step() || u.integer(0) != kSchemaVersion)
            throw JournalError("journal: " + database_path().string() +
                               " has a schema this program does not read");
    }
    st_ = std::make_unique<Statements>(db);
    Statement::Use u(st_->interrupted);
    while (u.step()) interrupted_.push_back(job_from(u));
}

Journal::~Journal() = default;

void Journal::migrate() {
    sqlite3* db = db_.get();
    Transaction t(db);
    int version = 0;
    {
        Statement s(db, "PRAGMA user_version");
        Statement::Use u(s);
        if (u.step()) version = static_cast<int>(u.integer(0));
    }
    if (version > kSchemaVersion)
        throw JournalError("journal: " + database_path().string() + " has schema " +
                           std::to_string(version) + ", newer than this program's " +
                           std::to_string(kSchemaVersion));
    // Each version's step from the one before; a later schema adds its own.
    if (version < 1) exec(db, kSchema1);
    exec(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    t.commit();
}

std::filesystem::path Journal::output_path(const std::string& job_id) const {
    if (!safe_id(job_id)) throw JournalError("journal: not a job id: " + job_id);
    return state_dir_ / "files" / job_id;
}

AddResult Journal::add(JobRecord job) {
    const std::lock_guard lock(mutex_);
    if (!safe_id(job.id)) throw JournalError("journal: not a job id: " + job.id);
    job.request_hash = JobRecord::hash_of(job.request);
    Transaction t(db_.get());
    if (!job.idempotency_key.empty()) {
        std::optional<std::pair<std::string, std::string>> seen;
        {
            Statement::Use u(st_->find_key);
            u.bind(1, job.idempotency_key).bind(2, job.created_ms - kKeyLifeMs);
            if (u.step()) seen.emplace(u.text(0), u.text(1));
        }
        if (seen) {
            if (std::optional<JobRecord> first = find_locked(seen->second)) {
                const AddOutcome outcome =
                    seen->first == job.request_hash ? AddOutcome::replayed : AddOutcome::conflict;
                return {outcome, std::move(*first)};
            }
        }
    }
    insert_locked(job);
    if (!job.idempotency_key.empty()) {
        // An expired key still in the table is replaced by this one.
        Statement::Use u(st_->insert_key);
        u.bind(1, job.idempotency_key)
            .bind(2, job.request_hash)
            .bind(3, job.id)
            .bind(4, job.created_ms);
        u.run();
    }
    t.commit();
    return {AddOutcome::added, std::move(job)};
}

void Journal::insert_locked(const JobRecord& job) {
    Statement::Use u(st_->insert_job);
    u.bind(1, job.id)
        .bind(2, job.register_name)
        .bind(3, job.kind)
        .bind(4, job.request)
        .bind(5, job.idempotency_key)
        .bind(6, job.request_hash)
        .bind(7, job.state)
        .bind(8, job.result)
        .bind(9, job.created_ms)
        .bind(10, job.started_ms)
        .bind(11, job.ended_ms)
        .bind(12, job.progress)
        .bind(13, job.output_file)
        .bind(14, job.verdict)
        .bind(15, job.evidence);
    u.run();
}

void Journal::add_read(JobRecord job) {
    const std::lock_guard lock(mutex_);
    if (!safe_id(job.id)) throw JournalError("journal: not a job id: " + job.id);
    job.request_hash = JobRecord::hash_of(job.request);
    exec(db_.get(), "PRAGMA synchronous = NORMAL");
    try {
        insert_locked(job);
    } catch (...) {
        sqlite3_exec(db_.get(), "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr);
        throw;
    }
    exec(db_.get(), "PRAGMA synchronous = FULL");
}

std::vector<JobRecord> Journal::with_verdict(const std::string& verdict, int limit) const {
    const std::lock_guard lock(mutex_);
    std::vector<JobRecord> out;
    Statement::Use u(st_->with_verdict);
    u.bind(1, verdict).bind(2, static_cast<std::int64_t>(limit));
    while (u.step()) out.push_back(job_from(u));
    return out;
}

void Journal::purge_reads(std::int64_t now_ms) {
    const std::lock_guard lock(mutex_);
    Statement::Use u(st_->purge_reads);
    u.bind(1, now_ms - kKeyLifeMs);
    u.run();
}

bool Journal::update(const std::string& id, const JobUpdate& change) {
    const std::lock_guard lock(mutex_);
    Statement::Use u(st_->update_job);
    u.bind(1, id)
        .bind(2, change.state)
        .bind(3, change.progress)
        .bind(4, change.result)
        .bind(5, change.started_ms)
        .bind(6, change.ended_ms)
        .bind(7, change.output_file)
        .bind(8, change.verdict)
        .bind(9, change.evidence);
    u.run();
    return u.changes() > 0;
}

std::optional<JobRecord> Journal::find(const std::string& id) const {
    const std::lock_guard lock(mutex_);
    return find_locked(id);
}

std::optional<JobRecord> Journal::find_locked(const std::string& id) const {
    Statement::Use u(st_->find_job);
    u.bind(1, id);
    if (!u.step()) return std::nullopt;
    return job_from(u);
}

std::optional<JobRecord> Journal::find_by_key(const std::string& key, std::int64_t now_ms) const {
    const std::lock_guard lock(mutex_);
    std::string job_id;
    {
        Statement::Use u(st_->find_key);
        u.bind(1, key).bind(2, now_ms - kKeyLifeMs);
        if (!u.step()) return std::nullopt;
        job_id = u.text(1);
    }
    return find_locked(job_id);
}

std::vector<JobRecord> Journal::list(int limit, bool changes_only) const {
    const std::lock_guard lock(mutex_);
    std::vector<JobRecord> out;
    Statement::Use u(st_->list_jobs);
    u.bind(1, static_cast<std::int64_t>(limit)).bind(2, std::int64_t{changes_only ? 1 : 0});
    while (u.step()) out.push_back(job_from(u));
    return out;
}

void Journal::purge_keys(std::int64_t now_ms) {
    const std::lock_guard lock(mutex_);
    Statement::Use u(st_->purge_keys);
    u.bind(1, now_ms - kKeyLifeMs);
    u.run();
}

AuditEntry Journal::append_audit(std::int64_t time_ms, const std::string& who,
                                 const std::string& register_name, const std::string& job_id,
                                 const std::string& what, const std::string& verdict) {
    AuditEntry row{0, time_ms, who, register_name, job_id, what, verdict, ""};
    const std::lock_guard lock(mutex_);
    // The last row and the new one are read and written under one lock, so
    // that two writers cannot both chain onto the same row.
    Transaction t(db_.get());
    std::string previous;
    {
        Statement::Use u(st_->last_audit);
        if (u.step()) {
            row.seq = u.integer(0);
            previous = u.text(1);
        }
    }
    row.seq += 1;
    row.hash = audit_row_hash(previous, row);
    {
        Statement::Use u(st_->insert_audit);
        u.bind(1, row.seq)
            .bind(2, row.time_ms)
            .bind(3, row.who)
            .bind(4, row.register_name)
            .bind(5, row.job_id)
            .bind(6, row.what)
            .bind(7, row.verdict)
            .bind(8, row.hash);
        u.run();
    }
    t.commit();
    return row;
}

std::vector<AuditEntry> Journal::audit() const {
    const std::lock_guard lock(mutex_);
    std::vector<AuditEntry> out;
    Statement::Use u(st_->list_audit);
    while (u.step()) out.push_back(audit_from(u));
    return out;
}

AuditCheck Journal::verify_audit() const {
    const std::lock_guard lock(mutex_);
    AuditCheck check;
    std::string previous;
    Statement::Use u(st_->list_audit);
    while (u.step()) {
        AuditEntry row = audit_from(u);
        ++check.rows;
        // A row removed from the middle leaves a gap in seq, and the next
        // row's hash no longer covers the row before it.
        if (row.seq != check.rows || row.hash != audit_row_hash(previous, row)) {
            check.first_altered = std::move(row);
            return check;
        }
        previous = row.hash;
    }
    return check;
}

}  // namespace veltra::tool::serve
