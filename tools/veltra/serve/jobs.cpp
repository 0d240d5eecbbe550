// The job store in memory: the last jobs, their keys and their downloads.
#include "jobs.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "sys/random_bytes.hpp"

namespace veltra::tool::serve {
namespace {

constexpr std::size_t kKeptJobs = 1000;
// Downloads (archives, sales) kept for /api/v1/jobs/{id}/output until
// fetched; older ones beyond this many are dropped.
constexpr std::size_t kKeptOutputs = 8;

JobState state_of(const std::string& name) {
    for (JobState s : {JobState::kQueued, JobState::kRunning, JobState::kSucceeded,
                       JobState::kFailed, JobState::kCancelled})
        if (name == state_name(s)) return s;
    return JobState::kFailed;
}

// A change that ended without a verdict of its worker's: acknowledged is
// applied; refused before it was sent (a bad request, cancelled before it
// started) is not applied; anything else is not known yet, never taken as
// a failure from the silence.
void default_verdict(Job& job) {
    if (job.result.is_object() && job.result.contains("verdict") &&
        job.result["verdict"].is_string()) {
        job.verdict = job.result["verdict"].get<std::string>();
        job.reason = job.result.value("reason", "");
        job.evidence = job.result.value("evidence", Json(nullptr));
        return;
    }
    if (job.state == JobState::kSucceeded) {
        job.verdict = "applied";
        job.reason = "the register acknowledged the change";
    } else if (job.state == JobState::kCancelled || job.http_status == 400) {
        job.verdict = "not_applied";
        job.reason = job.state == JobState::kCancelled
                         ? "cancelled before it started: the register was not touched"
                         : "refused before it reached the register";
    } else {
        job.verdict = "unknown";
        job.reason = "the register's answer was lost: the change is verified once it answers";
    }
    if (job.evidence.is_null() && !job.before.is_null()) job.evidence = {{"before", job.before}};
}

}  // namespace

std::string new_job_id() {
    std::array<unsigned char, 16> raw{};
    if (!sys::random_bytes(raw)) throw std::runtime_error("no random bytes for a job id");
    std::string id = "j";
    for (unsigned char b : raw) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        id += two;
    }
    return id;
}

