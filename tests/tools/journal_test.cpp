// The service's journal on a fresh state folder: jobs and keys across a
// reopen, the jobs a stopped service left, and the audit chain, checked by
// the journal and by `veltra audit`. Tampering goes through SQLite directly,
// as a person with the sqlite3 tool would.
#include "journal.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "sys/state_dir.hpp"
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

// The database as the sqlite3 tool sees it.
class RawDb {
public:
    explicit RawDb(const std::filesystem::path& file) {
        sqlite3* db = nullptr;
        const int rc = sqlite3_open_v2(file.string().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        db_.reset(db);
        if (rc != SQLITE_OK) ADD_FAILURE() << "cannot open " << file;
    }
    // SQLite's result code of the statements.
    int exec(const std::string& sql) {
        char* message = nullptr;
        const int rc = sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &message);
        last_error_ = message ? message : "";
        sqlite3_free(message);
        return rc;
    }
    std::string text(const std::string& sql) {
        sqlite3_stmt* stmt = nullptr;
        std::string out;
        if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            const auto* p = sqlite3_column_text(stmt, 0);
            if (p) out = reinterpret_cast<const char*>(p);
        }
        sqlite3_finalize(stmt);
        return out;
    }
    const std::string& last_error() const { return last_error_; }

private:
    struct Close {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };
    std::unique_ptr<sqlite3, Close> db_;
    std::string last_error_;
};

class JournalTest : public ::testing::Test {
protected:
    std::unique_ptr<Journal> open() { return std::make_unique<Journal>(dir_.path() / "state"); }
    std::filesystem::path db_file() const { return dir_.path() / "state" / "journal.db"; }

    TempDir dir_;
};

