// veltra serve against two ecrsim registers: the service runs as its own
// program with one worker process per register; the tests talk to it with
// the service's own HTTP client and with curl, and look at the registers directly.
#include "serve_fixture.hpp"

namespace veltra::test {
namespace {

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
    auto dry =
        c.put("/api/v1/registers/shop1/tables/reparti?dry_run=1", edited, "text/csv", kChange);
    ASSERT_TRUE(dry);
    ASSERT_EQ(dry->status, 200) << dry->body;
    const Json d = Json::parse(dry->body);
    EXPECT_EQ(d["result"]["changed"], 1);
    EXPECT_EQ(d["result"]["reset"], 0);
    EXPECT_EQ(d["result"]["uploaded"], false);
    EXPECT_FALSE(d["result"].contains("csv"));  // no file names of the service
    EXPECT_EQ(get_csv("shop1", "reparti"), before);

    auto put =
        c.put("/api/v1/registers/shop1/tables/reparti?confirm=1", edited, "text/csv", kChange);
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
    // A sound archive of the register (kept outside the register's own
    // transcript), and one with a byte changed; a release of the next
    // version, and one with a byte changed.
    std::string archive;
    {
        auto saved = client().post("/api/v1/registers/shop2/backup", "", "text/plain", kChange);
        ASSERT_TRUE(saved);
        ASSERT_EQ(saved->status, 200);
        archive = saved->body;
    }
    std::string bad_archive = archive;
    bad_archive[1000] ^= 1;
    const std::string version =
        get_json("/api/v1/registers/shop1/release")["result"]["version"].get<std::string>();
    ecrsim::ReleaseFields next;
    next.text = "ELT5 " + ecrsim::next_version(version);
    const ecrsim::Bytes image = ecrsim::build_release(next);
    const std::string release(image.begin(), image.end());
    std::string bad_release = release;
    bad_release[2000] ^= 1;
    const std::size_t changes = changes_of(*shop1_);
    struct Case {
        const char* what;
        const char* method;
        std::string path;
        std::string body;
        int status;
        const char* message;
        bool reads = false;  // compares with the register's table first
    };
    const Case cases[] = {
        {"malformed CSV", "PUT", "/api/v1/registers/shop1/tables/reparti?confirm=1",
         "not;a\nreparti table\n", 400, "no line of the CSV applies", true},
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
        {"31 April", "GET", "/api/v1/registers/shop1/sales?from=31-04-14&to=01-05-14", "", 400,
         "not a valid date: 31-04-14"},
        {"month 13", "GET", "/api/v1/registers/shop1/sales?from=01-01-14&to=01-13-14", "", 400,
         "not a valid date: 01-13-14"},
        {"a date of another form", "GET",
         "/api/v1/registers/shop1/sales?from=2014-01-01&to=02-01-14", "", 400, "DD-MM-YY"},
        {"no end date", "GET", "/api/v1/registers/shop1/sales?from=01-01-14", "", 400, "DD-MM-YY"},
        {"dates the wrong way round", "GET",
         "/api/v1/registers/shop1/sales?from=02-01-14&to=01-01-14", "", 400, "after"},
        {"restore without confirm", "PUT", "/api/v1/registers/shop1/backup", archive, 400,
         "confirm=1"},
        {"archive one byte short", "PUT", "/api/v1/registers/shop1/backup?confirm=1",
         archive.substr(1), 400, "exactly 7059616 bytes"},
        {"archive one byte long", "PUT", "/api/v1/registers/shop1/backup?confirm=1", archive + "x",
         413, "too large"},
        {"archive with a wrong CRC", "PUT", "/api/v1/registers/shop1/backup?confirm=1", bad_archive,
         400, "ECR_ERR_DATI_FILE_NOT_VALID"},
        {"release update without confirm", "PUT", "/api/v1/registers/shop1/release", release, 400,
         "confirm=1"},
        {"release file too large", "PUT", "/api/v1/registers/shop1/release?confirm=1",
         std::string(veltra::kReleaseMaxSize + 1, 'r'), 413, "at most 516096 bytes"},
        {"empty release file", "PUT", "/api/v1/registers/shop1/release?confirm=1", "", 400,
         "no release file"},
        {"release file with a wrong CRC", "PUT", "/api/v1/registers/shop1/release?confirm=1",
         bad_release, 400, "ECR_ERR_REL_FILE_NOT_VALID"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const std::size_t requests = shop1_->transcript().requests.size();
        auto c = client();
        std::optional<http::Client::Result> r =
            std::string(k.method) == "GET" ? c.get(k.path)
            : std::string(k.method) == "PUT"
                ? c.put(k.path, k.body, "text/csv", kChange)
                : c.post(
                      k.path, k.body,
                      k.path.find("/keys") != std::string::npos ? "application/json" : "text/plain",
                      kChange);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, k.status) << r->body;
        const Json j = Json::parse(r->body);
        EXPECT_NE(j["error"]["message"].get<std::string>().find(k.message), std::string::npos)
            << r->body;
        // Refused before the register was asked anything.
        if (!k.reads) {
            EXPECT_EQ(shop1_->transcript().requests.size(), requests);
        }
    }
    EXPECT_EQ(get_csv("shop1", "reparti"), before);
    EXPECT_EQ(changes_of(*shop1_), changes);
    EXPECT_TRUE(shop1_->transcript().keys.empty());
    EXPECT_EQ(get_json("/api/v1/registers/shop1/release")["result"]["version"], version);
}

// The files a sales call of the library leaves in dir, by name.
std::map<std::string, std::string> files_in(const TempDir& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        files[e.path().filename().string()] = read_file(e.path().string());
    return files;
}

std::map<std::string, std::string> files_of(const Json& answer) {
    std::map<std::string, std::string> files;
    for (const auto& [name, text] : answer["files"].items()) files[name] = text.get<std::string>();
    return files;
}

constexpr std::uint32_t kDay = 86400;
constexpr std::uint32_t k01032024 = 1709251200;

// Both registers get the same sales; the service asks shop1, the library
// itself asks shop2, and the two sets of files must agree.
TEST_F(ServeOnTwoRegisters, SalesComeBackAsTheLibraryWritesThem) {
    const auto tables = ecrsim::load_sales_tables(shop1_->state_dir(), ecrsim::Layout{});
    for (ecrsim::Register* r : {shop1_.get(), shop2_.get()}) {
        r->set_sales(ecrsim::sample_day(1));
        for (int d = 0; d < 3; ++d)
            r->put_file(
                "VEND" + ecrsim::oro_ddmmyy(k01032024 + d * kDay) + ".DAT",
                ecrsim::build_sales_file(ecrsim::sample_day(d), k01032024 + d * kDay, tables));
    }
    start();
    EnvVar port("ECR_TFTP_PORT", std::to_string(shop2_->tftp_port()));
    TempDir temp;
    EnvVar temp_var("TEMP", temp.path().string());
    EnvVar tmpdir_var("TMPDIR", temp.path().string());
    struct Case {
        const char* what;
        std::string path;
        std::function<std::int32_t(const char*)> direct;
        std::int32_t count;
        std::size_t files;
    };
    const std::string today = ecrsim::oro_ddmmyy(ecrsim::oro_midnight(ecrsim::oro_now()));
    const Case cases[] = {
        {"the day's sales", "/api/v1/registers/shop1/sales/today",
         [](const char* dir) { return veltra::recv_vend_corrente("127.0.0.1", dir, 50); }, 1, 2},
        // 29 February has no file: two of the three archived days are asked.
        {"two past days", "/api/v1/registers/shop1/sales?from=29-02-24&to=2-03-24",
         [](const char* dir) {
             return ecr_recv_vend_storico("127.0.0.1", dir, 29, 2, 24, 2, 3, 24);
         },
         2, 4},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const Json answer = get_json(k.path);
        ASSERT_EQ(answer["state"], "succeeded") << answer.dump();
        EXPECT_EQ(answer["result"]["count"], k.count);
        TempDir direct;
        ASSERT_EQ(k.direct(direct.path().string().c_str()), k.count);
        const auto expected = files_in(direct);
        EXPECT_EQ(expected.size(), k.files);
        EXPECT_EQ(files_of(answer), expected);
        // The job's folder is gone from the worker: the files are handed
        // out once.
        const auto again =
            client().get("/api/v1/jobs/" + answer["id"].get<std::string>() + "/output");
        ASSERT_TRUE(again);
        EXPECT_EQ(again->status, 410);
    }
    const Json today_answer = get_json("/api/v1/registers/shop2/sales/today");
    EXPECT_TRUE(today_answer["files"].contains("VEND_REP_" + today + ".CSV"))
        << today_answer.dump();
}

// A backup of shop1 (whose departments were edited) restored onto shop2
// gives shop2 the same departments; the save's progress counts the twelve
// members and their bytes.
TEST_F(ServeOnTwoRegisters, ABackupOfOneRegisterRestoresOntoTheOther) {
    start();
    std::string edited = get_csv("shop1", "reparti");
    edited.replace(edited.find("\n1;FRUTTA;"), 10, "\n1;AGRUMI;");
    auto c = client();
    auto put =
        c.put("/api/v1/registers/shop1/tables/reparti?confirm=1", edited, "text/csv", kChange);
    ASSERT_TRUE(put);
    ASSERT_EQ(put->status, 200) << put->body;
    ASSERT_NE(get_csv("shop2", "reparti"), edited);

    auto saved = c.post("/api/v1/registers/shop1/backup", "", "text/plain", kChange);
    ASSERT_TRUE(saved);
    ASSERT_EQ(saved->status, 200) << saved->body.substr(0, 400);
    EXPECT_EQ(saved->get_header_value("Content-Type"), "application/octet-stream");
    ASSERT_EQ(saved->body.size(), veltra::kArchiveSize);
    const Json job = get_json("/api/v1/jobs/" + saved->get_header_value("X-Veltra-Job"));
    EXPECT_EQ(job["progress"]["transfers"], 12);
    EXPECT_EQ(job["progress"]["file"], "TAV_MIN.BIN");
    EXPECT_EQ(job["progress"]["done"], job["progress"]["total"]);
    EXPECT_EQ(job["progress"]["total"], veltra::kArchiveBody - veltra::kHeaderSize);

    auto restored = c.put("/api/v1/registers/shop2/backup?confirm=1", saved->body,
                          "application/octet-stream", kChange);
    ASSERT_TRUE(restored);
    ASSERT_EQ(restored->status, 200) << restored->body;
    EXPECT_EQ(Json::parse(restored->body)["result"]["function"], "ecr_dati_restore");
    EXPECT_EQ(get_csv("shop2", "reparti"), edited);
}

// Two backups at once, one per register: the two workers are busy at the
// same time (both jobs start before either ends, in the service's log).
// The times go to the test's record, not into an assertion.
TEST_F(ServeOnTwoRegisters, TwoBackupsOfTwoRegistersRunAtOnce) {
    start();
    using Clock = std::chrono::steady_clock;
    const auto t0 = Clock::now();
    auto one = client().post("/api/v1/registers/shop1/backup", "", "text/plain", kChange);
    ASSERT_TRUE(one);
    ASSERT_EQ(one->status, 200);
    const double single = std::chrono::duration<double>(Clock::now() - t0).count();
    log_lines();

    // Both at once with wait=0, polled, then fetched from /output.
    const auto t1 = Clock::now();
    std::vector<std::string> ids;
    for (const char* reg : {"shop1", "shop2"}) {
        auto r = client().post(std::string("/api/v1/registers/") + reg + "/backup?wait=0", "",
                               "text/plain", kChange);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->status, 202) << r->body;
        ids.push_back(Json::parse(r->body)["id"]);
    }
    for (const std::string& id : ids) {
        const Json job = finished_job(id);
        EXPECT_EQ(job["state"], "succeeded") << job.dump();
        auto archive = client().get("/api/v1/jobs/" + id + "/output");
        ASSERT_TRUE(archive);
        EXPECT_EQ(archive->status, 200);
        EXPECT_EQ(archive->body.size(), veltra::kArchiveSize);
    }
    const double both = std::chrono::duration<double>(Clock::now() - t1).count();
    RecordProperty("one_backup_s", std::to_string(single));
    RecordProperty("two_backups_at_once_s", std::to_string(both));

