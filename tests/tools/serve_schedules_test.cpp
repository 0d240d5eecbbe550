// veltra serve's schedules as a shop meets them, on a clock the test moves
// (VELTRA_TEST_CLOCK_FILE) so that a week of nights passes in seconds: one
// archive and one sales export a night, retention, the catch-up of a slot
// missed while the service was off, and a register silent for two nights.
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "archives.hpp"
#include "faults.hpp"
#include "serve_fixture.hpp"
#include "service_clock.hpp"

namespace veltra::test {
namespace {

namespace serve = tool::serve;

// Italy's rules, written out: no zone database needed, and the same for the
// test and the service.
constexpr const char* kZone = "CET-1CEST,M3.5.0,M10.5.0/3";

class ServeSchedules : public ServeOnTwoRegisters, public ::testing::WithParamInterface<StoreKind> {
protected:
    void SetUp() override {
        zone_ = std::make_unique<EnvVar>("TZ", kZone);
        tzset();
        ServeOnTwoRegisters::SetUp();
        if (!use_store(GetParam())) GTEST_SKIP() << store_.why_not();
        // A week passes in seconds here: the registers' finished writes
        // linger a second, not the 15 s over which a real night spreads a
        // few transfers, so that they never pile up to the register's limit.
        for (auto [reg, dir] : {std::pair{&shop1_, &state1_}, {&shop2_, &state2_}}) {
            reg->reset();
            ecrsim::Options o;
            o.address = "127.0.0.1";
            o.state_dir = dir->path();
            o.busy_ms = 100;
            o.linger_ms = 1000;
            *reg = std::make_unique<ecrsim::Register>(o);
        }
        env_["TZ"] = kZone;
        env_["VELTRA_TEST_CLOCK_FILE"] = (work_.path() / "clock").string();
        set_clock(at(1, 12, 0));
    }

    // Day n of the test's week (from 2027-01-15) at h:m, local time.
    static std::int64_t at(int day, int h, int m) {
        return serve::local_ms({2027, 1, 14 + day, h, m, 0});
    }
    static std::string slot(int day) { return "2027-01-" + std::to_string(14 + day); }

    void set_clock(std::int64_t ms) { write_test_clock(work_.path() / "clock", ms); }

    void start_with(const std::string& lines) {
        const auto config = work_.path() / "veltra.conf";
        std::ofstream(config) << lines;
        start({"--config", config.string()});
    }

    void stop_service() {
        service_->kill();
        service_.reset();
        port_ = 0;
    }

    // The service's log, read as it comes so that none of it is lost.
    void read_log() {
        bool ended = false;
        while (auto line = service_->read_line(0, 8192, ended)) log_.push_back(*line);
    }
    std::size_t logged(const std::string& text) {
        read_log();
        return static_cast<std::size_t>(std::count_if(
            log_.begin(), log_.end(), [&](auto& l) { return l.find(text) != std::string::npos; }));
    }

