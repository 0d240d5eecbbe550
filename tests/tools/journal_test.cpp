// The service's journal on a fresh store, SQLite's file and a PostgreSQL
// schema alike: jobs and keys across a reopen, the jobs a stopped service
// left, and the audit chain, checked by the journal and by `veltra audit`.
// Tampering goes past the program, as a person with the sqlite3 or psql tool
// would.
#include "journal.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sys/state_dir.hpp"
#include "test_store.hpp"
#include "test_support.hpp"
#include "tool_fixture.hpp"

namespace veltra::test {
namespace {

using tool::serve::AddOutcome;
using tool::serve::AuditEntry;
using tool::serve::JobRecord;
using tool::serve::JobUpdate;
using tool::serve::Journal;
using tool::serve::JournalError;

constexpr std::int64_t kT0 = 1'800'000'000'000;  // 2027-01-15, ms
constexpr std::int64_t kDayMs = 24LL * 60 * 60 * 1000;

JobRecord job(const std::string& id, std::int64_t created_ms, const std::string& key = "",
              const std::string& request = R"({"op":"setup-off"})") {
    JobRecord j;
    j.id = id;
    j.register_name = "shop1";
    j.kind = "command";
    j.request = request;
    j.idempotency_key = key;
    j.state = "queued";
    j.created_ms = created_ms;
    return j;
}

class JournalTest : public ::testing::TestWithParam<StoreKind> {
protected:
    void SetUp() override {
        if (!store_.use(GetParam(), dir_.path() / "state")) GTEST_SKIP() << store_.why_not();
    }
    std::unique_ptr<Journal> open() {
        return std::make_unique<Journal>(store_.location(), Journal::Access::read_write);
    }
    bool sqlite() const { return store_.kind() == StoreKind::sqlite; }

    TempDir dir_;
    TestStore store_;
};

TEST_P(JournalTest, JobsSurviveCloseAndReopen) {
    JobRecord done = job("job-1", kT0, "key-1");
    {
        auto j = open();
        ASSERT_EQ(j->add(done).outcome, AddOutcome::added);
        ASSERT_EQ(j->add(job("job-2", kT0 + 5)).outcome, AddOutcome::added);
        JobUpdate change;
        change.state = "succeeded";
        change.progress = 1.0;
        change.result = R"({"code":0})";
        change.started_ms = kT0 + 1;
        change.ended_ms = kT0 + 2;
        change.output_file = "job-1";
        change.verdict = "applied";
        change.evidence = R"({"before":{"NUM_AZZ":"4"},"after":{"NUM_AZZ":"5"}})";
        ASSERT_TRUE(j->update("job-1", change));
        EXPECT_FALSE(j->update("no-such-job", change));
    }
    auto j = open();
    const std::optional<JobRecord> got = j->find("job-1");
    ASSERT_TRUE(got);
    EXPECT_EQ(got->register_name, "shop1");
    EXPECT_EQ(got->kind, "command");
    EXPECT_EQ(got->request, done.request);
    EXPECT_EQ(got->idempotency_key, "key-1");
    EXPECT_EQ(got->request_hash.size(), 64u);
    EXPECT_EQ(got->state, "succeeded");
    EXPECT_EQ(got->progress, 1.0);
    EXPECT_EQ(got->result, R"({"code":0})");
    EXPECT_EQ(got->created_ms, kT0);
    EXPECT_EQ(got->started_ms, kT0 + 1);
    EXPECT_EQ(got->ended_ms, kT0 + 2);
    EXPECT_EQ(got->output_file, "job-1");
    EXPECT_EQ(got->verdict, "applied");
    EXPECT_EQ(got->evidence, R"({"before":{"NUM_AZZ":"4"},"after":{"NUM_AZZ":"5"}})");
    EXPECT_FALSE(j->find("job-3"));
}

TEST_P(JournalTest, UpdateChangesOnlyTheFieldsGiven) {
    auto j = open();
    j->add(job("job-1", kT0));
    JobUpdate verdict;
    verdict.verdict = "unknown";
    verdict.evidence = "{}";
    ASSERT_TRUE(j->update("job-1", verdict));
    JobUpdate progress;
    progress.progress = 0.5;
    ASSERT_TRUE(j->update("job-1", progress));
    const JobRecord got = *j->find("job-1");
    EXPECT_EQ(got.state, "queued");
    EXPECT_EQ(got.verdict, "unknown");
    EXPECT_EQ(got.evidence, "{}");
    EXPECT_EQ(got.progress, 0.5);
}

TEST_P(JournalTest, ListIsNewestFirstUpToTheLimit) {
    auto j = open();
    j->add(job("b", kT0 + 2));
    j->add(job("a", kT0 + 1));
    j->add(job("c", kT0 + 3));
    const std::vector<JobRecord> two = j->list(2);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].id, "c");
    EXPECT_EQ(two[1].id, "b");
    EXPECT_EQ(j->list(10).size(), 3u);
}

