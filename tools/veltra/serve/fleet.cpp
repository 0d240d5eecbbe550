// Each operation runs on a thread of its own, which starts its registers'
// jobs through its runner and waits for them as any client would; whoever
// drives a register runs one job at a time on it, as always.
#include "fleet.hpp"

#include <algorithm>

#include "service_clock.hpp"

namespace veltra::tool::serve {
namespace {

bool is_change_state(const std::string& s) {
    return s == "applied" || s == "not_applied" || s == "unknown";
}

// The counts of a summary's register states.
void recount(Json& summary) {
    std::map<std::string, int> counts;
    for (const Json& step : summary["registers"]) ++counts[step.value("state", "")];
    summary["counts"] = counts;
}

std::string withdrawn_because(const std::string& who) {
    return Json{{"message", "the operation was cancelled by " + who +
                                " before the upload started: nothing was asked of the register"}}
        .dump();
}

}  // namespace

std::string step_verdict(const std::optional<JobRecord>& job) {
    if (!job) return "";
    if (!job->verdict.empty()) return job->verdict;
    if (job->state == "succeeded" || job->state == "failed") return job->state;
    return "";
}

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

Fleet::Fleet(FleetRunner& runner, LogLine log) : runner_(runner), log_(std::move(log)) {}

void Fleet::persist(const FleetOp& op) {
    const std::lock_guard order(persist_m_);
    Json s;
    {
        const std::lock_guard lock(m_);
        s = summary(op);
    }
    try {
        runner_.keep(s["id"].get<std::string>(), s["created_ms"].get<std::int64_t>(),
                     s.value("ended_ms", std::int64_t{0}), s.dump());
    } catch (const std::exception& e) {
        log_(std::string("fleet ") + op.id + ": cannot keep its summary: " + e.what());
    }
}

void Fleet::load_past(std::int64_t now) {
    const auto verdict_of = [this](const std::string& id) { return runner_.verdict_of(id); };
    std::vector<Json> past;
    for (const std::string& text : runner_.kept(200)) {
        Json s = Json::parse(text, nullptr, false);
        if (s.is_discarded() || !s.is_object() || !s.contains("id")) continue;
        if (!s.contains("ended_ms")) {
            s = close_interrupted(std::move(s), verdict_of, now);
            log_("fleet " + s["id"].get<std::string>() +
                 ": running when the service stopped; closed " + s["counts"].dump());
            runner_.keep(s["id"].get<std::string>(), s.value("created_ms", std::int64_t{0}), now,
                         s.dump());
        }
        past.push_back(std::move(s));
    }
    const std::lock_guard lock(m_);
    past_ = std::move(past);
}

void Fleet::refresh(Json& summary) const {
    bool changed = false;
    for (Json& step : summary["registers"]) {
        if (step.value("state", "") != "unknown" || !step.contains("job")) continue;
        const std::string verdict = runner_.verdict_of(step["job"].get<std::string>());
        if (verdict != "applied" && verdict != "not_applied") continue;
        step["state"] = verdict;
        step["verdict"] = verdict;
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
        try {
            step.shop = runner_.shop_of(name);
        } catch (const std::exception&) {
            // Not known now: the summary goes without it.
        }
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

bool Fleet::start(FleetOp& op, std::size_t i, bool comparison,
                  const std::function<std::string()>& make, const std::string& end_state) {
    const auto failed = [&](const std::exception& e) {
        update(op, [&](FleetOp& o) {
            o.steps[i].state = end_state;
            o.steps[i].error = {{"message", e.what()}};
        });
        return false;
    };
    std::string id;
    try {
        id = make();
    } catch (const std::exception& e) {
        return failed(e);
    }
    update(op, [&](FleetOp& o) {
        (comparison ? o.steps[i].compare_job : o.steps[i].job) = id;
        o.steps[i].state = comparison ? "comparing" : "running";
    });
    try {
        runner_.launch(id);
    } catch (const std::exception& e) {
        return failed(e);
    }
    return true;
}

// Every register's comparison, all at once: the push goes on only when
// each register would take the table as a single upload would. A register
// that cannot even be asked (over a chain: no shop has named it) refuses
// the push before any comparison is queued.
bool Fleet::compare_all(FleetOp& op, const TablePush& push) {
    std::vector<std::string> made(op.steps.size());
    int unmade = 0;
    for (std::size_t i = 0; i < op.steps.size(); ++i) {
        try {
            made[i] = runner_.compare(op.steps[i].register_name, push);
        } catch (const std::exception& e) {
            ++unmade;
            update(op, [&](FleetOp& o) {
                o.steps[i].state = "refused";
                o.steps[i].error = {{"message", e.what()}};
            });
        }
    }
    if (unmade > 0) {
        for (const std::string& id : made)
            if (!id.empty()) runner_.discard(id);
        update(op, [&](FleetOp& o) {
            for (FleetStep& s : o.steps)
                if (s.state == "waiting") s.state = "untouched";
            o.state = "refused";
            o.reason = std::to_string(unmade) + (unmade == 1 ? " register" : " registers") +
                       " could not be asked for the comparison: nothing was uploaded";
        });
        return false;
    }
    std::vector<bool> started;
    for (std::size_t i = 0; i < op.steps.size(); ++i) {
        const std::string id = made[i];
        started.push_back(start(
            op, i, true, [&id] { return id; }, "refused"));
    }
    int refused = 0;
    for (std::size_t i = 0; i < op.steps.size(); ++i) {
        if (!started[i]) {
            ++refused;
            continue;
        }
        const auto end = runner_.wait(op.steps[i].compare_job, stopping_);
        if (!end) return false;
        Json error = end->error;
        // A dry run lists the records the table would reset; the upload
        // itself refuses them unless asked to reset.
        const int resets = end->result.is_object() ? end->result.value("reset", 0) : 0;
        if (error.is_null() && resets > 0 && !push.allow_reset)
            error = {{"message", "would reset " + std::to_string(resets) + " " + push.table +
                                     " records to their defaults: nothing uploaded (allow_reset=1 "
                                     "lets it)"}};
        if (error.is_null() && end->state != "succeeded")
            error = {{"message", "the comparison ended " + end->state}};
        const bool ok = error.is_null();
        refused += ok ? 0 : 1;
        update(op, [&](FleetOp& o) {
            o.steps[i].state = ok ? "compared" : "refused";
            o.steps[i].compare = end->result;
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
    const std::string& reg = op.steps[i].register_name;
    if (!start(
            op, i, false, [&] { return runner_.upload(reg, push, op.who); }, "not_applied"))
        return false;
    // Cancelled as it was being launched: taken back if it can still be.
    std::string who;
    {
        const std::lock_guard lock(m_);
        who = op.cancelled_by;
    }
    if (!who.empty()) {
        try {
            runner_.withdraw(op.steps[i].job, withdrawn_because(who));
        } catch (const std::exception&) {
            // It runs, and its verdict is its step's.
        }
    }
    const auto end = runner_.wait(op.steps[i].job, stopping_);
    if (!end) return false;
    // Taken back before its register was asked anything.
    const bool withdrawn = end->state == "cancelled" && end->verdict.empty();
    const std::string verdict = withdrawn              ? "untouched"
                                : end->verdict.empty() ? "failed"
                                                       : end->verdict;
    update(op, [&](FleetOp& o) {
        o.steps[i].state = verdict;
        if (!end->error.is_null()) o.steps[i].error = end->error;
    });
    return verdict == "applied";
}

bool Fleet::cancelled_from(FleetOp& op, std::size_t first) {
    std::string who;
    {
        const std::lock_guard lock(m_);
        who = op.cancelled_by;
    }
    if (who.empty()) return false;
    untouched_from(op, first, "cancelled by " + who);
    return true;
}

Fleet::Cancel Fleet::cancel(const std::string& id, const std::string& who) {
    std::vector<std::string> queued;
    std::shared_ptr<FleetOp> op;
    std::string by;
    {
        const std::lock_guard lock(m_);
        const auto it = ops_.find(id);
        if (it == ops_.end()) {
            const bool past = std::any_of(past_.begin(), past_.end(),
                                          [&](const Json& p) { return p["id"] == id; });
            return past ? Cancel::ended : Cancel::unknown;
        }
        op = it->second;
        if (op->ended_ms != 0) return Cancel::ended;
        if (op->kind.rfind("tables put ", 0) != 0) return Cancel::not_a_push;
        if (op->cancelled_by.empty()) op->cancelled_by = who.empty() ? "someone" : who;
        by = op->cancelled_by;
        for (const FleetStep& step : op->steps)
            if (step.state == "running" && !step.job.empty()) queued.push_back(step.job);
    }
    log_("fleet " + id + ": cancelled by " + by);
    for (const std::string& job : queued) {
        try {
            runner_.withdraw(job, withdrawn_because(by));
        } catch (const std::exception& e) {
            log_("fleet " + id + ": cannot take back " + job + ": " + e.what());
        }
    }
    persist(*op);
    return Cancel::asked;
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
        if (cancelled_from(*op, i)) return finish(*op);
        if (!upload(*op, i, push)) {
            if (!stopping_ && !cancelled_from(*op, i + 1))
                untouched_from(*op, i + 1,
                               "canary " + op->steps[i].register_name + " did not take the table");
            return finish(*op);
        }
    }
    if (push.stop_on_failure) {
        for (std::size_t i = canaries; i < op->steps.size(); ++i) {
            if (cancelled_from(*op, i)) return finish(*op);
            if (!upload(*op, i, push)) {
                if (!stopping_ && !cancelled_from(*op, i + 1))
                    untouched_from(
                        *op, i + 1,
                        op->steps[i].register_name + " did not take the table; stopped as asked");
                return finish(*op);
            }
        }
        return finish(*op);
    }
    if (cancelled_from(*op, canaries)) return finish(*op);
    // The rest at once, each register by its own worker.
    std::vector<std::thread> rest;
    for (std::size_t i = canaries; i < op->steps.size(); ++i)
        rest.emplace_back([this, op, i, &push] { upload(*op, i, push); });
    for (auto& t : rest) t.join();
    finish(*op);
}

void Fleet::run_reads(const std::shared_ptr<FleetOp>& op) {
    std::vector<bool> started;
    for (std::size_t i = 0; i < op->steps.size(); ++i) {
        const std::string& reg = op->steps[i].register_name;
        started.push_back(start(
            *op, i, false, [&] { return runner_.read(reg, op->kind, op->id); }, "failed"));
    }
    for (std::size_t i = 0; i < op->steps.size(); ++i) {
        if (!started[i]) continue;
        const auto end = runner_.wait(op->steps[i].job, stopping_);
        if (!end) return finish(*op);
        const bool ok = end->state == "succeeded";
        update(*op, [&](FleetOp& o) {
            FleetStep& s = o.steps[i];
            s.state = ok ? "succeeded" : "failed";
            if (!ok) s.error = end->error;
            s.result = end->result;
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
        if (o.state == "running")
            o.state = stopping_ || !o.cancelled_by.empty() ? "stopped" : "done";
        if (o.reason.empty() && !o.cancelled_by.empty())
            o.reason = "cancelled by " + o.cancelled_by;
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
        if (!s.shop.empty()) j["shop"] = s.shop;
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
    if (!op.cancelled_by.empty()) j["cancelled_by"] = op.cancelled_by;
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
