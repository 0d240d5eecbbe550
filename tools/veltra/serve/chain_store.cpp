#include "chain_store.hpp"

#include <algorithm>
#include <chrono>

namespace veltra::tool::serve {
namespace {

using pg::Param;

// The jobs table has the journal's columns, in the journal's order, then
// the chain's own: the shop that claimed the job, its lease, and the order
// in which jobs were added (two may come within one millisecond).
constexpr const char* kSchema1 = R"sql(
CREATE TABLE chain_registers (
    register TEXT PRIMARY KEY,
    shop TEXT NOT NULL
);
CREATE TABLE jobs (
    id TEXT PRIMARY KEY,
    register TEXT NOT NULL,
    kind TEXT NOT NULL,
    request TEXT NOT NULL,
    idem_key TEXT NOT NULL,
    request_hash TEXT NOT NULL,
    state TEXT NOT NULL,
    result TEXT NOT NULL,
    created_ms BIGINT NOT NULL,
    started_ms BIGINT NOT NULL,
    ended_ms BIGINT NOT NULL,
    progress DOUBLE PRECISION NOT NULL,
    output_file TEXT NOT NULL,
    verdict TEXT NOT NULL,
    evidence TEXT NOT NULL,
    shop TEXT NOT NULL,
    lease_until_ms BIGINT NOT NULL,
    seq BIGSERIAL NOT NULL
);
CREATE INDEX jobs_by_created ON jobs (created_ms);
CREATE INDEX jobs_queued ON jobs (register, created_ms, seq) WHERE state = 'queued';
CREATE INDEX jobs_running ON jobs (lease_until_ms) WHERE state = 'running';
CREATE INDEX jobs_unknown ON jobs (shop, created_ms, seq) WHERE verdict = 'unknown';
CREATE TABLE idempotency_keys (
    idem_key TEXT PRIMARY KEY,
    request_hash TEXT NOT NULL,
    job_id TEXT NOT NULL REFERENCES jobs (id),
    created_ms BIGINT NOT NULL
);
)sql";

// The summaries of the operations the head office ran over groups, and
// each shop's last word on its registers (its service's overview).
constexpr const char* kSchema2 = R"sql(
CREATE TABLE chain_shops (
    shop TEXT PRIMARY KEY,
    seen_ms BIGINT NOT NULL,
    overview TEXT NOT NULL
);
CREATE TABLE chain_fleet_ops (
    id TEXT PRIMARY KEY,
    created_ms BIGINT NOT NULL,
    ended_ms BIGINT NOT NULL,
    summary TEXT NOT NULL
);
CREATE INDEX chain_fleet_ops_by_created ON chain_fleet_ops (created_ms);
)sql";

constexpr const char* kColumns =
    "id, register, kind, request, idem_key, request_hash, state, result, created_ms, "
    "started_ms, ended_ms, progress, output_file, verdict, evidence";

// The advisory lock under which a service brings the schema up to date.
constexpr std::int64_t kMigrationLock = 0x76656c747261;  // "veltra"

JobRecord record_of(const pg::Result& r, int row) {
    JobRecord j;
    j.id = r.text(row, 0);
    j.register_name = r.text(row, 1);
    j.kind = r.text(row, 2);
    j.request = r.text(row, 3);
    j.idempotency_key = r.text(row, 4);
    j.request_hash = r.text(row, 5);
    j.state = r.text(row, 6);
    j.result = r.text(row, 7);
    j.created_ms = r.integer(row, 8);
    j.started_ms = r.integer(row, 9);
    j.ended_ms = r.integer(row, 10);
    j.progress = r.real(row, 11);
    j.output_file = r.text(row, 12);
    j.verdict = r.text(row, 13);
    j.evidence = r.text(row, 14);
    return j;
}

std::vector<JobRecord> records_of(const pg::Result& r) {
    std::vector<JobRecord> out;
    for (int i = 0; i < r.rows(); ++i) out.push_back(record_of(r, i));
    return out;
}

// Ids go into file names and URLs elsewhere: letters, digits, - and _.
bool safe_id(const std::string& id) {
    return !id.empty() && id.size() <= 64 && std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_';
    });
}

bool ended_state(const std::string& s) {
    return s == "succeeded" || s == "failed" || s == "cancelled";
}

constexpr const char* kLeaseRanOut =
    R"({"verdict":"unknown","reason":"the shop's service stopped renewing its lease during the )"
    R"(job: it is verified once that service is back"})";

}  // namespace

ChainStore::ChainStore(const std::string& conninfo) : db_(conninfo) {
    migrate();
}