TEST_P(JournalTest, KeyReturnsTheFirstJobAfterReopen) {
    open()->add(job("first", kT0, "key-1"));
    auto j = open();
    const auto again = j->add(job("second", kT0 + 1000, "key-1"));
    EXPECT_EQ(again.outcome, AddOutcome::replayed);
    EXPECT_EQ(again.job.id, "first");
    EXPECT_FALSE(j->find("second")) << "a replay adds no job";
    ASSERT_TRUE(j->find_by_key("key-1", kT0 + 1000));
    EXPECT_EQ(j->find_by_key("key-1", kT0 + 1000)->id, "first");
}

TEST_P(JournalTest, SameKeyWithAnotherRequestIsAConflict) {
    auto j = open();
    j->add(job("first", kT0, "key-1", R"({"op":"setup-off"})"));
    const auto other = j->add(job("second", kT0 + 1, "key-1", R"({"op":"setup-on"})"));
    EXPECT_EQ(other.outcome, AddOutcome::conflict);
    EXPECT_EQ(other.job.id, "first");
    EXPECT_FALSE(j->find("second"));
    // Without a key the same request is a new job each time.
    EXPECT_EQ(j->add(job("third", kT0 + 2)).outcome, AddOutcome::added);
    EXPECT_EQ(j->add(job("fourth", kT0 + 3)).outcome, AddOutcome::added);
}

TEST_P(JournalTest, KeysAreHonouredSevenDaysThenForgotten) {
    auto j = open();
    j->add(job("first", kT0, "key-1"));
    const std::int64_t last_honoured = kT0 + Journal::kKeyLifeMs - 1;
    EXPECT_EQ(j->add(job("within", last_honoured, "key-1")).outcome, AddOutcome::replayed);
    EXPECT_TRUE(j->find_by_key("key-1", last_honoured));
    EXPECT_FALSE(j->find_by_key("key-1", kT0 + 8 * kDayMs));
    const auto later = j->add(job("later", kT0 + 8 * kDayMs, "key-1"));
    EXPECT_EQ(later.outcome, AddOutcome::added);
    EXPECT_EQ(later.job.id, "later");
    // The key now answers for the new job, from its own time on.
    EXPECT_EQ(j->find_by_key("key-1", kT0 + 9 * kDayMs)->id, "later");
}

TEST_P(JournalTest, PurgedKeysGoButTheirJobsStay) {
    auto j = open();
    j->add(job("old", kT0, "key-old"));
    j->add(job("new", kT0 + 6 * kDayMs, "key-new"));
    j->purge_keys(kT0 + 8 * kDayMs);
    EXPECT_EQ(store_.raw_text("SELECT count(*) FROM idempotency_keys"), "1");
    EXPECT_EQ(store_.raw_text("SELECT idem_key FROM idempotency_keys"), "key-new");
    EXPECT_TRUE(j->find("old"));
}

TEST_P(JournalTest, JobsLeftQueuedOrRunningAreReportedAtOpen) {
    {
        auto j = open();
        j->add(job("waiting", kT0));
        j->add(job("working", kT0 + 1));
        j->add(job("finished", kT0 + 2));
        JobUpdate running;
        running.state = "running";
        j->update("working", running);
        JobUpdate done;
        done.state = "succeeded";
        j->update("finished", done);
        // Nothing is reported while the service that made them runs.
        EXPECT_TRUE(j->interrupted().empty());
    }
    auto j = open();
    ASSERT_EQ(j->interrupted().size(), 2u);
    EXPECT_EQ(j->interrupted()[0].id, "waiting");
    EXPECT_EQ(j->interrupted()[1].id, "working");
    EXPECT_EQ(j->interrupted()[1].state, "running");
}

// SQLite's file in WAL mode; PostgreSQL's tables in the schema given and
// nowhere else. Both keep the schema's version, and the files folder.
TEST_P(JournalTest, DatabaseKeepsItsSchemaVersionWhereItWasTold) {
    open();
    const std::string version = std::to_string(Journal::kSchemaVersion);
    if (sqlite()) {
        EXPECT_EQ(store_.raw_text("PRAGMA journal_mode"), "wal");
        EXPECT_EQ(store_.raw_text("PRAGMA user_version"), version);
    } else {
        EXPECT_EQ(store_.raw_text("SELECT version FROM journal_schema"), version);
        const std::string schema = store_.location().schema;
        EXPECT_EQ(store_.raw_text("SELECT count(*) FROM information_schema.tables WHERE "
                                  "table_name = 'jobs' AND table_schema = '" +
                                  schema + "'"),
                  "1");
        EXPECT_EQ(store_.raw_text("SELECT count(*) FROM information_schema.tables WHERE "
                                  "table_schema = 'public'"),
                  "0");
    }
    EXPECT_TRUE(std::filesystem::is_directory(dir_.path() / "state" / "files"));
}