    Json runs() { return get_json("/api/v1/schedules")["runs"]; }
    static Json run_of(const Json& runs, const std::string& schedule, const std::string& reg,
                       const std::string& day) {
        for (const Json& r : runs)
            if (r["schedule"] == schedule && r["register"] == reg && r["slot"] == day) return r;
        return nullptr;
    }
    // Waits until the run is in one of the states (else the last seen).
    Json wait_run(const std::string& schedule, const std::string& reg, const std::string& day,
                  const std::vector<std::string>& states, int seconds = 120) {
        Json r;
        for (int i = 0; i < seconds * 10; ++i) {
            read_log();
            r = run_of(runs(), schedule, reg, day);
            if (!r.is_null() && std::find(states.begin(), states.end(),
                                          r["state"].get<std::string>()) != states.end())
                return r;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << schedule << " " << reg << " " << day << " never reached its state; last "
                      << r.dump() << "\nJOB "
                      << (r.is_null() || r["job"].is_null()
                              ? std::string()
                              : get_json("/api/v1/jobs/" + r["job"].get<std::string>()).dump());
        return r;
    }
    // Both registers' runs of the slot, succeeded.
    void night(const std::string& schedule, int day) {
        for (const char* reg : {"shop1", "shop2"}) {
            const Json r = wait_run(schedule, reg, slot(day), {"succeeded", "gave_up"});
            EXPECT_EQ(r["state"], "succeeded") << r.dump();
        }
    }

    // The archive store's catalogue, as the service keeps it.
    std::vector<serve::ArchiveInfo> archives(const std::string& reg) {
        serve::Journal journal(store_.location(), serve::Journal::Access::read_only);
        serve::ArchiveStore store(journal, std::filesystem::path(state_dir()) / "archives");
        return store.list(reg);
    }

    std::vector<std::string> log_;
    std::unique_ptr<EnvVar> zone_;
};

TEST_P(ServeSchedules, AWeekOfNightsMakesSevenArchivesAndSevenExportsARegister) {
    const auto exports = work_.path() / "exports";
    start_with("schedule nightly 22:00 backup all\nschedule sales 22:30 sales-today all dir \"" +
               exports.string() + "\"\n");
    for (int day = 1; day <= 7; ++day) {
        SCOPED_TRACE("night " + std::to_string(day));
        set_clock(at(day, 22, 0));
        night("nightly", day);
        set_clock(at(day, 22, 30));
        night("sales", day);
    }
    for (const char* reg : {"shop1", "shop2"}) {
        SCOPED_TRACE(reg);
        EXPECT_EQ(archives(reg).size(), 7u);
        std::size_t days = 0;
        for (const auto& e : std::filesystem::directory_iterator(exports / reg)) {
            ++days;
            for (const auto& f : std::filesystem::directory_iterator(e.path()))
                EXPECT_NE(f.path().extension(), ".part") << f.path();
        }
        EXPECT_EQ(days, 7u);
    }
    // Each slot ran once, at its first attempt.
    const Json all = runs();
    for (int day = 1; day <= 7; ++day)
        for (const char* reg : {"shop1", "shop2"}) {
            EXPECT_EQ(run_of(all, "nightly", reg, slot(day))["attempts"], 1);
            EXPECT_EQ(run_of(all, "sales", reg, slot(day))["attempts"], 1);
        }
    EXPECT_EQ(logged("schedule_failed"), 0u);
}

TEST_P(ServeSchedules, KeepNKeepsTheNewestN) {
    start_with("schedule nightly 22:00 backup shop1 keep 2\n");
    std::vector<std::string> jobs;
    for (int day = 1; day <= 4; ++day) {
        set_clock(at(day, 22, 0));
        const Json r = wait_run("nightly", "shop1", slot(day), {"succeeded", "gave_up"});
        EXPECT_EQ(r["state"], "succeeded") << r.dump();
        jobs.push_back(r["job"].get<std::string>());
    }
    const auto kept = archives("shop1");
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].job_id, jobs[3]);
    EXPECT_EQ(kept[1].job_id, jobs[2]);
    EXPECT_TRUE(archives("shop2").empty()) << "a schedule of shop1 saved shop2";
}

// Off across the second night: the slot runs once when the service starts
// the next morning, and a second start does not run it again.
TEST_P(ServeSchedules, ASlotMissedWhileStoppedCatchesUpOnceAtStart) {
    const std::string config = "schedule nightly 22:00 tables shop1\n";
    start_with(config);
    set_clock(at(1, 22, 0));
    const Json first = wait_run("nightly", "shop1", slot(1), {"succeeded", "gave_up"});
    EXPECT_EQ(first["state"], "succeeded");
    stop_service();

    set_clock(at(2, 8, 0) + 24LL * 3'600'000);  // day 3, 08:00: day 2's slot is 10 h late
    start_with(config);
    const Json caught = wait_run("nightly", "shop1", slot(2), {"succeeded", "gave_up"});
    EXPECT_EQ(caught["state"], "succeeded");
    EXPECT_EQ(caught["attempts"], 1);
    stop_service();

    start_with(config);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const Json again = run_of(runs(), "nightly", "shop1", slot(2));
    EXPECT_EQ(again["job"], caught["job"]) << "the slot ran again";
    EXPECT_EQ(again["attempts"], 1);
    // Only the newest missed slot runs: day 1's ran, none older is invented.
    EXPECT_TRUE(run_of(runs(), "nightly", "shop1", slot(0)).is_null());
    const Json jobs = get_json("/api/v1/jobs?limit=100")["jobs"];
    EXPECT_EQ(
        std::count_if(jobs.begin(), jobs.end(),
                      [](const Json& j) { return j["kind"] == "schedule nightly tables plu"; }),
        2);
    std::size_t days = 0;
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(state_dir()) /
                                                             "exports" / "shop1"))
        days += e.is_directory();
    EXPECT_EQ(days, 2u);
}

