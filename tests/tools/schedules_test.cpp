// Schedules on their own: the lines the configuration file and the API take,
// the slot of a day and the next one across midnight and summer time, which
// missed slots still run, and the journal's rows that make a slot run once.
#include "schedules.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>

#include "test_support.hpp"

namespace veltra::test {
namespace {

using namespace tool::serve;

// The shop's clock: Italy's rules, written out so that no zone database is needed.
class ItalianTime : public ::testing::Environment {
public:
    void SetUp() override {
        zone_ = std::make_unique<EnvVar>("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
        tzset();
    }

private:
    std::unique_ptr<EnvVar> zone_;
};
const auto* const kZone = ::testing::AddGlobalTestEnvironment(new ItalianTime);

std::int64_t at(int y, int mo, int d, int h, int mi) {
    return local_ms({y, mo, d, h, mi, 0});
}

Schedule parsed(const std::string& line) {
    Schedule s;
    std::string error;
    EXPECT_TRUE(parse_schedule(line, s, error)) << line << ": " << error;
    return s;
}

struct GoodLine {
    const char* name;
    const char* line;
    const char* text;  // as schedule_text writes it back
    ScheduleKind kind;
    int hour, minute;
    std::vector<std::string> registers;
};

class GoodLines : public ::testing::TestWithParam<GoodLine> {};

TEST_P(GoodLines, AreReadAndWrittenBack) {
    const GoodLine& c = GetParam();
    const Schedule s = parsed(c.line);
    EXPECT_EQ(s.kind, c.kind);
    EXPECT_EQ(s.hour, c.hour);
    EXPECT_EQ(s.minute, c.minute);
    EXPECT_EQ(s.registers, c.registers);
    EXPECT_EQ(schedule_text(s), c.text);
    // The text and the JSON read back to the same schedule.
    EXPECT_EQ(parsed(schedule_text(s)), s);
    Schedule from_json;
    std::string error;
    ASSERT_TRUE(schedule_from_json(schedule_json(s), from_json, error)) << error;
    EXPECT_EQ(from_json, s);
}

INSTANTIATE_TEST_SUITE_P(
    Schedules, GoodLines,
    ::testing::Values(GoodLine{"BackupOfAll",
                               "nightly 23:30 backup all keep 30",
                               "nightly 23:30 backup all keep 30",
                               ScheduleKind::kBackup,
                               23,
                               30,
                               {}},
                      GoodLine{"RetentionInAnyOrder",
                               "nightly 23:30 backup keep-days 14 keep 3",
                               "nightly 23:30 backup all keep 3 keep-days 14",
                               ScheduleKind::kBackup,
                               23,
                               30,
                               {}},
                      GoodLine{"SalesToAWindowsFolder",
                               R"(sales 23:45 sales-today all dir D:\Vendite)",
                               R"(sales 23:45 sales-today all dir "D:\Vendite")",
                               ScheduleKind::kSalesToday,
                               23,
                               45,
                               {}},
                      GoodLine{"RangeToAQuotedFolder",
                               R"(range 7:05 sales-range shop1 dir "C:\Punto vendita\Vendite")",
                               R"(range 07:05 sales-range shop1 dir "C:\Punto vendita\Vendite")",
                               ScheduleKind::kSalesRange,
                               7,
                               5,
                               {"shop1"}},
                      GoodLine{"ClosureOfTwo",
                               "z 23:55 closure shop1,shop2 retries 1 retry-minutes 2",
                               "z 23:55 closure shop1,shop2 retries 1 retry-minutes 2",
                               ScheduleKind::kClosure,
                               23,
                               55,
                               {"shop1", "shop2"}},
                      GoodLine{"TablesOfAllByDefault",
                               "t 00:00 tables",
                               "t 00:00 tables all",
                               ScheduleKind::kTables,
                               0,
                               0,
                               {}}),
    [](const ::testing::TestParamInfo<GoodLine>& info) { return std::string(info.param.name); });

TEST(Schedules, BadLinesSayWhy) {
    struct Case {
        const char* line;
        const char* why;
    };
    const Case cases[] = {
        {"nightly 23:30", "NAME HH:MM KIND"},
        {"night/ly 23:30 backup", "schedule's name"},
        {"nightly 24:00 backup", "HH:MM"},
        {"nightly 23:60 backup", "HH:MM"},
        {"nightly 2330 backup", "HH:MM"},
        {"nightly 23:30 restore", "kind is backup"},
        {"z 23:55 closure", "closure names its registers"},
        {"z 23:55 closure all", "closure names its registers"},
        {"z 23:55 closure retries 2", "closure names its registers"},
        {"nightly 23:30 backup shop1,shop1", "named twice"},
        {"nightly 23:30 backup shop1,", "NAME,NAME"},
        {"nightly 23:30 backup all keep", "keep needs a value"},
        {"nightly 23:30 backup all keep -1", "keep takes a number"},
        {"nightly 23:30 backup all retries 11", "from 0 to 10"},
        {"nightly 23:30 backup all retry-minutes 0", "from 1 to 1440"},
        {"nightly 23:30 backup all dir /tmp", "dir applies to sales and tables"},
        {"sales 23:45 sales-today all keep 3", "keep applies to backups"},
        {"sales 23:45 sales-today all dir \"/tmp", "quote is not closed"},
        {"sales 23:45 sales-today all every 3", "unknown option every"},
    };
    for (const Case& c : cases) {
        Schedule s;
        std::string error;
        EXPECT_FALSE(parse_schedule(c.line, s, error)) << c.line;
        EXPECT_NE(error.find(c.why), std::string::npos) << c.line << ": " << error;
    }
}

TEST(Schedules, ASetNamesEachScheduleOnceAndOnlyServedRegisters) {
    const std::vector<std::string> served = {"shop1", "shop2"};
    struct Case {
        std::vector<const char*> lines;
        const char* why;  // "" when the set is good
    };
    const Case cases[] = {
        {{"a 23:00 backup", "b 23:00 closure shop2"}, ""},
        {{"a 23:00 backup", "a 23:10 tables"}, "given twice"},
        {{"a 23:00 backup shop3"}, "no register shop3"},
    };
    for (const Case& c : cases) {
        std::vector<Schedule> set;
        for (const char* line : c.lines) set.push_back(parsed(line));
        std::string error;
        EXPECT_EQ(check_schedules(set, served, error), *c.why == '\0') << error;
        EXPECT_NE(error.find(c.why), std::string::npos) << error;
    }
}

TEST(Schedules, JsonWithWrongFieldsIsRefused) {
    const Json cases[] = {
        Json::array(),
        {{"name", "a"}, {"time", "23:00"}, {"kind", "backup"}, {"registers", 3}},
        {{"name", "a"}, {"time", "23:00"}, {"kind", "backup"}, {"keep", "30"}},
        {{"name", "a b"}, {"time", "23:00"}, {"kind", "backup"}},
        {{"name", "a"}, {"time", "23:00\" keep \"3"}, {"kind", "backup"}},
        {{"name", "z"}, {"time", "23:00"}, {"kind", "closure"}},
    };
    for (const Json& j : cases) {
        Schedule s;
        std::string error;
        EXPECT_FALSE(schedule_from_json(j, s, error)) << j.dump();
        EXPECT_FALSE(error.empty());
    }
}

// The slot due at a moment, and the next one, around midnight and the
// nights the clocks change.
TEST(Schedules, SlotsFollowTheLocalCalendar) {
#ifdef _WIN32
    GTEST_SKIP() << "the Windows C runtime takes no POSIX zone rules: there the service follows "
                    "the system's time zone";
#endif
    struct Case {
        const char* what;
        const char* line;
        std::int64_t now;
        Day due;
        std::int64_t next;
    };
    const Case cases[] = {
        {"before the time: yesterday's is due",
         "n 23:30 backup",
         at(2027, 1, 15, 23, 29),
         {2027, 1, 14},
         at(2027, 1, 15, 23, 30)},
        {"at the time: today's",
         "n 23:30 backup",
         at(2027, 1, 15, 23, 30),
         {2027, 1, 15},
         at(2027, 1, 16, 23, 30)},
        {"after midnight: still yesterday's",
         "n 23:30 backup",
         at(2027, 1, 16, 0, 10),
         {2027, 1, 15},
         at(2027, 1, 16, 23, 30)},
        {"at midnight: the new day's",
         "m 00:00 tables",
         at(2027, 1, 16, 0, 0),
         {2027, 1, 16},
         at(2027, 1, 17, 0, 0)},
        {"the last day of a year",
         "n 23:30 backup",
         at(2027, 12, 31, 23, 31),
         {2027, 12, 31},
         at(2028, 1, 1, 23, 30)},
        {"a leap day",
         "n 06:00 backup",
         at(2028, 2, 29, 5, 0),
         {2028, 2, 28},
         at(2028, 2, 29, 6, 0)},
        // 2027-03-28: 02:00 becomes 03:00; the day is 23 hours long.
        {"a night that loses an hour",
         "n 23:30 backup",
         at(2027, 3, 27, 23, 45),
         {2027, 3, 27},
         at(2027, 3, 28, 23, 30)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Schedule s = parsed(c.line);
        EXPECT_EQ(due_day(s, c.now), c.due);
        EXPECT_EQ(next_slot_ms(s, c.now), c.next);
        EXPECT_GT(c.next, c.now);
    }
    const Schedule n = parsed("n 23:30 backup");
    EXPECT_EQ(slot_ms(n, {2027, 3, 28}) - slot_ms(n, {2027, 3, 27}), 23LL * 3'600'000);
    EXPECT_EQ(slot_ms(n, {2027, 10, 31}) - slot_ms(n, {2027, 10, 30}), 25LL * 3'600'000);
    EXPECT_EQ(day_text(add_days({2027, 12, 31}, 1)), "2028-01-01");
    EXPECT_EQ(day_text(add_days({2028, 3, 1}, -1)), "2028-02-29");
}

// A missed slot: a read catches up within 24 h of it; a closure only on
// its own day, and never before its time.
TEST(Schedules, MissedSlotsOfReadsCatchUpAClosureOnlyOnItsDay) {
    struct Case {
        const char* what;
        const char* line;
        Day slot;
        std::int64_t now;
        bool runs;
    };
    const Day d = {2027, 1, 15};
    const Case cases[] = {
        {"a backup before its time", "n 23:30 backup", d, at(2027, 1, 15, 23, 29), false},
        {"a backup at its time", "n 23:30 backup", d, at(2027, 1, 15, 23, 30), true},
        {"a backup the next morning", "n 23:30 backup", d, at(2027, 1, 16, 8, 0), true},
        {"a backup 24 h late", "n 23:30 backup", d, at(2027, 1, 16, 23, 30), false},
        {"sales the next morning", "s 23:45 sales-today", d, at(2027, 1, 16, 8, 0), true},
        {"a closure at its time", "z 23:55 closure shop1", d, at(2027, 1, 15, 23, 55), true},
        {"a closure before midnight", "z 23:55 closure shop1", d, at(2027, 1, 15, 23, 59), true},
        {"a closure after midnight", "z 23:55 closure shop1", d, at(2027, 1, 16, 0, 0), false},
        {"a closure the next morning", "z 23:55 closure shop1", d, at(2027, 1, 16, 8, 0), false},
        {"a morning closure that afternoon", "z 07:00 closure shop1", d, at(2027, 1, 15, 15, 0),
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(still_runs(parsed(c.line), c.slot, c.now), c.runs);
    }
}

TEST(Schedules, LocalTimesCarryTheirOffset) {
#ifdef _WIN32
    GTEST_SKIP() << "the Windows C runtime takes no POSIX zone rules: there the service follows "
                    "the system's time zone";
#endif
    EXPECT_EQ(iso_local(at(2027, 1, 15, 23, 30)), "2027-01-15T23:30:00+01:00");
    EXPECT_EQ(iso_local(at(2027, 7, 15, 23, 30)), "2027-07-15T23:30:00+02:00");
}

// The rows that decide: a slot is claimed once, whoever asks again and
// however often the journal is opened.
TEST(ScheduleRuns, ASlotIsClaimedOnceAcrossReopens) {
    TempDir dir;
    ScheduleRun run;
    run.schedule = "nightly";
    run.register_name = "shop1";
    run.slot = "2027-01-15";
    run.slot_ms = at(2027, 1, 15, 23, 30);
    run.state = "running";
    run.updated_ms = run.slot_ms;
    {
        Journal j(dir.path());
        EXPECT_FALSE(j.ran_before("nightly", "shop1"));
        EXPECT_TRUE(j.claim_run(run));
        EXPECT_FALSE(j.claim_run(run));
        ScheduleRun other = run;
        other.register_name = "shop2";
        EXPECT_TRUE(j.claim_run(other));
        run.state = "succeeded";
        run.attempts = 2;
        run.updated_ms += 60'000;
        j.update_run(run);
    }
    Journal j(dir.path());
    EXPECT_FALSE(j.claim_run(run));
    EXPECT_TRUE(j.ran_before("nightly", "shop1"));
    const auto kept = j.find_run("nightly", "shop1", "2027-01-15");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->state, "succeeded");
    EXPECT_EQ(kept->attempts, 2);
    EXPECT_EQ(j.last_success("nightly", "shop1"), run.updated_ms);
    EXPECT_FALSE(j.last_success("nightly", "shop2"));
    const auto open = j.open_runs();
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].register_name, "shop2");
    EXPECT_EQ(j.recent_runs(10).size(), 2u);
}

TEST(ScheduleRuns, TheApiSetHoldsEvenEmptyUntilCleared) {
    TempDir dir;
    Journal j(dir.path());
    EXPECT_FALSE(j.api_schedules());
    j.set_api_schedules({{"a", "a 23:00 backup all"}, {"b", "b 23:10 tables all"}}, 1);
    EXPECT_EQ(j.api_schedules(),
              (std::vector<std::string>{"a 23:00 backup all", "b 23:10 tables all"}));
    j.set_api_schedules({}, 2);
    ASSERT_TRUE(j.api_schedules());
    EXPECT_TRUE(j.api_schedules()->empty());
    j.clear_api_schedules();
    EXPECT_FALSE(j.api_schedules());
}

}  // namespace
}  // namespace veltra::test