TEST_P(JournalTest, NewerSchemaIsRefused) {
    open();
    ASSERT_EQ(store_.raw_exec(sqlite() ? "PRAGMA user_version = 99"
                                       : "UPDATE journal_schema SET version = 99"),
              "");
    EXPECT_THROW(open(), JournalError);
    EXPECT_THROW(Journal(store_.location(), Journal::Access::read_only), JournalError);
}

// Fleet summaries: each written whole again as it changes, listed newest
// first, kept across a reopen; a journal of the schema before them takes
// them after its next open, its jobs kept.
TEST_P(JournalTest, FleetSummariesAreRewrittenWholeAndOutliveTheService) {
    {
        auto j = open();
        ASSERT_EQ(j->add(job("job-1", kT0)).outcome, AddOutcome::added);
    }
    // A SQLite journal of the version before them; PostgreSQL's journals
    // start with them.
    if (sqlite()) {
        ASSERT_EQ(store_.raw_exec("DROP TABLE fleet_ops; PRAGMA user_version = 3"), "");
    }
    {
        auto j = open();
        j->put_fleet_op("fleet-1", kT0, 0, R"({"state":"running"})");
        j->put_fleet_op("fleet-2", kT0 + 10, 0, R"({"state":"running","n":2})");
        j->put_fleet_op("fleet-1", kT0, kT0 + 20, R"({"state":"done"})");
    }
    auto j = open();
    EXPECT_TRUE(j->find("job-1"));
    EXPECT_EQ(j->fleet_ops(10),
              (std::vector<std::string>{R"({"state":"running","n":2})", R"({"state":"done"})"}));
    EXPECT_EQ(j->fleet_ops(1).size(), 1u);
    EXPECT_EQ(store_.raw_text("SELECT ended_ms FROM fleet_ops WHERE id = 'fleet-1'"),
              std::to_string(kT0 + 20));
}

TEST_P(JournalTest, OutputFilesAreNamedAfterSafeJobIds) {
    auto j = open();
    EXPECT_EQ(j->output_path("job-1"), dir_.path() / "state" / "files" / "job-1");
    EXPECT_THROW(j->output_path("../journal.db"), JournalError);
    EXPECT_THROW(j->add(job("a/b", kT0)), JournalError);
}

// --- The audit trail ---

void append_four_rows(Journal& j) {
    j.append_audit(kT0, "local", "shop1", "job-1", "setup-off", "applied");
    j.append_audit(kT0 + 1000, "alice", "shop1", "job-2", "tables put reparti", "applied");
    j.append_audit(kT0 + 2000, "alice", "shop2", "job-3", "command azzfis", "not_applied");
    j.append_audit(kT0 + 3000, "local", "shop2", "job-4", "release update", "unknown");
}

// What a person who wants to edit the trail runs first.
std::string drop_triggers(StoreKind kind) {
    return kind == StoreKind::sqlite ? "DROP TRIGGER audit_no_update; DROP TRIGGER audit_no_delete"
                                     : "DROP TRIGGER audit_no_change ON audit";
}

class AuditTest : public JournalTest {
protected:
    void SetUp() override {
        JournalTest::SetUp();
        if (IsSkipped()) return;
        append_four_rows(*open());
    }
    tool::serve::AuditCheck verify() { return open()->verify_audit(); }
    ToolRun audit(const std::string& command, bool json = false) {
        std::vector<std::string> args = {"audit", command};
        for (const std::string& o : store_.tool_options()) args.push_back(o);
        if (json) args.push_back("--json");
        return run_tool(args);
    }
};

TEST_P(AuditTest, ChainOfAppendedRowsHolds) {
    const auto rows = open()->audit();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].seq, 1);
    EXPECT_EQ(rows[3].seq, 4);
    EXPECT_EQ(rows[0].hash, tool::serve::audit_row_hash("", rows[0]));
    EXPECT_EQ(rows[1].hash, tool::serve::audit_row_hash(rows[0].hash, rows[1]));
    const auto check = verify();
    EXPECT_EQ(check.rows, 4);
    EXPECT_FALSE(check.first_altered);

    const ToolRun r = audit("verify");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("holds: 4 rows"), std::string::npos) << r.out;
}

