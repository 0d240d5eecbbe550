// The worker processes' supervision: the requests written to a worker, its
// answer lines read back into the job.
#include "worker_process.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

#include "address_book.hpp"
#include "failure.hpp"
#include "veltra.h"
#include "worker_protocol.hpp"

namespace veltra::tool::serve {
namespace {

using Clock = std::chrono::steady_clock;
// The CSV files of one sales answer, all together.
constexpr std::size_t kMaxSalesBytes = 64u << 20;

}  // namespace

WorkerProcess::WorkerProcess(const RegisterConfig& reg, const ServiceConfig& config,
                             JobStore& store, LogLine log)
    : reg_(reg),
      program_(config.worker_program),
      job_seconds_(config.job_seconds),
      store_(store),
      log_(std::move(log)) {
    thread_ = std::thread([this] { loop(); });
}

WorkerProcess::~WorkerProcess() {
    {
        std::lock_guard lock(m_);
        stopping_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void WorkerProcess::submit(const std::shared_ptr<Job>& job) {
    std::shared_ptr<Job> taken;
    bool stopped = false;
    {
        std::lock_guard lock(m_);
        if (job->kind == "status") {
            if (current_ && current_->kind == "status" && store_.is_pending(*current_))
                taken = current_;
            for (const auto& q : queue_)
                if (!taken && q->kind == "status") taken = q;
        }
        stopped = closed_;
        if (!taken && !closed_ && queue_.size() < kMaxQueued) {
            queue_.push_back(job);
            taken = job;
        }
        if (taken && is_read(*taken)) ++taken->wanted;
    }
    if (taken == job) {
        cv_.notify_all();
    } else if (taken) {
        job->joined = taken;
        store_.hand_over(*job, taken);
    } else {
        job->queue_full = !stopped;
        store_.finish(*job, JobState::kFailed, nullptr,
                      error_object(stopped ? "the service is stopping"
                                           : "too many jobs wait for register " + reg_.name +
                                                 ": try again later")["error"],
                      503, "");
    }
}

void WorkerProcess::hold(Job& job) {
    std::lock_guard lock(m_);
    job.held = true;
}

void WorkerProcess::release(const std::shared_ptr<Job>& job) {
    {
        std::lock_guard lock(m_);
        if (!is_read(*job) || --job->wanted > 0 || job->held) return;
        const auto it = std::find(queue_.begin(), queue_.end(), job);
        if (it == queue_.end()) return;
        queue_.erase(it);
    }
    log_("job " + job->id + " " + reg_.name + " " + job->kind + ": dropped, nobody waits for it");
    store_.finish(*job, JobState::kCancelled, nullptr,
                  error_object("dropped before it started: every client asking for it "
                               "had gone")["error"],
                  503, "");
}

void WorkerProcess::close(const std::string& reason) {
    std::deque<std::shared_ptr<Job>> cancelled;
    {
        std::lock_guard lock(m_);
        closed_ = true;
        cancelled.swap(queue_);
    }
    for (auto& job : cancelled) {
        log_("job " + job->id + " " + reg_.name + " " + job->kind + ": cancelled, " + reason);
        store_.finish(*job, JobState::kCancelled, nullptr,
                      error_object("cancelled before it started: " + reason)["error"], 503, "");
    }
}

bool WorkerProcess::is_read(const Job& job) {
    for (const char* kind :
         {"status", "tables get ", "invoices get", "sales", "release show", "backup save"})
        if (job.kind.rfind(kind, 0) == 0) return true;
    return false;
}

void WorkerProcess::loop() {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock lock(m_);
            current_.reset();
            cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) break;
            job = queue_.front();
            queue_.pop_front();
            current_ = job;
            current_since_ = std::chrono::steady_clock::now();
        }
        run(*job);
    }
    child_.reset();
    // Jobs still queued are cancelled, never left pending.
    close("the service stopped");
}

bool WorkerProcess::healthy() {
    const std::lock_guard lock(m_);
    if (closed_ || stopping_) return false;
    if (!current_) return true;
    return std::chrono::steady_clock::now() - current_since_ <=
           std::chrono::seconds(job_seconds_ + 30);
}

void WorkerProcess::start_child() {
    std::map<std::string, std::string> env = {
        {"TMPDIR", dir_.dir()}, {"TEMP", dir_.dir()}, {"TMP", dir_.dir()}};
    if (reg_.tftp_port) env["ECR_TFTP_PORT"] = std::to_string(*reg_.tftp_port);
    if (reg_.line_port) env["ECR_LINE_PORT"] = std::to_string(*reg_.line_port);
    child_ = std::make_unique<sys::ChildProcess>(program_, std::vector<std::string>{"serve-worker"},
                                                 dir_.dir(), env);
    pid_ = child_->id();
}

