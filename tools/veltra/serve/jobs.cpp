// The job store in memory: the last jobs, their keys and their downloads.
#include "jobs.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>

#include "sys/random_bytes.hpp"

namespace veltra::tool::serve {
namespace {

constexpr std::size_t kKeptJobs = 1000;
// Downloads (archives, sales) kept for /api/v1/jobs/{id}/output until
// fetched; older ones beyond this many are dropped.
constexpr std::size_t kKeptOutputs = 8;

// A job's id: 128 random bits, so that no client finds another's job.
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

}  // namespace

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
    if (registered) add(job);
    return job;
}

void JobStore::add(const std::shared_ptr<Job>& job) {
    std::lock_guard lock(m_);
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
    auto it = jobs_.find(id);
    return it == jobs_.end() ? nullptr : it->second;
}

void JobStore::set_state(Job& job, JobState s) {
    std::lock_guard lock(m_);
    job.state = s;
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
    fire(job, lock);
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

void JobStore::set_before(Job& job, Json fingerprint) {
    std::lock_guard lock(m_);
    job.before = std::move(fingerprint);
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
    return j;
}

std::shared_ptr<Job> JobStore::remember(const std::string& key, const std::string& request,
                                        const std::shared_ptr<Job>& job, bool& conflict) {
    std::lock_guard lock(m_);
    conflict = false;
    auto it = keys_.find(key);
    if (it == keys_.end()) {
        if (job) {
            keys_[key] = {request, job};
            job->key = key;
            add_locked(job);
        }
        return nullptr;
    }
    if (it->second.first != request) conflict = true;
    return it->second.second;
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
