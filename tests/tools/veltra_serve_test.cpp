// veltra serve against two ecrsim registers: the service runs as its own
// program with one worker process per register; the tests talk to it with
// cpp-httplib's client and with curl, and look at the registers directly.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "simulator.hpp"
#include "sys/child_process.hpp"
#include "test_support.hpp"

#ifndef _WIN32
#include <signal.h>
#endif

namespace veltra::test {
namespace {

using Json = nlohmann::json;

constexpr const char* kToken = "0123456789abcdef-test-token";

std::unique_ptr<ecrsim::Register> start_register(const TempDir& dir) {
    ecrsim::Options o;
    o.address = "127.0.0.1";
    o.state_dir = dir.path();
    o.busy_ms = 100;
    return std::make_unique<ecrsim::Register>(o);
}

std::string register_arg(const std::string& name, const ecrsim::Register& r) {
    return name + "=127.0.0.1:" + std::to_string(r.tftp_port()) + ":" +
           std::to_string(r.line_port()) + ":" + std::to_string(r.keyboard_port());
}

// What changes a register: files written to it and resets (reads send
// INFO and SETUP around a download).
std::size_t changes_of(const ecrsim::Register& r) {
    const ecrsim::Transcript t = r.transcript();
    std::size_t n = 0;
    for (const std::string& c : t.commands) n += c.rfind("AZZ", 0) == 0;
    for (const auto& p : t.puts) n += p.name != "COMMAND.TXT";
    return n;
}

// How often the register was put into setup mode.
std::size_t setups_of(const ecrsim::Register& r) {
    const ecrsim::Transcript t = r.transcript();
    return static_cast<std::size_t>(std::count(t.commands.begin(), t.commands.end(), "SETUP 1"));
}

class ServeOnTwoRegisters : public ::testing::Test {
protected:
    void SetUp() override {
        shop1_ = start_register(state1_);
        shop2_ = start_register(state2_);
    }

    // Starts the service; extra: more options. Returns false when it did not
    // report its address.
    void start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"serve",
                                         "--register",
                                         register_arg("shop1", *shop1_),
                                         "--register",
                                         register_arg("shop2", *shop2_),
                                         "--listen",
                                         "127.0.0.1:0"};
        args.insert(args.end(), extra.begin(), extra.end());
        service_ = std::make_unique<sys::ChildProcess>(
            VELTRA_TOOL_PROGRAM, args, work_.path().string(), std::map<std::string, std::string>{});
        bool ended = false;
        for (int i = 0; i < 100 && !ended; ++i) {
            auto line = service_->read_line(100, 4096, ended);
            if (!line) continue;
            const std::string mark = "listening on http://127.0.0.1:";
            const auto at = line->find(mark);
            if (at == std::string::npos) continue;
            port_ = std::stoi(line->substr(at + mark.size()));
            break;
        }
        ASSERT_GT(port_, 0) << "the service did not start";
    }

    httplib::Client client(const std::string& token = "") {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(60, 0);
        if (!token.empty()) c.set_bearer_token_auth(token);
        return c;
    }

    Json get_json(const std::string& path, int expected = 200) {
        auto c = client();
        auto r = c.Get(path);
        EXPECT_TRUE(r) << path;
        if (!r) return nullptr;
        EXPECT_EQ(r->status, expected) << path << "\n" << r->body;
        EXPECT_EQ(r->get_header_value("Content-Type"), "application/json") << path;
        return Json::parse(r->body);
    }

    std::string get_csv(const std::string& reg, const std::string& table) {
        auto c = client();
        auto r = c.Get("/api/v1/registers/" + reg + "/tables/" + table);
        EXPECT_TRUE(r);
        if (!r) return "";
        EXPECT_EQ(r->status, 200) << r->body;
        EXPECT_EQ(r->get_header_value("Content-Type"), "text/csv");
        return r->body;
    }

    TempDir state1_, state2_, work_;
    std::unique_ptr<ecrsim::Register> shop1_, shop2_;
    std::unique_ptr<sys::ChildProcess> service_;
    int port_ = 0;
};

TEST_F(ServeOnTwoRegisters, ListsBothRegistersReachableWithTheirState) {
    start();
    const Json list = get_json("/api/v1/registers");
    ASSERT_EQ(list["registers"].size(), 2u);
    for (const Json& r : list["registers"]) {
        EXPECT_TRUE(r["reachable"].get<bool>()) << r.dump();
        EXPECT_EQ(r["state"], "I");
        EXPECT_GT(r["worker_pid"].get<long>(), 0);
    }
    // The two workers are two processes.
    EXPECT_NE(list["registers"][0]["worker_pid"], list["registers"][1]["worker_pid"]);
}

