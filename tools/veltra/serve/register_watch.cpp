// The looks at the registers, and what they found.
#include "register_watch.hpp"

#include "service_clock.hpp"

namespace veltra::tool::serve {

RegisterWatch::RegisterWatch(std::map<std::string, Register>& registers, JobStore& store,
                             const ServiceConfig& config, Notifier& notifier)
    : registers_(registers),
      store_(store),
      every_ms_(static_cast<std::int64_t>(config.look_minutes) * 60000),
      silent_ms_(static_cast<std::int64_t>(config.silent_minutes) * 60000),
      notifier_(notifier) {}

void RegisterWatch::tick() {
    const std::int64_t now = service_now_ms();
    for (auto& [name, r] : registers_) {
        {
            const std::lock_guard lock(m_);
            if (running_.count(name) != 0 || now < next_ms_[name]) continue;
            // A register busy with jobs is looked at when they end: their
            // own ends say whether it answers.
            if (store_.pending_of(name) != 0) continue;
            next_ms_[name] = now + every_ms_;
        }
        look(r, now);
    }
    std::vector<Json> events;
    {
        const std::lock_guard lock(m_);
        for (auto& [name, l] : looks_) {
            if (l.answered || l.silent_since_ms == 0 || l.told) continue;
            if (now - l.silent_since_ms < silent_ms_) continue;
            l.told = true;
            events.push_back(
                {{"what", "register_silent"},
                 {"register", name},
                 {"since", iso_local(l.silent_since_ms)},
                 {"since_ms", l.silent_since_ms},
                 {"last_answer",
                  l.last_answer_ms != 0 ? Json(iso_local(l.last_answer_ms)) : Json(nullptr)},
                 {"verdict", nullptr},
                 {"result", l.result}});
        }
    }
    for (Json& e : events) notifier_.notify(std::move(e));
}

void RegisterWatch::look(Register& r, std::int64_t) {
    // Not kept in the journal: a look every few minutes is not a job
    // anyone asked for.
    auto job = store_.make(r.config.name, "status", false);
    job->request = {{"op", "status"}, {"host", r.config.host}};
    r.worker->submit(job);
    auto watched = job->joined ? job->joined : job;
    const std::string name = r.config.name;
    {
        const std::lock_guard lock(m_);
        running_[name] = watched;
    }
    std::weak_ptr<Job> weak = watched;
    store_.watch(*watched, [this, name, weak] {
        if (auto j = weak.lock()) looked(name, *j);
    });
}

void RegisterWatch::looked(const std::string& name, const Job& job) {
    const std::int64_t now = service_now_ms();
    const std::lock_guard lock(m_);
    running_.erase(name);
    RegisterLook& l = looks_[name];
    l.looked = true;
    l.last_look_ms = now;
    if (job.state == JobState::kSucceeded) {
        l.answered = true;
        l.last_answer_ms = now;
        l.silent_since_ms = 0;
        l.told = false;
        l.result.clear();
        l.state = job.result.is_object() ? job.result.value("stato", std::string()) : "";
        l.setup = l.state == "S";
        l.error = l.state == "E";
        return;
    }
    if (job.state == JobState::kCancelled) return;  // the service is stopping
    if (l.answered || l.silent_since_ms == 0) l.silent_since_ms = now;
    l.answered = false;
    std::string why = job.error.is_object() ? job.error.value("name", "") : "";
    if (why.empty() && job.error.is_object()) why = job.error.value("message", "");
    l.result = why.empty() ? "no answer" : why;
}

void RegisterWatch::job_ended(const Job& job) {
    if (job.state != JobState::kSucceeded) return;
    if (registers_.count(job.register_name) == 0) return;
    const std::lock_guard lock(m_);
    RegisterLook& l = looks_[job.register_name];
    l.answered = true;
    l.last_answer_ms = service_now_ms();
    l.silent_since_ms = 0;
    l.told = false;
}

std::map<std::string, RegisterLook> RegisterWatch::looks() const {
    std::map<std::string, RegisterLook> all;
    const std::lock_guard lock(m_);
    for (const auto& [name, r] : registers_) {
        const auto it = looks_.find(name);
        all[name] = it == looks_.end() ? RegisterLook{} : it->second;
    }
    return all;
}

}  // namespace veltra::tool::serve