// The tables as CSV files and the sales since the last good export, in a
// folder a day; the register's own names repeat, the days' folders do not.
TEST_P(ServeSchedules, TablesAndSalesRangeAreExportedInAFolderADay) {
    const auto exports = work_.path() / "exports";
    start_with("schedule listini 21:00 tables shop1 dir \"" + exports.string() +
               "\"\nschedule range 21:30 sales-range shop1 dir \"" + exports.string() + "\"\n");
    for (int day = 1; day <= 2; ++day) {
        SCOPED_TRACE("night " + std::to_string(day));
        set_clock(at(day, 21, 0));
        const Json t = wait_run("listini", "shop1", slot(day), {"succeeded", "gave_up"});
        EXPECT_EQ(t["state"], "succeeded") << t.dump();
        EXPECT_EQ(t["jobs"].size(), 3u);
        for (const char* table : {"plu", "reparti", "clienti"}) {
            const auto file = exports / "shop1" / slot(day) / (std::string(table) + ".csv");
            ASSERT_TRUE(std::filesystem::exists(file)) << file;
            EXPECT_GT(std::filesystem::file_size(file), 0u);
        }
        set_clock(at(day, 21, 30));
        const Json r = wait_run("range", "shop1", slot(day), {"succeeded", "gave_up"});
        EXPECT_EQ(r["state"], "succeeded") << r.dump();
        EXPECT_TRUE(std::filesystem::is_directory(exports / "shop1" / slot(day)));
    }
    // The first night asked for its own day; the second, from the day of
    // the first export to its own.
    const ecrsim::Transcript t = shop1_->transcript();
    auto asked = [&t](const std::string& day_file) {
        return std::count_if(t.requests.begin(), t.requests.end(), [&](const std::string& r) {
            return r.find(day_file) != std::string::npos;
        });
    };
    EXPECT_EQ(asked("VEND150127.DAT"), 2);
    EXPECT_EQ(asked("VEND160127.DAT"), 1);
    EXPECT_FALSE(std::filesystem::exists(exports / "shop2")) << "shop2 was not named";
}

// A schedule added now waits for its first slot: it does not run
// yesterday's at once.
TEST_P(ServeSchedules, ANewScheduleWaitsForItsFirstSlot) {
    set_clock(at(2, 9, 0));
    start_with("schedule nightly 22:00 backup shop1\n");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_TRUE(runs().empty()) << runs().dump();
    EXPECT_EQ(changes_of(*shop1_) + setups_of(*shop1_), 0u);
}

// shop2 stops answering for two nights: each night's run is tried again
// once after its back-off and then given up, once; its last good archive
// stays. Each try waits out the library's time-outs on a silent register.
// Waits out real time-outs: run on one store.
class ServeSchedulesOnSqlite : public ServeSchedules {};

