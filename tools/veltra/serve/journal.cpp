// The journal on its store (SQLite or PostgreSQL): prepared statements
// made once at open, writes that belong together in one transaction, the
// audit trail chained by SHA-256.
#include "journal.hpp"

#include <array>
#include <system_error>

#include "archives.hpp"
#include "store_db.hpp"
#include "sys/sha256.hpp"

namespace veltra::tool::serve {
namespace {

constexpr const char* kJobColumns =
    "id, register, kind, request, idem_key, request_hash, state, result, created_ms, "
    "started_ms, ended_ms, progress, output_file, verdict, evidence";
constexpr const char* kArchiveColumns =
    "register, name, job_id, time_ms, size, plain_size, crc32, version, release, good, reason, "
    "deleted_ms";
constexpr const char* kRunColumns =
    "schedule, register, slot, slot_ms, state, attempts, job_id, next_try_ms, updated_ms, result";

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

// Version 2: the archive store's catalogue, the schedules' runs (one row a
// schedule, register and day, so that a day's slot runs once however often
// the service starts), and the schedules set through the API.
constexpr const char* kSchema2 = R"sql(
CREATE TABLE archives (
    register TEXT NOT NULL,
    name TEXT NOT NULL,
    job_id TEXT NOT NULL,
    time_ms INTEGER NOT NULL,
    size INTEGER NOT NULL,
    plain_size INTEGER NOT NULL,
    crc32 INTEGER NOT NULL,
    version TEXT NOT NULL,
    release TEXT NOT NULL,
    good INTEGER NOT NULL,
    reason TEXT NOT NULL,
    deleted_ms INTEGER NOT NULL,
    PRIMARY KEY (register, name)
);
CREATE INDEX archives_by_time ON archives (register, time_ms);
CREATE TABLE schedule_runs (
    schedule TEXT NOT NULL,
    register TEXT NOT NULL,
    slot TEXT NOT NULL,
    slot_ms INTEGER NOT NULL,
    state TEXT NOT NULL,
    attempts INTEGER NOT NULL,
    job_id TEXT NOT NULL,
    next_try_ms INTEGER NOT NULL,
    updated_ms INTEGER NOT NULL,
    result TEXT NOT NULL,
    PRIMARY KEY (schedule, register, slot)
);
CREATE TABLE schedules (
    name TEXT PRIMARY KEY,
    definition TEXT NOT NULL,
    updated_ms INTEGER NOT NULL
);
)sql";

// Version 3: the sales history. A register's day is kept whole (its totals,
// its departments' and articles' lines, its CSV files deflated as they came)
// and replaced whole. Descriptive fields live once in sales_names. The month
// tables hold each month's sums, rebuilt with the days under them, so that a
// year's report reads twelve rows a line instead of a year of days. Every
// key starts with the kind and the day, so a range is one scan.
constexpr const char* kSchema3 = R"sql(
CREATE TABLE sales_registers (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE
);
CREATE TABLE sales_days (
    day INTEGER NOT NULL,
    register INTEGER NOT NULL,
    source TEXT NOT NULL,
    job_id TEXT NOT NULL,
    stored_ms INTEGER NOT NULL,
    amount INTEGER NOT NULL,
    quantity INTEGER NOT NULL,
    discount INTEGER NOT NULL,
    returns INTEGER NOT NULL,
    returns_quantity INTEGER NOT NULL,
    article_amount INTEGER NOT NULL,
    article_quantity INTEGER NOT NULL,
    article_discount INTEGER NOT NULL,
    article_returns INTEGER NOT NULL,
    article_returns_quantity INTEGER NOT NULL,
    PRIMARY KEY (day, register)
) WITHOUT ROWID;
CREATE TABLE sales_files (
    register INTEGER NOT NULL,
    day INTEGER NOT NULL,
    name TEXT NOT NULL,
    size INTEGER NOT NULL,
    deflated BLOB NOT NULL,
    UNIQUE (register, day, name)
);
CREATE TABLE sales_names (
    id INTEGER PRIMARY KEY,
    kind INTEGER NOT NULL,
    number INTEGER NOT NULL,
    descr BLOB NOT NULL,
    ean BLOB NOT NULL,
    department INTEGER NOT NULL,
    vat_descr BLOB NOT NULL,
    vat_rate INTEGER NOT NULL,
    UNIQUE (kind, number, descr, ean, department, vat_descr, vat_rate)
);
CREATE TABLE sales_lines (
    day INTEGER NOT NULL,
    register INTEGER NOT NULL,
    kind INTEGER NOT NULL,
    number INTEGER NOT NULL,
    name INTEGER NOT NULL,
    amount INTEGER NOT NULL,
    quantity INTEGER NOT NULL,
    discount INTEGER NOT NULL,
    returns INTEGER NOT NULL,
    returns_quantity INTEGER NOT NULL,
    PRIMARY KEY (kind, day, register, number)
) WITHOUT ROWID;
CREATE TABLE sales_months (
    month INTEGER NOT NULL,
    register INTEGER NOT NULL,
    kind INTEGER NOT NULL,
    number INTEGER NOT NULL,
    last_key INTEGER NOT NULL,
    name INTEGER NOT NULL,
    amount INTEGER NOT NULL,
    quantity INTEGER NOT NULL,
    discount INTEGER NOT NULL,
    returns INTEGER NOT NULL,
    returns_quantity INTEGER NOT NULL,
    PRIMARY KEY (kind, month, register, number)
) WITHOUT ROWID;
)sql";