TEST_F(JournalTest, JobsSurviveCloseAndReopen) {
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

TEST_F(JournalTest, UpdateChangesOnlyTheFieldsGiven) {
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

TEST_F(JournalTest, ListIsNewestFirstUpToTheLimit) {
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

TEST_F(JournalTest, KeyReturnsTheFirstJobAfterReopen) {
    open()->add(job("first", kT0, "key-1"));
    auto j = open();
    const auto again = j->add(job("second", kT0 + 1000, "key-1"));
    EXPECT_EQ(again.outcome, AddOutcome::replayed);
    EXPECT_EQ(again.job.id, "first");
    EXPECT_FALSE(j->find("second")) << "a replay adds no job";
    ASSERT_TRUE(j->find_by_key("key-1", kT0 + 1000));
    EXPECT_EQ(j->find_by_key("key-1", kT0 + 1000)->id, "first");
}

TEST_F(JournalTest, SameKeyWithAnotherRequestIsAConflict) {
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

TEST_F(JournalTest, KeysAreHonouredSevenDaysThenForgotten) {
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

TEST_F(JournalTest, PurgedKeysGoButTheirJobsStay) {
    auto j = open();
    j->add(job("old", kT0, "key-old"));
    j->add(job("new", kT0 + 6 * kDayMs, "key-new"));
    j->purge_keys(kT0 + 8 * kDayMs);
    RawDb raw(db_file());
    EXPECT_EQ(raw.text("SELECT group_concat(idem_key) FROM idempotency_keys"), "key-new");
    EXPECT_TRUE(j->find("old"));
}

TEST_F(JournalTest, JobsLeftQueuedOrRunningAreReportedAtOpen) {
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

TEST_F(JournalTest, DatabaseIsInWalModeWithItsSchemaVersion) {
    open();
    RawDb raw(db_file());
    EXPECT_EQ(raw.text("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(raw.text("PRAGMA user_version"), std::to_string(Journal::kSchemaVersion));
    EXPECT_TRUE(std::filesystem::is_directory(dir_.path() / "state" / "files"));
}

TEST_F(JournalTest, NewerSchemaIsRefused) {
    open();
    RawDb(db_file()).exec("PRAGMA user_version = 99");
    EXPECT_THROW(open(), JournalError);
}

// Fleet summaries: each written whole again as it changes, listed newest
// first, kept across a reopen; a journal of the schema before them takes
// them after its next open, its jobs kept.
TEST_F(JournalTest, FleetSummariesAreRewrittenWholeAndOutliveTheService) {
    {
        auto j = open();
        ASSERT_EQ(j->add(job("job-1", kT0)).outcome, AddOutcome::added);
    }
    RawDb(db_file()).exec("DROP TABLE fleet_ops; PRAGMA user_version = 3");
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
    EXPECT_EQ(RawDb(db_file()).text("SELECT ended_ms FROM fleet_ops WHERE id = 'fleet-1'"),
              std::to_string(kT0 + 20));
}

TEST_F(JournalTest, OutputFilesAreNamedAfterSafeJobIds) {
    auto j = open();
    EXPECT_EQ(j->output_path("job-1"), dir_.path() / "state" / "files" / "job-1");
    EXPECT_THROW(j->output_path("../journal.db"), JournalError);
    EXPECT_THROW(j->add(job("a/b", kT0)), JournalError);
}

// --- The audit trail ---

class AuditTest : public JournalTest {
protected:
    void SetUp() override {
        auto j = open();
        j->append_audit(kT0, "local", "shop1", "job-1", "setup-off", "applied");
        j->append_audit(kT0 + 1000, "alice", "shop1", "job-2", "tables put reparti", "applied");
        j->append_audit(kT0 + 2000, "alice", "shop2", "job-3", "command azzfis", "not_applied");
        j->append_audit(kT0 + 3000, "local", "shop2", "job-4", "release update", "unknown");
    }
    tool::serve::AuditCheck verify() { return open()->verify_audit(); }
    ToolRun audit(const std::string& command) {
        return run_tool({"audit", command, "--state-dir", (dir_.path() / "state").string()});
    }
};

TEST_F(AuditTest, ChainOfAppendedRowsHolds) {
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

TEST_F(AuditTest, TriggersRefuseUpdateAndDelete) {
    RawDb raw(db_file());
    EXPECT_EQ(raw.exec("UPDATE audit SET verdict = 'applied' WHERE seq = 3"), SQLITE_CONSTRAINT);
    EXPECT_NE(raw.last_error().find("append-only"), std::string::npos) << raw.last_error();
    EXPECT_EQ(raw.exec("DELETE FROM audit WHERE seq = 1"), SQLITE_CONSTRAINT);
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

class AuditTamper : public AuditTest, public ::testing::WithParamInterface<Tamper> {};

TEST_P(AuditTamper, VerifyNamesTheFirstAlteredRow) {
    {
        RawDb raw(db_file());
        ASSERT_EQ(raw.exec("DROP TRIGGER audit_no_update; DROP TRIGGER audit_no_delete"), SQLITE_OK)
            << raw.last_error();
        ASSERT_EQ(raw.exec(GetParam().sql), SQLITE_OK) << raw.last_error();
    }
    const auto check = verify();
    ASSERT_TRUE(check.first_altered);
    EXPECT_EQ(check.first_altered->seq, GetParam().first_altered);

    const ToolRun r = audit("verify");
    EXPECT_EQ(r.status, 1);
    const std::string named = "row " + std::to_string(GetParam().first_altered) + " (";
    EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("2027-01-15T"), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Edits, AuditTamper, ::testing::ValuesIn(kTampers),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AuditTest, RehashedRowIsCaughtAtTheNextRow) {
    // Someone who knows the encoding rewrites row 2 with a correct hash of
    // its own: row 3 still covers the old hash.
    auto rows = open()->audit();
    AuditEntry forged = rows[1];
    forged.verdict = "not_applied";
    forged.hash = tool::serve::audit_row_hash(rows[0].hash, forged);
    {
        RawDb raw(db_file());
        ASSERT_EQ(raw.exec("DROP TRIGGER audit_no_update"), SQLITE_OK);
        ASSERT_EQ(raw.exec("UPDATE audit SET verdict = 'not_applied', hash = '" + forged.hash +
                           "' WHERE seq = 2"),
                  SQLITE_OK);
    }
    const auto check = verify();
    ASSERT_TRUE(check.first_altered);
    EXPECT_EQ(check.first_altered->seq, 3);
}

TEST_F(AuditTest, ListShowsEveryRowAsJson) {
    const ToolRun r =
        run_tool({"audit", "list", "--state-dir", (dir_.path() / "state").string(), "--json"});
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
