// The service's watching pieces on their own: the scrape's text, the
// notifier's command, the local time the events carry.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "metrics.hpp"
#include "notifier.hpp"
#include "service_clock.hpp"
#include "test_support.hpp"

namespace veltra::tool::serve {
namespace {

using veltra::test::TempDir;

std::shared_ptr<Job> ended_job(const std::string& op, JobState state, std::int64_t took_ms,
                               bool change = false, const std::string& verdict = "") {
    auto job = std::make_shared<Job>();
    job->kind = op;
    job->request = {{"op", op}};
    job->state = state;
    job->change = change;
    job->verdict = verdict;
    job->started_ms = 1'000'000;
    job->ended_ms = job->started_ms + took_ms;
    return job;
}

bool has_line(const std::string& text, const std::string& line) {
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        if (l == line) return true;
    return false;
}

TEST(Metrics, LabelValuesAreEscapedAsTheTextFormatAsks) {
    struct Case {
        const char* in;
        const char* out;
    };
    for (const Case& c : {Case{"shop1", "\"shop1\""}, Case{"a\"b", "\"a\\\"b\""},
                          Case{"a\\b", "\"a\\\\b\""}, Case{"a\nb", "\"a\\nb\""}, Case{"", "\"\""}})
        EXPECT_EQ(label_value(c.in), c.out) << c.in;
}

// Each job falls in every bucket at or above its duration, once.
TEST(Metrics, DurationsFillTheirBucketsAndTheCountsSplitByStateAndVerdict) {
    Metrics m;
    m.job_ended(*ended_job("backup-save", JobState::kSucceeded, 3000));
    m.job_ended(*ended_job("backup-save", JobState::kFailed, 40));
    m.job_ended(*ended_job("command", JobState::kFailed, 200, true, ""));
    auto never_ran = ended_job("status", JobState::kCancelled, 0);
    never_ran->started_ms = 0;
    m.job_ended(*never_ran);
    const std::string t = m.text({}, 0, 2, 1);
    EXPECT_TRUE(
        has_line(t, "veltra_job_duration_seconds_bucket{kind=\"backup-save\",le=\"0.1\"} 1"))
        << t;
    EXPECT_TRUE(
        has_line(t, "veltra_job_duration_seconds_bucket{kind=\"backup-save\",le=\"2.5\"} 1"))
        << t;
    EXPECT_TRUE(has_line(t, "veltra_job_duration_seconds_bucket{kind=\"backup-save\",le=\"5\"} 2"))
        << t;
    EXPECT_TRUE(
        has_line(t, "veltra_job_duration_seconds_bucket{kind=\"backup-save\",le=\"+Inf\"} 2"))
        << t;
    EXPECT_TRUE(has_line(t, "veltra_job_duration_seconds_sum{kind=\"backup-save\"} 3.04")) << t;
    EXPECT_TRUE(
        has_line(t, "veltra_jobs_total{kind=\"backup-save\",state=\"failed\",verdict=\"\"} 1"))
        << t;
    // A change that ended without a verdict is counted as unknown, never as
    // one that did not happen.
    EXPECT_TRUE(
        has_line(t, "veltra_jobs_total{kind=\"command\",state=\"failed\",verdict=\"unknown\"} 1"))
        << t;
    EXPECT_TRUE(
        has_line(t, "veltra_jobs_total{kind=\"status\",state=\"cancelled\",verdict=\"\"} 1"))
        << t;
    EXPECT_EQ(t.find("veltra_job_duration_seconds_count{kind=\"status\"}"), std::string::npos) << t;
    EXPECT_TRUE(has_line(t, "veltra_notifications_total{outcome=\"sent\"} 2")) << t;
    EXPECT_TRUE(has_line(t, "veltra_notifications_total{outcome=\"failed\"} 1")) << t;
}

// A register is shown by what is known of it: nothing is reported as 0 or
// as "up" before a look has said so.
TEST(Metrics, ARegisterShowsOnlyWhatItsLooksFound) {
    RegisterFacts never;
    never.name = "new";
    RegisterFacts silent;
    silent.name = "old";
    silent.look.looked = true;
    silent.look.answered = false;
    silent.look.last_answer_ms = 1'000'000;
    silent.look.silent_since_ms = 2'000'000;
    silent.look.state = "S";
    silent.look.setup = true;
    silent.last_backup_ms = 500'000;
    const std::string t = Metrics().text({never, silent}, 3'500'000, 0, 0);
    EXPECT_EQ(t.find("veltra_register_setup_mode{register=\"new\"}"), std::string::npos) << t;
    EXPECT_EQ(t.find("veltra_register_up{register=\"new\"}"), std::string::npos) << t;
    EXPECT_TRUE(has_line(t, "veltra_register_up{register=\"old\"} 0")) << t;
    EXPECT_TRUE(
        has_line(t, "veltra_register_silent_since_timestamp_seconds{register=\"old\"} 2000"))
        << t;
    EXPECT_TRUE(has_line(t, "veltra_register_last_answer_timestamp_seconds{register=\"old\"} 1000"))
        << t;
    EXPECT_TRUE(has_line(t, "veltra_register_setup_mode{register=\"old\"} 1")) << t;
    EXPECT_TRUE(has_line(t, "veltra_backup_last_good_age_seconds{register=\"old\"} 3000")) << t;
    EXPECT_EQ(t.find("veltra_sales_export_last_age_seconds{"), std::string::npos) << t;
}

#ifndef _WIN32
class NotifierCommand : public ::testing::Test {
protected:
    std::vector<std::string> logged_;
    std::mutex m_;
    std::function<void(const std::string&)> log() {
        return [this](const std::string& l) {
            const std::lock_guard lock(m_);
            logged_.push_back(l);
        };
    }
    TempDir dir_;
};

// Each event reaches the command as one JSON line on its input, in order;
// a command that fails is counted and logged, and the next still runs.
TEST_F(NotifierCommand, EachEventIsOneLineOnTheCommandsInput) {
    const std::string file = dir_.file("got");
    {
        Notifier n("cat >> '" + file + "'; test \"$(wc -l < '" + file + "')\" -ne 2", log());
        n.notify({{"what", "register_silent"}, {"register", "shop1"}});
        n.notify({{"what", "schedule_failed"}, {"register", "shop2"}, {"text", "a\nb"}});
        n.notify({{"what", "register_silent"}, {"register", "shop3"}});
        for (int i = 0; i < 200 && n.sent() + n.failed() < 3; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        EXPECT_EQ(n.sent(), 2u);
        EXPECT_EQ(n.failed(), 1u);
    }
    std::ifstream in(file);
    std::vector<nlohmann::json> got;
    std::string line;
    while (std::getline(in, line)) got.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0]["register"], "shop1");
    EXPECT_EQ(got[1]["text"], "a\nb");
    EXPECT_EQ(got[2]["register"], "shop3");
    const std::lock_guard lock(m_);
    EXPECT_NE(std::find_if(logged_.begin(), logged_.end(),
                           [](const std::string& l) {
                               return l.find("exit status 1") != std::string::npos;
                           }),
              logged_.end());
}
#endif

// The offset follows the rule of the zone, summer time included.
TEST(ServiceClock, LocalTimesCarryTheirOffset) {
#ifdef _WIN32
    GTEST_SKIP() << "the Windows C runtime takes no POSIX zone rules: there the service follows "
                    "the system's time zone";
#endif
    {
        const veltra::test::EnvVar zone("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
        tzset();
        EXPECT_EQ(iso_local(0), "1970-01-01T01:00:00+01:00");
        EXPECT_EQ(iso_local(1'783'000'000'000), "2026-07-02T15:46:40+02:00");
        const LocalTime t = local_time(1'796'000'000'000);
        EXPECT_EQ(local_ms(t), 1'796'000'000'000);
    }
    {
        const veltra::test::EnvVar zone("TZ", "UTC0");
        tzset();
        EXPECT_EQ(iso_local(1'796'000'000'500), "2026-11-30T00:53:20+00:00");
    }
    tzset();
}

}  // namespace
}  // namespace veltra::tool::serve