TEST_P(AuditTest, TriggersRefuseUpdateAndDelete) {
    std::vector<std::string> edits = {"UPDATE audit SET verdict = 'applied' WHERE seq = 3",
                                      "DELETE FROM audit WHERE seq = 1"};
    if (!sqlite()) edits.push_back("TRUNCATE audit");  // SQLite has none
    for (const std::string& sql : edits) {
        const std::string refused = store_.raw_exec(sql);
        EXPECT_NE(refused.find("append-only"), std::string::npos) << sql << ": " << refused;
    }
    EXPECT_EQ(verify().rows, 4);
    EXPECT_FALSE(verify().first_altered);
}

// Each edit is made after dropping the triggers; the row it names is the
// first whose hash no longer covers what the table holds.
struct Tamper {
    const char* name;
    const char* sql;
    std::int64_t first_altered;
};

const Tamper kTampers[] = {
    {"verdict", "UPDATE audit SET verdict = 'applied' WHERE seq = 3", 3},
    {"one_byte_of_what", "UPDATE audit SET what = 'tables put repartI' WHERE seq = 2", 2},
    {"who", "UPDATE audit SET who = 'local' WHERE seq = 2", 2},
    {"register", "UPDATE audit SET register = 'shop1' WHERE seq = 4", 4},
    {"job", "UPDATE audit SET job_id = 'job-9' WHERE seq = 1", 1},
    {"time", "UPDATE audit SET time_ms = time_ms + 1 WHERE seq = 2", 2},
    {"hash_alone", "UPDATE audit SET hash = replace(hash, substr(hash, 1, 1), 'x') WHERE seq = 1",
     1},
    // Fields shifted across their boundary hold the same bytes in a row.
    {"bytes_moved_between_fields",
     "UPDATE audit SET who = 'alicesh', register = 'op2' WHERE seq = 3", 3},
    // Rehashing the altered row alone breaks the link to the next one.
    {"row_removed", "DELETE FROM audit WHERE seq = 2", 3},
};

// Each edit on a trail of its own.
TEST_P(JournalTest, AuditVerifyNamesTheFirstAlteredRow) {
    for (const Tamper& t : kTampers) {
        SCOPED_TRACE(t.name);
        TempDir dir;
        TestStore store;
        ASSERT_TRUE(store.use(GetParam(), dir.path() / "state"));
        {
            Journal j(store.location(), Journal::Access::read_write);
            append_four_rows(j);
        }
        ASSERT_EQ(store.raw_exec(drop_triggers(GetParam())), "");
        ASSERT_EQ(store.raw_exec(t.sql), "");

        const auto check = Journal(store.location(), Journal::Access::read_only).verify_audit();
        ASSERT_TRUE(check.first_altered);
        EXPECT_EQ(check.first_altered->seq, t.first_altered);

        std::vector<std::string> args = {"audit", "verify"};
        for (const std::string& o : store.tool_options()) args.push_back(o);
        const ToolRun r = run_tool(args);
        EXPECT_EQ(r.status, 1);
        const std::string named = "row " + std::to_string(t.first_altered) + " (";
        EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("2027-01-15T"), std::string::npos) << r.err;
    }
}

TEST_P(AuditTest, RehashedRowIsCaughtAtTheNextRow) {
    // Someone who knows the encoding rewrites row 2 with a correct hash of
    // its own: row 3 still covers the old hash.
    auto rows = open()->audit();
    AuditEntry forged = rows[1];
    forged.verdict = "not_applied";
    forged.hash = tool::serve::audit_row_hash(rows[0].hash, forged);
    ASSERT_EQ(store_.raw_exec(drop_triggers(GetParam())), "");
    ASSERT_EQ(store_.raw_exec("UPDATE audit SET verdict = 'not_applied', hash = '" + forged.hash +
                              "' WHERE seq = 2"),
              "");
    const auto check = verify();
    ASSERT_TRUE(check.first_altered);
    EXPECT_EQ(check.first_altered->seq, 3);
}

TEST_P(AuditTest, ListShowsEveryRowAsJson) {
    const ToolRun r = audit("list", true);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = r.json()["rows"];
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[2]["row"], 3);
    EXPECT_EQ(rows[2]["who"], "alice");
    EXPECT_EQ(rows[2]["register"], "shop2");
    EXPECT_EQ(rows[2]["what"], "command azzfis");
    EXPECT_EQ(rows[2]["verdict"], "not_applied");
    EXPECT_EQ(rows[2]["time"], "2027-01-15T08:00:02.000Z");
}