// Version 4: fleet operations, each kept as its summary's JSON.
constexpr const char* kSchema4 = R"sql(
CREATE TABLE fleet_ops (
    id TEXT PRIMARY KEY,
    created_ms INTEGER NOT NULL,
    ended_ms INTEGER NOT NULL,
    summary TEXT NOT NULL
);
CREATE INDEX fleet_ops_by_created ON fleet_ops (created_ms);
)sql";

// PostgreSQL's journals start at version 4, with SQLite's tables of every
// version in PostgreSQL's types (in_postgres below), a rowid column
// where statements order by SQLite's, and these: the trigger function that
// keeps the audit trail append-only (TRUNCATE included, which row triggers
// do not see), and an index SQLite's journals do without.
constexpr const char* kPostgresOwn = R"sql(
CREATE FUNCTION audit_append_only() RETURNS trigger LANGUAGE plpgsql AS
$$ BEGIN RAISE EXCEPTION 'the audit trail is append-only'; END $$;
CREATE TRIGGER audit_no_change BEFORE UPDATE OR DELETE ON audit
FOR EACH ROW EXECUTE FUNCTION audit_append_only();
CREATE TRIGGER audit_no_truncate BEFORE TRUNCATE ON audit
FOR EACH STATEMENT EXECUTE FUNCTION audit_append_only();
CREATE INDEX sales_days_by_stored ON sales_days (stored_ms);
)sql";

