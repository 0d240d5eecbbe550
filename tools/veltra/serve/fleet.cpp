// Each operation runs on a thread of its own, which queues its registers'
// jobs and waits for them as any client would; the registers' workers do
// the work, one job at a time per register as always.
#include "fleet.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "archives.hpp"
#include "routes.hpp"
#include "service_clock.hpp"

namespace veltra::tool::serve {
namespace {

bool is_change_state(const std::string& s) {
    return s == "applied" || s == "not_applied" || s == "unknown";
}

bool write_file(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f.write(text.data(), static_cast<std::streamsize>(text.size()));
    f.close();
    return static_cast<bool>(f);
}

// The counts of a summary's register states.
void recount(Json& summary) {
    std::map<std::string, int> counts;
    for (const Json& step : summary["registers"]) ++counts[step.value("state", "")];
    summary["counts"] = counts;
}

}  // namespace

Json close_interrupted(Json summary,
                       const std::function<std::string(const std::string&)>& verdict_of,
                       std::int64_t now_ms) {
    if (summary.contains("ended_ms")) return summary;
    for (Json& step : summary["registers"]) {
        const std::string state = step.value("state", "");
        if (state != "running") {
            if (state == "waiting" || state == "comparing" || state == "compared")
                step["state"] = "untouched";
            continue;
        }
        const std::string verdict =
            step.contains("job") ? verdict_of(step["job"].get<std::string>()) : "";
        step["state"] = verdict.empty() ? "untouched" : verdict;
        if (is_change_state(verdict)) step["verdict"] = verdict;
    }
    if (summary.value("state", "") == "running") {
        summary["state"] = "stopped";
        summary["reason"] = "the service stopped during the operation";
    }
    summary["ended_ms"] = now_ms;
    recount(summary);
    return summary;
}

Fleet::Fleet(JobStore& store, std::map<std::string, Register>& registers, Routes& routes,
             ArchiveStore* archives, Journal* journal, LogLine log)
    : store_(store),
      registers_(registers),
      routes_(routes),
      archives_(archives),
      journal_(journal),
      log_(std::move(log)) {}

void Fleet::persist(const FleetOp& op) {
    if (journal_ == nullptr) return;
    const std::lock_guard order(persist_m_);
    Json s;
    {
        const std::lock_guard lock(m_);
        s = summary(op);
    }
    try {
        journal_->put_fleet_op(s["id"].get<std::string>(), s["created_ms"].get<std::int64_t>(),
                               s.value("ended_ms", std::int64_t{0}), s.dump());
    } catch (const std::exception& e) {
        log_(std::string("fleet ") + op.id +
             ": cannot write its summary to the journal: " + e.what());
    }
}

void Fleet::load_past(std::int64_t now) {
    if (journal_ == nullptr) return;
    // A job's verdict, or for a read its end.
    auto verdict_of = [this](const std::string& id) -> std::string {
        const std::optional<JobRecord> job = journal_->find(id);
        if (!job) return "";
        if (!job->verdict.empty()) return job->verdict;
        if (job->state == "succeeded" || job->state == "failed") return job->state;
        return "";
    };
    std::vector<Json> past;
    for (const std::string& text : journal_->fleet_ops(200)) {
        Json s = Json::parse(text, nullptr, false);
        if (s.is_discarded() || !s.is_object() || !s.contains("id")) continue;
        if (!s.contains("ended_ms")) {
            s = close_interrupted(std::move(s), verdict_of, now);
            log_("fleet " + s["id"].get<std::string>() +
                 ": running when the service stopped; closed " + s["counts"].dump());
            journal_->put_fleet_op(s["id"].get<std::string>(),
                                   s.value("created_ms", std::int64_t{0}), now, s.dump());
        }
        past.push_back(std::move(s));
    }
    const std::lock_guard lock(m_);
    past_ = std::move(past);
}

void Fleet::refresh(Json& summary) const {
    if (journal_ == nullptr) return;
    bool changed = false;
    for (Json& step : summary["registers"]) {
        if (step.value("state", "") != "unknown" || !step.contains("job")) continue;
        const std::optional<JobRecord> job = journal_->find(step["job"].get<std::string>());
        if (!job || (job->verdict != "applied" && job->verdict != "not_applied")) continue;
        step["state"] = job->verdict;
        step["verdict"] = job->verdict;
        changed = true;
    }
    if (changed) recount(summary);
}

Fleet::~Fleet() {
    stop();
}

void Fleet::stop() {
    stopping_ = true;
    changed_.notify_all();
    const std::lock_guard lock(threads_m_);
    threads_.clear();  // joins: each thread ends at its next wait
}

void Fleet::start_thread(std::function<void()> f) {
    const std::lock_guard lock(threads_m_);
    threads_.emplace_back(std::move(f));
}

std::shared_ptr<FleetOp> Fleet::make(const std::string& group,
                                     const std::vector<std::string>& members,
                                     const std::string& kind, const std::string& who) {
    auto op = std::make_shared<FleetOp>();
    op->group = group;
    op->kind = kind;
    op->who = who;
    op->created_ms = now_ms();
    for (const std::string& name : members) {
        FleetStep step;
        step.register_name = name;
        op->steps.push_back(std::move(step));
    }
    const std::lock_guard lock(m_);
    op->id = "fleet-" + std::to_string(order_.size() + 1) + "-" + std::to_string(op->created_ms);
    ops_[op->id] = op;
    order_.push_back(op->id);
    return op;
}

Json Fleet::push_table(const std::string& group, const std::vector<std::string>& members,
                       TablePush push, const std::string& who) {
    auto op = make(group, members, "tables put " + push.table, who);
    {
        const std::lock_guard lock(m_);
        op->canary = std::min<int>(push.canary, static_cast<int>(members.size()));
        op->stop_on_failure = push.stop_on_failure;
        for (int i = 0; i < op->canary; ++i) op->steps[static_cast<std::size_t>(i)].canary = true;
    }
    persist(*op);
    log_("fleet " + op->id + " " + group + ": " + op->kind + " to " +
         std::to_string(members.size()) + " registers");
    start_thread([this, op, push = std::move(push)] { run_push(op, push); });
    const std::lock_guard lock(m_);
    return summary(*op);
}

Json Fleet::read_each(const std::string& group, const std::vector<std::string>& members,
                      const std::string& kind, const std::string& who) {
    auto op = make(group, members, kind, who);
    persist(*op);
    log_("fleet " + op->id + " " + group + ": " + kind + " of " + std::to_string(members.size()) +
         " registers");
    start_thread([this, op] { run_reads(op); });
    const std::lock_guard lock(m_);
    return summary(*op);
}

bool Fleet::wait(Job& job) {
    while (!store_.wait(job, std::chrono::seconds(1)))
        if (stopping_) return false;
    return true;
}

// Every register's comparison, all at once: the push goes on only when
// each register would take the table as a single upload would.
bool Fleet::compare_all(FleetOp& op, const TablePush& push) {
    std::vector<std::shared_ptr<Job>> jobs;
    for (std::size_t i = 0; i < op.steps.size(); ++i) {
        Register& r = registers_.at(op.steps[i].register_name);
        auto job = routes_.table_put_job(r, push.table, true, push.allow_reset);
        if (!write_file(job->input_file, push.csv)) {
            store_.finish(*job, JobState::kFailed, nullptr,
                          {{"message", "cannot store the CSV for the comparison"}}, 500, "");
        } else {
            r.worker->submit(job);
        }
        update(op, [&](FleetOp& o) {
            o.steps[i].compare_job = job->id;
            o.steps[i].state = "comparing";
        });
        jobs.push_back(job);
    }
    int refused = 0;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (!wait(*jobs[i])) return false;
        const Json d = store_.describe(*jobs[i]);
        const Json result = d.value("result", Json(nullptr));
        Json error = d.value("error", Json(nullptr));
        // A dry run lists the records the table would reset; the upload
        // itself refuses them unless asked to reset.
        const int resets = result.is_object() ? result.value("reset", 0) : 0;
        if (error.is_null() && resets > 0 && !push.allow_reset)
            error = {{"message", "would reset " + std::to_string(resets) + " " + push.table +
                                     " records to their defaults: nothing uploaded (allow_reset=1 "
                                     "lets it)"}};
        const bool ok = jobs[i]->state == JobState::kSucceeded && error.is_null();
        refused += ok ? 0 : 1;
        update(op, [&](FleetOp& o) {
            o.steps[i].state = ok ? "compared" : "refused";
            o.steps[i].compare = result;
            o.steps[i].error = error;
        });
    }
    if (refused == 0) return true;
    update(op, [&](FleetOp& o) {
        o.state = "refused";
        o.reason = std::to_string(refused) + (refused == 1 ? " register" : " registers") +
                   " refused the table in the comparison: nothing was uploaded";
    });
    return false;
}