TEST_P(ServeSchedulesOnSqlite, SlowASilentRegisterIsRetriedGivenUpAndKeepsItsLastArchive) {
    const std::string events = work_.file("events");
    start_with(
        "schedule nightly 22:00 backup all retries 1 retry-minutes 1\n"
        "notify " +
        notify_appending_to(events) + "\n");
    set_clock(at(1, 22, 0));
    night("nightly", 1);
    const auto good = archives("shop2");
    ASSERT_EQ(good.size(), 1u);

    ecrsim::TftpFault silent;
    silent.kind = ecrsim::FaultKind::Silent;
    silent.direction = ecrsim::Direction::In;
    silent.transfers = 0;
    shop2_->add_fault(silent);
    for (int day = 2; day <= 3; ++day) {
        SCOPED_TRACE("night " + std::to_string(day));
        set_clock(at(day, 22, 0));
        EXPECT_EQ(wait_run("nightly", "shop1", slot(day), {"succeeded"})["attempts"], 1);
        // The back-off passes on the test's clock.
        const Json retrying = wait_run("nightly", "shop2", slot(day), {"retrying"});
        EXPECT_EQ(retrying["attempts"], 1);
        EXPECT_EQ(retrying["next_try_ms"].get<std::int64_t>() -
                      retrying["updated_ms"].get<std::int64_t>(),
                  60'000);
        set_clock(retrying["next_try_ms"].get<std::int64_t>());
        const Json r = wait_run("nightly", "shop2", slot(day), {"gave_up"});
        EXPECT_EQ(r["attempts"], 2);
        EXPECT_TRUE(r["result"]["result"].is_string()) << r.dump();
    }
    // The scrape shows the register silent; the notify command heard of each
    // night given up, and of the silence once.
    auto scrape = client().get("/metrics");
    ASSERT_TRUE(scrape);
    EXPECT_NE(scrape->body.find("veltra_register_up{register=\"shop2\"} 0"), std::string::npos)
        << scrape->body;
    EXPECT_NE(scrape->body.find("veltra_register_up{register=\"shop1\"} 1"), std::string::npos);
    const auto told = [&] {
        std::map<std::string, std::vector<Json>> by_what;
        std::ifstream in(events);
        std::string line;
        while (std::getline(in, line)) {
            const Json e = Json::parse(line);
            EXPECT_EQ(e["register"], "shop2") << line;
            by_what[e["what"].get<std::string>()].push_back(e);
        }
        return by_what;
    };
    for (int i = 0; i < 100 && told()["schedule_failed"].size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto heard = told();
    ASSERT_EQ(heard["schedule_failed"].size(), 2u);
    EXPECT_EQ(heard["schedule_failed"][0]["schedule"], "nightly");
    EXPECT_EQ(heard["schedule_failed"][0]["attempts"], 2);
    EXPECT_TRUE(heard["schedule_failed"][1]["result"].is_string());
    EXPECT_EQ(heard["register_silent"].size(), 1u);
    const auto kept = archives("shop2");
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept[0].job_id, good[0].job_id);

    shop2_->clear_faults();
    set_clock(at(4, 22, 0));
    night("nightly", 4);
    EXPECT_EQ(archives("shop2").size(), 2u);
    EXPECT_EQ(told()["schedule_failed"].size(), 2u);
}

TEST_P(ServeSchedules, ThePutSetHoldsAcrossARestartAndDeleteGoesBackToTheFile) {
    start_with("schedule nightly 22:00 backup all\n");
    auto c = client();
    struct Case {
        const char* what;
        std::string path, body, type;
        int status;
    };
    const Case cases[] = {
        {"no confirm", "/api/v1/schedules", R"({"schedules": []})", "application/json", 400},
        {"a bad line names it", "/api/v1/schedules?confirm=1",
         "schedule a 22:00 backup\nschedule z 23:55 closure all\n", "text/plain", 400},
        {"an unknown register", "/api/v1/schedules?confirm=1",
         R"({"schedules": [{"name": "a", "time": "22:00", "kind": "backup", "registers": ["shop9"]}]})",
         "application/json", 400},
        {"a good set", "/api/v1/schedules?confirm=1",
         R"({"schedules": [{"name": "z", "time": "23:55", "kind": "closure", "registers": ["shop1"]}]})",
         "application/json", 200},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        auto r = c.put(k.path, k.body, k.type, kChange);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, k.status) << r->body;
        // A refused set changes nothing.
        if (k.status != 200) {
            EXPECT_EQ(get_json("/api/v1/schedules")["schedules"][0]["name"], "nightly");
        }
    }
    auto bad =
        c.put("/api/v1/schedules?confirm=1",
              "schedule a 22:00 backup\nschedule z 23:55 closure all\n", "text/plain", kChange);
    EXPECT_NE(bad->body.find("line 2"), std::string::npos) << bad->body;

    stop_service();
    start_with("schedule nightly 22:00 backup all\n");
    Json d = get_json("/api/v1/schedules");
    ASSERT_EQ(d["schedules"].size(), 1u);
    EXPECT_EQ(d["schedules"][0]["name"], "z");
    EXPECT_EQ(d["schedules"][0]["source"], "api");
    EXPECT_EQ(d["schedules"][0]["next_ms"], at(1, 23, 55));
    // The line is written as the scheduler starts, beside the listening.
    for (int i = 0; i < 250 && logged("are not used") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GT(logged("are not used"), 0u);

    auto back = client().send("DELETE", "/api/v1/schedules?confirm=1", "", "text/plain", kChange);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->status, 200) << back->body;
    d = get_json("/api/v1/schedules");
    EXPECT_EQ(d["schedules"][0]["name"], "nightly");
    EXPECT_EQ(d["source"], "config");
}

// The scheduled Z is a change like any other: it is in the audit trail with
// the schedule as who asked, and its verdict decides the run.
TEST_P(ServeSchedules, AScheduledClosureIsAChangeWithItsVerdict) {
    start_with("schedule z 23:55 closure shop1\n");
    set_clock(at(1, 23, 55));
    const Json r = wait_run("z", "shop1", slot(1), {"succeeded", "gave_up", "verifying"});
    EXPECT_EQ(r["state"], "succeeded") << r.dump();
    EXPECT_EQ(r["result"]["verdict"], "applied");
    const Json job = get_json("/api/v1/jobs/" + r["job"].get<std::string>());
    EXPECT_EQ(job["kind"], "command azzfis");
    EXPECT_EQ(job["who"], "schedule:z");
    EXPECT_EQ(job["verdict"], "applied");
    const ecrsim::Transcript t = shop1_->transcript();
    EXPECT_EQ(std::count_if(t.commands.begin(), t.commands.end(),
                            [](const std::string& c) { return c.rfind("AZZFIS", 0) == 0; }),
              1);
    EXPECT_EQ(changes_of(*shop2_), 0u) << "the closure of shop1 touched shop2";
}

INSTANTIATE_TEST_SUITE_P(Stores, ServeSchedules, ::testing::ValuesIn(store_kinds()),
                         store_kind_name);
INSTANTIATE_TEST_SUITE_P(Stores, ServeSchedulesOnSqlite, ::testing::Values(StoreKind::sqlite),
                         store_kind_name);

}  // namespace
}  // namespace veltra::test