Json iso_time(std::int64_t ms) {
    if (ms <= 0) return nullptr;
    using namespace std::chrono;
    const sys_days day{days{ms / 86'400'000}};
    const year_month_day ymd{day};
    const std::int64_t in_day = ms % 86'400'000;
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(ymd.year()),
                  unsigned(ymd.month()), unsigned(ymd.day()), int(in_day / 3'600'000),
                  int(in_day / 60'000 % 60), int(in_day / 1000 % 60), int(in_day % 1000));
    return text;
}

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool ended(JobState s) {
    return s == JobState::kSucceeded || s == JobState::kFailed || s == JobState::kCancelled;
}

const char* state_name(JobState s) {
    switch (s) {
        case JobState::kQueued:
            return "queued";
        case JobState::kRunning:
            return "running";
        case JobState::kSucceeded:
            return "succeeded";
        case JobState::kFailed:
            return "failed";
        case JobState::kCancelled:
            return "cancelled";
    }
    return "failed";
}

bool pending(const Job& job) {
    return job.state == JobState::kQueued || job.state == JobState::kRunning;
}

std::shared_ptr<Job> JobStore::make(const std::string& reg, const std::string& kind,
                                    bool registered) {
    auto job = std::make_shared<Job>();
    job->id = new_job_id();
    job->register_name = reg;
    job->kind = kind;
    job->created_ms = now_ms();
    if (registered) add(job);
    return job;
}

void JobStore::add(const std::shared_ptr<Job>& job) {
    std::lock_guard lock(m_);
    // A change is in the journal before its worker may touch the register.
    if (journal_ && job->change) journal_->add(record_of(*job));
    add_locked(job);
}

std::size_t JobStore::pending_of(const std::string& reg) {
    std::lock_guard lock(m_);
    return static_cast<std::size_t>(std::count_if(jobs_.begin(), jobs_.end(), [&](auto& j) {
        return j.second->register_name == reg && pending(*j.second);
    }));
}

bool JobStore::is_pending(const Job& job) {
    std::lock_guard lock(m_);
    return pending(job);
}

std::shared_ptr<Job> JobStore::find(const std::string& id) {
    std::lock_guard lock(m_);
    return find_locked(id);
}

// In memory, else in the journal: a job of an earlier run of the service.
std::shared_ptr<Job> JobStore::find_locked(const std::string& id) {
    auto it = jobs_.find(id);
    if (it != jobs_.end()) return it->second;
    if (!journal_) return nullptr;
    std::optional<JobRecord> record = journal_->find(id);
    return record ? job_of(*record) : nullptr;
}

void JobStore::set_state(Job& job, JobState s) {
    std::lock_guard lock(m_);
    job.state = s;
    if (s == JobState::kRunning) {
        job.started_ms = now_ms();
        // Running is written before the worker is asked: a job found queued
        // after a crash never reached the register.
        if (journal_ && job.change) {
            JobUpdate u;
            u.state = state_name(s);
            u.started_ms = job.started_ms;
            journal_->update(job.id, u);
        }
    }
    changed_.notify_all();
}

void JobStore::finish(Job& job, JobState s, Json result, Json error, int http, std::string output,
                      Json files) {
    std::unique_lock lock(m_);
    job.state = s;
    job.result = std::move(result);
    job.error = std::move(error);
    job.http_status = http;
    job.output = std::move(output);
    job.files = std::move(files);
    job.ended_ms = now_ms();
    if (job.change) {
        default_verdict(job);
        // Written before anyone is told: an answer given is an answer kept.
        if (journal_) journal_end(job);
    }
    const bool journal_read = journal_ && !job.change && jobs_.count(job.id) != 0;
    fire(job, lock);
    if (on_end_) on_end_(job);
    if (journal_read) {
        try {
            JobRecord r = record_of(job);
            journal_->add_read(std::move(r));
        } catch (const JournalError&) {
            // A read not kept costs nothing; the answer went out already.
        }
    }
}

void JobStore::set_progress(Job& job, Json progress) {
    std::lock_guard lock(m_);
    job.progress = std::move(progress);
}

bool JobStore::take_output(Job& job, std::string& output, Json& files) {
    std::lock_guard lock(m_);
    if (job.output_dropped) return false;
    output = std::move(job.output);
    files = std::move(job.files);
    drop_output(job);
    return true;
}

bool JobStore::wait(Job& job, std::chrono::seconds limit) {
    std::unique_lock lock(m_);
    ++job.waiters;
    const bool done = changed_.wait_for(lock, limit, [&job] { return ended(job.state); });
    if (--job.waiters == 0 && !done) keep_output(job);
    return done;
}

unsigned long long JobStore::watch(Job& job, std::function<void()> done) {
    std::unique_lock lock(m_);
    if (ended(job.state)) {
        lock.unlock();
        done();
        return 0;
    }
    ++job.waiters;
    const auto id = ++next_watch_;
    job.watchers.emplace(id, std::move(done));
    return id;
}

bool JobStore::unwatch(Job& job, unsigned long long id) {
    std::lock_guard lock(m_);
    if (job.watchers.erase(id) == 0) return false;
    if (--job.waiters == 0 && ended(job.state)) keep_output(job);
    return true;
}

void JobStore::forget(const Job& job) {
    std::lock_guard lock(m_);
    jobs_.erase(job.id);
}

void JobStore::hand_over(const Job& job, const std::shared_ptr<Job>& to) {
    std::lock_guard lock(m_);
    // Whoever asked for job is told to's id: it must be found, also when to
    // is one of the service's own looks, which nobody registered.
    if (jobs_.erase(job.id) != 0 && jobs_.count(to->id) == 0) add_locked(to);
}

void JobStore::set_before(Job& job, Json fingerprint) {
    std::lock_guard lock(m_);
    job.before = std::move(fingerprint);
    if (journal_ && job.change) {
        JobUpdate u;
        u.evidence = Json{{"before", job.before}}.dump();
        journal_->update(job.id, u);
    }
}

Json JobStore::describe(const Job& job) {
    std::lock_guard lock(m_);
    Json j = {{"id", job.id},
              {"register", job.register_name},
              {"kind", job.kind},
              {"state", state_name(job.state)}};
    if (!job.progress.is_null()) j["progress"] = job.progress;
    if (!job.result.is_null()) j["result"] = job.result;
    if (!job.error.is_null()) j["error"] = job.error;
    if (job.change) {
        j["who"] = job.who;
        j["verdict"] = job.verdict.empty() ? Json(nullptr) : Json(job.verdict);
        if (!job.reason.empty()) j["reason"] = job.reason;
        j["evidence"] = job.evidence;
    }
    j["created"] = iso_time(job.created_ms);
    j["started"] = iso_time(job.started_ms);
    j["ended"] = iso_time(job.ended_ms);
    return j;
}

std::shared_ptr<Job> JobStore::remember(const std::string& key, const std::string& request,
                                        const std::shared_ptr<Job>& job, bool& conflict) {
    std::lock_guard lock(m_);
    conflict = false;
    auto it = keys_.find(key);
    if (it != keys_.end()) {
        if (it->second.first != request) conflict = true;
        return it->second.second;
    }
    if (!job) {
        // Only asked: a key of an earlier run is in the journal.
        if (!journal_) return nullptr;
        std::optional<JobRecord> first = journal_->find_by_key(key, now_ms());
        if (!first) return nullptr;
        conflict = first->request_hash != JobRecord::hash_of(request);
        return find_locked(first->id);
    }
    job->key = key;
    job->signature = request;
    if (journal_) {
        // The journal holds the keys of earlier runs: it decides, in the
        // same transaction that records the new job.
        AddResult r = journal_->add(record_of(*job));
        if (r.outcome != AddOutcome::added) {
            job->key.clear();
            conflict = r.outcome == AddOutcome::conflict;
            return find_locked(r.job.id);
        }
    }
    keys_[key] = {request, job};
    add_locked(job);
    return nullptr;
}

JobRecord JobStore::record_of(const Job& job) {
    JobRecord r;
    r.id = job.id;
    r.register_name = job.register_name;
    r.kind = job.kind;
    r.request = job.signature.empty() ? job.request.dump() : job.signature;
    r.idempotency_key = job.key;
    r.state = state_name(job.state);
    Json result = {{"result", job.result},           {"error", job.error},
                   {"http_status", job.http_status}, {"who", job.who},
                   {"reason", job.reason},           {"change", job.change},
                   {"input_file", job.input_file}};
    r.result = result.dump();
    r.created_ms = job.created_ms;
    r.started_ms = job.started_ms;
    r.ended_ms = job.ended_ms;
    r.progress = job.state == JobState::kSucceeded ? 1.0 : 0.0;
    r.output_file = job.output_file;
    r.verdict = job.verdict;
    r.evidence = job.evidence.is_null() ? std::string() : job.evidence.dump();
    return r;
}

std::shared_ptr<Job> JobStore::job_of(const JobRecord& r) {
    auto job = std::make_shared<Job>();
    job->id = r.id;
    job->register_name = r.register_name;
    job->kind = r.kind;
    job->key = r.idempotency_key;
    job->state = state_of(r.state);
    job->created_ms = r.created_ms;
    job->started_ms = r.started_ms;
    job->ended_ms = r.ended_ms;
    job->verdict = r.verdict;
    job->evidence = Json::parse(r.evidence.empty() ? "null" : r.evidence, nullptr, false);
    if (job->evidence.is_discarded()) job->evidence = nullptr;
    const Json kept = Json::parse(r.result.empty() ? "{}" : r.result, nullptr, false);
    if (kept.is_object()) {
        job->result = kept.value("result", Json(nullptr));
        job->error = kept.value("error", Json(nullptr));
        job->http_status = kept.value("http_status", 200);
        job->who = kept.value("who", "");
        job->reason = kept.value("reason", "");
        job->change = kept.value("change", !r.verdict.empty());
        job->input_file = kept.value("input_file", "");
    }
    // Its download went with the run of the service that made it.
    job->output_dropped = true;
    return job;
}

void JobStore::journal_end(const Job& job) {
    JobUpdate u;
    const JobRecord r = record_of(job);
    u.state = r.state;
    u.result = r.result;
    u.ended_ms = r.ended_ms;
    u.progress = r.progress;
    u.verdict = r.verdict;
    u.evidence = r.evidence;
    journal_->update(job.id, u);
    journal_->append_audit(job.ended_ms, job.who, job.register_name, job.id, job.kind, job.verdict);
}

void JobStore::purge_inputs() {
    if (!journal_) return;
    std::error_code ec;
    const auto files = journal_->state_dir() / "files";
    const auto limit = std::filesystem::file_time_type::clock::now() -
                       std::chrono::milliseconds(Journal::kKeyLifeMs);
    for (const auto& e : std::filesystem::directory_iterator(files, ec)) {
        if (!e.is_regular_file(ec) || e.last_write_time(ec) > limit) continue;
        const std::optional<JobRecord> job = journal_->find(e.path().stem().string());
        if (job && job->verdict == "unknown") continue;
        std::filesystem::remove(e.path(), ec);
    }
}

Json JobStore::history(int limit, bool changes_only) {
    std::vector<JobRecord> records;
    if (journal_) records = journal_->list(limit, changes_only);
    Json out = Json::array();
    for (const JobRecord& r : records) {
        std::shared_ptr<Job> live;
        {
            std::lock_guard lock(m_);
            auto it = jobs_.find(r.id);
            if (it != jobs_.end()) live = it->second;
        }
        out.push_back(describe(live ? *live : *job_of(r)));
    }
    return out;
}

bool JobStore::settle(const std::string& id, const std::string& verdict, const std::string& reason,
                      const Json& evidence) {
    std::unique_lock lock(m_);
    std::shared_ptr<Job> job = find_locked(id);
    if (!job || !job->change || pending(*job)) return false;
    if (verdict == "unknown") return true;  // nothing learnt: no new audit row
    job->verdict = verdict;
    job->reason = reason;
    job->evidence = evidence;
    job->state = verdict == "applied" ? JobState::kSucceeded : JobState::kFailed;
    if (verdict == "applied") job->error = nullptr;
    job->http_status = verdict == "applied" ? 200 : job->http_status;
    job->ended_ms = std::max(job->ended_ms, now_ms());
    if (journal_) journal_end(*job);
    return true;
}

std::vector<std::string> JobStore::settle_interrupted() {
    std::vector<std::string> unknown;
    if (!journal_) return unknown;
    for (const JobRecord& r : journal_->interrupted()) {
        std::shared_ptr<Job> job = job_of(r);
        job->change = true;
        job->ended_ms = now_ms();
        const bool started = job->state == JobState::kRunning;
        if (started) {
            job->state = JobState::kFailed;
            job->http_status = 502;
            job->verdict = "unknown";
            job->reason =
                "the service stopped during the change: it is verified once the register answers";
            job->error = error_object("the service stopped while the job ran")["error"];
            unknown.push_back(job->id);
        } else {
            job->state = JobState::kCancelled;
            job->http_status = 503;
            job->verdict = "not_applied";
            job->reason =
                "the service stopped before the job started: the register was not touched";
            job->error = error_object("the service stopped before the job started")["error"];
        }
        std::lock_guard lock(m_);
        journal_end(*job);
    }
    return unknown;
}

std::vector<std::shared_ptr<Job>> JobStore::unknown_changes(int limit) {
    std::vector<std::shared_ptr<Job>> out;
    if (!journal_) return out;
    for (const JobRecord& r : journal_->with_verdict("unknown", limit)) {
        std::lock_guard lock(m_);
        // A later reading cannot tell about key presses made before it.
        if (r.kind == "keys") continue;
        if (auto job = find_locked(r.id); job && !pending(*job)) out.push_back(job);
    }
    return out;
}

std::string JobStore::input_path(const std::string& id, const std::string& extension) const {
    if (!journal_) return "";
    return journal_->output_path(id).string() + extension;
}

void JobStore::add_locked(const std::shared_ptr<Job>& job) {
    jobs_[job->id] = job;
    order_.push_back(job->id);
    for (auto at = order_.begin(); order_.size() > kKeptJobs && at != order_.end();) {
        auto it = jobs_.find(*at);
        if (it != jobs_.end() && pending(*it->second)) {
            ++at;
            continue;
        }
        if (it != jobs_.end()) {
            if (!it->second->key.empty()) keys_.erase(it->second->key);
            jobs_.erase(it);
        }
        at = order_.erase(at);
    }
}

void JobStore::keep_output(Job& job) {
    if (job.output.empty() && job.files.is_null()) return;
    outputs_.push_back(job.id);
    while (outputs_.size() > kKeptOutputs) {
        auto it = jobs_.find(outputs_.front());
        if (it != jobs_.end()) drop_output(*it->second);
        outputs_.pop_front();
    }
}

void JobStore::fire(Job& job, std::unique_lock<std::mutex>& lock) {
    auto watchers = std::move(job.watchers);
    job.watchers.clear();
    job.waiters -= static_cast<int>(watchers.size());
    if (job.waiters == 0 && watchers.empty()) keep_output(job);
    changed_.notify_all();
    lock.unlock();
    for (auto& [id, done] : watchers) done();
}

void JobStore::drop_output(Job& job) {
    job.output.clear();
    job.output.shrink_to_fit();
    job.files = nullptr;
    job.output_dropped = true;
}

}  // namespace veltra::tool::serve