bool Fleet::upload(FleetOp& op, std::size_t i, const TablePush& push) {
    Register& r = registers_.at(op.steps[i].register_name);
    auto job = routes_.table_put_job(r, push.table, false, push.allow_reset);
    update(op, [&](FleetOp& o) {
        o.steps[i].job = job->id;
        o.steps[i].state = "running";
    });
    routes_.own_change(r, job, op.who, push.csv);
    if (!wait(*job)) return false;
    const Json d = store_.describe(*job);
    const std::string verdict = job->verdict.empty() ? "failed" : job->verdict;
    update(op, [&](FleetOp& o) {
        o.steps[i].state = verdict;
        if (d.contains("error")) o.steps[i].error = d["error"];
    });
    return verdict == "applied";
}

void Fleet::untouched_from(FleetOp& op, std::size_t first, const std::string& reason) {
    update(op, [&](FleetOp& o) {
        for (std::size_t k = first; k < o.steps.size(); ++k)
            if (o.steps[k].state == "compared" || o.steps[k].state == "waiting")
                o.steps[k].state = "untouched";
        o.state = "stopped";
        o.reason = reason;
    });
}

void Fleet::run_push(const std::shared_ptr<FleetOp>& op, const TablePush& push) {
    if (!compare_all(*op, push)) return finish(*op);
    const std::size_t canaries = static_cast<std::size_t>(op->canary);
    // The canaries, one after another: the first that does not take the
    // table stops the push before the rest is touched.
    for (std::size_t i = 0; i < canaries; ++i) {
        if (!upload(*op, i, push)) {
            if (!stopping_)
                untouched_from(*op, i + 1,
                               "canary " + op->steps[i].register_name + " did not take the table");
            return finish(*op);
        }
    }
    if (push.stop_on_failure) {
        for (std::size_t i = canaries; i < op->steps.size(); ++i) {
            if (!upload(*op, i, push)) {
                if (!stopping_)
                    untouched_from(
                        *op, i + 1,
                        op->steps[i].register_name + " did not take the table; stopped as asked");
                return finish(*op);
            }
        }
        return finish(*op);
    }
    // The rest at once, each on its own worker.
    std::vector<std::thread> rest;
    for (std::size_t i = canaries; i < op->steps.size(); ++i)
        rest.emplace_back([this, op, i, &push] { upload(*op, i, push); });
    for (auto& t : rest) t.join();
    finish(*op);
}

