#include "fleet_local.hpp"

#include <filesystem>
#include <fstream>

#include "archives.hpp"
#include "journal.hpp"
#include "routes.hpp"
#include "service_clock.hpp"

namespace veltra::tool::serve {
namespace {

bool write_file(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f.write(text.data(), static_cast<std::streamsize>(text.size()));
    f.close();
    return static_cast<bool>(f);
}

}  // namespace

LocalFleetRunner::LocalFleetRunner(JobStore& store, std::map<std::string, Register>& registers,
                                   Routes& routes, ArchiveStore* archives, Journal* journal)
    : store_(store),
      registers_(registers),
      routes_(routes),
      archives_(archives),
      journal_(journal) {}

std::string LocalFleetRunner::made(std::shared_ptr<Job> job, Register& r,
                                   std::function<void()> launch, const std::string& read) {
    auto s = std::make_shared<Started>();
    s->job = job;
    s->read = read;
    s->launch = launch ? std::move(launch) : [&r, job] { r.worker->submit(job); };
    const std::lock_guard lock(m_);
    jobs_[job->id] = s;
    return job->id;
}

void LocalFleetRunner::launch(const std::string& id) {
    std::function<void()> go;
    {
        const std::lock_guard lock(m_);
        go = std::move(jobs_.at(id)->launch);
    }
    go();
}

void LocalFleetRunner::discard(const std::string& id) {
    std::shared_ptr<Started> s;
    {
        const std::lock_guard lock(m_);
        const auto it = jobs_.find(id);
        if (it == jobs_.end()) return;
        s = it->second;
        jobs_.erase(it);
    }
    // Made, never queued on its worker: it ends here, having asked nothing.
    store_.finish(*s->job, JobState::kCancelled, nullptr,
                  {{"message", "not started: the operation was refused"}}, 0, "");
}

std::string LocalFleetRunner::compare(const std::string& reg, const TablePush& push) {
    Register& r = registers_.at(reg);
    auto job = routes_.table_put_job(r, push.table, true, push.allow_reset);
    if (!write_file(job->input_file, push.csv)) {
        store_.finish(*job, JobState::kFailed, nullptr,
                      {{"message", "cannot store the CSV for the comparison"}}, 500, "");
        return made(job, r, [] {});
    }
    return made(job, r, nullptr);
}

std::string LocalFleetRunner::upload(const std::string& reg, const TablePush& push,
                                     const std::string& who) {
    Register& r = registers_.at(reg);
    auto job = routes_.table_put_job(r, push.table, false, push.allow_reset);
    // Kept in the journal with who asked before the worker may touch the
    // register, as any change.
    return made(job, r,
                [this, &r, job, who, csv = push.csv] { routes_.own_change(r, job, who, csv); });
}

std::string LocalFleetRunner::read(const std::string& reg, const std::string& kind,
                                   const std::string& op_id) {
    Register& r = registers_.at(reg);
    std::shared_ptr<Job> job;
    if (kind != "backup") {
        job = routes_.op_job(r, "sales today (fleet " + op_id + ")", "sales-today");
        Routes::restores_setup(*job, r);
        job->output_dir = r.worker->path(job->id + "-sales");
        std::error_code ec;
        std::filesystem::create_directories(job->output_dir, ec);
        job->request["dir"] = job->output_dir;
        return made(job, r, nullptr, "sales today");
    }
    job = routes_.op_job(r, "archive save (fleet " + op_id + ")", "backup-save");
    const std::string plain = r.worker->path(job->id + ".dat");
    job->request["file"] = plain;
    Routes::restores_setup(*job, r);
    const std::string id = made(job, r, nullptr, "backup");
    // Kept as the save ends, on the worker's thread, before its next job
    // may clear the worker's folder.
    store_.watch(*job, [this, job, plain, reg = r.config.name] {
        Json archive = nullptr;
        if (job->state == JobState::kSucceeded && archives_ != nullptr) {
            try {
                archive = {{"archive",
                            archive_json(archives_->keep(reg, plain, job->id, service_now_ms()))}};
            } catch (const std::exception& e) {
                archive = {{"archive_error", e.what()}};
            }
        }
        std::error_code ec;
        std::filesystem::remove(plain, ec);
        {
            const std::lock_guard lock(m_);
            // Gone when its waiter gave up on it.
            if (const auto it = jobs_.find(job->id); it != jobs_.end()) {
                it->second->archive = archive;
                it->second->kept = true;
            }
        }
        kept_.notify_all();
    });
    return id;
}

std::optional<FleetRunner::End> LocalFleetRunner::wait(const std::string& id,
                                                       const std::atomic<bool>& stopping) {
    std::shared_ptr<Started> s;
    {
        const std::lock_guard lock(m_);
        s = jobs_.at(id);
    }
    while (!store_.wait(*s->job, std::chrono::seconds(1)))
        if (stopping) return std::nullopt;
    End end;
    const Json d = store_.describe(*s->job);
    end.state = d.value("state", "failed");
    end.verdict = s->job->verdict;
    end.error = d.value("error", Json(nullptr));
    if (s->read == "backup") {
        // Its archive is kept by the watch, just after the job ends.
        std::unique_lock lock(m_);
        kept_.wait_for(lock, std::chrono::seconds(60), [&] { return s->kept || stopping; });
        end.result = s->archive;
    } else if (s->read == "sales today") {
        // The day's sales: what the history kept, not the files.
        if (d.contains("result") && d["result"].contains("history"))
            end.result = {{"history", d["result"]["history"]}};
    } else {
        end.result = d.value("result", Json(nullptr));
    }
    const std::lock_guard lock(m_);
    jobs_.erase(id);
    return end;
}

std::string LocalFleetRunner::verdict_of(const std::string& id) {
    return journal_ == nullptr ? "" : step_verdict(journal_->find(id));
}

void LocalFleetRunner::keep(const std::string& id, std::int64_t created_ms, std::int64_t ended_ms,
                            const std::string& summary) {
    if (journal_ != nullptr) journal_->put_fleet_op(id, created_ms, ended_ms, summary);
}

std::vector<std::string> LocalFleetRunner::kept(int limit) {
    return journal_ == nullptr ? std::vector<std::string>{} : journal_->fleet_ops(limit);
}

}  // namespace veltra::tool::serve