void ChainStore::migrate() {
    const std::lock_guard lock(m_);
    pg::Transaction t(db_);
    db_.exec("SELECT pg_advisory_xact_lock($1)", {Param(kMigrationLock)});
    db_.exec("CREATE TABLE IF NOT EXISTS veltra_schema (version INTEGER NOT NULL)");
    const pg::Result v = db_.exec("SELECT version FROM veltra_schema");
    const int version = v.rows() > 0 ? static_cast<int>(v.integer(0, 0)) : 0;
    if (version > kSchemaVersion)
        throw pg::PgError("the chain's database has schema " + std::to_string(version) +
                          ", newer than this service's " + std::to_string(kSchemaVersion) +
                          ": update the service");
    if (version < 1) db_.run_script(kSchema1);
    if (version < 2) db_.run_script(kSchema2);
    if (version < kSchemaVersion) {
        db_.exec("DELETE FROM veltra_schema");
        db_.exec("INSERT INTO veltra_schema (version) VALUES ($1)", {Param(kSchemaVersion)});
    }
    t.commit();
}

void ChainStore::own(const std::string& shop, const std::vector<std::string>& registers) {
    const std::lock_guard lock(m_);
    pg::Transaction t(db_);
    for (const std::string& r : registers) {
        const pg::Result owner = db_.exec(
            "INSERT INTO chain_registers (register, shop) VALUES ($1, $2) "
            "ON CONFLICT (register) DO UPDATE SET shop = chain_registers.shop RETURNING shop",
            {r, shop});
        if (owner.text(0, 0) != shop)
            throw OwnerConflict("register " + r + " belongs to shop " + owner.text(0, 0) +
                                ", not to " + shop);
    }
    t.commit();
}

std::optional<std::string> ChainStore::owner_of(const std::string& register_name) {
    const std::lock_guard lock(m_);
    const pg::Result r =
        db_.exec("SELECT shop FROM chain_registers WHERE register = $1", {register_name});
    if (r.rows() == 0) return std::nullopt;
    return r.text(0, 0);
}

std::vector<ChainRegister> ChainStore::registers() {
    const std::lock_guard lock(m_);
    const pg::Result r = db_.exec(
        "SELECT r.register, r.shop, count(j.id) FILTER (WHERE j.state = 'queued'), "
        "count(j.id) FILTER (WHERE j.state = 'running'), "
        "count(j.id) FILTER (WHERE j.verdict = 'unknown'), coalesce(s.seen_ms, 0), "
        "coalesce(s.overview, '') "
        "FROM chain_registers r LEFT JOIN jobs j ON j.register = r.register "
        "LEFT JOIN chain_shops s ON s.shop = r.shop "
        "GROUP BY r.register, r.shop, s.seen_ms, s.overview ORDER BY r.shop, r.register");
    std::vector<ChainRegister> out;
    for (int i = 0; i < r.rows(); ++i)
        out.push_back({r.text(i, 0), r.text(i, 1), static_cast<int>(r.integer(i, 2)),
                       static_cast<int>(r.integer(i, 3)), static_cast<int>(r.integer(i, 4)),
                       r.integer(i, 5), r.text(i, 6)});
    return out;
}

void ChainStore::shop_report(const std::string& shop, std::int64_t now_ms,
                             const std::string& overview) {
    const std::lock_guard lock(m_);
    db_.exec(
        "INSERT INTO chain_shops (shop, seen_ms, overview) VALUES ($1, $2, $3) "
        "ON CONFLICT (shop) DO UPDATE SET seen_ms = excluded.seen_ms, overview = "
        "excluded.overview",
        {shop, Param(now_ms), overview});
}