    std::vector<std::string> events;  // "started jN" / "ended jN", in log order
    for (const std::string& line : log_lines()) {
        for (const std::string& id : ids) {
            if (line.find("job " + id + " ") == std::string::npos) continue;
            if (line.find(": started in worker") != std::string::npos) events.push_back("started");
            if (line.find(": succeeded") != std::string::npos) events.push_back("ended");
        }
    }
    EXPECT_EQ(events, (std::vector<std::string>{"started", "started", "ended", "ended"}));
}

TEST_F(ServeOnTwoRegisters, ReleaseIsShownAndAConfirmedUpdateInstallsTheNextVersion) {
    start();
    const Json before = get_json("/api/v1/registers/shop1/release");
    ASSERT_EQ(before["state"], "succeeded") << before.dump();
    EXPECT_EQ(before["result"]["release"], "ELT5");
    EXPECT_EQ(before["result"]["bitmap_type"], "L");
    const std::string version = before["result"]["version"];
    ASSERT_EQ(shop1_->info_values().at(0), version) << "what the register runs";
    const std::string next = ecrsim::next_version(version);

    ecrsim::ReleaseFields f;
    f.text = "ELT5 " + next;
    const ecrsim::Bytes image = ecrsim::build_release(f);
    auto c = client();
    auto r = c.put("/api/v1/registers/shop1/release?confirm=1",
                   std::string(image.begin(), image.end()), "application/octet-stream", kChange);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    const Json job = Json::parse(r->body);
    EXPECT_EQ(job["result"]["function"], "ecr_rel_update");
    EXPECT_EQ(job["progress"]["done"], static_cast<long>(image.size()));
    EXPECT_EQ(get_json("/api/v1/registers/shop1/release")["result"]["version"], next);
    EXPECT_EQ(shop1_->info_values().at(0), next);
    EXPECT_EQ(get_json("/api/v1/registers/shop2/release")["result"]["version"], version);
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
    http::Headers key = {{"Idempotency-Key", "order-4711"}, *kChange.begin()};
    auto c = client();
    auto first =
        c.post("/api/v1/registers/shop1/commands/setup-on?confirm=1", "", "text/plain", key);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->status, 200) << first->body;
    auto again =
        c.post("/api/v1/registers/shop1/commands/setup-on?confirm=1", "", "text/plain", key);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 200);
    EXPECT_EQ(again->get_header_value("Idempotent-Replayed"), "true");
    EXPECT_EQ(Json::parse(again->body)["id"], Json::parse(first->body)["id"]);
    EXPECT_EQ(setups_of(*shop1_), 1u);

    // The same key for another request is refused, nothing sent.
    auto other =
        c.post("/api/v1/registers/shop1/commands/setup-off?confirm=1", "", "text/plain", key);
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
        c.get("/api/v1/registers/shop1/display", [&](const char* data, std::size_t n) {
            std::lock_guard lock(m);
            events.append(data, n);
            return !done.load();
        });
    });
    auto c = client();
    auto r = c.post("/api/v1/registers/shop1/keys", R"({"keys":["1","2","REPARTO 1"]})",
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
    c.post("/api/v1/registers/shop1/keys", R"({"keys":["C"]})", "application/json");
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
    auto r = c.post("/api/v1/registers/shop1/commands/setup-on?confirm=1&wait=0", "", "text/plain",
                    kChange);
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
        auto r = c.post("/api/v1/registers/shop1/commands/azzdati", "", "text/plain", kChange);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, k.status) << r->body;
        EXPECT_TRUE(Json::parse(r->body).contains("error"));
    }
    auto ok = client(kToken).get("/api/v1/registers/shop1/status");
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
        // A register named by serial needs a valid range to be looked for in.
        {{"serve", "--register", "a=@SIM1"}, "give --discover-range"},
        {{"serve", "--register", "a=@SIM1", "--discover-range", "10.0.0.0/16"}, "wider than a /22"},
        {{"serve", "--register", "a=@SIM1", "--discover-range", "cassa/24"}, "is not a range"},
        // A group names configured registers, each once, under a name of its own.
        {{"serve", "--register", "a=h", "--group", "g=a,b"}, "b, which is not configured"},
        {{"serve", "--register", "a=h", "--group", "g=a,a"}, "names register a twice"},
        {{"serve", "--register", "a=h", "--group", "g=a", "--group", "g=a"}, "given twice"},
        {{"serve", "--register", "a=h", "--group", "g="}, "names no register"},
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
    // The archive as a file, its size from curl itself; the release; a
    // restore without confirm refused.
    const std::string archive = work_.file("shop2.dat");
    EXPECT_EQ(run("curl -s -o " + archive +
                  " -w '%{http_code} %{size_download}' -H 'X-Veltra-Request: 1' -d '' " + base +
                  "/api/v1/registers/shop2/backup"),
              "200 " + std::to_string(veltra::kArchiveSize));
    const Json rel = Json::parse(run("curl -s " + base + "/api/v1/registers/shop2/release"));
    EXPECT_EQ(rel["result"]["release"], "ELT5");
    const std::string refused = run("curl -s -w ' %{http_code}' -H 'X-Veltra-Request: 1' -T " +
                                    archive + " " + base + "/api/v1/registers/shop2/backup");
    EXPECT_NE(refused.find("confirm=1"), std::string::npos) << refused;
    EXPECT_EQ(refused.substr(refused.size() - 4), " 400");
}
#endif

}  // namespace
}  // namespace veltra::test