std::shared_ptr<Job> Fleet::submit_read(FleetOp& op, std::size_t i) {
    Register& r = registers_.at(op.steps[i].register_name);
    std::shared_ptr<Job> job;
    if (op.kind == "backup") {
        job = routes_.op_job(r, "archive save (fleet " + op.id + ")", "backup-save");
        const std::string plain = r.worker->path(job->id + ".dat");
        job->request["file"] = plain;
        Routes::restores_setup(*job, r);
        // Kept as the save ends, on the worker's thread, before its next
        // job may clear the worker's folder.
        store_.watch(*job, [this, &op, i, job, plain, reg = r.config.name] {
            Json result = nullptr;
            if (job->state == JobState::kSucceeded && archives_ != nullptr) {
                try {
                    result = {{"archive", archive_json(archives_->keep(reg, plain, job->id,
                                                                       service_now_ms()))}};
                } catch (const std::exception& e) {
                    result = {{"archive_error", e.what()}};
                }
            }
            std::error_code ec;
            std::filesystem::remove(plain, ec);
            update(op, [&](FleetOp& o) {
                o.steps[i].result = result;
                o.steps[i].kept = true;
            });
        });
    } else {
        job = routes_.op_job(r, "sales today (fleet " + op.id + ")", "sales-today");
        Routes::restores_setup(*job, r);
        job->output_dir = r.worker->path(job->id + "-sales");
        std::error_code ec;
        std::filesystem::create_directories(job->output_dir, ec);
        job->request["dir"] = job->output_dir;
    }
    update(op, [&](FleetOp& o) {
        o.steps[i].job = job->id;
        o.steps[i].state = "running";
    });
    r.worker->submit(job);
    return job;
}