TEST_F(ServeOnTwoRegisters, StatusCarriesTheInfoVariablesOfEachRegister) {
    start();
    for (const char* reg : {"shop1", "shop2"}) {
        const Json s = get_json(std::string("/api/v1/registers/") + reg + "/status");
        EXPECT_EQ(s["state"], "succeeded");
        EXPECT_EQ(s["result"]["stato"], "I");
        EXPECT_GE(s["result"]["info"].size(), 22u);
        EXPECT_EQ(s["result"]["info"][2]["value"], "SIM00012345");
        // The job stays readable by its id.
        EXPECT_EQ(get_json("/api/v1/jobs/" + s["id"].get<std::string>())["state"], "succeeded");
    }
}

TEST_F(ServeOnTwoRegisters, TablePutDryRunChangesNothingAndConfirmedPutUploads) {
    start();
    const std::string before = get_csv("shop1", "reparti");
    ASSERT_NE(before.find("\n1;FRUTTA;"), std::string::npos);
    std::string edited = before;
    edited.replace(edited.find("\n1;FRUTTA;"), 10, "\n1;MELE;");
    auto c = client();
    auto dry = c.Put("/api/v1/registers/shop1/tables/reparti?dry_run=1", edited, "text/csv");
    ASSERT_TRUE(dry);
    ASSERT_EQ(dry->status, 200) << dry->body;
    const Json d = Json::parse(dry->body);
    EXPECT_EQ(d["result"]["changed"], 1);
    EXPECT_EQ(d["result"]["reset"], 0);
    EXPECT_EQ(d["result"]["uploaded"], false);
    EXPECT_FALSE(d["result"].contains("csv"));  // no file names of the service
    EXPECT_EQ(get_csv("shop1", "reparti"), before);

    auto put = c.Put("/api/v1/registers/shop1/tables/reparti?confirm=1", edited, "text/csv");
    ASSERT_TRUE(put);
    ASSERT_EQ(put->status, 200) << put->body;
    EXPECT_EQ(Json::parse(put->body)["result"]["uploaded"], true);
    EXPECT_EQ(get_csv("shop1", "reparti"), edited);
    EXPECT_EQ(get_csv("shop2", "reparti"), before);  // the other register untouched
}

// Bad input: a JSON error with a fitting status, the register unchanged.
TEST_F(ServeOnTwoRegisters, BadInputAnswersJsonErrorsAndLeavesTheRegisterAlone) {
    start();
    const std::string before = get_csv("shop1", "reparti");
    const std::size_t changes = changes_of(*shop1_);
    struct Case {
        const char* what;
        const char* method;
        std::string path;
        std::string body;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"malformed CSV", "PUT", "/api/v1/registers/shop1/tables/reparti?confirm=1",
         "not;a\nreparti table\n", 400, "no line of the CSV applies"},
        {"binary body", "PUT", "/api/v1/registers/shop1/tables/reparti?confirm=1",
         std::string("1;X\0;", 5), 400, "not a CSV"},
        {"oversized CSV", "PUT", "/api/v1/registers/shop1/tables/reparti?confirm=1",
         std::string(5u << 20, 'x'), 413, "too large"},
        {"unknown register", "GET", "/api/v1/registers/shop9/status", "", 404, "unknown register"},
        {"upload without confirm", "PUT", "/api/v1/registers/shop1/tables/reparti", before, 400,
         "confirm=1"},
        {"reset without confirm", "POST", "/api/v1/registers/shop1/commands/azzdati", "", 400,
         "confirm=1"},
        {"unknown command", "POST", "/api/v1/registers/shop1/commands/format?confirm=1", "", 404,
         "no such resource"},
        {"unknown key", "POST", "/api/v1/registers/shop1/keys", R"({"keys":["ZZZ"]})", 400,
         "unknown key"},
        {"keys not JSON", "POST", "/api/v1/registers/shop1/keys", "1,2", 400, "not JSON"},
        {"too many keys", "POST", "/api/v1/registers/shop1/keys",
         Json{{"keys", std::vector<std::string>(65, "1")}}.dump(), 400, "1 to 64"},
        {"unknown job", "GET", "/api/v1/jobs/j999999", "", 404, "unknown job"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        auto c = client();
        httplib::Result r = std::string(k.method) == "GET"   ? c.Get(k.path)
                            : std::string(k.method) == "PUT" ? c.Put(k.path, k.body, "text/csv")
                                                             : c.Post(k.path, k.body, "text/plain");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, k.status) << r->body;
        const Json j = Json::parse(r->body);
        EXPECT_NE(j["error"]["message"].get<std::string>().find(k.message), std::string::npos)
            << r->body;
    }
    EXPECT_EQ(get_csv("shop1", "reparti"), before);
    EXPECT_EQ(changes_of(*shop1_), changes);
    EXPECT_TRUE(shop1_->transcript().keys.empty());
}

