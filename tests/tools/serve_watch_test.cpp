// veltra serve watching its registers: the probes, the scrape as Prometheus
// reads it, a register that goes silent shown and told of once, on a clock
// the test moves.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "serve_fixture.hpp"
#include "tool_fixture.hpp"

namespace veltra::test {
namespace {

class ServeWatch : public ServeOnTwoRegisters {
protected:
    // The service's clock, moved by the test: a day passes in a write.
    void set_clock(std::int64_t ms) {
        clock_ms_ = ms;
        write_test_clock(work_.file("clock"), ms);
    }
    void advance_minutes(int minutes) { set_clock(clock_ms_ + std::int64_t{minutes} * 60000); }
    void use_test_clock() {
        set_clock(1'796'000'000'000);  // 2026-11-30, 01:53 in Rome
        env_["VELTRA_TEST_CLOCK_FILE"] = work_.file("clock");
        env_["TZ"] = "CET-1CEST,M3.5.0,M10.5.0/3";
    }

    std::string scrape(const std::string& token = "") {
        auto c = client(token);
        auto r = c.get("/metrics");
        EXPECT_TRUE(r);
        if (!r) return "";
        EXPECT_EQ(r->status, 200) << r->body;
        EXPECT_EQ(r->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
        return r->body;
    }

    // The register's entry of the overview once pred holds for it (or the
    // last one seen when it never does).
    Json overview_of(const std::string& reg, const std::function<bool(const Json&)>& pred) {
        Json entry;
        for (int i = 0; i < 600; ++i) {
            const Json o = get_json("/api/v1/overview");
            for (const Json& r : o["registers"])
                if (r["id"] == reg) entry = r;
            if (!entry.is_null() && pred(entry)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return entry;
    }

    std::vector<Json> events() {
        std::vector<Json> out;
        std::ifstream in(work_.file("events"));
        std::string line;
        while (std::getline(in, line))
            if (!line.empty()) out.push_back(Json::parse(line));
        return out;
    }

    std::string text_of(const std::string& file) {
        std::ifstream in(work_.file(file));
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::int64_t clock_ms_ = 0;
};

[[maybe_unused]] bool reachable(const Json& r) {
    return r["reachable"] == true;
}
[[maybe_unused]] bool silent(const Json& r) {
    return r["reachable"] == false;
}

TEST_F(ServeWatch, ProbesAnswerWithoutTheTokenWhileTheScrapeTakesIt) {
    write_file(work_.file("token"), std::string(kToken) + "\n");
    start({"--token-file", work_.file("token")});
    auto c = client();
    auto health = c.get("/healthz");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);
    EXPECT_EQ(health->body, "ok\n");
    auto ready = c.get("/readyz");
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->status, 200) << ready->body;
    EXPECT_EQ(Json::parse(ready->body)["ready"], true);
    auto refused = c.get("/metrics");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);
    EXPECT_NE(scrape(kToken).find("# TYPE veltra_jobs_total counter"), std::string::npos);
}

// A status asked while the service's own look at the register runs is
// answered by that look: one read of the register, and a job id the API
// finds, although nobody asked for the look.
TEST_F(ServeWatch, AStatusThatJoinsALookIsAJobTheApiFinds) {
    ecrsim::TftpFault slow;
    slow.kind = ecrsim::FaultKind::Delay;
    slow.direction = ecrsim::Direction::Out;
    slow.file = "RESPONSE.TXT";
    slow.delay_ms = 2000;
    shop1_->add_fault(slow);
    start();
    const auto infos = [&] {
        const ecrsim::Transcript t = shop1_->transcript();
        return std::count(t.commands.begin(), t.commands.end(), "INFO");
    };
    // The first look starts as the service does; under Wine on a loaded
    // machine that may take a while.
    for (int i = 0; i < 3000 && infos() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(infos(), 1) << "the look did not begin";
    auto r = client().get("/api/v1/registers/shop1/status?wait=0");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 202) << r->body;
    const std::string id = Json::parse(r->body)["id"].get<std::string>();
    Json job;
    for (int i = 0; i < 600; ++i) {
        job = get_json("/api/v1/jobs/" + id);
        if (job["state"] != "queued" && job["state"] != "running") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(job["state"], "succeeded") << job.dump();
    EXPECT_EQ(job["result"]["stato"], "I") << job.dump();
    EXPECT_EQ(infos(), 2) << "the status was read twice: it did not join the look";
}

#ifndef _WIN32
// Prometheus' own checker reads the scrape of a service that has looked at
// its registers and run jobs of two kinds, one a change.
TEST_F(ServeWatch, PromtoolAcceptsTheScrape) {
    if (std::system("command -v promtool >/dev/null 2>&1") != 0) {
        if (std::getenv("CI") != nullptr) FAIL() << "promtool is missing (Debian: prometheus)";
        GTEST_SKIP() << "promtool is missing (Debian: prometheus)";
    }
    start();
    EXPECT_EQ(overview_of("shop1", reachable)["reachable"], true);
    get_json("/api/v1/registers/shop1/status");
    auto c = client();
    auto r =
        c.post("/api/v1/registers/shop2/commands/setup-on?confirm=1", "", "text/plain", kChange);
    ASSERT_TRUE(r);
    finished_job(Json::parse(r->body)["id"]);
    // The job's answer goes out as it ends; its count follows at once, but
    // after it.
    const std::string counted =
        "veltra_jobs_total{kind=\"command setup-on\",state=\"succeeded\",verdict=\"applied\"} 1";
    std::string text = scrape();
    for (int i = 0; i < 100 && text.find(counted) == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        text = scrape();
    }
    write_file(work_.file("scrape"), text);
    const std::string command = "promtool check metrics < " + work_.file("scrape") + " > " +
                                work_.file("promtool") + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << text_of("promtool") << text;
    EXPECT_NE(text.find("veltra_register_up{register=\"shop1\"} 1"), std::string::npos) << text;
    EXPECT_NE(text.find(counted), std::string::npos) << text;
    EXPECT_NE(text.find("veltra_job_duration_seconds_count{kind=\"status\"}"), std::string::npos)
        << text;
    EXPECT_NE(text.find("veltra_register_setup_mode{register=\"shop1\"} 0"), std::string::npos)
        << text;
}

// A register that stops answering shows as silent since the look that found
// it so, in the overview and the scrape; the notify command hears of it
// once, however long it lasts, and the register is back when it answers.
TEST_F(ServeWatch, SlowASilentRegisterShowsAndIsNotifiedOnce) {
    use_test_clock();
    start({"--look-minutes", "1", "--silent-minutes", "10", "--notify",
           notify_appending_to(work_.file("events"))});
    ASSERT_EQ(overview_of("shop2", reachable)["reachable"], true);

    shop2_->add_fault(*ecrsim::parse_tftp_fault("silent"));
    advance_minutes(2);
    const std::int64_t silenced_ms = clock_ms_;
    const Json gone = overview_of("shop2", silent);
    ASSERT_EQ(gone["reachable"], false) << gone.dump();
    EXPECT_FALSE(gone["silent_since"].is_null());
    EXPECT_FALSE(gone["result"].is_null());
    EXPECT_EQ(overview_of("shop1", reachable)["reachable"], true);
    const std::string text = scrape();
    EXPECT_NE(text.find("veltra_register_up{register=\"shop2\"} 0"), std::string::npos) << text;
    EXPECT_NE(text.find("veltra_register_silent_since_timestamp_seconds{register=\"shop2\"} " +
                        std::to_string(silenced_ms / 1000)),
              std::string::npos)
        << text;
    EXPECT_TRUE(events().empty()) << "told before the limit";

    // The look that finds the limit passed waits out the library's
    // time-outs on the silent register first: under the sanitizers, on a
    // loaded machine, that has taken more than 30 s.
    advance_minutes(11);
    for (int i = 0; i < 900 && events().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    advance_minutes(30);  // more looks, still silent: nothing more to tell
    overview_of("shop2", [&](const Json& r) { return r["last_look"] != gone["last_look"]; });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto told = events();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0]["what"], "register_silent");
    EXPECT_EQ(told[0]["register"], "shop2");
    EXPECT_EQ(told[0]["since_ms"], silenced_ms);
    EXPECT_TRUE(told[0]["verdict"].is_null());
    EXPECT_FALSE(told[0]["result"].get<std::string>().empty());

    shop2_->clear_faults();
    advance_minutes(2);
    EXPECT_EQ(overview_of("shop2", reachable)["reachable"], true);
    EXPECT_NE(scrape().find("veltra_register_up{register=\"shop2\"} 1"), std::string::npos);
}
#endif

}  // namespace
}  // namespace veltra::test
