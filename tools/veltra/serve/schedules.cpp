// Schedules read and written, their slots on the shop's local calendar, and
// the scheduler's thread that starts each slot once and follows its jobs.
#include "schedules.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <tuple>

#include "routes.hpp"
#include "service_clock.hpp"

namespace veltra::tool::serve {
namespace {

constexpr std::int64_t kMinuteMs = 60'000;
constexpr std::int64_t kDayMs = 24 * 60 * kMinuteMs;
// How often the scheduler looks at the clock.
constexpr auto kTick = std::chrono::milliseconds(200);
// The runs GET /api/v1/schedules lists.
constexpr int kListedRuns = 50;

struct KindName {
    ScheduleKind kind;
    const char* name;
};
constexpr KindName kKinds[] = {{ScheduleKind::kBackup, "backup"},
                               {ScheduleKind::kSalesToday, "sales-today"},
                               {ScheduleKind::kSalesRange, "sales-range"},
                               {ScheduleKind::kTables, "tables"},
                               {ScheduleKind::kClosure, "closure"}};
constexpr const char* kTables[] = {"plu", "reparti", "clienti"};

// Words split at blanks; a word in double quotes may hold blanks.
bool split_words(const std::string& text, std::vector<std::string>& out, std::string& error) {
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == '\t') {
            ++i;
            continue;
        }
        if (text[i] == '"') {
            const std::size_t end = text.find('"', i + 1);
            if (end == std::string::npos) {
                error = "a quote is not closed";
                return false;
            }
            out.push_back(text.substr(i + 1, end - i - 1));
            i = end + 1;
            continue;
        }
        const std::size_t end = text.find_first_of(" \t", i);
        out.push_back(text.substr(i, end == std::string::npos ? std::string::npos : end - i));
        i = end == std::string::npos ? text.size() : end;
    }
    return true;
}

