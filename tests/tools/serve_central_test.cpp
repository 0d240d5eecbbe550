// veltra serve --central as its own program over a PostgreSQL server of the
// test's own: the shops' calls (their registers, claims, leases, ends) and
// the head office's (jobs added, registers shown), each caller known by its
// token. The central clock is the test's, so that a lease runs out at once.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <future>
#include <optional>

#include "chain_link.hpp"
#include "fleet_suite.hpp"
#include "latin1.hpp"
#include "private_postgres.hpp"
#include "sales_history.hpp"
#include "test_certificates.hpp"

namespace veltra::test {
namespace {

constexpr std::int64_t kStart = 1'800'000'000'000;  // the central clock at the start
constexpr const char* kHead = "head-office-token-0123456789";

PrivatePostgres& server() {
    static PrivatePostgres s;
    return s;
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text << "\n";
}

struct Answer {
    int status = 0;
    Json body;
};

// A central service with its own database, its clock the test's.
class CentralProcess {
public:
    // Empty when it started; else why not.
    std::string start(const std::string& database, const std::vector<std::string>& shops,
                      const std::vector<std::string>& extra = {}) {
        store_ = server().new_database(database);
        write_file(work_.file("head.token"), kHead);
        clock_ = work_.file("clock");
        write_test_clock(clock_, kStart);
        std::vector<std::string> args = {"serve",    "--central",    "--store",
                                         store_,     "--token-file", work_.file("head.token"),
                                         "--listen", "127.0.0.1:0",  "--lease-seconds",
                                         "5",        "--state-dir",  work_.file("state")};
        for (const std::string& shop : shops) {
            const std::string file = work_.file(shop + ".token");
            write_file(file, token_of(shop));
            args.insert(args.end(), {"--shop", shop + "=" + file});
        }
        if (https_)
            args.insert(args.end(), {"--tls-cert", https_->cert(), "--tls-key", https_->key()});
        args.insert(args.end(), extra.begin(), extra.end());
        args_ = args;
        return launch();
    }
    // Killed as a power cut would, and started again on its database.
    std::string kill_and_start_again() {
        process_->kill();
        process_.reset();
        return launch();
    }

    static std::string token_of(const std::string& shop) { return shop + "-token-0123456789"; }
    std::string token_file(const std::string& shop) const { return work_.file(shop + ".token"); }
    std::string head_token_file() const { return work_.file("head.token"); }
    std::string url() const {
        return (https_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_);
    }
    int port() const { return port_; }
    // Its state folder, which may be filled before start().
    std::string state_dir() const { return work_.file("state"); }
    // Answers HTTPS with the test authority's certificate; before start().
    void serve_https(const TestCertificates& c) { https_ = &c; }
    void set_clock(std::int64_t ms) { write_test_clock(clock_, ms); }

    // One call with the caller's token; a change carries our header.
    Answer call(const std::string& token, const std::string& method, const std::string& target,
                const std::string& body = "", const http::Headers& headers = kChange) const {
        http::Client c(http::Endpoint{"127.0.0.1", port_, https_ != nullptr},
                       {https_ ? https_->ca() : ""});
        c.set_timeout(std::chrono::seconds(90));
        if (!token.empty()) c.set_bearer_token(token);
        const auto r = c.send(method, target, body, "application/json", headers);
        if (!r) return {};
        return {r->status, Json::parse(r->body, nullptr, false)};
    }
    Json job(const std::string& id) const {
        return call(kHead, "GET", "/api/v1/chain/jobs/" + id).body;
    }
    // Polls a job until pred holds (at most about a minute and a half).
    Json job_when(const std::string& id, const std::function<bool(const Json&)>& pred) const {
        Json j = Json::object();
        for (int i = 0; i < 900 && !pred(j); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            j = job(id);
            if (!j.is_object()) j = Json::object();
        }
        return j;
    }

private:
    std::string launch() {
        process_ = std::make_unique<sys::ChildProcess>(
            VELTRA_TOOL_PROGRAM, args_, work_.path().string(),
            std::map<std::string, std::string>{{"VELTRA_TEST_CLOCK_FILE", clock_}});
        port_ = listening_port(*process_);
        return port_ > 0 ? "" : "the central service did not start";
    }

    TempDir work_;
    std::vector<std::string> args_;
    std::string store_, clock_;
    std::unique_ptr<sys::ChildProcess> process_;
    int port_ = 0;
    const TestCertificates* https_ = nullptr;
};

bool have_server() {
    return server().started();
}

#define REQUIRE_POSTGRES()                                                  \
    do {                                                                    \
        if (!have_server()) {                                               \
            if (std::getenv("CI") != nullptr) FAIL() << server().why_not(); \
            GTEST_SKIP() << server().why_not();                             \
        }                                                                   \
    } while (false)

std::string database_name(const std::string& prefix) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = prefix + info->name();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name.substr(0, 60);
}

const std::string kShopA = CentralProcess::token_of("shop-a");
const std::string kShopB = CentralProcess::token_of("shop-b");

class Central : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_POSTGRES();
        ASSERT_EQ(central_.start(database_name("c_"), {"shop-a", "shop-b"},
                                 {"--group", "pair=a1,b1", "--group", "ghost=a1,zz9"}),
                  "");
        ASSERT_EQ(
            call(kShopA, "PUT", "/api/v1/chain/registers", R"({"registers":["a1","a2"]})").status,
            200);
        ASSERT_EQ(call(kShopB, "PUT", "/api/v1/chain/registers", R"({"registers":["b1"]})").status,
                  200);
    }

    Answer call(const std::string& token, const std::string& method, const std::string& target,
                const std::string& body = "", const http::Headers& headers = kChange) {
        return central_.call(token, method, target, body, headers);
    }

    std::string add_job(const std::string& reg, const std::string& key = "",
                        const std::string& request = R"({"table":"plu"})") {
        http::Headers h = kChange;
        if (!key.empty()) h.emplace("Idempotency-Key", key);
        const Answer a = call(
            kHead, "POST", "/api/v1/chain/jobs",
            R"({"register":")" + reg + R"(","kind":"tables-put","request":)" + request + "}", h);
        EXPECT_EQ(a.status, 202) << a.body.dump();
        return a.body.value("id", "");
    }

    static std::vector<std::string> ids_of(const Answer& a) {
        std::vector<std::string> out;
        for (const Json& j : a.body.value("jobs", Json::array())) out.push_back(j["id"]);
        return out;
    }

    Answer claim(const std::string& token, int wait = 0) {
        return call(token, "POST", "/api/v1/chain/claim?wait=" + std::to_string(wait));
    }

    Json job(const std::string& id) { return central_.job(id); }

    CentralProcess central_;
};

