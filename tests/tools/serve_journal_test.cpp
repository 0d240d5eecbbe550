// veltra serve's journal as a shop meets it: the service stopped hard and
// started again keeps its jobs, its Idempotency-Keys and its audit trail,
// and settles the change it was making instead of running it again.
#include <sqlite3.h>

#include "serve_fixture.hpp"
#include "tool_fixture.hpp"

namespace veltra::test {
namespace {

constexpr const char* kSetupOn = "/api/v1/registers/shop1/commands/setup-on?confirm=1";
constexpr const char* kSetupOff = "/api/v1/registers/shop1/commands/setup-off?confirm=1";

class ServeJournal : public ServeOnTwoRegisters {
protected:
    // The service ends at once, as on a crash or a power cut: nothing of
    // its own clean-up runs.
    void kill_service() {
        service_->kill();
        service_.reset();
        port_ = 0;
    }

    std::optional<http::Client::Result> send(const std::string& method, const std::string& path,
                                             const std::string& key, const std::string& body = "",
                                             const std::string& type = "text/plain") {
        http::Headers h = {*kChange.begin()};
        if (!key.empty()) h.emplace("Idempotency-Key", key);
        auto c = client();
        return method == "PUT" ? c.put(path, body, type, h) : c.post(path, body, type, h);
    }
    std::optional<http::Client::Result> post(const std::string& path, const std::string& key) {
        return send("POST", path, key);
    }

    // The register's PLU table with the first article renamed.
    std::string renamed_plu() {
        std::string csv = get_csv("shop1", "plu");
        const std::size_t row = csv.find('\n') + 1;
        const std::size_t a = csv.find(';', row);
        const std::size_t b = csv.find(';', a + 1);
        if (row == 0 || a == std::string::npos || b == std::string::npos) return "";
        return csv.replace(a + 1, b - a - 1, "PANE FRESCO");
    }

    std::size_t requests_of(const ecrsim::Register& r, const std::string& request) {
        const ecrsim::Transcript t = r.transcript();
        return static_cast<std::size_t>(std::count(t.requests.begin(), t.requests.end(), request));
    }

    // Polls a job until its verdict is one of the decided ones.
    Json decided_job(const std::string& id) {
        Json job;
        for (int i = 0; i < 1200; ++i) {
            job = get_json("/api/v1/jobs/" + id);
            if (job["verdict"] == "applied" || job["verdict"] == "not_applied") break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return job;
    }

    // veltra audit on the service's state folder: exit status and output.
    std::pair<int, std::string> audit(const std::string& command, bool json = false) {
        std::vector<std::string> args = {"audit", command, "--state-dir", state_dir()};
        if (json) args.push_back("--json");
        const ToolRun r = run_tool(args);
        return {r.status, r.out + r.err};
    }
};

TEST_F(ServeJournal, KeysAndJobsOutliveAKilledService) {
    start();
    auto first = post(kSetupOn, "till-1");
    ASSERT_TRUE(first);
    ASSERT_EQ(first->status, 200) << first->body;
    const Json job = Json::parse(first->body);
    EXPECT_EQ(job["verdict"], "applied");
    EXPECT_EQ(job["who"], "local");
    EXPECT_EQ(setups_of(*shop1_), 1u);

    kill_service();
    start();
    struct Case {
        const char* what;
        const char* path;
        int status;
    };
    const Case cases[] = {
        {"the same request: the first job, not done again", kSetupOn, 200},
        {"another request under the key", kSetupOff, 422},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        auto r = post(k.path, "till-1");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, k.status) << r->body;
        if (k.status != 200) continue;
        EXPECT_EQ(r->get_header_value("Idempotent-Replayed"), "true");
        const Json again = Json::parse(r->body);
        EXPECT_EQ(again["id"], job["id"]);
        EXPECT_EQ(again["verdict"], "applied");
    }
    EXPECT_EQ(setups_of(*shop1_), 1u) << "a key of the run before did its change again";