TEST_F(ServeOnTwoRegisters, LibraryFailureCarriesNameValueAndMeaningSlow) {
    shop2_->stop();  // a register that does not answer
    start({"--job-seconds", "60"});
    const Json e = get_json("/api/v1/registers/shop2/status", 504);
    EXPECT_EQ(e["state"], "failed");
    EXPECT_EQ(e["error"]["name"], "ERR_TIMEOUT");
    EXPECT_EQ(e["error"]["code"], -6);
    EXPECT_EQ(e["error"]["meaning"], "no answer in time");
    EXPECT_EQ(e["error"]["function"], "ecr_get_info");
}

TEST_F(ServeOnTwoRegisters, AnIdempotentRepeatReturnsTheFirstJobAndDoesNotRepeatIt) {
    start();
    httplib::Headers key = {{"Idempotency-Key", "order-4711"}};
    auto c = client();
    auto first =
        c.Post("/api/v1/registers/shop1/commands/setup-on?confirm=1", key, "", "text/plain");
    ASSERT_TRUE(first);
    ASSERT_EQ(first->status, 200) << first->body;
    auto again =
        c.Post("/api/v1/registers/shop1/commands/setup-on?confirm=1", key, "", "text/plain");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 200);
    EXPECT_EQ(again->get_header_value("Idempotent-Replayed"), "true");
    EXPECT_EQ(Json::parse(again->body)["id"], Json::parse(first->body)["id"]);
    EXPECT_EQ(setups_of(*shop1_), 1u);

    // The same key for another request is refused, nothing sent.
    auto other =
        c.Post("/api/v1/registers/shop1/commands/setup-off?confirm=1", key, "", "text/plain");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 422);
    EXPECT_EQ(setups_of(*shop1_), 1u);
}

TEST_F(ServeOnTwoRegisters, KeysReachTheRegisterAndItsDisplayComesBack) {
    start();
    std::mutex m;
    std::string events;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        auto c = client();
        c.Get("/api/v1/registers/shop1/display", [&](const char* data, std::size_t n) {
            std::lock_guard lock(m);
            events.append(data, n);
            return !done.load();
        });
    });
    auto c = client();
    auto r = c.Post("/api/v1/registers/shop1/keys", R"({"keys":["1","2","REPARTO 1"]})",
                    "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(Json::parse(r->body)["result"]["sent"], 3);
    const std::vector<std::string> expected = {"01", "02", "0C"};
    for (int i = 0; i < 200 && shop1_->transcript().keys.size() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    EXPECT_EQ(shop1_->transcript().keys, expected);
    const std::string shown = shop1_->display();
    ASSERT_FALSE(shown.empty());
    // The display event carries the register's text (quoted as JSON).
    const std::string wanted = Json(shown + "\r\n").dump();
    bool seen = false;
    for (int i = 0; i < 200 && !seen; ++i) {
        {
            std::lock_guard lock(m);
            seen = events.find(wanted.substr(1, wanted.size() - 2)) != std::string::npos;
        }
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    done = true;
    // One more key so that the stream has something to deliver and ends.
    c.Post("/api/v1/registers/shop1/keys", R"({"keys":["C"]})", "application/json");
    reader.join();
    EXPECT_TRUE(seen) << events;
    EXPECT_TRUE(shop2_->transcript().keys.empty());
}

#ifndef _WIN32
TEST_F(ServeOnTwoRegisters, AWorkerKilledMidJobIsReportedFailedAndRestarted) {
    // The register answers a command's upload only after a while, so the
    // job is still running when its worker is killed.
    shop1_->add_fault(*ecrsim::parse_tftp_fault("delay:out:1:20000"));
    start();
    auto c = client();
    auto r = c.Post("/api/v1/registers/shop1/commands/setup-on?confirm=1&wait=0", "", "text/plain");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 202) << r->body;
    const std::string id = Json::parse(r->body)["id"];
    // The worker starts with its first job.
    long pid = 0;
    for (int i = 0; i < 200 && pid == 0; ++i) {
        pid = get_json("/api/v1/registers?check=0")["registers"][0]["worker_pid"].get<long>();
        if (pid == 0) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 200 && shop1_->transcript().requests.empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGKILL), 0);
    Json job;
    for (int i = 0; i < 400; ++i) {
        job = get_json("/api/v1/jobs/" + id);
        if (job["state"] == "failed" || job["state"] == "succeeded") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_EQ(job["state"], "failed");
    EXPECT_NE(job["error"]["message"].get<std::string>().find("restarted"), std::string::npos);
    // The next job gets a new worker.
    const Json s = get_json("/api/v1/registers/shop1/status");
    EXPECT_EQ(s["state"], "succeeded");
    const Json after = get_json("/api/v1/registers?check=0")["registers"][0];
    EXPECT_EQ(after["worker_restarts"], 1);
}

TEST_F(ServeOnTwoRegisters, AHungWorkerIsRestartedAndItsJobFailedSlow) {
    // The register holds its answer longer than the service lets a job run.
    shop1_->add_fault(*ecrsim::parse_tftp_fault("delay:out:1:5000"));
    start({"--job-seconds", "1"});
    const Json job = get_json("/api/v1/registers/shop1/status", 504);
    EXPECT_EQ(job["state"], "failed");
    EXPECT_NE(job["error"]["message"].get<std::string>().find("no answer in 1 s"),
              std::string::npos)
        << job.dump();
    EXPECT_EQ(get_json("/api/v1/registers?check=0")["registers"][0]["worker_restarts"], 1);
}
#endif

class ServeWithToken : public ServeOnTwoRegisters {};

TEST_F(ServeWithToken, EveryApiRequestNeedsTheToken) {
    write_file(work_.file("token"), std::string(kToken) + "\n");
    start({"--token-file", work_.file("token")});
    const std::size_t changes = changes_of(*shop1_);
    struct Case {
        const char* what;
        std::string token;
        int status;
    };
    for (const Case& k :
         {Case{"no token", "", 401}, Case{"wrong token", "0123456789abcdef", 401},
          Case{"longer token", std::string(kToken) + "x", 401}, Case{"right token", kToken, 400}}) {
        SCOPED_TRACE(k.what);
        auto c = client(k.token);
        // Without confirm: the right token gets as far as the confirm check.
        auto r = c.Post("/api/v1/registers/shop1/commands/azzdati", "", "text/plain");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, k.status) << r->body;
        EXPECT_TRUE(Json::parse(r->body).contains("error"));
    }
    auto ok = client(kToken).Get("/api/v1/registers/shop1/status");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
    EXPECT_EQ(changes_of(*shop1_), changes);
}