TEST_F(Central, AJobIsClaimedOnlyByItsRegistersShopOneAtATimeAndEndsAsTheShopSays) {
    const std::string first = add_job("a1");
    const std::string second = add_job("a1");
    const std::string other = add_job("a2");
    EXPECT_TRUE(ids_of(claim(kShopB)).empty()) << "another shop's registers";

    const Answer claimed = claim(kShopA);
    ASSERT_EQ(claimed.status, 200);
    std::vector<std::string> got = ids_of(claimed);
    std::sort(got.begin(), got.end());
    std::vector<std::string> want = {first, other};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want) << "the oldest job of each register, one per register";
    EXPECT_EQ(job(first)["state"], "running");
    EXPECT_TRUE(ids_of(claim(kShopA)).empty()) << "a1 runs a job: its next one waits";

    EXPECT_EQ(call(kShopA, "POST", "/api/v1/chain/jobs/" + first + "/renew", R"({"progress":0.5})")
                  .status,
              200);
    EXPECT_EQ(call(kShopB, "POST", "/api/v1/chain/jobs/" + first + "/renew", "{}").status, 409);
    EXPECT_EQ(call(kShopB, "POST", "/api/v1/chain/jobs/" + first + "/end",
                   R"({"state":"succeeded","verdict":"applied"})")
                  .status,
              409);
    const Answer ended = call(kShopA, "POST", "/api/v1/chain/jobs/" + first + "/end",
                              R"({"state":"succeeded","verdict":"applied","result":{"rows":12}})");
    ASSERT_EQ(ended.status, 200) << ended.body.dump();
    EXPECT_EQ(ended.body["verdict"], "applied");
    EXPECT_EQ(ended.body["result"]["rows"], 12);
    EXPECT_EQ(call(kShopA, "POST", "/api/v1/chain/jobs/" + first + "/end",
                   R"({"state":"failed","verdict":"not_applied"})")
                  .status,
              409)
        << "an ended job is not ended again";

    EXPECT_EQ(ids_of(claim(kShopA)), std::vector<std::string>{second});
    EXPECT_EQ(job(first)["state"], "succeeded");
    // A shop sees its own registers' jobs only.
    EXPECT_EQ(call(kShopA, "GET", "/api/v1/chain/jobs/" + first).status, 200);
    EXPECT_EQ(call(kShopB, "GET", "/api/v1/chain/jobs/" + first).status, 404);

    const Json regs = call(kHead, "GET", "/api/v1/chain/registers").body["registers"];
    ASSERT_EQ(regs.size(), 3u) << regs.dump();
    EXPECT_EQ(regs[0]["id"], "a1");
    EXPECT_EQ(regs[0]["shop"], "shop-a");
    EXPECT_EQ(regs[0]["running"], 1);
    EXPECT_EQ(regs[1]["running"], 1);
    EXPECT_EQ(regs[2]["id"], "b1");
    EXPECT_EQ(regs[2]["shop"], "shop-b");
    EXPECT_EQ(regs[2]["queued"], 0);
}

