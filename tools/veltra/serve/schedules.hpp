// The evening's work the service does on its own: schedules ("schedule
// nightly 23:30 backup all keep 30"), the slot each one has per local day,
// and the scheduler that runs them, each run decided by a row of the journal
// written before its job starts.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "answers.hpp"
#include "archives.hpp"
#include "config.hpp"
#include "journal.hpp"
#include "service_clock.hpp"

namespace veltra::tool::serve {

class Routes;
class JobStore;
struct Job;
struct Register;

const char* kind_name(ScheduleKind k);
// The reads change nothing on a register; a closure (AZZFIS) does.
inline bool is_read_kind(ScheduleKind k) {
    return k != ScheduleKind::kClosure;
}

// "NAME HH:MM KIND [REGISTERS|all] [options]", what follows the word
// "schedule" on a line. False with error set when wrong.
bool parse_schedule(const std::string& text, Schedule& out, std::string& error);
// The line back, as parse_schedule reads it.
std::string schedule_text(const Schedule& s);
Json schedule_json(const Schedule& s);
// The same fields as schedule_json writes ("name", "time", "kind",
// "registers": [...] or "all", "keep", "keep_days", "dir", "retries",
// "retry_minutes").
bool schedule_from_json(const Json& j, Schedule& out, std::string& error);
// A set as a whole: names once each, registers the service has.
bool check_schedules(const std::vector<Schedule>& set, const std::vector<std::string>& registers,
                     std::string& error);

// A local calendar day.
struct Day {
    int year = 0, month = 0, day = 0;
    bool operator==(const Day&) const = default;
};
Day day_of(std::int64_t ms);
Day add_days(Day d, int n);
std::string day_text(const Day& d);  // "2026-12-09"
// When the schedule's slot of that day is due.
std::int64_t slot_ms(const Schedule& s, const Day& d);
// The first slot after now.
std::int64_t next_slot_ms(const Schedule& s, std::int64_t now);
// The newest slot already due at now: today's, or yesterday's before its time.
Day due_day(const Schedule& s, std::int64_t now);
// Whether a slot not run yet still runs at now: a read within 24 h of its
// slot; a closure only on the slot's own local day, since a Z the next
// morning would close the new day's sales. The same bound ends retries.
bool still_runs(const Schedule& s, const Day& slot_day, std::int64_t now);

// The service's schedules and their runs.
class Scheduler {
public:
    using Hook = std::function<void(const Json&)>;
    using Log = std::function<void(const std::string&)>;

    Scheduler(Journal& journal, JobStore& store, std::map<std::string, Register>& registers,
              Routes& routes, ArchiveStore& archives, Log log);
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Called once per run that fails for good, on the scheduler's thread:
    // {"what": "schedule_failed", "schedule", "kind", "register", "since",
    // "since_ms", "attempts", "job", "verdict", "result"}. Set before start().
    void set_on_gave_up(Hook hook) { on_gave_up_ = std::move(hook); }
    // The configuration file's set; the API's, once set, holds instead.
    void start(std::vector<Schedule> from_config);
    void stop();

    // GET /api/v1/schedules.
    Json describe();
    // kind: a schedule kind, or "sales" for both sales kinds. Service clock.
    std::optional<std::int64_t> last_success_ms(const std::string& reg, const std::string& kind);
    std::optional<std::int64_t> next_run_ms(const std::string& reg);
    // The API's set replaces the one in use, and is kept in the journal.
    bool replace(std::vector<Schedule> set, std::string& error);
    // Back to the configuration file's set.
    void use_config();
    // One look at the clock: what is due starts, what ended is settled.
    void tick();

private:
    struct Flight;  // one attempt's jobs in progress

    std::vector<Schedule> current();
    std::vector<std::string> registers_of(const Schedule& s) const;
    std::optional<Schedule> find(const std::string& name);
    void settle_interrupted();
    void start_due(const Schedule& s, const std::string& reg, std::int64_t now);
    void attempt(const Schedule& s, ScheduleRun run, std::int64_t now);
    void ended(Flight& f, Job& job);
    void settle(Flight& f, std::int64_t now);
    void check_verdict(const Schedule& s, const ScheduleRun& run, std::int64_t now);
    void failed(const Schedule& s, ScheduleRun run, const Json& result, std::int64_t now,
                bool may_retry);
    void gave_up(const Schedule& s, const ScheduleRun& run);
    // Keeps a finished read's archive or files where the schedule keeps
    // them; ok and failure say whether that went well.
    Json keep_output(const Schedule& s, const std::string& reg, const std::string& day, Job& job,
                     bool& ok, Json& failure);
    std::filesystem::path export_dir(const Schedule& s, const std::string& reg,
                                     const std::string& day) const;

    Journal& journal_;
    JobStore& store_;
    std::map<std::string, Register>& registers_;
    Routes& routes_;
    ArchiveStore& archives_;
    Log log_;
    Hook on_gave_up_;

    std::mutex m_;
    std::vector<Schedule> config_set_, set_;
    std::map<std::string, std::shared_ptr<Flight>> flights_;  // by run key
    std::vector<std::shared_ptr<Flight>> ended_;              // for the next tick
    std::map<std::string, std::int64_t> first_seen_;          // schedule and register: since when
    std::set<std::string> started_;  // schedule and register pairs that ran
    std::set<std::string> known_;    // run keys with a row

    std::condition_variable cv_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace veltra::tool::serve