bool parse_int(const std::string& word, int low, int high, int& out) {
    if (word.empty() || word.size() > 6 ||
        !std::all_of(word.begin(), word.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    const int v = std::stoi(word);
    if (v < low || v > high) return false;
    out = v;
    return true;
}

// "H:MM" or "HH:MM", 00:00 to 23:59.
bool parse_time(const std::string& word, int& hour, int& minute) {
    const std::size_t colon = word.find(':');
    if (colon == std::string::npos || colon == 0 || colon > 2 || word.size() != colon + 3)
        return false;
    return parse_int(word.substr(0, colon), 0, 23, hour) &&
           parse_int(word.substr(colon + 1), 0, 59, minute);
}

bool is_option(const std::string& word) {
    return word == "keep" || word == "keep-days" || word == "dir" || word == "retries" ||
           word == "retry-minutes";
}

// An option's word and value.
bool parse_option(const std::string& word, const std::string& value, Schedule& s,
                  std::string& error) {
    const bool ok = word == "keep"            ? parse_int(value, 0, 100000, s.keep)
                    : word == "keep-days"     ? parse_int(value, 0, 36500, s.keep_days)
                    : word == "retries"       ? parse_int(value, 0, 10, s.retries)
                    : word == "retry-minutes" ? parse_int(value, 1, 1440, s.retry_minutes)
                                              : !value.empty();
    if (word == "dir") s.dir = value;
    if (!ok) {
        error = word == "dir" ? "dir needs a folder"
                              : word + " takes a number" +
                                    (word == "retries"         ? " from 0 to 10"
                                     : word == "retry-minutes" ? " from 1 to 1440"
                                                               : "") +
                                    ": " + value;
        return false;
    }
    const bool backup = s.kind == ScheduleKind::kBackup;
    const bool exports = s.kind != ScheduleKind::kBackup && s.kind != ScheduleKind::kClosure;
    if ((word == "keep" || word == "keep-days") && !backup) {
        error = word + " applies to backups only";
        return false;
    }
    if (word == "dir" && !exports) {
        error = "dir applies to sales and tables only";
        return false;
    }
    return true;
}

bool parse_registers(const std::string& word, Schedule& s, std::string& error) {
    if (word == "all") return true;
    std::stringstream in(word);
    std::string name;
    while (std::getline(in, name, ',')) {
        if (!valid_name(name)) {
            error = "not a register name: \"" + name + "\"";
            return false;
        }
        if (std::find(s.registers.begin(), s.registers.end(), name) != s.registers.end()) {
            error = "register " + name + " named twice";
            return false;
        }
        s.registers.push_back(name);
    }
    if (s.registers.empty() || word.back() == ',') {
        error = "registers are NAME,NAME,... or all: " + word;
        return false;
    }
    return true;
}

std::string two(int v) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", v);
    return text;
}

std::string time_text(const Schedule& s) {
    return two(s.hour) + ":" + two(s.minute);
}

std::string run_key(const std::string& schedule, const std::string& reg, const std::string& slot) {
    return schedule + "\n" + reg + "\n" + slot;
}

// Writes the file under a temporary name first: a file cut short never
// carries the real one's name.
bool write_whole(const std::filesystem::path& path, const std::string& text) {
    const std::filesystem::path part = path.string() + ".part";
    {
        std::ofstream f(part, std::ios::binary | std::ios::trunc);
        f.write(text.data(), static_cast<std::streamsize>(text.size()));
        f.close();
        if (!f) {
            std::error_code ec;
            std::filesystem::remove(part, ec);
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(part, path, ec);
    if (ec) std::filesystem::remove(part, ec);
    return !ec;
}

// A file name the register gave: never a path.
bool plain_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\:") == std::string::npos;
}

Json parsed(const std::string& text) {
    Json j = Json::parse(text.empty() ? "{}" : text, nullptr, false);
    return j.is_object() ? j : Json::object();
}

std::vector<std::string> words_of(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

}  // namespace

const char* kind_name(ScheduleKind k) {
    for (const KindName& n : kKinds)
        if (n.kind == k) return n.name;
    return "backup";
}

bool parse_schedule(const std::string& text, Schedule& out, std::string& error) {
    std::vector<std::string> w;
    if (!split_words(text, w, error)) return false;
    if (w.size() < 3) {
        error = "a schedule is NAME HH:MM KIND [REGISTERS|all] [options]";
        return false;
    }
    Schedule s;
    s.name = w[0];
    if (!valid_name(s.name)) {
        error = "a schedule's name has 1 to 32 letters, digits, '-' or '_': " + s.name;
        return false;
    }
    if (!parse_time(w[1], s.hour, s.minute)) {
        error = "a schedule's time is HH:MM, 00:00 to 23:59: " + w[1];
        return false;
    }
    const auto kind = std::find_if(std::begin(kKinds), std::end(kKinds),
                                   [&](const KindName& k) { return w[2] == k.name; });
    if (kind == std::end(kKinds)) {
        error = "a schedule's kind is backup, sales-today, sales-range, tables or closure: " + w[2];
        return false;
    }
    s.kind = kind->kind;
    std::size_t i = 3;
    bool all = false;
    if (i < w.size() && !is_option(w[i])) {
        all = w[i] == "all";
        if (!parse_registers(w[i], s, error)) return false;
        ++i;
    }
    // A Z closes the day's sales for good: it runs only on registers named
    // one by one, never on whatever the configuration lists some day.
    if (s.kind == ScheduleKind::kClosure && (all || s.registers.empty())) {
        error =
            "a closure names its registers (closure runs on no register by default, nor on all)";
        return false;
    }
    for (; i < w.size(); i += 2) {
        if (!is_option(w[i])) {
            error = "unknown option " + w[i];
            return false;
        }
        if (i + 1 >= w.size()) {
            error = w[i] + " needs a value";
            return false;
        }
        if (!parse_option(w[i], w[i + 1], s, error)) return false;
    }
    out = std::move(s);
    return true;
}

std::string schedule_text(const Schedule& s) {
    std::string regs;
    for (const std::string& r : s.registers) regs += (regs.empty() ? "" : ",") + r;
    std::string t =
        s.name + " " + time_text(s) + " " + kind_name(s.kind) + " " + (regs.empty() ? "all" : regs);
    if (s.keep != 0) t += " keep " + std::to_string(s.keep);
    if (s.keep_days != 0) t += " keep-days " + std::to_string(s.keep_days);
    if (!s.dir.empty()) t += " dir \"" + s.dir + "\"";
    if (s.retries != 3) t += " retries " + std::to_string(s.retries);
    if (s.retry_minutes != 10) t += " retry-minutes " + std::to_string(s.retry_minutes);
    return t;
}

Json schedule_json(const Schedule& s) {
    Json j = {{"name", s.name},
              {"time", time_text(s)},
              {"kind", kind_name(s.kind)},
              {"registers", s.registers.empty() ? Json("all") : Json(s.registers)},
              {"retries", s.retries},
              {"retry_minutes", s.retry_minutes},
              {"source", s.source}};
    if (s.kind == ScheduleKind::kBackup) {
        j["keep"] = s.keep;
        j["keep_days"] = s.keep_days;
    }
    if (s.kind != ScheduleKind::kBackup && s.kind != ScheduleKind::kClosure)
        j["dir"] = s.dir.empty() ? Json(nullptr) : Json(s.dir);
    return j;
}

// The object becomes a line, read as the configuration file's are, so that
// both take exactly the same checks.
bool schedule_from_json(const Json& j, Schedule& out, std::string& error) {
    if (!j.is_object()) {
        error = "a schedule is an object";
        return false;
    }
    auto text = [&](const char* key, std::string& v) {
        if (!j.contains(key) || j[key].is_null()) return true;
        if (!j[key].is_string() || j[key].get<std::string>().find('"') != std::string::npos) {
            error = std::string(key) + " is a text without quotes";
            return false;
        }
        v = j[key].get<std::string>();
        return true;
    };
    std::string name, time, kind, dir;
    if (!text("name", name) || !text("time", time) || !text("kind", kind) || !text("dir", dir))
        return false;
    if (name.find_first_of(" \t") != std::string::npos) {
        error = "not a schedule name: " + name;
        return false;
    }
    std::string line = "\"" + name + "\" \"" + time + "\" \"" + kind + "\"";
    const Json regs = j.value("registers", Json("all"));
    if (regs.is_string() && regs == "all") {
        line += " all";
    } else if (regs.is_array() && !regs.empty()) {
        std::string list;
        for (const Json& r : regs) {
            if (!r.is_string() || !valid_name(r.get<std::string>())) {
                error = "registers: names of registers, or \"all\"";
                return false;
            }
            list += (list.empty() ? "" : ",") + r.get<std::string>();
        }
        line += " " + list;
    } else {
        error = "registers: names of registers, or \"all\"";
        return false;
    }
    const std::pair<const char*, const char*> numbers[] = {{"keep", "keep"},
                                                           {"keep_days", "keep-days"},
                                                           {"retries", "retries"},
                                                           {"retry_minutes", "retry-minutes"}};
    for (const auto& [key, word] : numbers) {
        if (!j.contains(key) || j[key].is_null()) continue;
        if (!j[key].is_number_integer()) {
            error = std::string(key) + " is a number";
            return false;
        }
        // keep 0 on a kind without retention is what schedule_json leaves out.
        if (j[key] == 0 && (std::string(key) == "keep" || std::string(key) == "keep_days"))
            continue;
        line += std::string(" ") + word + " " + std::to_string(j[key].get<long long>());
    }
    if (!dir.empty()) line += " dir \"" + dir + "\"";
    if (!parse_schedule(line, out, error)) return false;
    if (j.contains("source")) out.source = j.value("source", out.source);
    return true;
}

bool check_schedules(const std::vector<Schedule>& set, const std::vector<std::string>& registers,
                     std::string& error) {
    std::set<std::string> names;
    for (const Schedule& s : set) {
        if (!names.insert(s.name).second) {
            error = "schedule " + s.name + " given twice";
            return false;
        }
        for (const std::string& r : s.registers)
            if (std::find(registers.begin(), registers.end(), r) == registers.end()) {
                error = "schedule " + s.name + ": no register " + r + " is served";
                return false;
            }
    }
    return true;
}

Day day_of(std::int64_t ms) {
    const LocalTime t = local_time(ms);
    return {t.year, t.month, t.day};
}

Day add_days(Day d, int n) {
    using namespace std::chrono;
    const sys_days at = sys_days(year_month_day{year{d.year}, month{static_cast<unsigned>(d.month)},
                                                day{static_cast<unsigned>(d.day)}}) +
                        days{n};
    const year_month_day ymd{at};
    return {int(ymd.year()), static_cast<int>(unsigned(ymd.month())),
            static_cast<int>(unsigned(ymd.day()))};
}

std::string day_text(const Day& d) {
    return std::to_string(d.year) + "-" + two(d.month) + "-" + two(d.day);
}

std::int64_t slot_ms(const Schedule& s, const Day& d) {
    return local_ms({d.year, d.month, d.day, s.hour, s.minute, 0});
}

std::int64_t next_slot_ms(const Schedule& s, std::int64_t now) {
    const Day today = day_of(now);
    const std::int64_t t = slot_ms(s, today);
    return t > now ? t : slot_ms(s, add_days(today, 1));
}

Day due_day(const Schedule& s, std::int64_t now) {
    const Day today = day_of(now);
    return slot_ms(s, today) <= now ? today : add_days(today, -1);
}

bool still_runs(const Schedule& s, const Day& slot_day, std::int64_t now) {
    const std::int64_t at = slot_ms(s, slot_day);
    if (now < at) return false;
    if (s.kind == ScheduleKind::kClosure) return day_of(now) == slot_day;
    return now - at < kDayMs;
}

// A run's jobs in progress: the jobs of one attempt, and what each left.
struct Scheduler::Flight {
    Schedule schedule;
    ScheduleRun run;
    std::mutex m;
    std::vector<std::shared_ptr<Job>> jobs;
    std::vector<unsigned long long> watches;
    int left = 0;
    bool ok = true;
    Json detail = Json::object();
    Json failure = nullptr;  // the first failed job's library result name, or its error text
    std::string verdict;
};

Scheduler::Scheduler(Journal& journal, JobStore& store, std::map<std::string, Register>& registers,
                     Routes& routes, ArchiveStore& archives, Log log)
    : journal_(journal),
      store_(store),
      registers_(registers),
      routes_(routes),
      archives_(archives),
      log_(std::move(log)) {}

Scheduler::~Scheduler() {
    stop();
}

void Scheduler::start(std::vector<Schedule> from_config) {
    config_set_ = std::move(from_config);
    set_ = config_set_;
    if (const auto lines = journal_.api_schedules()) {
        std::vector<Schedule> api;
        std::vector<std::string> names;
        for (const auto& [name, r] : registers_) names.push_back(name);
        for (const std::string& line : *lines) {
            Schedule s;
            std::string error;
            if (!parse_schedule(line, s, error) || !check_schedules({s}, names, error)) {
                log_("schedule \"" + line + "\" set through the API is not used: " + error);
                continue;
            }
            s.source = "api";
            api.push_back(s);
        }
        set_ = api;
        if (!config_set_.empty())
            log_("the schedules set through the API hold: the configuration file's " +
                 std::to_string(config_set_.size()) +
                 " schedule lines are not used (DELETE /api/v1/schedules goes back to them)");
    }
    const std::int64_t now = service_now_ms();
    for (const Schedule& s : set_)
        for (const std::string& reg : registers_of(s))
            first_seen_.emplace(s.name + "\n" + reg, now);
    settle_interrupted();
    thread_ = std::thread([this] {
        std::unique_lock lock(m_);
        while (!stopping_) {
            lock.unlock();
            try {
                tick();
            } catch (const std::exception& e) {
                log_(std::string("the scheduler's look failed: ") + e.what());
            }
            lock.lock();
            // A run that ended is settled at once, not at the next tick.
            cv_.wait_for(lock, kTick, [this] { return stopping_ || !ended_.empty(); });
        }
    });
}

void Scheduler::stop() {
    {
        std::lock_guard lock(m_);
        if (stopping_) return;
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::vector<Schedule> Scheduler::current() {
    std::lock_guard lock(m_);
    return set_;
}

std::vector<std::string> Scheduler::registers_of(const Schedule& s) const {
    if (!s.registers.empty()) return s.registers;
    std::vector<std::string> all;
    for (const auto& [name, r] : registers_) all.push_back(name);
    return all;
}

std::optional<Schedule> Scheduler::find(const std::string& name) {
    for (const Schedule& s : current())
        if (s.name == name) return s;
    return std::nullopt;
}

void Scheduler::tick() {
    const std::int64_t now = service_now_ms();
    std::vector<std::shared_ptr<Flight>> done;
    {
        std::lock_guard lock(m_);
        done.swap(ended_);
    }
    for (const auto& f : done) settle(*f, now);
    for (const ScheduleRun& run : journal_.open_runs()) {
        {
            std::lock_guard lock(m_);
            if (flights_.count(run_key(run.schedule, run.register_name, run.slot))) continue;
        }
        const std::optional<Schedule> s = find(run.schedule);
        if (!s) {
            ScheduleRun r = run;
            r.state = "cancelled";
            r.updated_ms = now;
            journal_.update_run(r);
            log_("schedule " + run.schedule + " " + run.register_name + " " + run.slot +
                 ": cancelled, the schedule is gone");
        } else if (run.state == "verifying") {
            check_verdict(*s, run, now);
        } else if (run.state == "retrying" && run.next_try_ms <= now) {
            if (still_runs(*s, day_of(run.slot_ms), now))
                attempt(*s, run, now);
            else
                failed(*s, run, {{"result", "its day ended before it could be tried again"}}, now,
                       false);
        }
    }
    for (const Schedule& s : current())
        for (const std::string& reg : registers_of(s)) start_due(s, reg, now);
}

void Scheduler::start_due(const Schedule& s, const std::string& reg, std::int64_t now) {
    const Day day = due_day(s, now);
    if (!still_runs(s, day, now)) return;
    const std::string key = run_key(s.name, reg, day_text(day));
    const std::string pair = s.name + "\n" + reg;
    {
        std::lock_guard lock(m_);
        if (known_.count(key)) return;
        first_seen_.emplace(pair, now);
        // A schedule that never ran here starts at its first slot to come,
        // not with a slot of before it existed.
        if (!started_.count(pair) && slot_ms(s, day) < first_seen_[pair]) {
            if (!journal_.ran_before(s.name, reg)) return;
            started_.insert(pair);
        }
    }
    ScheduleRun run;
    run.schedule = s.name;
    run.register_name = reg;
    run.slot = day_text(day);
    run.slot_ms = slot_ms(s, day);
    run.state = "running";
    run.updated_ms = now;
    run.result = Json{{"kind", kind_name(s.kind)}, {"since_ms", now}}.dump();
    const bool mine = journal_.claim_run(run);
    {
        std::lock_guard lock(m_);
        known_.insert(key);
        started_.insert(pair);
    }
    if (mine) attempt(s, run, now);
}

// The run's row says running, with this attempt's jobs, before any of them
// reaches its worker.
void Scheduler::attempt(const Schedule& s, ScheduleRun run, std::int64_t now) {
    const auto it = registers_.find(run.register_name);
    if (it == registers_.end()) {
        run.state = "cancelled";
        run.updated_ms = now;
        journal_.update_run(run);
        return;
    }
    Register& r = it->second;
    auto flight = std::make_shared<Flight>();
    flight->schedule = s;
    const std::string what = "schedule " + s.name + " " + kind_name(s.kind);
    auto read = [&](const std::string& kind, const std::string& op) {
        auto job = store_.make(r.config.name, kind);
        job->request = {{"op", op}, {"host", r.config.host}};
        Routes::restores_setup(*job, r);
        flight->jobs.push_back(job);
        return job;
    };
    switch (s.kind) {
        case ScheduleKind::kBackup: {
            auto job = read(what, "backup-save");
            job->request["file"] = r.worker->path(job->id + ".dat");
            break;
        }
        case ScheduleKind::kSalesToday:
        case ScheduleKind::kSalesRange: {
            auto job =
                read(what, s.kind == ScheduleKind::kSalesToday ? "sales-today" : "sales-range");
            job->output_dir = r.worker->path(job->id + "-sales");
            std::error_code ec;
            std::filesystem::create_directories(job->output_dir, ec);
            job->request["dir"] = job->output_dir;
            if (s.kind == ScheduleKind::kSalesRange) {
                // From the day of the last good export (its later sales
                // were not in it) to today; the first run: today.
                const Day to = day_of(now);
                Day from = to;
                if (const auto last = journal_.last_success(s.name, r.config.name))
                    from = day_of(*last);
                if (std::tie(from.year, from.month, from.day) > std::tie(to.year, to.month, to.day))
                    from = to;
                job->request["from"] = {from.day, from.month, from.year % 100};
                job->request["to"] = {to.day, to.month, to.year % 100};
            }
            break;
        }
        case ScheduleKind::kTables:
            for (const char* table : kTables) {
                auto job = read(what + " " + table, "tables-get");
                job->output_file = r.worker->path(job->id + ".csv");
                job->request["table"] = table;
                job->request["file"] = job->output_file;
                job->request["changed"] = false;
            }
            break;
        case ScheduleKind::kClosure: {
            // The same job as POST .../commands/azzfis, so that its verdict
            // is reached and verified as any change's.
            auto job = store_.make(r.config.name, "command azzfis", false);
            job->request = {{"op", "command"}, {"host", r.config.host}, {"name", "azzfis"}};
            flight->jobs.push_back(job);
            break;
        }
    }
    run.state = "running";
    run.attempts += 1;
    run.next_try_ms = 0;
    run.updated_ms = now;
    run.job_id.clear();
    for (const auto& job : flight->jobs) run.job_id += (run.job_id.empty() ? "" : " ") + job->id;
    flight->run = run;
    flight->left = static_cast<int>(flight->jobs.size());
    journal_.update_run(run);
    {
        std::lock_guard lock(m_);
        flights_[run_key(run.schedule, run.register_name, run.slot)] = flight;
    }
    log_("schedule " + s.name + " " + r.config.name + " " + run.slot + ": attempt " +
         std::to_string(run.attempts) + ", job " + run.job_id);
    // Watched before they are queued: a job's end is never missed, and a
    // backup's file is kept before the worker takes its next job.
    for (const auto& job : flight->jobs)
        flight->watches.push_back(
            store_.watch(*job, [this, flight, job] { ended(*flight, *job); }));
    for (const auto& job : flight->jobs) {
        if (s.kind == ScheduleKind::kClosure)
            routes_.own_change(r, job, "schedule:" + s.name);
        else
            r.worker->submit(job);
    }
}

// On the worker's thread, as the job ends.
void Scheduler::ended(Flight& f, Job& job) {
    const Json d = store_.describe(job);
    bool ok = d.value("state", "") == "succeeded";
    Json failure = nullptr;
    if (!ok && d.contains("error")) {
        const Json& e = d["error"];
        failure =
            e.contains("name") && e["name"].is_string() && !e["name"].get<std::string>().empty()
                ? e["name"]
                : e.value("message", Json("failed"));
    }
    Json detail = Json::object();
    if (f.schedule.kind != ScheduleKind::kClosure)
        detail = keep_output(f.schedule, f.run.register_name, f.run.slot, job, ok, failure);
    std::lock_guard lock(f.m);
    if (f.schedule.kind == ScheduleKind::kClosure) f.verdict = d.value("verdict", "");
    if (!ok && f.failure.is_null()) f.failure = failure.is_null() ? Json("failed") : failure;
    f.ok = f.ok && ok;
    f.detail.update(detail);
    if (--f.left > 0) return;
    std::lock_guard outer(m_);
    ended_.push_back(flights_[run_key(f.run.schedule, f.run.register_name, f.run.slot)]);
    cv_.notify_all();
}

std::filesystem::path Scheduler::export_dir(const Schedule& s, const std::string& reg,
                                            const std::string& day) const {
    const std::filesystem::path root =
        s.dir.empty() ? journal_.state_dir() / "exports" : std::filesystem::path(s.dir);
    return root / reg / day;
}

Json Scheduler::keep_output(const Schedule& s, const std::string& reg, const std::string& day,
                            Job& job, bool& ok, Json& failure) {
    std::error_code ec;
    if (s.kind == ScheduleKind::kBackup) {
        const std::filesystem::path plain = job.request.value("file", "");
        Json detail = Json::object();
        if (ok) {
            try {
                const ArchiveInfo info = archives_.keep(reg, plain, job.id, service_now_ms());
                if (info.good) {
                    Retention rule{s.keep, s.keep_days};
                    archives_.retain(reg, rule, service_now_ms());
                    detail["archive"] = info.name;
                } else {
                    ok = false;
                    failure = "the archive kept is not good: " + info.reason;
                }
            } catch (const std::exception& e) {
                ok = false;
                failure = std::string("the archive could not be kept: ") + e.what();
            }
        }
        std::filesystem::remove(plain, ec);
        return detail;
    }
    std::string output;
    Json files;
    if (!ok || !store_.take_output(job, output, files)) {
        if (ok) failure = "the job's files were dropped before they were kept";
        ok = false;
        return Json::object();
    }
    const std::filesystem::path dir = export_dir(s, reg, day);
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        ok = false;
        failure = "cannot make " + dir.string() + ": " + ec.message();
        return Json::object();
    }
    if (s.kind == ScheduleKind::kTables)
        files = {{job.request.value("table", "table") + ".csv", output}};
    Json written = Json::array();
    for (const auto& item : files.items()) {
        const std::string& name = item.key();
        if (!plain_name(name) || !item.value().is_string() ||
            !write_whole(dir / name, item.value().get<std::string>())) {
            ok = false;
            failure = "cannot write " + (dir / name).string();
            return Json::object();
        }
        written.push_back(name);
    }
    return {{"dir", dir.string()}, {"files", written}};
}

void Scheduler::settle(Flight& f, std::int64_t now) {
    {
        std::lock_guard lock(m_);
        flights_.erase(run_key(f.run.schedule, f.run.register_name, f.run.slot));
    }
    ScheduleRun run = f.run;
    Json result = parsed(run.result);
    result["result"] = f.ok ? Json("OK") : f.failure;
    result["verdict"] = f.verdict.empty() ? Json(nullptr) : Json(f.verdict);
    result.update(f.detail);
    run.result = result.dump();
    run.updated_ms = now;
    const bool closure = f.schedule.kind == ScheduleKind::kClosure;
    if (closure ? f.verdict == "applied" : f.ok) {
        run.state = "succeeded";
        journal_.update_run(run);
        log_("schedule " + run.schedule + " " + run.register_name + " " + run.slot + ": succeeded");
    } else if (closure && f.verdict != "not_applied") {
        // Never run again blindly: the service's verification decides.
        run.state = "verifying";
        journal_.update_run(run);
        log_("schedule " + run.schedule + " " + run.register_name + " " + run.slot +
             ": its verdict is unknown; it is verified before anything else");
    } else {
        failed(f.schedule, run, result, now, true);
    }
}

void Scheduler::check_verdict(const Schedule& s, const ScheduleRun& run, std::int64_t now) {
    const std::vector<std::string> ids = words_of(run.job_id);
    const auto job = ids.empty() ? nullptr : store_.find(ids.front());
    const std::string verdict = job ? store_.describe(*job).value("verdict", "") : "not_applied";
    if (verdict != "applied" && verdict != "not_applied") return;
    ScheduleRun r = run;
    Json result = parsed(r.result);
    result["verdict"] = verdict;
    r.updated_ms = now;
    if (verdict == "applied") {
        result["result"] = "OK";
        r.state = "succeeded";
        r.result = result.dump();
        journal_.update_run(r);
        return;
    }
    r.result = result.dump();
    failed(s, r, result, now, true);
}

// A failed attempt: tried again after its back-off while its slot still
// runs, else given up.
void Scheduler::failed(const Schedule& s, ScheduleRun run, const Json& result, std::int64_t now,
                       bool may_retry) {
    Json kept = parsed(run.result);
    kept.update(result);
    run.result = kept.dump();
    run.updated_ms = now;
    if (may_retry && run.attempts < 1 + s.retries) {
        const int doubled = std::clamp(run.attempts - 1, 0, 20);
        const std::int64_t next = now + s.retry_minutes * kMinuteMs * (1LL << doubled);
        if (still_runs(s, day_of(run.slot_ms), next)) {
            run.state = "retrying";
            run.next_try_ms = next;
            journal_.update_run(run);
            log_("schedule " + s.name + " " + run.register_name + " " + run.slot + ": attempt " +
                 std::to_string(run.attempts) + " failed (" +
                 kept.value("result", Json("")).dump() + "), again at " + iso_local(next));
            return;
        }
    }
    run.state = "gave_up";
    run.next_try_ms = 0;
    journal_.update_run(run);
    gave_up(s, run);
}

void Scheduler::gave_up(const Schedule& s, const ScheduleRun& run) {
    const Json result = parsed(run.result);
    const std::int64_t since = result.value("since_ms", run.slot_ms);
    const std::vector<std::string> ids = words_of(run.job_id);
    const Json hook = {{"what", "schedule_failed"},
                       {"schedule", s.name},
                       {"kind", kind_name(s.kind)},
                       {"register", run.register_name},
                       {"slot", run.slot},
                       {"since", iso_local(since)},
                       {"since_ms", since},
                       {"attempts", run.attempts},
                       {"job", ids.empty() ? Json(nullptr) : Json(ids.front())},
                       {"verdict", result.value("verdict", Json(nullptr))},
                       {"result", result.value("result", Json(nullptr))}};
    log_("schedule " + s.name + " " + run.register_name + " " + run.slot + ": gave up after " +
         std::to_string(run.attempts) + " attempts");
    if (on_gave_up_) on_gave_up_(hook);
}

// Runs a stopped service left running: a read is a failed attempt; a
// closure goes by its job's verdict, which the job store settled at start.
void Scheduler::settle_interrupted() {
    const std::int64_t now = service_now_ms();
    for (const ScheduleRun& run : journal_.open_runs()) {
        if (run.state != "running") continue;
        const std::optional<Schedule> s = find(run.schedule);
        if (!s) continue;  // the next tick cancels it
        log_("schedule " + run.schedule + " " + run.register_name + " " + run.slot +
             ": running when the service stopped");
        if (s->kind == ScheduleKind::kClosure) {
            check_verdict(*s, run, now);
            if (const auto again = journal_.find_run(run.schedule, run.register_name, run.slot);
                again && again->state == "running") {
                ScheduleRun r = *again;
                r.state = "verifying";
                r.updated_ms = now;
                journal_.update_run(r);
            }
        } else {
            failed(*s, run, {{"result", "the service stopped during the run"}}, now, true);
        }
    }
}

Json Scheduler::describe() {
    const std::int64_t now = service_now_ms();
    Json schedules = Json::array();
    std::string source = "config";
    for (const Schedule& s : current()) {
        Json j = schedule_json(s);
        const std::int64_t next = next_slot_ms(s, now);
        j["next_ms"] = next;
        std::string text = iso_local(next).substr(0, 16);  // "2026-12-09 23:30"
        text[10] = ' ';
        j["next"] = text;
        schedules.push_back(j);
    }
    if (journal_.api_schedules()) source = "api";
    Json runs = Json::array();
    for (const ScheduleRun& r : journal_.recent_runs(kListedRuns)) {
        const std::vector<std::string> ids = words_of(r.job_id);
        Json j = {{"schedule", r.schedule},
                  {"register", r.register_name},
                  {"slot", r.slot},
                  {"slot_ms", r.slot_ms},
                  {"state", r.state},
                  {"attempts", r.attempts},
                  {"job", ids.empty() ? Json(nullptr) : Json(ids.front())},
                  {"next_try_ms", r.next_try_ms ? Json(r.next_try_ms) : Json(nullptr)},
                  {"updated_ms", r.updated_ms},
                  {"result", parsed(r.result)}};
        if (ids.size() > 1) j["jobs"] = ids;
        runs.push_back(j);
    }
    return {{"schedules", schedules}, {"source", source}, {"runs", runs}};
}

std::optional<std::int64_t> Scheduler::last_success_ms(const std::string& reg,
                                                       const std::string& kind) {
    std::optional<std::int64_t> last;
    for (const Schedule& s : current()) {
        const std::string k = kind_name(s.kind);
        const bool sales = kind == "sales" && k.rfind("sales-", 0) == 0;
        const auto regs = registers_of(s);
        if ((k != kind && !sales) || std::find(regs.begin(), regs.end(), reg) == regs.end())
            continue;
        if (const auto t = journal_.last_success(s.name, reg); t && (!last || *t > *last)) last = t;
    }
    return last;
}

std::optional<std::int64_t> Scheduler::next_run_ms(const std::string& reg) {
    const std::int64_t now = service_now_ms();
    std::optional<std::int64_t> next;
    auto sooner = [&next](std::int64_t t) {
        if (!next || t < *next) next = t;
    };
    for (const Schedule& s : current()) {
        const auto regs = registers_of(s);
        if (std::find(regs.begin(), regs.end(), reg) != regs.end()) sooner(next_slot_ms(s, now));
    }
    for (const ScheduleRun& r : journal_.open_runs())
        if (r.register_name == reg && r.state == "retrying") sooner(r.next_try_ms);
    return next;
}

bool Scheduler::replace(std::vector<Schedule> set, std::string& error) {
    std::vector<std::string> names;
    for (const auto& [name, r] : registers_) names.push_back(name);
    if (!check_schedules(set, names, error)) return false;
    std::vector<std::pair<std::string, std::string>> lines;
    for (Schedule& s : set) {
        s.source = "api";
        lines.emplace_back(s.name, schedule_text(s));
    }
    const std::int64_t now = service_now_ms();
    journal_.set_api_schedules(lines, now);
    {
        std::lock_guard lock(m_);
        for (const Schedule& s : set)
            for (const std::string& reg : registers_of(s))
                first_seen_.emplace(s.name + "\n" + reg, now);
        set_ = std::move(set);
    }
    log_("schedules set through the API: " + std::to_string(lines.size()) +
         "; the configuration file's schedule lines are not used");
    return true;
}

void Scheduler::use_config() {
    journal_.clear_api_schedules();
    const std::int64_t now = service_now_ms();
    std::lock_guard lock(m_);
    for (const Schedule& s : config_set_)
        for (const std::string& reg : registers_of(s))
            first_seen_.emplace(s.name + "\n" + reg, now);
    set_ = config_set_;
    log_("schedules: back to the configuration file's (" + std::to_string(set_.size()) + ")");
}

}  // namespace veltra::tool::serve