TEST_F(Central, AWaitingClaimIsAnsweredWhenItsShopsJobComes) {
    auto waiting_b = std::async(std::launch::async, [this] { return claim(kShopB, 3); });
    auto waiting_a = std::async(std::launch::async, [this] { return claim(kShopA, 60); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string id = add_job("a2");
    ASSERT_EQ(waiting_a.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "the claim waited out its minute";
    EXPECT_EQ(ids_of(waiting_a.get()), std::vector<std::string>{id});
    const Answer b = waiting_b.get();
    EXPECT_EQ(b.status, 200);
    EXPECT_TRUE(ids_of(b).empty()) << "shop-b's claim ends empty when its time is up";
    EXPECT_EQ(job(id)["state"], "running");
}

TEST_F(Central, ALeaseThatRunsOutLeavesTheJobUnknownUntilItsShopSettlesIt) {
    const std::string id = add_job("a1");
    const std::string next = add_job("a1");
    ASSERT_EQ(ids_of(claim(kShopA)), std::vector<std::string>{id});
    central_.set_clock(kStart + 6'000);  // past the 5 s lease
    Json j = Json::object();
    for (int i = 0; i < 200 && j.value("verdict", Json()) != "unknown"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        j = job(id);
    }
    ASSERT_EQ(j["verdict"], "unknown") << j.dump();
    EXPECT_EQ(j["state"], "failed");
    EXPECT_EQ(call(kShopA, "POST", "/api/v1/chain/jobs/" + id + "/renew", "{}").status, 409);
    EXPECT_TRUE(ids_of(claim(kShopA)).empty()) << "a1 waits until its unknown job is settled";

    // Who may settle it, and how.
    struct Try {
        std::string token;
        const char* body;
        int status;
    };
    for (const Try& t : {Try{kShopA, R"({"state":"succeeded"})", 409},
                         Try{kShopA, R"({"state":"failed","verdict":"unknown"})", 409},
                         Try{kShopB, R"({"state":"succeeded","verdict":"applied"})", 409}})
        EXPECT_EQ(call(t.token, "POST", "/api/v1/chain/jobs/" + id + "/end", t.body).status,
                  t.status)
            << t.body;
    const Answer unknown = call(kShopA, "GET", "/api/v1/chain/unknown");
    EXPECT_EQ(ids_of(unknown), std::vector<std::string>{id});

    const Answer settled = call(kShopA, "POST", "/api/v1/chain/jobs/" + id + "/end",
                                R"({"state":"succeeded","verdict":"applied"})");
    ASSERT_EQ(settled.status, 200) << settled.body.dump();
    EXPECT_EQ(settled.body["verdict"], "applied");
    EXPECT_TRUE(ids_of(call(kShopA, "GET", "/api/v1/chain/unknown")).empty());
    EXPECT_EQ(ids_of(claim(kShopA)), std::vector<std::string>{next});
}

TEST_F(Central, CallersAreKnownByTheirTokens) {
    const std::string id = add_job("b1");
    struct Case {
        const char* what;
        std::string token;
        const char* method;
        std::string target;
        std::string body;
        http::Headers headers;
        int status;
    };
    const std::string job_body = R"({"register":"a1","kind":"backup"})";
    const std::vector<Case> cases = {
        {"no token", "", "GET", "/api/v1/chain/registers", "", {}, 401},
        {"a wrong token", "not-a-token-of-anyone", "GET", "/api/v1/chain/registers", "", {}, 401},
        {"a shop adding a job", kShopA, "POST", "/api/v1/chain/jobs", job_body, kChange, 403},
        {"a shop listing the chain", kShopA, "GET", "/api/v1/chain/registers", "", {}, 403},
        {"the head office claiming", kHead, "POST", "/api/v1/chain/claim?wait=0", "", kChange, 403},
        {"the head office ending a job", kHead, "POST", "/api/v1/chain/jobs/" + id + "/end",
         R"({"state":"succeeded"})", kChange, 403},
        {"a shop taking another's register", kShopB, "PUT", "/api/v1/chain/registers",
         R"({"registers":["b1","a2"]})", kChange, 409},
        {"a change without our header", kShopA, "POST", "/api/v1/chain/claim?wait=0", "", {}, 403},
        {"another web page", kShopA, "POST", "/api/v1/chain/claim?wait=0", "",
         http::Headers{{"X-Veltra-Request", "1"}, {"Origin", "https://example.com"}}, 403},
    };
    for (const Case& c : cases) {
        const Answer a = call(c.token, c.method, c.target, c.body, c.headers);
        EXPECT_EQ(a.status, c.status) << c.what << ": " << a.body.dump();
    }
    // The refused claims took nothing, and the refused register stayed a's.
    EXPECT_EQ(job(id)["state"], "queued");
    const Json regs = call(kHead, "GET", "/api/v1/chain/registers").body["registers"];
    ASSERT_EQ(regs.size(), 3u);
    EXPECT_EQ(regs[1]["id"], "a2");
    EXPECT_EQ(regs[1]["shop"], "shop-a");
}

TEST_F(Central, BadRequestsAreRefusedAndChangeNothing) {
    const std::string id = add_job("a1");
    ASSERT_EQ(ids_of(claim(kShopA)), std::vector<std::string>{id});
    const std::string end = "/api/v1/chain/jobs/" + id + "/end";
    struct Case {
        std::string token;
        const char* method;
        std::string target;
        std::string body;
        int status;
    };
    const std::vector<Case> cases = {
        {kHead, "POST", "/api/v1/chain/jobs", R"({"register":"zz","kind":"backup"})", 404},
        {kHead, "POST", "/api/v1/chain/jobs", R"({"register":"a 1","kind":"backup"})", 400},
        {kHead, "POST", "/api/v1/chain/jobs", R"({"register":"a1","kind":""})", 400},
        {kHead, "POST", "/api/v1/chain/jobs", R"({"register":"a1"})", 400},
        {kHead, "POST", "/api/v1/chain/jobs", R"(["a1"])", 400},
        {kHead, "POST", "/api/v1/chain/jobs", "not json", 400},
        {kShopA, "POST", "/api/v1/chain/claim?wait=61", "", 400},
        {kShopA, "POST", "/api/v1/chain/claim?max=0", "", 400},
        {kShopA, "POST", "/api/v1/chain/claim?wait=x", "", 400},
        {kShopA, "PUT", "/api/v1/chain/registers", R"({"registers":[]})", 400},
        {kShopA, "PUT", "/api/v1/chain/registers", R"({"registers":["a/1"]})", 400},
        {kShopA, "POST", end, R"({"state":"running"})", 400},
        {kShopA, "POST", end, R"({"state":"succeeded","verdict":"maybe"})", 400},
        {kShopA, "POST", end, R"({"state":"succeeded","progress":2})", 400},
        {kShopA, "POST", "/api/v1/chain/jobs/" + id + "/renew", R"({"progress":-1})", 400},
        {kShopA, "POST", "/api/v1/chain/jobs/jnosuchjob/end", R"({"state":"succeeded"})", 409},
        {kHead, "GET", "/api/v1/chain/jobs/jnosuchjob", "", 404},
    };
    for (const Case& c : cases) {
        const Answer a = call(c.token, c.method, c.target, c.body);
        EXPECT_EQ(a.status, c.status) << c.method << " " << c.target << " " << c.body;
        EXPECT_TRUE(a.body.is_object() && a.body.contains("error")) << a.body.dump();
    }
    EXPECT_EQ(job(id)["state"], "running") << "the refused ends left the job as it was";
    const Json regs = call(kHead, "GET", "/api/v1/chain/registers").body["registers"];
    EXPECT_EQ(regs.size(), 3u) << "no register came of a refused call";
}

TEST_F(Central, AnIdempotencyKeyAddsOneJob) {
    const std::string id = add_job("a1", "price-list-2026-12-10");
    http::Headers h = kChange;
    h.emplace("Idempotency-Key", "price-list-2026-12-10");
    const std::string body = R"({"register":"a1","kind":"tables-put","request":{"table":"plu"}})";
    const Answer again = call(kHead, "POST", "/api/v1/chain/jobs", body, h);
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(again.body["id"], id);
    const Answer other =
        call(kHead, "POST", "/api/v1/chain/jobs", R"({"register":"a2","kind":"tables-put"})", h);
    EXPECT_EQ(other.status, 422);
    EXPECT_EQ(call(kHead, "GET", "/api/v1/chain/registers").body["registers"][0]["queued"], 1);
}

// A shop's day of sales as its link sends it.
Json day_body(const std::string& file, const std::string& text, const char* source = "archive") {
    return {{"source", source}, {"files", {{{"name", file}, {"text", text}}}}};
}
const std::string kRepHeader =
    "id_reparto;descr;iva;batt_sing;tipo_sconto;id_aux_lan;id_gruppo;prezzo;min_valore;"
    "max_valore;valore_sconto;non_fiscale;iva_descr;iva_aliquota;totale_reparto;"
    "totale_qt_rep;totale_sconto_rep;totale_reso_storno;tot_qt_reso_storno\n";

TEST_F(Central, AShopsDaysOfSalesAreKeptAndReportedOnlyForItsOwnRegisters) {
    // CAFFE with a grave E (Latin-1 C8), as UTF-8 on the way.
    const std::string rep =
        kRepHeader + "3;CAFF\xC3\x88;1;0;0;1;1;0;0;0;0;0;IVA 10;1000;627;3;0;0;0\n";
    const std::string target = "/api/v1/chain/sales/a1/20261209";
    struct Case {
        const char* what;
        std::string token, target;
        Json body;
        int status;
    };
    const std::vector<Case> refused = {
        {"the head office", kHead, target, day_body("VEND_REP_091226.CSV", rep), 403},
        {"another shop's register", kShopB, target, day_body("VEND_REP_091226.CSV", rep), 403},
        {"a file of another day", kShopA, target, day_body("VEND_REP_081226.CSV", rep), 400},
        {"no sales file", kShopA, target, day_body("PLU.CSV", rep), 400},
        {"a file that does not read", kShopA, target,
         day_body("VEND_REP_091226.CSV", "id;descr\n3;PANE\n"), 400},
        {"a character beyond Latin-1", kShopA, target,
         day_body("VEND_REP_091226.CSV",
                  kRepHeader + "3;CAF\xE2\x82\xAC;1;0;0;1;1;0;0;0;0;0;IVA 10;1000;627;3;0;0;0\n"),
         400},
        {"no source", kShopA, target, {{"files", Json::array()}}, 400},
        {"not a day", kShopA, "/api/v1/chain/sales/a1/2026129", day_body("x", ""), 404},
    };
    for (const Case& c : refused)
        EXPECT_EQ(call(c.token, "PUT", c.target, c.body.dump()).status, c.status) << c.what;
    const std::string report = "/api/v1/reports/sales?from=01-12-26&to=31-12-26&by=department";
    EXPECT_EQ(call(kHead, "GET", report).status, 200);
    EXPECT_EQ(call(kHead, "GET", report).body["total"]["amount_cents"], 0)
        << "a refusal kept a day";

    const Answer kept = call(kShopA, "PUT", target, day_body("VEND_REP_091226.CSV", rep).dump());
    ASSERT_EQ(kept.status, 200) << kept.body.dump();
    const Answer r = call(kHead, "GET", report);
    ASSERT_EQ(r.status, 200) << r.body.dump();
    EXPECT_EQ(r.body["registers"], Json::array({"a1"}));
    EXPECT_EQ(r.body["groups"][0]["descr"], "CAFF\xC3\x88");
    EXPECT_EQ(r.body["total"]["amount_cents"], 627);
    // The reports are the head office's.
    EXPECT_EQ(call(kShopA, "GET", report).status, 403);
}

// A central service of an earlier version kept the chain's sales in its
// state folder's journal.db: the first start copies every day into the
// database; later starts copy nothing again, so a day a shop sent since is
// not put back to the old one.
TEST(CentralHistory, AnEarlierHistoryInTheStateFolderIsCopiedIntoTheDatabaseOnce) {
    REQUIRE_POSTGRES();
    CentralProcess central;
    const auto rep = [](int cents) {
        return kRepHeader + "3;CAFF\xC8;1;0;0;1;1;0;0;0;0;0;IVA 10;1000;" + std::to_string(cents) +
               ";3;0;0;0\n";
    };
    {
        namespace serve = tool::serve;
        const serve::Journal journal(central.state_dir());
        serve::SalesHistory old(journal.database_path(), serve::SalesHistory::Access::read_write);
        for (const char* file : {"VEND_REP_091226.CSV", "VEND_REP_101226.CSV"})
            old.store("a1", serve::SalesSource::archive, "old",
                      serve::sales_days({serve::parse_sales_csv(file, rep(627))}), 1);
    }
    ASSERT_EQ(central.start(database_name("h_"), {"shop-a"}), "");
    const std::string report = "/api/v1/reports/sales?from=01-12-26&to=31-12-26&by=department";
    Answer r = central.call(kHead, "GET", report);
    ASSERT_EQ(r.status, 200) << r.body.dump();
    EXPECT_EQ(r.body["total"]["amount_cents"], 2 * 627);
    EXPECT_EQ(r.body["groups"][0]["descr"], "CAFF\xC3\x88");

    ASSERT_EQ(
        central.call(kShopA, "PUT", "/api/v1/chain/registers", R"({"registers":["a1"]})").status,
        200);
    const std::string utf8 =
        kRepHeader + "3;CAFF\xC3\x88;1;0;0;1;1;0;0;0;0;0;IVA 10;1000;100;3;0;0;0\n";
    ASSERT_EQ(central
                  .call(kShopA, "PUT", "/api/v1/chain/sales/a1/20261209",
                        day_body("VEND_REP_091226.CSV", utf8).dump())
                  .status,
              200);
    ASSERT_EQ(central.kill_and_start_again(), "");
    r = central.call(kHead, "GET", report);
    EXPECT_EQ(r.body["total"]["amount_cents"], 627 + 100) << "the old day came back";
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(central.state_dir()) / "journal.db"));
}

TEST_F(Central, AShopsOverviewIsShownBesideItsOwnRegistersOnly) {
    const Json overview = {{"registers",
                            {{{"id", "a1"}, {"reachable", false}, {"state", "silent"}},
                             {{"id", "b1"}, {"reachable", true}}}}};
    EXPECT_EQ(call(kHead, "PUT", "/api/v1/chain/overview", overview.dump()).status, 403);
    EXPECT_EQ(call(kShopA, "PUT", "/api/v1/chain/overview", R"({"registers":1})").status, 400);
    ASSERT_EQ(call(kShopA, "PUT", "/api/v1/chain/overview", overview.dump()).status, 200);
    std::map<std::string, Json> by_id;
    const Json regs = call(kHead, "GET", "/api/v1/chain/registers").body["registers"];
    for (const Json& r : regs) by_id[r["id"]] = r;
    EXPECT_EQ(by_id["a1"]["overview"]["reachable"], false) << regs.dump();
    EXPECT_EQ(by_id["a1"]["shop_seen"], by_id["a2"]["shop_seen"]);
    EXPECT_TRUE(by_id["a2"]["overview"].is_null()) << "shop-a said nothing of a2";
    // What shop-a says of b1 is not shown: b1 is shop-b's, which has not spoken.
    EXPECT_TRUE(by_id["b1"]["overview"].is_null());
    EXPECT_TRUE(by_id["b1"]["shop_seen"].is_null());
}

TEST_F(Central, AnOperationTheCentralServiceWasRunningWhenKilledIsClosedAtItsNextStart) {
    // Neither shop's service runs here: the comparisons wait in the queue.
    const Answer started = call(
        kHead, "PUT", "/api/v1/groups/pair/tables/plu?confirm=1&stop_on_failure=1", "1;PANE;1\n");
    ASSERT_EQ(started.status, 202) << started.body.dump();
    const std::string id = started.body["id"];
    EXPECT_EQ(started.body["registers"][0]["shop"], "shop-a");
    EXPECT_EQ(started.body["registers"][1]["shop"], "shop-b");
    Json op;
    for (int i = 0; i < 100; ++i) {
        op = call(kHead, "GET", "/api/v1/fleet/" + id).body;
        if (op["registers"][1].contains("compare_job")) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(op["registers"][1]["state"], "comparing") << op.dump();
    EXPECT_EQ(op["state"], "running");

    ASSERT_EQ(central_.kill_and_start_again(), "");
    const Json closed = call(kHead, "GET", "/api/v1/fleet/" + id).body;
    EXPECT_EQ(closed["state"], "stopped") << closed.dump();
    EXPECT_EQ(closed["reason"], "the service stopped during the operation");
    for (const Json& step : closed["registers"]) {
        EXPECT_EQ(step["state"], "untouched") << step.dump();
        EXPECT_TRUE(step.contains("compare_job"));
    }
    EXPECT_EQ(call(kHead, "GET", "/api/v1/fleet").body["operations"][0]["id"], id);
}

TEST_F(Central, AComparisonNoShopTakesInTimeIsTakenBackAndThePushRefused) {
    const Answer started =
        call(kHead, "PUT", "/api/v1/groups/pair/tables/plu?confirm=1", "1;PANE;1\n");
    ASSERT_EQ(started.status, 202) << started.body.dump();
    const std::string id = started.body["id"];
    for (int i = 0; i < 100; ++i) {
        const Json op = call(kHead, "GET", "/api/v1/fleet/" + id).body;
        if (op["registers"][1].contains("compare_job")) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Nine minutes: still waiting for the shops.
    central_.set_clock(kStart + 9 * 60'000);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(call(kHead, "GET", "/api/v1/fleet/" + id).body["state"], "running");
    central_.set_clock(kStart + 10 * 60'000);
    const Json op = call(kHead, "GET", "/api/v1/fleet/" + id + "?wait=30").body;
    EXPECT_EQ(op["state"], "refused") << op.dump();
    for (const Json& step : op["registers"]) {
        EXPECT_EQ(step["state"], "refused") << step.dump();
        EXPECT_NE(step["error"]["message"].get<std::string>().find("did not take the comparison"),
                  std::string::npos);
        EXPECT_EQ(job(step["compare_job"])["state"], "cancelled");
    }
    // Nothing is left in the queue for the shops to claim when they come.
    const Json regs = call(kHead, "GET", "/api/v1/chain/registers").body["registers"];
    for (const Json& r : regs) EXPECT_EQ(r["queued"], 0) << r.dump();
    EXPECT_TRUE(ids_of(claim(kShopA)).empty());
}

TEST_F(Central, APushToARegisterNoShopHasNamedQueuesNothing) {
    const Json regs_before = call(kHead, "GET", "/api/v1/chain/registers").body;
    const Answer started =
        call(kHead, "PUT", "/api/v1/groups/ghost/tables/plu?confirm=1", "1;PANE;1\n");
    ASSERT_EQ(started.status, 202) << started.body.dump();
    const Json op =
        call(kHead, "GET", "/api/v1/fleet/" + started.body["id"].get<std::string>() + "?wait=30")
            .body;
    EXPECT_EQ(op["state"], "refused") << op.dump();
    EXPECT_EQ(op["registers"][0]["state"], "untouched");
    EXPECT_EQ(op["registers"][1]["state"], "refused");
    EXPECT_NE(op["registers"][1]["error"]["message"].get<std::string>().find("zz9"),
              std::string::npos);
    EXPECT_FALSE(op["registers"][0].contains("compare_job"));
    EXPECT_EQ(call(kHead, "GET", "/api/v1/chain/registers").body, regs_before)
        << "a comparison was queued";
    // Groups and operations are the head office's.
    EXPECT_EQ(call(kShopA, "GET", "/api/v1/groups").status, 403);
    EXPECT_EQ(call(kShopA, "PUT", "/api/v1/groups/pair/tables/plu?confirm=1", "1;X\n").status, 403);
    EXPECT_EQ(call(kHead, "GET", "/api/v1/groups").body["groups"].size(), 2u);
}

TEST(ChainSales, Utf8BackToTheRegistersLatin1) {
    struct Case {
        std::string utf8;
        std::optional<std::string> latin1;
    };
    const Case cases[] = {
        {"PANE;1", "PANE;1"},
        {"CAFF\xC3\x88", "CAFF\xC8"},
        {"\xC2\xA0\xC3\xBF", "\xA0\xFF"},
        {"\xE2\x82\xAC", std::nullopt},  // the euro sign: beyond Latin-1
        {"\xC3", std::nullopt},          // cut short
        {"\xC3\x28", std::nullopt},      // not a continuation
        {"\xC1\x81", std::nullopt},      // overlong 'A'
        {"\x80", std::nullopt},          // a continuation alone
    };
    for (const Case& c : cases) EXPECT_EQ(tool::utf8_to_latin1(c.utf8), c.latin1) << c.utf8;
    std::string every;
    for (int b = 0; b < 256; ++b) every += static_cast<char>(b);
    EXPECT_EQ(tool::utf8_to_latin1(tool::latin1_to_utf8(every)), every);
}

TEST(ChainSales, TheCursorFileKeepsTheLastDaySent) {
    TempDir dir;
    const std::filesystem::path file = dir.path() / "chain-sales.json";
    EXPECT_EQ(tool::serve::read_sales_cursor(file).stored_ms, 0) << "no file: the start";
    tool::serve::StoredDay last{"e1", 20261209, tool::serve::SalesSource::today, 1234};
    ASSERT_TRUE(tool::serve::write_sales_cursor(file, last));
    last.stored_ms = 5678;
    ASSERT_TRUE(tool::serve::write_sales_cursor(file, last));
    const auto back = tool::serve::read_sales_cursor(file);
    EXPECT_EQ(back.stored_ms, 5678);
    EXPECT_EQ(back.register_name, "e1");
    EXPECT_EQ(back.day, 20261209);
    for (const char* broken : {"", "{", R"({"stored_ms":"1","register":"e1","day":1})", "[]"}) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << broken;
        EXPECT_EQ(tool::serve::read_sales_cursor(file).stored_ms, 0) << broken;
    }
}

// A shop's service with two registers, dialling out to a central service.
class ChainShop : public ServeOnTwoRegisters {
protected:
    void SetUp() override {
        REQUIRE_POSTGRES();
        ServeOnTwoRegisters::SetUp();
        if (https_) {
            ASSERT_EQ(certificates_.why_not(), "");
            central_.serve_https(certificates_);
        }
        ASSERT_EQ(central_.start(database_name("s_"), {"east"}, {"--group", "pair=shop1,shop2"}),
                  "");
    }
    void start_shop() {
        start({"--chain", central_.url(), "--chain-token-file", central_.token_file("east"),
               "--verify-seconds", "1"});
    }

    // A job of the head office's: the articles table of register reg.
    std::string push_plu(const std::string& reg, const std::string& csv) {
        const Json body = {{"register", reg},
                           {"kind", "tables-put"},
                           {"request",
                            {{"method", "PUT"},
                             {"target", "/api/v1/registers/" + reg + "/tables/plu?confirm=1"},
                             {"body", csv},
                             {"content_type", "text/csv"}}}};
        // The shop names its registers once it has reached the central
        // service; before, the register is no shop's (404).
        Answer added;
        for (int i = 0; i < 300 && added.status != 202; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            added = central_.call(kHead, "POST", "/api/v1/chain/jobs", body.dump());
        }
        EXPECT_EQ(added.status, 202) << added.body.dump();
        return added.body.value("id", "");
    }

    // The register's articles table with the first article renamed.
    std::string renamed_plu() {
        std::string csv = get_csv("shop1", "plu");
        const std::size_t line2 = csv.find('\n') + 1;
        const std::size_t field2 = csv.find(';', line2) + 1;
        csv.replace(field2, csv.find(';', field2) - field2, "ARTICOLO CATENA");
        return csv;
    }
    static bool ended(const Json& j) {
        return j.value("state", "") == "succeeded" || j.value("state", "") == "failed";
    }

    CentralProcess central_;
    bool https_ = false;
    TestCertificates certificates_;
};

TEST_F(ChainShop, AHeadOfficeJobRunsOnceOnItsRegisterThroughTheShopsJournal) {
    start_shop();
    const std::string csv = renamed_plu();
    const std::string id = push_plu("shop1", csv);
    const Json j = central_.job_when(id, ended);
    ASSERT_EQ(j["state"], "succeeded") << j.dump();
    EXPECT_EQ(j["verdict"], "applied");
    EXPECT_EQ(plu_puts(*shop1_), 1u);
    EXPECT_EQ(plu_puts(*shop2_), 0u);
    EXPECT_NE(get_csv("shop1", "plu").find("ARTICOLO CATENA"), std::string::npos);
    // The shop's own journal has the change, under the chain job's key.
    const std::string local = j["result"].value("shop_job", "");
    const Json mine = get_json("/api/v1/jobs/" + local);
    EXPECT_EQ(mine["verdict"], "applied");
    EXPECT_EQ(mine["kind"], "tables put plu");

    // A job that asks the shop for another register's resource, or for
    // anything but a change, reaches no register.
    const Json bad = {{"register", "shop2"},
                      {"kind", "tables-put"},
                      {"request",
                       {{"method", "PUT"},
                        {"target", "/api/v1/registers/shop1/tables/plu?confirm=1"},
                        {"body", csv}}}};
    const Answer a = central_.call(kHead, "POST", "/api/v1/chain/jobs", bad.dump());
    ASSERT_EQ(a.status, 202);
    const Json refused = central_.job_when(a.body["id"], ended);
    EXPECT_EQ(refused["state"], "failed");
    EXPECT_EQ(refused["verdict"], "not_applied");
    EXPECT_EQ(plu_puts(*shop1_), 1u);
    EXPECT_EQ(changes_of(*shop2_), 0u);
}

TEST_F(ChainShop, AShopKilledDuringItsUploadSettlesTheJobAppliedWithoutUploadingAgain) {
    start_shop();
    const std::string csv = renamed_plu();
    // Every command exchange answers late: after the upload the register's
    // setup mode is left through one, and the service is killed meanwhile.
    slow_commands(*shop1_, 2000);
    const std::string id = push_plu("shop1", csv);
    for (int i = 0; i < 6000 && plu_puts(*shop1_) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(plu_puts(*shop1_), 1u) << "the upload never came";
    service_->kill();
    service_.reset();
    ASSERT_EQ(central_.job(id)["state"], "running") << "the shop reported before it was killed";

    // Its lease runs out on the central clock: unknown, not run again.
    central_.set_clock(kStart + 6'000);
    const Json unknown = central_.job_when(
        id, [](const Json& j) { return j.contains("verdict") && j["verdict"] == "unknown"; });
    ASSERT_EQ(unknown["verdict"], "unknown") << unknown.dump();
    EXPECT_EQ(unknown["state"], "failed");

    // The shop's service is back: it verifies its interrupted change on the
    // register and settles the chain's job by that verdict.
    start_shop();
    const Json settled = central_.job_when(id, [](const Json& j) {
        return j.contains("verdict") && j["verdict"].is_string() && j["verdict"] != "unknown";
    });
    EXPECT_EQ(settled["verdict"], "applied") << settled.dump();
    EXPECT_EQ(plu_puts(*shop1_), 1u) << "uploaded again";
    EXPECT_TRUE(central_.call(CentralProcess::token_of("east"), "GET", "/api/v1/chain/unknown")
                    .body["jobs"]
                    .empty());
}

// Three shops' services with two registers each, dialling out to one
// central service whose group names all six; the head office drives the
// group with `veltra fleet` pointed at the central service.
class ChainOfShops : public ::testing::Test {
protected:
    static constexpr const char* kShops[] = {"east", "west", "north"};
    static constexpr int kRegisters = 6;

    void SetUp() override {
        REQUIRE_POSTGRES();
        for (int i = 0; i < kRegisters; ++i) {
            states_.push_back(std::make_unique<TempDir>());
            regs_.push_back(start_register(*states_.back()));
        }
        ASSERT_EQ(central_.start(database_name("f_"), {kShops[0], kShops[1], kShops[2]},
                                 {"--group", "all=e1,e2,w1,w2,n1,n2", "--group", "pair=e2,n1"}),
                  "");
        for (int s = 0; s < 3; ++s) start_shop(s);
        // Every register named by its shop: a job for each can be added.
        for (int i = 0; i < 300 && registers_named() < kRegisters; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(registers_named(), kRegisters);
    }

    // Register i: e1, e2, w1, w2, n1, n2; shop i / 2.
    static std::string name(int i) {
        return std::string(1, kShops[i / 2][0]) + std::to_string(i % 2 + 1);
    }
    void start_shop(int s) {
        std::vector<std::string> args = {"serve",
                                         "--listen",
                                         "127.0.0.1:0",
                                         "--state-dir",
                                         (work_.path() / kShops[s]).string(),
                                         "--chain",
                                         central_.url(),
                                         "--chain-token-file",
                                         central_.token_file(kShops[s]),
                                         "--verify-seconds",
                                         "1"};
        for (int i = 2 * s; i < 2 * s + 2; ++i)
            args.insert(args.end(), {"--register", register_arg(name(i), *regs_[i])});
        shops_.push_back(std::make_unique<sys::ChildProcess>(VELTRA_TOOL_PROGRAM, args,
                                                             work_.path().string(),
                                                             std::map<std::string, std::string>{}));
        ports_.push_back(listening_port(*shops_.back()));
        ASSERT_GT(ports_.back(), 0) << "shop " << kShops[s] << " did not start";
    }
    std::size_t registers_named() const {
        const Json regs = central_.call(kHead, "GET", "/api/v1/chain/registers").body;
        return regs.is_object() ? regs["registers"].size() : 0;
    }

    // Every register starts with the same tables: east's first one's serves all.
    std::string edited_plu() {
        return test::edited_plu(ports_[0], "e1", work_.path() / "plu.csv", "ARTICOLO CATENA");
    }
    std::size_t plu_puts(int i) const {
        return test::plu_puts(*regs_[static_cast<std::size_t>(i)]);
    }
    ToolRun fleet(std::vector<std::string> args) {
        args.insert(args.begin(), "fleet");
        args.insert(args.end(), {"--service", central_.url(), "--token-file",
                                 central_.head_token_file(), "--json"});
        return run_tool(args);
    }
    static std::vector<std::string> states(const Json& op) { return step_states(op); }

    TempDir work_;
    CentralProcess central_;
    std::vector<std::unique_ptr<TempDir>> states_;
    std::vector<std::unique_ptr<ecrsim::Register>> regs_;
    std::vector<std::unique_ptr<sys::ChildProcess>> shops_;
    std::vector<int> ports_;
};

TEST_F(ChainOfShops, APushToAGroupOfThreeShopsReachesEachRegisterOnce) {
    const std::string csv = edited_plu();
    const ToolRun r = fleet({"tables", "put", "plu", csv, "--group", "all", "--yes"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const Json op = r.json();
    EXPECT_EQ(op["state"], "done");
    EXPECT_EQ(states(op), std::vector<std::string>(kRegisters, "applied"));
    for (int i = 0; i < kRegisters; ++i) {
        EXPECT_EQ(plu_puts(i), 1u) << name(i);
        const Json& step = op["registers"][static_cast<std::size_t>(i)];
        EXPECT_EQ(step["register"], name(i));
        EXPECT_EQ(step["shop"], kShops[i / 2]);
        // Each part is a chain job its own shop ran and journalled.
        const Json job = central_.job(step["job"].get<std::string>());
        EXPECT_EQ(job["verdict"], "applied") << job.dump();
        EXPECT_EQ(job["register"], name(i));
        EXPECT_TRUE(central_.job(step["compare_job"].get<std::string>())["state"] == "succeeded");
    }
    // The operation stays listed on the central service.
    const Answer list = central_.call(kHead, "GET", "/api/v1/fleet");
    ASSERT_EQ(list.status, 200);
    EXPECT_EQ(list.body["operations"][0]["id"], op["id"]);
    // A shop may not drive the chain's groups.
    EXPECT_EQ(central_.call(CentralProcess::token_of("east"), "GET", "/api/v1/fleet").status, 403);
    // Each shop's word on its registers is shown beside them, with its age.
    Json regs;
    for (int i = 0; i < 100; ++i) {
        regs = central_.call(kHead, "GET", "/api/v1/chain/registers").body["registers"];
        if (std::all_of(regs.begin(), regs.end(),
                        [](const Json& r) { return r["overview"].is_object(); }))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(regs.size(), static_cast<std::size_t>(kRegisters));
    for (const Json& r : regs) {
        EXPECT_EQ(r["overview"]["id"], r["id"]) << r.dump();
        EXPECT_TRUE(r["shop_seen"].is_string()) << r.dump();
    }
}

TEST_F(ChainOfShops, StopOnFailureAcrossShopsLeavesTheRestUntouched) {
    const std::string csv = edited_plu();
    // The fourth register is west's second.
    refuse_upload(*regs_[3]);
    expect_stopped_at_the_fourth(
        fleet({"tables", "put", "plu", csv, "--group", "all", "--yes", "--stop-on-failure"}), "w2",
        [this](int i) { return plu_puts(i); });
}

TEST_F(ChainOfShops, BackupsAndTheDaysSalesOfRegistersOfTwoShops) {
    ToolRun r = fleet({"backup", "--group", "pair"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    Json op = r.json();
    EXPECT_EQ(states(op), (std::vector<std::string>{"succeeded", "succeeded"}));
    // Each archive stays on its shop's disk.
    for (const auto& [port, reg] : {std::pair{ports_[0], "e2"}, std::pair{ports_[2], "n1"}}) {
        http::Client c("127.0.0.1", port);
        const auto archives = c.get(std::string("/api/v1/registers/") + reg + "/archives");
        ASSERT_TRUE(archives);
        EXPECT_EQ(Json::parse(archives->body)["archives"].size(), 1u) << reg << archives->body;
    }
    r = fleet({"sales-today", "--group", "pair"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    op = r.json();
    EXPECT_EQ(states(op), (std::vector<std::string>{"succeeded", "succeeded"}));
    for (const Json& step : op["registers"])
        EXPECT_TRUE(step["result"].contains("history")) << step.dump();
    for (int i = 0; i < kRegisters; ++i) EXPECT_EQ(plu_puts(i), 0u) << name(i);
}

// DD-MM-YY of today plus days, as the reports take it.
// The head office cancels a push while one shop is away: its upload,
// queued for it, is taken back and never runs, even once the shop is back.
TEST_F(ChainOfShops, ACancelledPushTakesBackTheUploadWaitingForAShopThatIsAway) {
    const std::string csv = edited_plu();
    slow_commands(*regs_[1], 1500);  // e2, the canary: its upload takes seconds
    auto pushed = std::async(std::launch::async, [&] {
        return fleet({"tables", "put", "plu", csv, "--group", "pair", "--yes", "--canary", "1"});
    });
    const auto op_when = [this](const std::function<bool(const Json&)>& pred) {
        Json op;
        for (int i = 0; i < 600; ++i) {
            const Json list = central_.call(kHead, "GET", "/api/v1/fleet").body;
            op = list.is_object() && !list["operations"].empty() ? list["operations"][0] : Json();
            if (op.is_object() && pred(op)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return op;
    };
    const auto step_is = [](std::size_t i, const char* state) {
        return [i, state](const Json& op) { return op["registers"][i]["state"] == state; };
    };
    // north (n1's shop) goes away while the canary's upload runs; n1's
    // upload then waits in the queue.
    const std::string id = op_when(step_is(0, "running")).value("id", "");
    ASSERT_FALSE(id.empty());
    shops_[2]->kill();
    ASSERT_EQ(op_when(step_is(1, "running"))["registers"][0]["state"], "applied");

    const ToolRun r = fleet({"cancel", id});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const Json op = r.json();
    EXPECT_EQ(op["state"], "stopped");
    EXPECT_EQ(states(op), (std::vector<std::string>{"applied", "untouched"}));
    EXPECT_NE(op["reason"].get<std::string>().find("cancelled by"), std::string::npos) << op.dump();
    EXPECT_EQ(central_.job(op["registers"][1]["job"].get<std::string>())["state"], "cancelled");
    const ToolRun push = pushed.get();
    EXPECT_EQ(push.status, 1) << push.out << push.err;
    EXPECT_EQ(push.json()["state"], "stopped");
    // A second cancel finds it ended.
    EXPECT_NE(fleet({"cancel", id}).status, 0);

    // north is back and takes the chain's jobs again, but not that one.
    start_shop(2);
    const ToolRun sales = fleet({"sales-today", "--group", "pair"});
    ASSERT_EQ(sales.status, 0) << sales.out << sales.err;
    EXPECT_EQ(plu_puts(1), 1u);
    EXPECT_EQ(plu_puts(4), 0u);
}

std::string report_day(int days) {
    const std::time_t t = std::time(nullptr) + days * 86400;
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[16];
    std::strftime(text, sizeof text, "%d-%m-%y", &tm);
    return text;
}

TEST_F(ChainOfShops, EveryShopsSalesReachTheCentralReport) {
    const ToolRun r = fleet({"sales-today", "--group", "all"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string range = "from=" + report_day(-1) + "&to=" + report_day(1);
    // Each shop sends the day it kept; the central report has all six.
    Answer central;
    for (int i = 0; i < 300; ++i) {
        central = central_.call(kHead, "GET", "/api/v1/reports/sales?by=register&" + range);
        if (central.status == 200 && central.body["groups"].size() == kRegisters) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(central.status, 200) << central.body.dump();
    ASSERT_EQ(central.body["groups"].size(), static_cast<std::size_t>(kRegisters))
        << central.body.dump();
    // Each register's group is its shop's own report of it.
    for (const Json& row : central.body["groups"]) {
        const std::string reg = row["register"];
        const int shop = reg[0] == 'e' ? 0 : reg[0] == 'w' ? 1 : 2;
        http::Client c("127.0.0.1", ports_[static_cast<std::size_t>(shop)]);
        const auto own = c.get("/api/v1/reports/sales?by=register&register=" + reg + "&" + range);
        ASSERT_TRUE(own && own->status == 200) << reg;
        const Json mine = Json::parse(own->body)["groups"][0];
        EXPECT_EQ(row, mine) << reg;
        EXPECT_EQ(row["days"], 1) << reg;
    }
    // The departments over the chain are the sum of the shops'.
    const Json by_dep =
        central_.call(kHead, "GET", "/api/v1/reports/sales?by=department&" + range).body;
    std::int64_t shops_total = 0;
    for (int s = 0; s < 3; ++s) {
        http::Client c("127.0.0.1", ports_[static_cast<std::size_t>(s)]);
        const auto own = c.get("/api/v1/reports/sales?by=department&" + range);
        ASSERT_TRUE(own && own->status == 200);
        shops_total += Json::parse(own->body)["total"]["amount_cents"].get<std::int64_t>();
    }
    EXPECT_GT(shops_total, 0) << "the registers sold nothing: the test proves little";
    EXPECT_EQ(by_dep["total"]["amount_cents"].get<std::int64_t>(), shops_total);
}

// What a chain job may ask of a shop's service.
TEST(ChainRequests, OnlyAChangeToTheJobsOwnRegisterOrItsDaysSales) {
    using tool::serve::ChainRequest;
    struct Case {
        const char* what;
        Json request;
        bool taken;
    };
    const auto req = [](const char* method, const char* target) {
        return Json{{"method", method}, {"target", target}, {"body", "x"}};
    };
    const std::vector<Case> cases = {
        {"a table", req("PUT", "/api/v1/registers/r1/tables/plu?confirm=1"), true},
        {"a backup", req("POST", "/api/v1/registers/r1/backup"), true},
        {"a read", req("GET", "/api/v1/registers/r1/tables/plu"), false},
        {"the day's sales", req("GET", "/api/v1/registers/r1/sales/today"), true},
        {"the day's sales with more asked", req("GET", "/api/v1/registers/r1/sales/today?x=1"),
         false},
        {"another register's day", req("GET", "/api/v1/registers/r2/sales/today"), false},
        {"a delete", req("DELETE", "/api/v1/registers/r1/tables/plu"), false},
        {"another register", req("PUT", "/api/v1/registers/r2/tables/plu"), false},
        {"a register whose name begins alike", req("PUT", "/api/v1/registers/r10/backup"), false},
        {"the service's own settings", req("PUT", "/api/v1/schedules"), false},
        {"a way out of the register", req("PUT", "/api/v1/registers/r1/../../schedules"), false},
        {"a second line", req("PUT", "/api/v1/registers/r1/backup\r\nX: 1"), false},
        {"a body that is no text",
         {{"method", "PUT"}, {"target", "/api/v1/registers/r1/backup"}, {"body", 1}},
         false},
        {"no object", Json::array({"PUT"}), false},
    };
    for (const Case& c : cases) {
        ChainRequest out;
        std::string error;
        EXPECT_EQ(tool::serve::parse_chain_request(c.request, "r1", out, error), c.taken) << c.what;
        EXPECT_EQ(error.empty(), c.taken) << c.what;
    }
}

// The central service answers HTTPS only; a shop dials it with the chain's
// authority to trust.
class ChainShopOverHttps : public ChainShop {
protected:
    ChainShopOverHttps() { https_ = true; }
};

TEST_F(ChainShopOverHttps, AJobRunsThroughAShopThatTrustsTheCentralServicesCertificate) {
    start({"--chain", central_.url(), "--chain-token-file", central_.token_file("east"),
           "--chain-ca", certificates_.ca()});
    ASSERT_EQ(central_.url().rfind("https://", 0), 0u);
    const std::string id = push_plu("shop1", renamed_plu());
    const Json j = central_.job_when(id, ended);
    ASSERT_EQ(j["state"], "succeeded") << j.dump();
    EXPECT_EQ(j["verdict"], "applied");
    EXPECT_EQ(plu_puts(*shop1_), 1u);
    EXPECT_NE(get_csv("shop1", "plu").find("ARTICOLO CATENA"), std::string::npos);
    // Plain HTTP gets no answer there.
    http::Client plain("127.0.0.1", central_.port());
    plain.set_timeout(std::chrono::seconds(10));
    plain.set_bearer_token(kHead);
    EXPECT_FALSE(plain.get("/api/v1/chain/registers").has_value());

    // The head office's command line, trusting the chain's authority; and
    // not, without it.
    const std::vector<std::string> sales = {
        "fleet",     "sales-today",  "--group",      "pair",
        "--service", central_.url(), "--token-file", central_.head_token_file(),
        "--json"};
    std::vector<std::string> trusting = sales;
    trusting.insert(trusting.end(), {"--ca-file", certificates_.ca()});
    const ToolRun r = run_tool(trusting);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(step_states(r.json()), (std::vector<std::string>{"succeeded", "succeeded"}));
    const ToolRun refused = run_tool(sales);
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.err.find("certificate verify failed"), std::string::npos) << refused.err;
}

TEST_F(ChainShopOverHttps, AShopThatDoesNotTrustTheCertificateSendsItNothing) {
    start({"--chain", central_.url(), "--chain-token-file", central_.token_file("east"),
           "--chain-ca", certificates_.stranger_ca()});
    std::string said;
    for (int i = 0; i < 100 && said.find("does not answer") == std::string::npos; ++i)
        for (const std::string& line : log_lines()) said += line + "\n";
    EXPECT_NE(said.find("certificate verify failed"), std::string::npos) << said;
    // The shop never named its registers: its token never went out.
    const Answer registers = central_.call(kHead, "GET", "/api/v1/chain/registers");
    ASSERT_EQ(registers.status, 200);
    EXPECT_EQ(registers.body["registers"].size(), 0u) << registers.body.dump();
    EXPECT_EQ(said.find(CentralProcess::token_of("east")), std::string::npos);
}

// The command line: what the central service needs, and what is a shop's.
TEST(CentralOptions, RefusedBeforeAnythingStarts) {
    TempDir dir;
    write_file(dir.file("a.token"), kShopA);
    write_file(dir.file("short.token"), "short");
    const std::string shop = "shop-a=" + dir.file("a.token");
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;
    };
    const std::vector<Case> cases = {
        {{"serve", "--central", "--shop", shop}, 2, "--store"},
        {{"serve", "--central", "--store", "host=/nowhere"}, 2, "--shop"},
        {{"serve", "--central", "--store", "host=/nowhere", "--shop", shop, "--register",
          "r1=127.0.0.1"},
         2,
         "owns no register"},
        {{"serve", "--store", "host=/nowhere", "--register", "r1=127.0.0.1", "--shop", shop},
         2,
         "--central"},
        // A shop's journal in PostgreSQL: a schema name of ours, a database
        // that answers.
        {{"serve", "--store", "host=/nowhere", "--register", "r1=127.0.0.1", "--store-schema",
          "Shop-1"},
         2,
         "--store-schema"},
        {{"serve", "--store", "host=/nowhere", "--register", "r1=127.0.0.1", "--state-dir",
          dir.file("shop-state")},
         1,
         "cannot connect to the database"},
        {{"serve", "--central", "--store", "host=/nowhere", "--shop",
          "shop-a=" + dir.file("short.token")},
         2,
         "shorter than 16"},
        {{"serve", "--central", "--store", "host=/nowhere", "--shop", shop, "--shop",
          "shop-b=" + dir.file("a.token")},
         2,
         "another caller's"},
        {{"serve", "--central", "--store", "host=/nowhere", "--shop", "shop a=x"}, 2, "NAME"},
        {{"serve", "--central", "--store", "host=/nowhere", "--shop", shop, "--listen",
          "0.0.0.0:0"},
         2,
         "--token-file"},
        {{"serve", "--central", "--store", "host=" + dir.path().string() + "/none", "--shop", shop,
          "--listen", "127.0.0.1:0"},
         1,
         "the chain's database"},
        // HTTPS: the central service's, with both files, which must serve.
        {{"serve", "--central", "--store", "host=/nowhere", "--shop", shop, "--tls-cert",
          dir.file("a.token")},
         2,
         "go together"},
        {{"serve", "--central", "--store", "host=/nowhere", "--shop", shop, "--tls-cert",
          dir.file("a.token"), "--tls-key", dir.file("a.token")},
         2,
         "cannot use the certificate"},
        {{"serve", "--register", "r1=127.0.0.1", "--tls-cert", dir.file("a.token"), "--tls-key",
          dir.file("a.token")},
         2,
         "central service's"},
        // A shop's link: an address of http or https, an authority for https only.
        {{"serve", "--register", "r1=127.0.0.1", "--chain", "ftp://central.example",
          "--chain-token-file", dir.file("a.token")},
         2,
         "--chain"},
        {{"serve", "--register", "r1=127.0.0.1", "--chain", "http://127.0.0.1:1",
          "--chain-token-file", dir.file("a.token"), "--chain-ca", dir.file("a.token")},
         2,
         "https://"},
        {{"serve", "--register", "r1=127.0.0.1", "--chain", "https://127.0.0.1:1",
          "--chain-token-file", dir.file("a.token"), "--chain-ca", dir.file("none.pem")},
         2,
         "cannot read"},
        {{"serve", "--register", "r1=127.0.0.1", "--chain-ca", dir.file("a.token")}, 2, "--chain"},
    };
    for (const Case& c : cases) {
        const ToolRun r = run_tool(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace veltra::test
