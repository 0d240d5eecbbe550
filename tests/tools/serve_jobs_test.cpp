// veltra serve's jobs: ids nobody guesses, no job left behind by a refused
// request, a worker that died while idle replaced, work files private and
// the leftovers of a killed service removed at its next start, and (on
// Windows) no worker outliving a killed service.
#include <regex>

#include "serve_fixture.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace veltra::test {
namespace {

class ServeJobs : public ServeOnTwoRegisters {
protected:
    // The jobs of shop1 not ended yet, as the service counts them.
    long pending_of_shop1() {
        const Json list = get_json("/api/v1/registers?check=0");
        return list["registers"][0].value("pending_jobs", -1L);
    }
};

TEST_F(ServeJobs, JobIdsAre128RandomBits) {
    start();
    const std::regex form("j[0-9a-f]{32}");
    std::set<std::string> ids;
    for (int i = 0; i < 3; ++i) {
        const Json s = get_json("/api/v1/registers/shop1/status");
        const std::string id = s["id"];
        EXPECT_TRUE(std::regex_match(id, form)) << id;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 3u);
    // The ids of a counter find nothing.
    for (const char* guess : {"j1", "j2", "j3"})
        get_json(std::string("/api/v1/jobs/") + guess, 404);
}

// A read asked after the last one answered is a new read, even in the moment
// the register's queue has not yet let go of the last one.
TEST_F(ServeJobs, EachStatusReadAfterAnAnswerIsANewRead) {
    start();
    std::set<std::string> ids;
    for (int i = 0; i < 12; ++i) ids.insert(get_json("/api/v1/registers/shop1/status")["id"]);
    EXPECT_EQ(ids.size(), 12u);
}

TEST_F(ServeJobs, ARefusedChangeLeavesNoJobBehind) {
    start();
    const std::string path = "/api/v1/registers/shop1/commands/setup-on?confirm=1";
    auto c = client();
    http::Headers key = {{"Idempotency-Key", "k-1"}, *kChange.begin()};
    auto first = c.post(path, "", "text/plain", key);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->status, 200) << first->body;
    struct Case {
        const char* what;
        std::string path;
        http::Headers headers;
        int status;
    };
    const Case cases[] = {
        {"a replayed key", path, key, 200},
        {"a key used for another request", "/api/v1/registers/shop1/commands/setup-off?confirm=1",
         key, 422},
        {"a key too long",
         path,
         {{"Idempotency-Key", std::string(201, 'k')}, *kChange.begin()},
         400},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        for (int i = 0; i < 5; ++i) {
            auto r = c.post(k.path, "", "text/plain", k.headers);
            ASSERT_TRUE(r);
            EXPECT_EQ(r->status, k.status) << r->body;
        }
        EXPECT_EQ(pending_of_shop1(), 0);
    }
    EXPECT_EQ(setups_of(*shop1_), 1u);
}

#ifndef _WIN32
TEST_F(ServeJobs, AWorkerKilledWhileIdleIsReplacedAndTheNextJobRuns) {
    start();
    ASSERT_EQ(get_json("/api/v1/registers/shop1/status")["state"], "succeeded");
    const long pid = get_json("/api/v1/registers?check=0")["registers"][0]["worker_pid"];
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGKILL), 0);
    // Until the service reaps it the process stays, but its pipes are closed.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const Json s = get_json("/api/v1/registers/shop1/status");
    EXPECT_EQ(s["state"], "succeeded") << s.dump();
    const Json after = get_json("/api/v1/registers?check=0")["registers"][0];
    EXPECT_NE(after["worker_pid"].get<long>(), pid);
    EXPECT_EQ(after["worker_restarts"], 1);
}

TEST_F(ServeJobs, OldFinishedJobsGoWhileAnOlderOneIsStillPending) {
    start();
    // shop2's worker, stopped: its next job stays pending.
    ASSERT_EQ(get_json("/api/v1/registers/shop2/status")["state"], "succeeded");
    const long pid = get_json("/api/v1/registers?check=0")["registers"][1]["worker_pid"];
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGSTOP), 0);
    const Json pending = get_json("/api/v1/registers/shop2/status?wait=0", 202);
    auto c = client();
    auto key = [&] {
        auto r = c.post("/api/v1/registers/shop1/keys", R"({"keys":["C"]})", "application/json");
        EXPECT_TRUE(r && r->status == 200) << (r ? r->body : "no answer");
        return r ? Json::parse(r->body).value("id", "") : "";
    };
    const std::string first = key();
    // The service keeps 1000 jobs in memory.
    for (int i = 0; i < 1000 && !HasFailure(); ++i) {
        key();
        if (i % 100 == 0) log_lines();  // the service's log must not fill its pipe
    }
    // Gone from memory, the first job is still answered from the journal.
    EXPECT_EQ(get_json("/api/v1/jobs/" + first)["state"], "succeeded");
    EXPECT_EQ(get_json("/api/v1/jobs/" + pending["id"].get<std::string>())["state"], "running");
    kill(static_cast<pid_t>(pid), SIGCONT);
    EXPECT_EQ(finished_job(pending["id"])["state"], "succeeded");
}