AddResult ChainStore::add(JobRecord job) {
    if (!safe_id(job.id)) throw pg::PgError("not a job id: " + job.id);
    job.request_hash = JobRecord::hash_of(job.request);
    job.state = "queued";
    const std::lock_guard lock(m_);
    pg::Transaction t(db_);
    if (!job.idempotency_key.empty()) {
        // One adder at a time per key, across every service.
        db_.exec("SELECT pg_advisory_xact_lock(hashtextextended($1, 0))", {job.idempotency_key});
        const pg::Result seen = db_.exec(
            "SELECT request_hash, job_id FROM idempotency_keys "
            "WHERE idem_key = $1 AND created_ms >= $2",
            {job.idempotency_key, job.created_ms - Journal::kKeyLifeMs});
        if (seen.rows() > 0) {
            const pg::Result first = db_.exec(
                std::string("SELECT ") + kColumns + " FROM jobs WHERE id = $1", {seen.text(0, 1)});
            if (first.rows() > 0) {
                const AddOutcome outcome = seen.text(0, 0) == job.request_hash
                                               ? AddOutcome::replayed
                                               : AddOutcome::conflict;
                return {outcome, record_of(first, 0)};
            }
        }
    }
    db_.exec(std::string("INSERT INTO jobs (") + kColumns +
                 ", shop, lease_until_ms) VALUES "
                 "($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, '', 0)",
             {job.id, job.register_name, job.kind, job.request, job.idempotency_key,
              job.request_hash, job.state, job.result, job.created_ms, job.started_ms, job.ended_ms,
              job.progress, job.output_file, job.verdict, job.evidence});
    if (!job.idempotency_key.empty()) {
        // An expired key still in the table is replaced by this one.
        db_.exec(
            "INSERT INTO idempotency_keys (idem_key, request_hash, job_id, created_ms) "
            "VALUES ($1, $2, $3, $4) ON CONFLICT (idem_key) DO UPDATE SET "
            "request_hash = EXCLUDED.request_hash, job_id = EXCLUDED.job_id, "
            "created_ms = EXCLUDED.created_ms",
            {job.idempotency_key, job.request_hash, job.id, job.created_ms});
    }
    // Delivered at commit, to whoever listens for the register's shop.
    db_.exec("SELECT pg_notify($1, shop) FROM chain_registers WHERE register = $2",
             {kChannel, job.register_name});
    t.commit();
    return {AddOutcome::added, std::move(job)};
}

std::vector<JobRecord> ChainStore::claim(const std::string& shop, std::int64_t now_ms,
                                         std::int64_t lease_ms, int max) {
    const std::lock_guard lock(m_);
    pg::Transaction t(db_);
    // The register's row is the lock that keeps a second claimer off it;
    // registers another claimer holds are skipped, not waited for.
    const pg::Result locked = db_.exec(
        "SELECT r.register FROM chain_registers r WHERE r.shop = $1 AND EXISTS "
        "(SELECT 1 FROM jobs j WHERE j.register = r.register AND j.state = 'queued') "
        "ORDER BY r.register FOR UPDATE OF r SKIP LOCKED",
        {shop});
    std::vector<JobRecord> claimed;
    for (int i = 0; i < locked.rows() && static_cast<int>(claimed.size()) < max; ++i) {
        // A statement of its own, after the lock: it sees what a claimer
        // that held the register before committed.
        const pg::Result job = db_.exec(
            std::string("UPDATE jobs SET state = 'running', started_ms = $2, shop = $3, "
                        "lease_until_ms = $4 WHERE id = (SELECT id FROM jobs WHERE register = "
                        "$1 AND state = 'queued' AND NOT EXISTS (SELECT 1 FROM jobs b WHERE "
                        "b.register = $1 AND (b.state = 'running' OR b.verdict = 'unknown')) "
                        "ORDER BY created_ms, seq LIMIT 1) RETURNING ") +
                kColumns,
            {locked.text(i, 0), now_ms, shop, now_ms + lease_ms});
        if (job.rows() > 0) claimed.push_back(record_of(job, 0));
    }
    t.commit();
    return claimed;
}

void ChainStore::release(const std::string& shop, const std::vector<std::string>& ids) {
    const std::lock_guard lock(m_);
    pg::Transaction t(db_);
    for (const std::string& id : ids)
        db_.exec(
            "UPDATE jobs SET state = 'queued', started_ms = 0, shop = '', lease_until_ms = 0 "
            "WHERE id = $1 AND shop = $2 AND state = 'running'",
            {id, shop});
    db_.exec("SELECT pg_notify($1, $2)", {kChannel, shop});
    t.commit();
}

bool ChainStore::cancel_queued(const std::string& id, std::int64_t now_ms,
                               const std::string& result) {
    const std::lock_guard lock(m_);
    return db_.exec(
                  "UPDATE jobs SET state = 'cancelled', ended_ms = $2, result = $3 WHERE id = $1 "
                  "AND state = 'queued'",
                  {id, Param(now_ms), result})
               .affected() == 1;
}

bool ChainStore::renew(const std::string& shop, const std::string& id, std::int64_t now_ms,
                       std::int64_t lease_ms, double progress) {
    const std::lock_guard lock(m_);
    return db_.exec(
                  "UPDATE jobs SET lease_until_ms = $3, progress = $4 WHERE id = $1 AND "
                  "shop = $2 AND state = 'running' AND lease_until_ms >= $5",
                  {id, shop, now_ms + lease_ms, std::clamp(progress, 0.0, 1.0), now_ms})
               .affected() == 1;
}