void Fleet::run_reads(const std::shared_ptr<FleetOp>& op) {
    std::vector<std::shared_ptr<Job>> jobs;
    for (std::size_t i = 0; i < op->steps.size(); ++i) jobs.push_back(submit_read(*op, i));
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (!wait(*jobs[i])) return finish(*op);
        if (op->kind == "backup") {
            // Its archive is kept by the watch, just after the job ends.
            std::unique_lock lock(m_);
            changed_.wait_for(lock, std::chrono::seconds(60),
                              [&] { return op->steps[i].kept || stopping_; });
        }
        const Json d = store_.describe(*jobs[i]);
        const bool ok = jobs[i]->state == JobState::kSucceeded;
        update(*op, [&](FleetOp& o) {
            FleetStep& s = o.steps[i];
            s.state = ok ? "succeeded" : "failed";
            if (!ok) s.error = d.value("error", Json(nullptr));
            // The day's sales: what the history kept, not the files.
            if (ok && op->kind != "backup" && d.contains("result") &&
                d["result"].contains("history"))
                s.result = {{"history", d["result"]["history"]}};
        });
    }
    finish(*op);
}

void Fleet::finish(FleetOp& op) {
    std::string line;
    std::vector<std::function<void()>> told;
    update(op, [&](FleetOp& o) {
        told = std::move(o.on_end);
        o.on_end.clear();
        if (o.state == "running") o.state = stopping_ ? "stopped" : "done";
        if (stopping_ && o.reason.empty()) o.reason = "the service stopped";
        o.ended_ms = now_ms();
        const Json s = summary(o);
        line = "fleet " + o.id + " " + o.group + ": " + o.state + " " + s["counts"].dump();
    });
    log_(line);
    for (auto& done : told) done();
}

Json Fleet::summary(const FleetOp& op) const {
    Json steps = Json::array();
    std::map<std::string, int> counts;
    for (const FleetStep& s : op.steps) {
        ++counts[s.state];
        Json j = {{"register", s.register_name}, {"state", s.state}, {"canary", s.canary}};
        if (!s.compare_job.empty()) j["compare_job"] = s.compare_job;
        if (!s.job.empty()) j["job"] = s.job;
        if (is_change_state(s.state)) j["verdict"] = s.state;
        if (!s.compare.is_null()) j["compare"] = s.compare;
        if (!s.result.is_null()) j["result"] = s.result;
        if (!s.error.is_null()) j["error"] = s.error;
        steps.push_back(j);
    }
    Json j = {{"id", op.id},
              {"group", op.group},
              {"kind", op.kind},
              {"who", op.who},
              {"state", op.state},
              {"canary", op.canary},
              {"stop_on_failure", op.stop_on_failure},
              {"created_ms", op.created_ms},
              {"counts", counts},
              {"registers", steps}};
    if (!op.reason.empty()) j["reason"] = op.reason;
    if (op.ended_ms != 0) j["ended_ms"] = op.ended_ms;
    return j;
}

Json Fleet::describe(const std::string& id) {
    Json s;
    {
        const std::lock_guard lock(m_);
        if (const auto it = ops_.find(id); it != ops_.end()) {
            s = summary(*it->second);
        } else {
            for (const Json& p : past_)
                if (p["id"] == id) s = p;
        }
    }
    if (!s.is_null()) refresh(s);
    return s;
}

bool Fleet::when_ended(const std::string& id, std::function<void()> done) {
    {
        const std::lock_guard lock(m_);
        const auto it = ops_.find(id);
        if (it == ops_.end()) {
            // An earlier run's operation has ended.
            const bool past = std::any_of(past_.begin(), past_.end(),
                                          [&](const Json& p) { return p["id"] == id; });
            if (!past) return false;
        } else if (it->second->ended_ms == 0) {
            it->second->on_end.push_back(std::move(done));
            return true;
        }
    }
    done();
    return true;
}

Json Fleet::list() {
    Json list = Json::array();
    {
        const std::lock_guard lock(m_);
        for (auto it = order_.rbegin(); it != order_.rend(); ++it)
            list.push_back(summary(*ops_[*it]));
        for (const Json& p : past_) list.push_back(p);
    }
    for (Json& s : list) refresh(s);
    return {{"operations", list}};
}

}  // namespace veltra::tool::serve