void replace_all(std::string& s, std::string_view from, std::string_view to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

// A step of SQLite's schema as PostgreSQL takes it: the same tables,
// columns and keys; SQLite's triggers are left to kPostgresOwn. A later
// version's step goes through here too.
std::string in_postgres(std::string sql) {
    for (std::size_t at = sql.find("CREATE TRIGGER"); at != std::string::npos;
         at = sql.find("CREATE TRIGGER"))
        sql.erase(at, sql.find("END;", at) + 4 - at);
    replace_all(sql, "INTEGER PRIMARY KEY", "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY");
    replace_all(sql, "INTEGER", "BIGINT");
    replace_all(sql, "REAL", "DOUBLE PRECISION");
    replace_all(sql, "BLOB", "BYTEA");
    replace_all(sql, ") WITHOUT ROWID;", ");");
    for (const char* table : {"jobs", "schedule_runs"})
        replace_all(sql, std::string("CREATE TABLE ") + table + " (\n",
                    std::string("CREATE TABLE ") + table +
                        " (\n    rowid BIGINT GENERATED ALWAYS AS IDENTITY,\n");
    return sql;
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
    explicit Statements(Db& db)
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
                     "INSERT INTO idempotency_keys (idem_key, request_hash, job_id, created_ms) "
                     "VALUES (?1, ?2, ?3, ?4) ON CONFLICT (idem_key) DO UPDATE SET "
                     "request_hash = excluded.request_hash, job_id = excluded.job_id, "
                     "created_ms = excluded.created_ms"),
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
                     "FROM audit ORDER BY seq"),
          // The archive catalogue.
          insert_archive(db, std::string("INSERT INTO archives (") + kArchiveColumns +
                                 ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)"),
          list_archives(db, std::string("SELECT ") + kArchiveColumns +
                                " FROM archives WHERE register = ?1 AND deleted_ms = 0 "
                                "ORDER BY time_ms DESC, name DESC"),
          find_archive(db, std::string("SELECT ") + kArchiveColumns +
                               " FROM archives WHERE register = ?1 AND name = ?2"),
          delete_archive(db,
                         "UPDATE archives SET deleted_ms = ?3 "
                         "WHERE register = ?1 AND name = ?2 AND deleted_ms = 0"),
          // The schedules' runs.
          claim_run(db, std::string("INSERT INTO schedule_runs (") + kRunColumns +
                            ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) "
                            "ON CONFLICT DO NOTHING"),
          update_run(db,
                     "UPDATE schedule_runs SET slot_ms = ?4, state = ?5, attempts = ?6, "
                     "job_id = ?7, next_try_ms = ?8, updated_ms = ?9, result = ?10 "
                     "WHERE schedule = ?1 AND register = ?2 AND slot = ?3"),
          find_run(db, std::string("SELECT ") + kRunColumns +
                           " FROM schedule_runs WHERE schedule = ?1 AND register = ?2 AND "
                           "slot = ?3"),
          open_runs(db, std::string("SELECT ") + kRunColumns +
                            " FROM schedule_runs WHERE state IN ('running', 'verifying', "
                            "'retrying') ORDER BY slot_ms"),
          recent_runs(db, std::string("SELECT ") + kRunColumns +
                              " FROM schedule_runs ORDER BY slot_ms DESC, updated_ms DESC, "
                              "rowid DESC LIMIT ?1"),
          ran_before(db,
                     "SELECT 1 FROM schedule_runs WHERE schedule = ?1 AND register = ?2 "
                     "LIMIT 1"),
          last_success(db,
                       "SELECT max(updated_ms) FROM schedule_runs WHERE schedule = ?1 AND "
                       "register = ?2 AND state = 'succeeded'"),
          api_schedules(db, "SELECT name, definition FROM schedules ORDER BY name"),
          clear_schedules(db, "DELETE FROM schedules"),
          insert_schedule(db,
                          "INSERT INTO schedules (name, definition, updated_ms) "
                          "VALUES (?1, ?2, ?3)"),
          put_fleet_op(db,
                       "INSERT INTO fleet_ops (id, created_ms, ended_ms, summary) "
                       "VALUES (?1, ?2, ?3, ?4) ON CONFLICT (id) DO UPDATE SET "
                       "ended_ms = excluded.ended_ms, summary = excluded.summary"),
          fleet_ops(db,
                    "SELECT summary FROM fleet_ops ORDER BY created_ms DESC, id DESC LIMIT ?1") {}

    Statement insert_job, update_job, find_job, find_key, insert_key, purge_keys, list_jobs,
        interrupted, with_verdict, purge_reads, last_audit, insert_audit, list_audit;
    // The archive catalogue.
    Statement insert_archive, list_archives, find_archive, delete_archive;
    // The schedules' runs.
    Statement claim_run, update_run, find_run, open_runs, recent_runs, ran_before, last_success,
        api_schedules, clear_schedules, insert_schedule;
    Statement put_fleet_op, fleet_ops;
};

Journal::Journal(const std::filesystem::path& state_dir, Access access)
    : Journal(StoreLocation{state_dir, {}, {}}, access) {}

Journal::Journal(const StoreLocation& where, Access access)
    : state_dir_(where.state_dir), location_(where) {
    const bool writing = access == Access::read_write;
    std::error_code ec;
    // A tool writing a journal in PostgreSQL (veltra sales import --store)
    // may have no state folder: no job of its keeps a file.
    if (writing && !(where.is_postgresql() && state_dir_.empty())) {
        std::filesystem::create_directories(state_dir_ / "files", ec);
        if (ec)
            throw JournalError("journal: cannot make " + (state_dir_ / "files").string() + ": " +
                               ec.message());
    } else if (!where.is_postgresql() && !std::filesystem::exists(database_path(), ec)) {
        throw JournalError("journal: no journal at " + database_path().string());
    }
    db_ = open_store(where, writing ? StoreUse::journal : StoreUse::journal_read_only);
    if (writing) {
        if (db_->dialect() == Dialect::sqlite) {
            // WAL lets readers go on while the service writes. FULL syncs
            // each commit, so that a job recorded before the register is
            // touched is still there after the machine loses power, not only
            // after a crash.
            exec(*db_, "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL;");
            exec(*db_, "PRAGMA foreign_keys = ON");
        }
        migrate();
    } else {
        const int version = db_->schema_version();
        if (version == 0 && where.is_postgresql())
            throw JournalError("journal: no journal in " + where.describe());
        if (version != kSchemaVersion)
            throw JournalError("journal: " + db_->where() +
                               " has a schema this program does not read");
    }
    st_ = std::make_unique<Statements>(*db_);
    Statement::Use u(st_->interrupted);
    while (u.step()) interrupted_.push_back(job_from(u));
}