// Whether pid is a process that still runs (not gone, not a zombie
// nobody reaped yet).
bool process_runs(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const auto paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] != 'Z';
}

// The work folders below base, and every file in them, with their modes.
std::map<std::string, unsigned> modes_below(const std::filesystem::path& base) {
    std::map<std::string, unsigned> modes;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(base, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        struct stat st {};
        if (lstat(it->path().c_str(), &st) == 0)
            modes[std::filesystem::relative(it->path(), base).string()] = st.st_mode & 0777;
    }
    return modes;
}

TEST_F(ServeJobs, WorkFilesArePrivateAndAKilledServiceLeavesNoneAfterItsNextStart) {
    TempDir temp;
    // The register sends the archive's members slowly: the backup is
    // still being written when the service is killed.
    shop1_->add_fault(*ecrsim::parse_tftp_fault("delay:out:40:100"));
    auto start_in_temp = [&] {
        port_ = 0;
        service_ = std::make_unique<sys::ChildProcess>(
            VELTRA_TOOL_PROGRAM,
            std::vector<std::string>{"serve", "--register", register_arg("shop1", *shop1_),
                                     "--listen", "127.0.0.1:0", "--state-dir", state_dir()},
            work_.path().string(),
            std::map<std::string, std::string>{{"TMPDIR", temp.path().string()},
                                               {"TEMP", temp.path().string()},
                                               {"TMP", temp.path().string()}});
        bool ended = false;
        // A loaded machine (the sanitizers' build beside other tests) may
        // take many seconds to start the service.
        for (int i = 0; i < 300 && port_ == 0 && !ended; ++i) {
            auto line = service_->read_line(100, 4096, ended);
            const std::string mark = "listening on http://127.0.0.1:";
            if (line && line->find(mark) != std::string::npos)
                port_ = std::stoi(line->substr(line->find(mark) + mark.size()));
        }
    };
    start_in_temp();
    ASSERT_GT(port_, 0);
    // The service's first look at the register makes work files of its
    // own, which come and go: the backup's are the ones looked for.
    for (int i = 0; i < 500; ++i) {
        const Json o = get_json("/api/v1/overview");
        if (!o["registers"].empty() && !o["registers"][0]["last_look"].is_null()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    auto r = client().post("/api/v1/registers/shop1/backup?wait=0", "", "text/plain", kChange);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 202) << r->body;
    // Wait for the archive's first member in the worker's folder.
    std::map<std::string, unsigned> modes;
    auto has_file = [&] {
        for (const auto& [name, mode] : modes)
            if (std::filesystem::is_regular_file(temp.path() / name)) return true;
        return false;
    };
    for (int i = 0; i < 1200 && !has_file(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        modes = modes_below(temp.path());
    }
    ASSERT_TRUE(has_file()) << "no work file appeared";
    for (const auto& [name, mode] : modes) {
        const bool dir = std::filesystem::is_directory(temp.path() / name);
        EXPECT_EQ(mode, dir ? 0700u : 0600u) << name;
    }
    const long worker = get_json("/api/v1/registers?check=0")["registers"][0]["worker_pid"];
    ASSERT_GT(worker, 0);
    ASSERT_EQ(kill(static_cast<pid_t>(service_->id()), SIGKILL), 0);
    service_.reset();
    // The worker goes with the service; until it has gone it could still
    // write the next member after the new service's clean-up.
    for (int i = 0; i < 400 && process_runs(worker); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ASSERT_FALSE(process_runs(worker)) << "the killed service's worker lives on";
    ASSERT_FALSE(modes_below(temp.path()).empty());
    // The next start removes what the killed one left.
    start_in_temp();
    ASSERT_GT(port_, 0);
    const long own = service_->id();
    for (const auto& [name, mode] : modes_below(temp.path()))
        EXPECT_EQ(name.rfind("veltra-" + std::to_string(own) + "-", 0), 0u) << name;
}
#endif

#ifdef _WIN32
// A service killed in the middle of a job takes its worker with it: left
// behind, the worker would go on with the register beside the next
// service's worker and hold the service's stderr.
TEST_F(ServeJobs, AKilledServiceTakesItsBusyWorkerWithIt) {
    shop1_->add_fault(*ecrsim::parse_tftp_fault("delay:out:40:100"));
    start();
    auto r = client().post("/api/v1/registers/shop1/backup?wait=0", "", "text/plain", kChange);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 202) << r->body;
    long pid = 0;  // once the worker runs the job
    for (int i = 0; i < 400 && pid == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        pid = get_json("/api/v1/registers?check=0")["registers"][0].value("worker_pid", 0L);
    }
    ASSERT_GT(pid, 0);
    HANDLE worker = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    ASSERT_NE(worker, nullptr);
    service_->kill();
    EXPECT_EQ(WaitForSingleObject(worker, 5000), WAIT_OBJECT_0) << "the worker lives on";
    CloseHandle(worker);
}
#endif

}  // namespace
}  // namespace veltra::test