#ifndef _WIN32
// The service refuses a public address without a token, and a short token.
TEST(ServeOptions, PublicAddressNeedsAToken) {
    TempDir dir;
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    write_file(dir.file("short"), "abc\n");
    const Case cases[] = {
        {{"serve", "--register", "a=127.0.0.1", "--listen", "0.0.0.0:0"}, "needs --token-file"},
        {{"serve", "--register", "a=127.0.0.1", "--token-file", dir.file("short")},
         "shorter than 16"},
        {{"serve"}, "at least one --register"},
        {{"serve", "--register", "a/../x=127.0.0.1"}, "register name"},
        {{"serve", "--register", "a=127.0.0.1:99999"}, "not a port"},
        {{"serve", "--register", "a=h", "--register", "a=k"}, "given twice"},
    };
    // The usage errors go to stderr with exit 2: run through the shell.
    for (const Case& k : cases) {
        std::string cmd = std::string(VELTRA_TOOL_PROGRAM);
        for (const auto& a : k.args) cmd += " '" + a + "'";
        cmd += " 2>&1";
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string out;
        char buf[512];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        const int status = pclose(p);
        EXPECT_EQ(WEXITSTATUS(status), 2) << cmd;
        EXPECT_NE(out.find(k.message), std::string::npos) << out;
    }
}
#endif

#ifndef _WIN32
// curl, as a shop's scripts call the service.
TEST_F(ServeOnTwoRegisters, CurlGetsStatusAndSendsKeys) {
    if (std::system("curl --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no curl";
    start();
    const std::string base = "http://127.0.0.1:" + std::to_string(port_);
    auto run = [](const std::string& cmd) {
        FILE* p = popen(cmd.c_str(), "r");
        std::string out;
        char buf[4096];
        while (p != nullptr && std::fgets(buf, sizeof buf, p)) out += buf;
        if (p != nullptr) pclose(p);
        return out;
    };
    const Json s = Json::parse(run("curl -s " + base + "/api/v1/registers/shop2/status"));
    EXPECT_EQ(s["result"]["stato"], "I");
    const Json k =
        Json::parse(run("curl -s -H 'Content-Type: application/json' -d "
                        "'{\"keys\":[\"3\",\"TOTALE\"]}' " +
                        base + "/api/v1/registers/shop2/keys"));
    EXPECT_EQ(k["result"]["sent"], 2);
    const std::string csv = run("curl -s " + base + "/api/v1/registers/shop2/tables/reparti");
    EXPECT_EQ(csv.rfind("id_reparto;descr;", 0), 0u) << csv;
}
#endif

}  // namespace
}  // namespace veltra::test