void WorkerProcess::clean_dir() {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir_.dir(), ec))
        std::filesystem::remove_all(e.path(), ec);
}

void WorkerProcess::restart(const std::string&) {
    if (child_) child_->kill();
    child_.reset();
    pid_ = 0;
    ++restarts_;
    clean_dir();
}

std::optional<std::string> WorkerProcess::host() const {
    if (reg_.matricola.empty()) return reg_.host;
    return book_ ? book_->address(reg_.name) : std::nullopt;
}

void WorkerProcess::run(Job& job) {
    // A register named by serial that has not been found is never asked
    // for by its configured text, which the library reads as the default
    // host: the job fails before anything is sent.
    const std::optional<std::string> where = host();
    if (!where) {
        if (book_) book_->lost(reg_.name);
        store_.set_state(job, JobState::kRunning);
        // Nothing went out, so a change was certainly not made.
        const Json result = job.change ? Json{{"verdict", "not_applied"},
                                              {"reason",
                                               "the register has not been found on the network: "
                                               "nothing was sent"}}
                                       : Json(nullptr);
        store_.finish(job, JobState::kFailed, result,
                      {{"message", "register " + reg_.name + " (serial number " + reg_.matricola +
                                       ") has not been found on the network yet: nothing was "
                                       "sent; it is being looked for"}},
                      503, "");
        return;
    }
    Json request = job.request;
    if (!reg_.matricola.empty()) request["host"] = *where;
    store_.set_state(job, JobState::kRunning);
    Json answer;
    std::string failure;
    int failure_status = 500;
    try {
        if (!child_) start_child();
        bool sent = child_->write_line(request.dump());
        if (!sent) {
            // A worker that ended while idle took no part of the job: a
            // new one runs it.
            restart("the worker process ended while idle");
            start_child();
            sent = child_->write_line(request.dump());
        }
        log_("job " + job.id + " " + reg_.name + " " + job.kind + ": started in worker " +
             std::to_string(pid_.load()));
        if (!sent) {
            failure = "the worker process ended";
        } else {
            const auto until = Clock::now() + std::chrono::seconds(job_seconds_);
            for (;;) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
                if (left.count() <= 0) {
                    failure = "the worker gave no answer in " + std::to_string(job_seconds_) +
                              " s and was restarted";
                    failure_status = 504;
                    break;
                }
                bool ended = false;
                auto line =
                    child_->read_line(static_cast<int>(std::min<long long>(left.count(), 1000)),
                                      kMaxAnswerBytes, ended);
                if (!line) {
                    if (ended) {
                        failure = "the worker process ended during the job and was restarted";
                        break;
                    }
                    continue;
                }
                if (line->rfind(kSetupMark, 0) == 0) {
                    try {
                        job.setup_found = Json::parse(line->substr(std::string(kSetupMark).size()))
                                              .value("in_setup", -1);
                    } catch (const std::exception&) {
                    }
                    continue;
                }
                if (line->rfind(kBeforeMark, 0) == 0) {
                    try {
                        store_.set_before(
                            job, Json::parse(line->substr(std::string(kBeforeMark).size())));
                    } catch (const std::exception&) {
                    }
                    continue;
                }
                if (line->rfind(kProgressMark, 0) == 0) {
                    try {
                        store_.set_progress(
                            job, Json::parse(line->substr(std::string(kProgressMark).size())));
                    } catch (const std::exception&) {
                    }
                    continue;
                }
                if (line->rfind(kAnswerMark, 0) != 0) continue;
                answer = Json::parse(line->substr(std::string(kAnswerMark).size()));
                break;
            }
        }
    } catch (const std::exception& e) {
        failure = std::string("the worker failed: ") + e.what();
    }
    std::error_code ec;
    if (!failure.empty()) {
        restart(failure);
        Json error = error_object(failure)["error"];
        care_for_setup(job, error);
        store_.finish(job, JobState::kFailed, nullptr, error, failure_status, "");
    } else {
        // A change's input stays until its verdict is reached (the store
        // removes it then).
        if (!job.input_file.empty() && !job.change) std::filesystem::remove(job.input_file, ec);
        finish(job, answer);
    }
    if (!job.output_dir.empty()) std::filesystem::remove_all(job.output_dir, ec);
    log_("job " + job.id + " " + reg_.name + " " + job.kind + ": " + state_name(job.state));
}