INSTANTIATE_TEST_SUITE_P(Stores, JournalTest, ::testing::ValuesIn(store_kinds()), store_kind_name);
INSTANTIATE_TEST_SUITE_P(Stores, AuditTest, ::testing::ValuesIn(store_kinds()), store_kind_name);

// Two services given one schema would each take the other's jobs left
// running for its own: the second is refused while the first runs.
TEST(JournalInPostgresql, OneServiceASchemaAndEachItsOwn) {
    TempDir dir;
    TestStore a, b;
    if (!a.use(store_kinds().back(), dir.path() / "a") || a.kind() == StoreKind::sqlite)
        GTEST_SKIP() << "no PostgreSQL here: " << a.why_not();
    ASSERT_TRUE(b.use(StoreKind::postgresql, dir.path() / "b"));
    auto first = std::make_unique<Journal>(a.location(), Journal::Access::read_write);
    first->add(job("left-running", kT0));
    try {
        Journal(a.location(), Journal::Access::read_write);
        ADD_FAILURE() << "a second journal on the same schema opened";
    } catch (const JournalError& e) {
        EXPECT_NE(std::string(e.what()).find("in use by another service"), std::string::npos)
            << e.what();
    }
    // Another schema of the same database is another journal.
    Journal other(b.location(), Journal::Access::read_write);
    EXPECT_TRUE(other.interrupted().empty());
    EXPECT_FALSE(other.find("left-running"));
    // A tool reads the schema while its service runs.
    EXPECT_EQ(Journal(a.location(), Journal::Access::read_only).interrupted().size(), 1u);
    // Once the first is gone, the schema is free again, its job still there.
    first.reset();
    Journal again(a.location(), Journal::Access::read_write);
    ASSERT_EQ(again.interrupted().size(), 1u);
    EXPECT_EQ(again.interrupted()[0].id, "left-running");
}

// public and the schema named as the user are where the chain's queue (and
// psql) find tables by their bare names: a journal there would shadow them.
TEST(JournalInPostgresql, SchemasOtherProgramsSearchAreRefused) {
    TempDir dir;
    TestStore store;
    if (!store.use(store_kinds().back(), dir.path()) || store.kind() == StoreKind::sqlite)
        GTEST_SKIP() << "no PostgreSQL here: " << store.why_not();
    for (const char* schema : {"public", "veltra"}) {  // the test server's user is veltra
        tool::serve::StoreLocation where = store.location();
        where.schema = schema;
        try {
            Journal(where, Journal::Access::read_write);
            ADD_FAILURE() << "a journal opened in " << schema;
        } catch (const JournalError& e) {
            EXPECT_NE(std::string(e.what()).find("one of its own"), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(store.raw_text("SELECT count(*) FROM pg_tables WHERE schemaname IN ('public', "
                             "'veltra')"),
              "0");
}

TEST(AuditCommand, MissingJournalFailsWithoutCreatingOne) {
    TempDir dir;
    const ToolRun r = run_tool({"audit", "verify", "--state-dir", dir.file("none")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no journal"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "none"));
}

#ifndef _WIN32
struct StateDirCase {
    const char* name;
    std::optional<std::string> xdg;
    std::optional<std::string> home;
    const char* expected;
};

class DefaultStateDir : public ::testing::TestWithParam<StateDirCase> {};

TEST_P(DefaultStateDir, FollowsTheXdgRule) {
    EnvVar xdg("XDG_STATE_HOME", GetParam().xdg);
    EnvVar home("HOME", GetParam().home);
    EXPECT_EQ(sys::default_state_dir().string(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Posix, DefaultStateDir,
    ::testing::Values(StateDirCase{"xdg", "/srv/state", "/home/u", "/srv/state/veltra"},
                      StateDirCase{"home", std::nullopt, "/home/u", "/home/u/.local/state/veltra"},
                      StateDirCase{"relative_xdg_ignored", "state", "/home/u",
                                   "/home/u/.local/state/veltra"},
                      StateDirCase{"neither", std::nullopt, std::nullopt, ""}),
    [](const auto& info) { return std::string(info.param.name); });
#else
TEST(DefaultStateDir, IsVeltraUnderProgramData) {
    EnvVar data("ProgramData", "C:\\ProgramData");
    EXPECT_EQ(sys::default_state_dir(), std::filesystem::path("C:\\ProgramData") / "VELTRA");
    EnvVar none("ProgramData", std::nullopt);
    EXPECT_TRUE(sys::default_state_dir().empty());
}
#endif

}  // namespace
}  // namespace veltra::test