Journal::~Journal() = default;

void Journal::migrate() {
    Db& db = *db_;
    Transaction t(db);
    const int version = db.schema_version();
    if (version > kSchemaVersion)
        throw JournalError("journal: " + db.where() + " has schema " + std::to_string(version) +
                           ", newer than this program's " + std::to_string(kSchemaVersion));
    // Each version's step from the one before; a later schema adds its own,
    // for both.
    if (db.dialect() == Dialect::postgresql) {
        if (version < 4)
            exec(db, in_postgres(std::string(kSchema1) + kSchema2 + kSchema3 + kSchema4) +
                         kPostgresOwn);
    } else {
        if (version < 1) exec(db, kSchema1);
        if (version < 2) exec(db, kSchema2);
        if (version < 3) exec(db, kSchema3);
        if (version < 4) exec(db, kSchema4);
    }
    db.set_schema_version(kSchemaVersion);
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
    Transaction t(*db_);
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
    if (db_->dialect() == Dialect::postgresql) {
        Transaction t(*db_);
        exec(*db_, "SET LOCAL synchronous_commit TO OFF");
        insert_locked(job);
        t.commit();
        return;
    }
    exec(*db_, "PRAGMA synchronous = NORMAL");
    try {
        insert_locked(job);
    } catch (...) {
        try {
            exec(*db_, "PRAGMA synchronous = FULL");
        } catch (const JournalError&) {
            // The insert's failure is the one to report.
        }
        throw;
    }
    exec(*db_, "PRAGMA synchronous = FULL");
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
    Transaction t(*db_);
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

// The archive catalogue.

namespace {

ArchiveInfo archive_from(const Statement::Use& u) {
    ArchiveInfo a;
    a.register_name = u.text(0);
    a.name = u.text(1);
    a.job_id = u.text(2);
    a.time_ms = u.integer(3);
    a.size = u.integer(4);
    a.plain_size = u.integer(5);
    a.crc32 = static_cast<std::uint32_t>(u.integer(6));
    a.version = u.text(7);
    a.release = u.text(8);
    a.good = u.integer(9) != 0;
    a.reason = u.text(10);
    a.deleted_ms = u.integer(11);
    return a;
}

}  // namespace

void Journal::add_archive(const ArchiveInfo& a) {
    const std::lock_guard lock(mutex_);
    Statement::Use u(st_->insert_archive);
    u.bind(1, a.register_name)
        .bind(2, a.name)
        .bind(3, a.job_id)
        .bind(4, a.time_ms)
        .bind(5, a.size)
        .bind(6, a.plain_size)
        .bind(7, static_cast<std::int64_t>(a.crc32))
        .bind(8, a.version)
        .bind(9, a.release)
        .bind(10, std::int64_t{a.good ? 1 : 0})
        .bind(11, a.reason)
        .bind(12, a.deleted_ms);
    u.run();
}

std::vector<ArchiveInfo> Journal::archives(const std::string& register_name) const {
    const std::lock_guard lock(mutex_);
    std::vector<ArchiveInfo> out;
    Statement::Use u(st_->list_archives);
    u.bind(1, register_name);
    while (u.step()) out.push_back(archive_from(u));
    return out;
}

std::optional<ArchiveInfo> Journal::find_archive(const std::string& register_name,
                                                 const std::string& name) const {
    const std::lock_guard lock(mutex_);
    Statement::Use u(st_->find_archive);
    u.bind(1, register_name).bind(2, name);
    if (!u.step()) return std::nullopt;
    return archive_from(u);
}

bool Journal::delete_archive(const std::string& register_name, const std::string& name,
                             std::int64_t deleted_ms) {
    const std::lock_guard lock(mutex_);
    Statement::Use u(st_->delete_archive);
    u.bind(1, register_name).bind(2, name).bind(3, deleted_ms);
    u.run();
    return u.changes() > 0;
}

// The schedules' runs.

namespace {

ScheduleRun run_from(const Statement::Use& u) {
    ScheduleRun r;
    r.schedule = u.text(0);
    r.register_name = u.text(1);
    r.slot = u.text(2);
    r.slot_ms = u.integer(3);
    r.state = u.text(4);
    r.attempts = static_cast<int>(u.integer(5));
    r.job_id = u.text(6);
    r.next_try_ms = u.integer(7);
    r.updated_ms = u.integer(8);
    r.result = u.text(9);
    return r;
}

void bind_run(Statement::Use& u, const ScheduleRun& r) {
    u.bind(1, r.schedule)
        .bind(2, r.register_name)
        .bind(3, r.slot)
        .bind(4, r.slot_ms)
        .bind(5, r.state)
        .bind(6, std::int64_t{r.attempts})
        .bind(7, r.job_id)
        .bind(8, r.next_try_ms)
        .bind(9, r.updated_ms)
        .bind(10, r.result);
}

// The row that says the API's set holds, even an empty one: no schedule is
// named "" (names are like registers').
constexpr const char* kApiSetMark = "";

}  // namespace

bool Journal::claim_run(const ScheduleRun& run) {
    const std::lock_guard lock(mutex_);
    Statement::Use u(st_->claim_run);
    bind_run(u, run);
    u.run();
    return u.changes() > 0;
}

void Journal::update_run(const ScheduleRun& run) {
    const std::lock_guard lock(mutex_);
    Statement::Use u(st_->update_run);
    bind_run(u, run);
    u.run();
}

std::optional<ScheduleRun> Journal::find_run(const std::string& schedule, const std::string& reg,
                                             const std::string& slot) const {
    const std::lock_guard lock(mutex_);
    Statement::Use u(st_->find_run);
    u.bind(1, schedule).bind(2, reg).bind(3, slot);
    if (!u.step()) return std::nullopt;
    return run_from(u);
}

std::vector<ScheduleRun> Journal::open_runs() const {
    const std::lock_guard lock(mutex_);
    std::vector<ScheduleRun> out;
    Statement::Use u(st_->open_runs);
    while (u.step()) out.push_back(run_from(u));
    return out;
}

std::vector<ScheduleRun> Journal::recent_runs(int limit) const {
    const std::lock_guard lock(mutex_);
    std::vector<ScheduleRun> out;
    Statement::Use u(st_->recent_runs);
    u.bind(1, static_cast<std::int64_t>(limit));
    while (u.step()) out.push_back(run_from(u));
    return out;
}

bool Journal::ran_before(const std::string& schedule, const std::string& reg) const {
    const std::lock_guard lock(mutex_);
    Statement::Use u(st_->ran_before);
    u.bind(1, schedule).bind(2, reg);
    return u.step();
}

std::optional<std::int64_t> Journal::last_success(const std::string& schedule,
                                                  const std::string& reg) const {
    const std::lock_guard lock(mutex_);
    Statement::Use u(st_->last_success);
    u.bind(1, schedule).bind(2, reg);
    if (!u.step() || u.text(0).empty()) return std::nullopt;
    return u.integer(0);
}

std::optional<std::vector<std::string>> Journal::api_schedules() const {
    const std::lock_guard lock(mutex_);
    std::optional<std::vector<std::string>> out;
    Statement::Use u(st_->api_schedules);
    while (u.step()) {
        if (!out) out.emplace();
        if (u.text(0) != kApiSetMark) out->push_back(u.text(1));
    }
    return out;
}

void Journal::set_api_schedules(const std::vector<std::pair<std::string, std::string>>& named_lines,
                                std::int64_t now_ms) {
    const std::lock_guard lock(mutex_);
    Transaction t(*db_);
    Statement::Use(st_->clear_schedules).run();
    {
        Statement::Use u(st_->insert_schedule);
        u.bind(1, std::string(kApiSetMark)).bind(2, std::string()).bind(3, now_ms);
        u.run();
    }
    for (const auto& [name, line] : named_lines) {
        Statement::Use u(st_->insert_schedule);
        u.bind(1, name).bind(2, line).bind(3, now_ms);
        u.run();
    }
    t.commit();
}

void Journal::clear_api_schedules() {
    const std::lock_guard lock(mutex_);
    Statement::Use(st_->clear_schedules).run();
}

void Journal::put_fleet_op(const std::string& id, std::int64_t created_ms, std::int64_t ended_ms,
                           const std::string& summary) {
    const std::lock_guard lock(mutex_);
    Statement::Use u(st_->put_fleet_op);
    u.bind(1, id).bind(2, created_ms).bind(3, ended_ms).bind(4, summary);
    u.run();
}

std::vector<std::string> Journal::fleet_ops(int limit) const {
    const std::lock_guard lock(mutex_);
    Statement::Use u(st_->fleet_ops);
    u.bind(1, std::int64_t{limit});
    std::vector<std::string> out;
    while (u.step()) out.push_back(u.text(0));
    return out;
}

}  // namespace veltra::tool::serve