bool WorkerProcess::read_files(const std::string& dir, Json& files) {
    std::vector<std::filesystem::path> found;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        if (e.is_regular_file()) found.push_back(e.path());
    std::sort(found.begin(), found.end());
    files = Json::object();
    std::size_t total = 0;
    for (const auto& p : found) {
        total += static_cast<std::size_t>(std::filesystem::file_size(p, ec));
        if (total > kMaxSalesBytes) return false;
        std::ifstream f(p, std::ios::binary);
        files[p.filename().string()] = std::string(std::istreambuf_iterator<char>(f), {});
    }
    return true;
}

void WorkerProcess::finish(Job& job, const Json& answer) {
    const int status = answer.value("status", 2);
    Json result = answer.contains("result") ? answer["result"] : Json(nullptr);
    // The worker's file names are the service's business.
    if (result.is_object()) {
        result.erase("csv");
        result.erase("file");
    }
    std::string output;
    std::error_code ec;
    if (!job.output_file.empty()) {
        if (status == 0) {
            std::ifstream f(job.output_file, std::ios::binary);
            output.assign(std::istreambuf_iterator<char>(f), {});
        }
        std::filesystem::remove(job.output_file, ec);
    }
    Json files = nullptr;
    if (status == 0 && !job.output_dir.empty() && !read_files(job.output_dir, files)) {
        store_.finish(job, JobState::kFailed, result,
                      error_object("the sales files are larger than 64 MB in all: ask for "
                                   "fewer days")["error"],
                      400, "");
        return;
    }
    if (status == 0) {
        // Kept before the job ends, so that whoever waits for it finds the
        // days in the history.
        if (keep_sales_ && files.is_object() && result.is_object())
            result["history"] = keep_sales_(job, files);
        store_.finish(job, JobState::kSucceeded, result, nullptr, 200, std::move(output),
                      std::move(files));
        return;
    }
    std::string message = answer.value("err", "");
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    Json error = {{"message", message}};
    int http = status == 2 ? 400 : 502;
    if (result.is_object() && result.contains("code") && result["code"].is_number_integer()) {
        const std::int32_t code = result["code"].get<std::int32_t>();
        if (code < 0) {
            error["function"] = result.value("function", "");
            error["name"] = result.value("name", "");
            error["code"] = code;
            error["meaning"] = result_meaning(code);
            http = status_for(code);
            // Silent at its address: a register named by serial may have
            // been given another one.
            if (code == ERR_TIMEOUT && book_) book_->lost(reg_.name);
        }
    }
    // A refused upload sent nothing: setup mode is as the job found it.
    if (!(result.is_object() && result.contains("refused"))) care_for_setup(job, error);
    store_.finish(job, JobState::kFailed, result, error, http, "");
}

void WorkerProcess::care_for_setup(const Job& job, Json& error) {
    const std::string recover =
        "end setup mode with `veltra command setup-off` (POST "
        "/api/v1/registers/" +
        reg_.name + "/commands/setup-off?confirm=1)";
    if (job.setup == SetupCare::kLeave) {
        error["setup_mode"] =
            "left as the job ended: a register written in part may stay in setup mode, where "
            "it does not sell. Run the job again, or, once the register's data is right, " +
            recover;
        return;
    }
    if (job.setup != SetupCare::kRestore || job.setup_found != 0) return;
    const std::string why = leave_setup();
    if (why.empty()) {
        log_("job " + job.id + " " + reg_.name + ": setup mode put back off");
        error["setup_mode"] = "put back: the register is out of setup mode, as the job found it";
    } else {
        error["setup_mode"] = "not put back (" + why + "): " + recover;
    }
}

std::string WorkerProcess::leave_setup() {
    try {
        if (!child_) start_child();
        const std::optional<std::string> where = host();
        if (!where) return "the register's address is not known";
        const Json request = {{"op", "setup-restore"}, {"host", *where}};
        if (!child_->write_line(request.dump())) {
            restart("the worker process ended");
            return "the worker process ended";
        }
        // A register that answered at the job's start answers this in seconds.
        const auto until = Clock::now() + std::chrono::seconds(std::clamp(job_seconds_, 10, 60));
        while (Clock::now() < until) {
            bool ended = false;
            auto line = child_->read_line(1000, kMaxAnswerBytes, ended);
            if (!line) {
                if (!ended) continue;
                restart("the worker process ended");
                return "the worker process ended";
            }
            if (line->rfind(kAnswerMark, 0) != 0) continue;
            const Json a = Json::parse(line->substr(std::string(kAnswerMark).size()));
            if (a.value("status", 1) == 0) return "";
            std::string err = a.value("err", "failed");
            while (!err.empty() && (err.back() == '\n' || err.back() == '\r')) err.pop_back();
            return err;
        }
        restart("no answer in time");
        return "no answer in time";
    } catch (const std::exception& e) {
        return e.what();
    }
}

}  // namespace veltra::tool::serve