    const Json kept = get_json("/api/v1/jobs/" + job["id"].get<std::string>());
    EXPECT_EQ(kept["state"], "succeeded");
    EXPECT_EQ(kept["kind"], "command setup-on");
    const Json history = get_json("/api/v1/jobs?limit=10");
    ASSERT_TRUE(history["jobs"].is_array());
    const bool listed = std::any_of(history["jobs"].begin(), history["jobs"].end(),
                                    [&](const Json& j) { return j["id"] == job["id"]; });
    EXPECT_TRUE(listed) << history.dump();
}

// The worst moment: the service and its worker die while a PLU table goes
// to the register. At the next start the job is found, settled from what the
// register holds, and not sent again; so is the change queued behind it,
// which never started.
TEST_F(ServeJournal, AChangeCutShortByAKillIsSettledNotRunAgain) {
    start();
    const std::string csv = renamed_plu();
    ASSERT_FALSE(csv.empty());
    auto upload = send("PUT", "/api/v1/registers/shop1/tables/plu?confirm=1&wait=0", "plu-1", csv,
                       "text/csv");
    ASSERT_TRUE(upload);
    ASSERT_EQ(upload->status, 202) << upload->body;
    const std::string id = Json::parse(upload->body)["id"];
    auto queued = post(std::string(kSetupOff) + "&wait=0", "off-1");
    ASSERT_TRUE(queued);
    ASSERT_EQ(queued->status, 202) << queued->body;
    const std::string queued_id = Json::parse(queued->body)["id"];

    // Killed once the upload has begun, well before its 6.4 MB are across.
    bool uploading = false;
    for (int i = 0; i < 6000 && !uploading; ++i) {
        uploading = requests_of(*shop1_, "put PLU.BIN") > 0;
        if (!uploading) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(uploading) << "the upload never began";
    kill_service();
    const std::size_t puts = requests_of(*shop1_, "put PLU.BIN");

    start();
    const Json cut = decided_job(id);
    EXPECT_NE(cut["state"], "running");
    EXPECT_EQ(cut["verdict"], "not_applied") << cut.dump(2);
    EXPECT_FALSE(cut["evidence"].is_null()) << cut.dump(2);
    const Json never = get_json("/api/v1/jobs/" + queued_id);
    EXPECT_EQ(never["state"], "cancelled");
    EXPECT_EQ(never["verdict"], "not_applied");

    auto again =
        send("PUT", "/api/v1/registers/shop1/tables/plu?confirm=1", "plu-1", csv, "text/csv");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->get_header_value("Idempotent-Replayed"), "true") << again->body;
    EXPECT_EQ(Json::parse(again->body)["id"], id);
    EXPECT_EQ(requests_of(*shop1_, "put PLU.BIN"), puts) << "the cut upload ran again";
}

TEST_F(ServeJournal, AuditTrailOfTheServiceNamesARowChangedOnDisk) {
    start();
    for (const char* path : {kSetupOn, kSetupOff}) {
        auto r = post(path, "");
        ASSERT_TRUE(r);
        ASSERT_EQ(r->status, 200) << r->body;
    }
    kill_service();
    auto [listed, list] = audit("list", true);
    ASSERT_EQ(listed, 0) << list;
    const Json rows = Json::parse(list)["rows"];
    ASSERT_EQ(rows.size(), 2u) << list;
    EXPECT_EQ(rows[0]["what"], "command setup-on");
    EXPECT_EQ(rows[1]["what"], "command setup-off");
    EXPECT_EQ(rows[0]["who"], "local");
    EXPECT_EQ(rows[0]["verdict"], "applied");
    EXPECT_EQ(audit("verify").first, 0);

    // Someone with the file drops the guard and rewrites the first row.
    sqlite3* db = nullptr;
    ASSERT_EQ(
        sqlite3_open((std::filesystem::path(state_dir()) / "journal.db").string().c_str(), &db),
        SQLITE_OK);
    const char* edit =
        "DROP TRIGGER audit_no_update; "
        "UPDATE audit SET what = 'command setup-off' WHERE seq = 1;";
    EXPECT_EQ(sqlite3_exec(db, edit, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    auto [status, out] = audit("verify");
    EXPECT_NE(status, 0) << out;
    EXPECT_NE(out.find("row 1"), std::string::npos) << out;
}

}  // namespace
}  // namespace veltra::test