std::vector<std::string> ChainStore::expire(std::int64_t now_ms) {
    const std::lock_guard lock(m_);
    const pg::Result r = db_.exec(
        "UPDATE jobs SET state = 'failed', verdict = 'unknown', ended_ms = $1, result = $2 "
        "WHERE state = 'running' AND lease_until_ms < $1 RETURNING id",
        {now_ms, kLeaseRanOut});
    std::vector<std::string> ids;
    for (int i = 0; i < r.rows(); ++i) ids.push_back(r.text(i, 0));
    std::sort(ids.begin(), ids.end());
    return ids;
}

bool ChainStore::finish(const std::string& shop, const std::string& id, std::int64_t now_ms,
                        const JobUpdate& change) {
    const std::string state = change.state.value_or("");
    const std::string verdict = change.verdict.value_or("");
    if (!ended_state(state)) return false;
    const bool settles = verdict == "applied" || verdict == "not_applied";
    const std::lock_guard lock(m_);
    // COALESCE keeps what the change does not give.
    const pg::Result r = db_.exec(
        "UPDATE jobs SET state = $3, verdict = COALESCE($4, verdict), "
        "result = COALESCE($5, result), evidence = COALESCE($6, evidence), "
        "progress = COALESCE($7::double precision, progress), "
        "output_file = COALESCE($8, output_file), ended_ms = COALESCE($9::bigint, $10::bigint) "
        "WHERE id = $1 AND shop = $2 AND ((state = 'running' AND lease_until_ms >= $10) OR "
        "(state = 'failed' AND verdict = 'unknown' AND $11))",
        {id, shop, state, change.verdict ? Param(*change.verdict) : Param::null(),
         change.result ? Param(*change.result) : Param::null(),
         change.evidence ? Param(*change.evidence) : Param::null(),
         change.progress ? Param(*change.progress) : Param::null(),
         change.output_file ? Param(*change.output_file) : Param::null(),
         change.ended_ms ? Param(*change.ended_ms) : Param::null(), now_ms,
         settles ? "true" : "false"});
    if (r.affected() != 1) return false;
    // The register may take its next job now.
    db_.exec("SELECT pg_notify($1, $2)", {kChannel, shop});
    return true;
}

std::optional<JobRecord> ChainStore::find(const std::string& id) {
    const std::lock_guard lock(m_);
    const pg::Result r =
        db_.exec(std::string("SELECT ") + kColumns + " FROM jobs WHERE id = $1", {id});
    if (r.rows() == 0) return std::nullopt;
    return record_of(r, 0);
}

std::vector<JobRecord> ChainStore::unknown_of(const std::string& shop) {
    const std::lock_guard lock(m_);
    return records_of(db_.exec(std::string("SELECT ") + kColumns +
                                   " FROM jobs WHERE shop = $1 AND verdict = 'unknown' "
                                   "ORDER BY created_ms, seq",
                               {shop}));
}

void ChainStore::put_fleet_op(const std::string& id, std::int64_t created_ms, std::int64_t ended_ms,
                              const std::string& summary) {
    const std::lock_guard lock(m_);
    db_.exec(
        "INSERT INTO chain_fleet_ops (id, created_ms, ended_ms, summary) VALUES ($1, $2, $3, $4) "
        "ON CONFLICT (id) DO UPDATE SET ended_ms = excluded.ended_ms, summary = excluded.summary",
        {id, Param(created_ms), Param(ended_ms), summary});
}

std::vector<std::string> ChainStore::fleet_ops(int limit) {
    const std::lock_guard lock(m_);
    const pg::Result r =
        db_.exec("SELECT summary FROM chain_fleet_ops ORDER BY created_ms DESC, id DESC LIMIT $1",
                 {Param(std::int64_t{limit})});
    std::vector<std::string> out;
    for (int i = 0; i < r.rows(); ++i) out.push_back(r.text(i, 0));
    return out;
}

ChainWaiter::ChainWaiter(const std::string& conninfo, std::string shop)
    : db_(conninfo), shop_(std::move(shop)) {
    db_.listen(ChainStore::kChannel);
}

bool ChainWaiter::wait(int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const std::vector<std::string> shops =
            db_.wait_notifications(static_cast<int>(std::max<std::int64_t>(left, 0)));
        if (std::find(shops.begin(), shops.end(), shop_) != shops.end()) return true;
        if (shops.empty() || Clock::now() >= deadline) return false;  // the time ran out
    }
}

}  // namespace veltra::tool::serve
