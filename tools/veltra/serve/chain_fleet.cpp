#include "chain_fleet.hpp"

#include <chrono>
#include <stdexcept>
#include <thread>

#include "service_clock.hpp"

namespace veltra::tool::serve {
namespace {

// How long a comparison waits for its register's shop to take it.
constexpr std::int64_t kCompareWaitMs = 10 * 60 * 1000;

bool ended(const std::string& state) {
    return state == "succeeded" || state == "failed" || state == "cancelled";
}

Json parsed(const std::string& text) {
    if (text.empty()) return nullptr;
    Json j = Json::parse(text, nullptr, false);
    return j.is_discarded() ? Json(text) : j;
}

std::string table_target(const std::string& reg, const TablePush& push, const char* query) {
    return "/api/v1/registers/" + reg + "/tables/" + push.table + "?" + query +
           (push.allow_reset ? "&allow_reset=1" : "");
}

}  // namespace

std::string ChainFleetRunner::add(const std::string& reg, const std::string& kind, Json request) {
    if (!store_.owner_of(reg))
        throw std::runtime_error("no shop has named register " + reg +
                                 " as its own: nothing was asked of it");
    JobRecord job;
    job.id = new_job_id();
    job.register_name = reg;
    job.kind = kind;
    job.request = request.dump();
    const std::lock_guard lock(m_);
    made_[job.id] = job;
    return job.id;
}

void ChainFleetRunner::launch(const std::string& id) {
    JobRecord job;
    {
        const std::lock_guard lock(m_);
        const auto it = made_.find(id);
        if (it == made_.end()) throw std::runtime_error("no job made: " + id);
        job = std::move(it->second);
        made_.erase(it);
    }
    job.created_ms = service_now_ms();
    store_.add(job);
}

void ChainFleetRunner::discard(const std::string& id) {
    const std::lock_guard lock(m_);
    made_.erase(id);
}

// Only a job still queued: one its shop has claimed runs to its verdict.
bool ChainFleetRunner::withdraw(const std::string& id, const std::string& why) {
    return store_.cancel_queued(id, service_now_ms(), why);
}

std::string ChainFleetRunner::shop_of(const std::string& reg) {
    return store_.owner_of(reg).value_or("");
}

std::string ChainFleetRunner::compare(const std::string& reg, const TablePush& push) {
    return add(reg, "tables-compare",
               {{"method", "PUT"},
                {"target", table_target(reg, push, "dry_run=1")},
                {"body", push.csv},
                {"content_type", "text/csv"}});
}

std::string ChainFleetRunner::upload(const std::string& reg, const TablePush& push,
                                     const std::string&) {
    return add(reg, "tables-put",
               {{"method", "PUT"},
                {"target", table_target(reg, push, "confirm=1")},
                {"body", push.csv},
                {"content_type", "text/csv"}});
}

std::string ChainFleetRunner::read(const std::string& reg, const std::string& kind,
                                   const std::string&) {
    if (kind == "backup")
        return add(reg, "backup",
                   {{"method", "POST"}, {"target", "/api/v1/registers/" + reg + "/archives"}});
    return add(reg, "sales-today",
               {{"method", "GET"}, {"target", "/api/v1/registers/" + reg + "/sales/today"}});
}

std::optional<FleetRunner::End> ChainFleetRunner::wait(const std::string& id,
                                                       const std::atomic<bool>& stopping) {
    while (!stopping) {
        std::optional<JobRecord> job;
        try {
            job = store_.find(id);
        } catch (const std::exception&) {
            // The database is away for a moment: the job is still where it was.
        }
        // A comparison its shop has not taken in time (the shop is away)
        // is taken back: the push is refused, not held for the shop.
        if (job && job->state == "queued" && job->kind == "tables-compare" &&
            service_now_ms() - job->created_ms >= kCompareWaitMs) {
            const Json why = {
                {"message", "shop " + store_.owner_of(job->register_name).value_or("") +
                                " did not take the comparison within " +
                                std::to_string(kCompareWaitMs / 60000) +
                                " minutes: nothing was asked of " + job->register_name}};
            try {
                if (store_.cancel_queued(id, service_now_ms(), why.dump()))
                    return End{"cancelled", "", nullptr, why};
            } catch (const std::exception&) {
                // Looked at again in a moment.
            }
        }
        if (job && ended(job->state)) {
            End end;
            end.state = job->state;
            end.verdict = job->verdict;
            const Json result = parsed(job->result);
            // A shop reports its own job's result and error; a refusal of the
            // shop, or a lease that ran out, is the result itself.
            if (result.is_object() && result.contains("shop_job")) {
                end.result = result.value("result", Json(nullptr));
                end.error = result.value("error", Json(nullptr));
                if (job->kind == "sales-today")
                    end.result = end.result.is_object() && end.result.contains("history")
                                     ? Json{{"history", end.result["history"]}}
                                     : Json(nullptr);
            } else if (job->state != "succeeded") {
                end.error = result.is_object() ? result : Json{{"message", result}};
            }
            return end;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return std::nullopt;
}

std::string ChainFleetRunner::verdict_of(const std::string& id) {
    std::optional<JobRecord> job;
    try {
        job = store_.find(id);
    } catch (const std::exception&) {
        return "";  // not known now; asked again at the next look
    }
    return step_verdict(job);
}

void ChainFleetRunner::keep(const std::string& id, std::int64_t created_ms, std::int64_t ended_ms,
                            const std::string& summary) {
    store_.put_fleet_op(id, created_ms, ended_ms, summary);
}

std::vector<std::string> ChainFleetRunner::kept(int limit) {
    return store_.fleet_ops(limit);
}

}  // namespace veltra::tool::serve
