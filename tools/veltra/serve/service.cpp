// The service: HTTP routes, tokens, body limits, jobs and idempotency keys,
// one worker process per register, the display relayed as server-sent events.
#include "service.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>
#include <utility>

#include "display_text.hpp"
#include "failure.hpp"
#include "guard.hpp"
#include "http.hpp"
#include "internal.hpp"
#include "key_table.hpp"
#include "page.hpp"
#include "sim_sockets.hpp"
#include "stop_request.hpp"
#include "sys/child_process.hpp"
#include "sys/random_bytes.hpp"
#include "veltra.h"
#include "work_dir.hpp"
#include "worker_protocol.hpp"

namespace veltra::tool::serve {
namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// Bodies: a CSV of a few MB at most.
constexpr std::size_t kMaxCsvBytes = 4u << 20;
constexpr std::size_t kMaxKeysBody = 16u << 10;
constexpr std::size_t kMaxKeys = 64;
constexpr std::size_t kMaxIdempotencyKey = 200;
constexpr std::size_t kKeptJobs = 1000;
// Downloads (archives, sales) kept for /api/v1/jobs/{id}/output until
// fetched; older ones beyond this many are dropped.
constexpr std::size_t kKeptOutputs = 8;
// The CSV files of one sales answer, all together.
constexpr std::size_t kMaxSalesBytes = 64u << 20;
// The largest body of all: a backup archive, exactly its size.
constexpr std::size_t kMaxBody = kArchiveSize;

// ---------------------------------------------------------------- errors

Json error_object(const std::string& message) {
    return {{"error", {{"message", message}}}};
}

// The HTTP status that fits a library result.
int status_for(std::int32_t code) {
    switch (code) {
        case ERR_TIMEOUT:
            return 504;
        case ERR_SOCKET_LIBRARY:
        case ERR_HOSTNAME_NON_RISOLTO:
        case ERR_INVALID_IP_ADDRESS:
        case ERR_SOCKET_OPEN:
        case ERR_RETE_NON_DISP:
        case ERR_TRANSFER_FAILED:
        case ERR_CONNECT_FAILED:
        case ERR_CONNECT_CLOSED:
        case ERR_INVALID_FILESIZE:  // a file from the register that does not fit
            return 502;
        case ERR_REG_IN_ERRORE:
        case ERR_REG_NON_DISP:
        case ERR_CONNECT_GIA_IN_CORSO:
        case ECR_ERR_REG_NON_ATTIVO:
        case ECR_ERR_REL_CASSA_NOT_SUPP:   // a register that takes no release update
        case ECR_ERR_DATI_CASSA_NOT_SUPP:  // nor a backup
            return 409;
        case ERR_FILE_CREATION:
            return 500;
        default:
            return 400;
    }
}

// A few threads serve every connection: requests waiting for a register
// hold none. Each route checks its own body limit; this one stops anything
// larger than the largest (an archive) before it is read.
http::Server::Settings server_settings() {
    http::Server::Settings s;
    s.threads = 3;
    s.blocking_threads = 4;
    s.max_body = kMaxBody;
    return s;
}

// Jobs waiting for one register's worker; one more is answered 503.
constexpr std::size_t kMaxQueued = 16;
// What a 503 for a full queue tells the client to wait, in seconds.
constexpr int kRetryAfterSeconds = 10;

void send_json(http::Response& res, int status, const Json& body) {
    res.status = status;
    res.set_content(body.dump(2) + "\n", "application/json");
}

void send_error(http::Response& res, int status, const std::string& message) {
    send_json(res, status, error_object(message));
}

// ---------------------------------------------------------------- jobs

enum class JobState { kQueued, kRunning, kSucceeded, kFailed, kCancelled };

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

// What a failed job does about setup mode, which the library enters for a
// transfer and leaves only once it has ended well.
enum class SetupCare {
    kNone,
    kRestore,  // the job changes nothing: setup mode goes back as the job found it
    kLeave,    // a register written in part must not sell: setup mode stays, and the answer says so
};

struct Job {
    std::string id;
    std::string register_name;
    std::string kind;          // "status", "tables put", "command azzdati", ...
    Json request;              // what the worker is asked
    std::string input_file;    // written before, removed after (worker's directory)
    std::string output_file;   // read into output after
    std::string output_dir;    // made before, its files read into files after, removed
    std::string content_type;  // of output; "" for a JSON answer (with files, if any)
    // Filled by the worker thread, read under the store's lock.
    JobState state = JobState::kQueued;
    Json result = nullptr;  // the tool's --json object
    Json error = nullptr;
    int http_status = 200;
    std::string output;
    bool output_dropped = false;
    int waiters = 0;  // requests waiting to hand the download out themselves
    std::string key;  // its Idempotency-Key, if any
    SetupCare setup = SetupCare::kNone;
    int setup_found = -1;     // the worker's report: 0 out of setup mode, 1 in it, -1 not known
    Json files = nullptr;     // name -> CSV text, from output_dir
    Json progress = nullptr;  // the worker's last progress line
    // Under the store's lock: called once when the job ends.
    std::map<unsigned long long, std::function<void()>> watchers;
    // Under its worker's lock: a read's waiting requests, and whether some
    // client asked for it by id (then it runs even when they all left).
    int wanted = 0;
    bool held = false;
    std::shared_ptr<Job> joined;  // the running or queued job that answers for this one
    bool queue_full = false;      // refused: its register had too many jobs waiting
};

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

bool pending(const Job& job) {
    return job.state == JobState::kQueued || job.state == JobState::kRunning;
}

class JobStore {
public:
    // A job kept in the store (registered: false, a draft that add() or
    // remember() keeps once the request's checks have passed).
    std::shared_ptr<Job> make(const std::string& reg, const std::string& kind,
                              bool registered = true) {
        auto job = std::make_shared<Job>();
        job->id = new_job_id();
        job->register_name = reg;
        job->kind = kind;
        if (registered) add(job);
        return job;
    }
    void add(const std::shared_ptr<Job>& job) {
        std::lock_guard lock(m_);
        add_locked(job);
    }
    // Jobs of the register not ended yet.
    std::size_t pending_of(const std::string& reg) {
        std::lock_guard lock(m_);
        return static_cast<std::size_t>(std::count_if(jobs_.begin(), jobs_.end(), [&](auto& j) {
            return j.second->register_name == reg && pending(*j.second);
        }));
    }
    bool is_pending(const Job& job) {
        std::lock_guard lock(m_);
        return pending(job);
    }
    std::shared_ptr<Job> find(const std::string& id) {
        std::lock_guard lock(m_);
        auto it = jobs_.find(id);
        return it == jobs_.end() ? nullptr : it->second;
    }
    void set_state(Job& job, JobState s) {
        std::lock_guard lock(m_);
        job.state = s;
        changed_.notify_all();
    }
    void finish(Job& job, JobState s, Json result, Json error, int http, std::string output,
                Json files = nullptr) {
        std::unique_lock lock(m_);
        job.state = s;
        job.result = std::move(result);
        job.error = std::move(error);
        job.http_status = http;
        job.output = std::move(output);
        job.files = std::move(files);
        fire(job, lock);
    }
    void set_progress(Job& job, Json progress) {
        std::lock_guard lock(m_);
        job.progress = std::move(progress);
    }
    // The job's download, handed out once: it is dropped as it goes.
    bool take_output(Job& job, std::string& output, Json& files) {
        std::lock_guard lock(m_);
        if (job.output_dropped) return false;
        output = std::move(job.output);
        files = std::move(job.files);
        drop_output(job);
        return true;
    }
    // Waits until the job ends; false when it is still pending at the limit.
    // A download waited for is not counted among the kept ones (so that no
    // waiting request loses it) unless the wait ends first.
    bool wait(Job& job, std::chrono::seconds limit) {
        std::unique_lock lock(m_);
        ++job.waiters;
        const bool done = changed_.wait_for(lock, limit, [&job] { return ended(job.state); });
        if (--job.waiters == 0 && !done) keep_output(job);
        return done;
    }
    // Calls done once the job ends, on the thread that ends it (or at once,
    // here, when it has ended). Until then the watch counts as a waiter for
    // the download. Returns the watch's number for unwatch().
    unsigned long long watch(Job& job, std::function<void()> done) {
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
    // Removes a watch that has not fired; false when it fired (or is firing).
    bool unwatch(Job& job, unsigned long long id) {
        std::lock_guard lock(m_);
        if (job.watchers.erase(id) == 0) return false;
        if (--job.waiters == 0 && ended(job.state)) keep_output(job);
        return true;
    }
    // A job that never ran and never will: gone from the list, as if never made.
    void forget(const Job& job) {
        std::lock_guard lock(m_);
        jobs_.erase(job.id);
    }
    Json describe(const Job& job) {
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
    // Idempotency keys: the first job of a key, or nothing. A key used for
    // another request gives conflict.
    // A new key keeps job in the store.
    std::shared_ptr<Job> remember(const std::string& key, const std::string& request,
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

private:
    // Old finished jobs go, with their keys; a pending one stays.
    void add_locked(const std::shared_ptr<Job>& job) {
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
    // Counts a download among the kept ones; the oldest beyond the limit go.
    void keep_output(Job& job) {
        if (job.output.empty() && job.files.is_null()) return;
        outputs_.push_back(job.id);
        while (outputs_.size() > kKeptOutputs) {
            auto it = jobs_.find(outputs_.front());
            if (it != jobs_.end()) drop_output(*it->second);
            outputs_.pop_front();
        }
    }
    // The job ended: its watchers are called, outside the lock. They still
    // count as waiters, so that the download is theirs to take.
    void fire(Job& job, std::unique_lock<std::mutex>& lock) {
        auto watchers = std::move(job.watchers);
        job.watchers.clear();
        job.waiters -= static_cast<int>(watchers.size());
        if (job.waiters == 0 && watchers.empty()) keep_output(job);
        changed_.notify_all();
        lock.unlock();
        for (auto& [id, done] : watchers) done();
    }
    static void drop_output(Job& job) {
        job.output.clear();
        job.output.shrink_to_fit();
        job.files = nullptr;
        job.output_dropped = true;
    }

    std::mutex m_;
    std::condition_variable changed_;
    std::deque<std::string> outputs_;
    std::map<std::string, std::shared_ptr<Job>> jobs_;
    std::deque<std::string> order_;
    std::map<std::string, std::pair<std::string, std::shared_ptr<Job>>> keys_;
    unsigned long long next_watch_ = 0;
};

// ---------------------------------------------------------------- workers

using LogLine = std::function<void(const std::string&)>;

class Worker {
public:
    Worker(const RegisterConfig& reg, const ServiceConfig& config, JobStore& store, LogLine log)
        : reg_(reg),
          program_(config.worker_program),
          job_seconds_(config.job_seconds),
          store_(store),
          log_(std::move(log)) {
        thread_ = std::thread([this] { loop(); });
    }
    ~Worker() {
        {
            std::lock_guard lock(m_);
            stopping_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    // Queues the job. A status read joins the one queued or running
    // already, which answers for both (job->joined); the job itself is
    // forgotten. The running one counts only until it has answered: the
    // loop lets go of it a moment later, and a read asked in that moment is
    // a new read. When the queue is full or the service stops, the job fails
    // at once with 503.
    void submit(const std::shared_ptr<Job>& job) {
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
            store_.forget(*job);
        } else {
            job->queue_full = !stopped;
            store_.finish(*job, JobState::kFailed, nullptr,
                          error_object(stopped ? "the service is stopping"
                                               : "too many jobs wait for register " + reg_.name +
                                                     ": try again later")["error"],
                          503, "");
        }
    }
    // A client asked for the job by id: it runs whatever its waiters do.
    void hold(Job& job) {
        std::lock_guard lock(m_);
        job.held = true;
    }
    // A waiting client left: a read that nobody wants any more is dropped
    // if it has not started.
    void release(const std::shared_ptr<Job>& job) {
        {
            std::lock_guard lock(m_);
            if (!is_read(*job) || --job->wanted > 0 || job->held) return;
            const auto it = std::find(queue_.begin(), queue_.end(), job);
            if (it == queue_.end()) return;
            queue_.erase(it);
        }
        log_("job " + job->id + " " + reg_.name + " " + job->kind +
             ": dropped, nobody waits for it");
        store_.finish(*job, JobState::kCancelled, nullptr,
                      error_object("dropped before it started: every client asking for it "
                                   "had gone")["error"],
                      503, "");
    }
    // The service is stopping: jobs not started are cancelled, not run,
    // and no more are taken. The running one ends as it would.
    void close(const std::string& reason) {
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
    // A file name in the worker's directory; names come from job ids only.
    std::string path(const std::string& name) const { return dir_.file(name); }
    long pid() const { return pid_.load(); }
    int restarts() const { return restarts_.load(); }

private:
    // Reads change nothing on the register: one whose clients have all
    // gone is not worth running.
    static bool is_read(const Job& job) {
        for (const char* kind :
             {"status", "tables get ", "invoices get", "sales", "release show", "backup save"})
            if (job.kind.rfind(kind, 0) == 0) return true;
        return false;
    }

    void loop() {
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
            }
            run(*job);
        }
        child_.reset();
        // Jobs still queued are cancelled, never left pending.
        close("the service stopped");
    }

    void start_child() {
        std::map<std::string, std::string> env = {
            {"TMPDIR", dir_.dir()}, {"TEMP", dir_.dir()}, {"TMP", dir_.dir()}};
        if (reg_.tftp_port) env["ECR_TFTP_PORT"] = std::to_string(*reg_.tftp_port);
        if (reg_.line_port) env["ECR_LINE_PORT"] = std::to_string(*reg_.line_port);
        child_ = std::make_unique<sys::ChildProcess>(
            program_, std::vector<std::string>{"serve-worker"}, dir_.dir(), env);
        pid_ = child_->id();
    }

    // The worker's directory holds nothing of a job that ended.
    void clean_dir() {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir_.dir(), ec))
            std::filesystem::remove_all(e.path(), ec);
    }

    void restart(const std::string&) {
        if (child_) child_->kill();
        child_.reset();
        pid_ = 0;
        ++restarts_;
        clean_dir();
    }

    void run(Job& job) {
        store_.set_state(job, JobState::kRunning);
        Json answer;
        std::string failure;
        int failure_status = 500;
        try {
            if (!child_) start_child();
            bool sent = child_->write_line(job.request.dump());
            if (!sent) {
                // A worker that ended while idle took no part of the job: a
                // new one runs it.
                restart("the worker process ended while idle");
                start_child();
                sent = child_->write_line(job.request.dump());
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
                            job.setup_found =
                                Json::parse(line->substr(std::string(kSetupMark).size()))
                                    .value("in_setup", -1);
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
            if (!job.input_file.empty()) std::filesystem::remove(job.input_file, ec);
            finish(job, answer);
        }
        if (!job.output_dir.empty()) std::filesystem::remove_all(job.output_dir, ec);
        log_("job " + job.id + " " + reg_.name + " " + job.kind + ": " + state_name(job.state));
    }

    // The CSV files the job left in its folder, by name; false when they
    // are more than a sales answer holds.
    static bool read_files(const std::string& dir, Json& files) {
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

    void finish(Job& job, const Json& answer) {
        const int status = answer.value("status", 2);
        Json result = nullptr;
        const std::string out = answer.value("out", "");
        if (!out.empty()) {
            try {
                result = Json::parse(out);
            } catch (const std::exception&) {
                result = nullptr;
            }
        }
        if (answer.contains("sent")) result = {{"sent", answer["sent"]}};
        // The worker's file names are the service's business.
        if (result.is_object()) result.erase("csv");
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
            }
        }
        care_for_setup(job, error);
        store_.finish(job, JobState::kFailed, result, error, http, "");
    }

    // A failed job's setup mode, and a word on it in its error.
    void care_for_setup(const Job& job, Json& error) {
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
            error["setup_mode"] =
                "put back: the register is out of setup mode, as the job found it";
        } else {
            error["setup_mode"] = "not put back (" + why + "): " + recover;
        }
    }

    // Ends setup mode if the register is in it, in the worker (a new one
    // if need be). Empty when done, else why not.
    std::string leave_setup() {
        try {
            if (!child_) start_child();
            const Json request = {{"op", "setup-restore"}, {"host", reg_.host}};
            if (!child_->write_line(request.dump())) {
                restart("the worker process ended");
                return "the worker process ended";
            }
            // A register that answered at the job's start answers this in seconds.
            const auto until =
                Clock::now() + std::chrono::seconds(std::clamp(job_seconds_, 10, 60));
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

    RegisterConfig reg_;
    std::string program_;
    int job_seconds_;
    JobStore& store_;
    LogLine log_;
    WorkDir dir_;
    std::unique_ptr<sys::ChildProcess> child_;
    std::atomic<long> pid_{0};
    std::atomic<int> restarts_{0};
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<Job>> queue_;
    std::shared_ptr<Job> current_;  // the running job
    bool stopping_ = false;
    bool closed_ = false;
    std::thread thread_;
};

// ---------------------------------------------------------------- display

// The register's display connection, opened when the first viewer comes and
// kept open (reopened after a second when it drops) while the service runs.
// Viewers are called with each new text; a viewer costs no thread.
class DisplayWatch {
public:
    // Called on the watch's thread with the text and whether the register's
    // display is connected, or with beat set every 15 s of quiet; returns
    // false to leave.
    using Viewer = std::function<bool(const std::string& text, bool connected, bool beat)>;

private:
    static constexpr std::chrono::seconds kBeat{15};

public:
    explicit DisplayWatch(const RegisterConfig& reg) : reg_(reg) {}
    ~DisplayWatch() {
        {
            std::lock_guard lock(m_);
            stopping_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    void stop() {
        std::lock_guard lock(m_);
        stopping_ = true;
        changed_.notify_all();
    }

    // Adds a viewer, called at once with the present text.
    void watch(Viewer v) {
        std::string text;
        bool connected = false;
        {
            std::lock_guard lock(m_);
            if (stopping_) return;
            if (!thread_.joinable()) thread_ = std::thread([this] { loop(); });
            text = text_;
            connected = connected_;
        }
        if (!v(text, connected, false)) return;
        std::lock_guard lock(m_);
        viewers_.push_back(std::move(v));
    }
    std::size_t viewers() {
        std::lock_guard lock(m_);
        return viewers_.size();
    }

private:
    void loop() {
        auto beat_at = Clock::now() + kBeat;
        for (;;) {
            {
                std::lock_guard lock(m_);
                if (stopping_) break;
            }
            std::uint32_t addr = 0;
            ecrsim::net::Socket s;
            if (auto dotted = ecrsim::net::parse_ipv4(reg_.host)) {
                addr = *dotted;
                s = ecrsim::net::tcp_connect({addr, reg_.display_port});
            } else if (sys::resolve_name(reg_.host.c_str(), addr) == 0) {
                s = ecrsim::net::tcp_connect({addr, reg_.display_port});
            }
            if (s.valid()) {
                set_connected(true);
                std::uint8_t buf[4096];
                for (;;) {
                    {
                        std::lock_guard lock(m_);
                        if (stopping_) break;
                    }
                    if (Clock::now() >= beat_at) {
                        tell(true);
                        beat_at = Clock::now() + kBeat;
                    }
                    const ecrsim::net::Socket* watch[] = {&s};
                    if (!ecrsim::net::wait_readable(watch, 250).at(0)) continue;
                    bool closed = false;
                    const long n = ecrsim::net::recv_some(s, buf, closed);
                    if (closed || n < 0) break;
                    if (n == 0) continue;
                    // Each arrival stands alone, as on the keypad.
                    publish(delpad::display_text(std::string_view(
                        reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n))));
                }
                set_connected(false);
            }
            {
                std::unique_lock lock(m_);
                changed_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; });
            }
            if (Clock::now() >= beat_at) {
                tell(true);
                beat_at = Clock::now() + kBeat;
            }
        }
        // Viewers leave with the service.
        std::lock_guard lock(m_);
        viewers_.clear();
    }
    void publish(std::string text) {
        {
            std::lock_guard lock(m_);
            text_ = std::move(text);
        }
        tell(false);
    }
    void set_connected(bool c) {
        {
            std::lock_guard lock(m_);
            if (connected_ == c) return;
            connected_ = c;
        }
        tell(false);
    }
    // Calls every viewer outside the lock, on this thread only; those that
    // answer false are dropped.
    void tell(bool beat) {
        std::vector<Viewer> all;
        std::string text;
        bool connected = false;
        {
            std::lock_guard lock(m_);
            all.swap(viewers_);
            text = text_;
            connected = connected_;
        }
        std::vector<Viewer> staying;
        for (auto& v : all)
            if (v(text, connected, beat)) staying.push_back(std::move(v));
        std::lock_guard lock(m_);
        // Viewers added meanwhile are kept too.
        for (auto& v : staying) viewers_.push_back(std::move(v));
    }

    RegisterConfig reg_;
    std::mutex m_;
    std::condition_variable changed_;
    std::string text_;
    bool connected_ = false;
    std::vector<Viewer> viewers_;
    bool stopping_ = false;
    std::thread thread_;
};

// ---------------------------------------------------------------- keys

std::string normalized(const std::string& s) {
    std::string out;
    bool blank = false;
    for (unsigned char c : s) {
        if (std::isspace(c)) {
            blank = !out.empty();
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        out += static_cast<char>(std::toupper(c));
    }
    return out;
}

// A key by its control name ("TOTALE", "REPARTO1"), its caption ("REPARTO
// 1", "TOTALE CONFERMA") or, for the digit keys, its digit.
std::optional<std::string> key_code(const std::string& word) {
    const std::string w = normalized(word);
    if (w.empty()) return std::nullopt;
    for (const auto& k : delpad::key_table()) {
        if (normalized(k.name) == w || normalized(k.caption) == w) return k.code;
        if (k.family == delpad::KeyFamily::digit && normalized(k.caption).substr(0, 1) == w)
            return k.code;
    }
    return std::nullopt;
}

std::string css_colour(const delpad::KeyColour& c) {
    if (c.kind == delpad::KeyColour::Kind::system_highlight) return "#3399ff";
    if (c.kind == delpad::KeyColour::Kind::system_button_face) return "#f0f0f0";
    char text[8];
    std::snprintf(text, sizeof text, "#%06X", static_cast<unsigned>(c.rgb & 0xFFFFFF));
    return text;
}

Json keypad_json() {
    Json keys = Json::array();
    for (const auto& k : delpad::key_table()) {
        if (k.hidden) continue;
        keys.push_back({{"name", k.name},
                        {"caption", k.caption},
                        {"code", k.code},
                        {"left", delpad::to_pixels(k.place.left)},
                        {"top", delpad::to_pixels(k.place.top)},
                        {"width", delpad::to_pixels(k.place.width)},
                        {"height", delpad::to_pixels(k.place.height)},
                        {"colour", css_colour(k.colour)}});
    }
    return {{"keys", keys}};
}

// ---------------------------------------------------------------- service

// "DD-MM-YY" (one-digit day and month allowed), checked as the register's
// clock checks dates: 31-04-14 is refused, not taken for 1 May.
bool parse_day(const std::string& text, std::array<std::int32_t, 3>& day, std::string& error) {
    static const std::regex form(R"(^([0-9]{1,2})-([0-9]{1,2})-([0-9]{2})$)");
    std::smatch m;
    if (!std::regex_match(text, m, form)) {
        error = "from and to are dates DD-MM-YY: \"" + text.substr(0, 32) + "\"";
        return false;
    }
    for (int i = 0; i < 3; ++i) day[static_cast<std::size_t>(i)] = std::stoi(m[i + 1].str());
    if (ecr_oro_check(day[0], day[1], day[2], 0, 0, 0) != 0) {
        error = "not a valid date: " + text;
        return false;
    }
    return true;
}

// A decoded path as the log shows it: control characters and backslashes
// escaped, so that no path writes a line of its own.
std::string escaped(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool constant_time_equal(const std::string& a, const std::string& b) {
    unsigned diff = static_cast<unsigned>(a.size() ^ b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |=
            static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i % (b.size() + 1)]);
    return diff == 0;
}

// The service's log, written by a thread of its own: a log nobody reads
// (a full pipe, a console paused by a selection) holds that thread only,
// never a connection's or a job's. Past kMaxWaiting unwritten lines, new
// ones are counted and dropped, and the count is written when the log
// moves again.
class LogWriter {
public:
    static constexpr std::size_t kMaxWaiting = 10000;

    explicit LogWriter(std::ostream& out) : out_(out), thread_([this] { loop(); }) {}
    ~LogWriter() {
        {
            std::lock_guard lock(m_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    void line(std::string text) {
        {
            std::lock_guard lock(m_);
            if (waiting_.size() >= kMaxWaiting) {
                ++dropped_;
                return;
            }
            waiting_.push_back("veltra serve: " + std::move(text));
        }
        changed_.notify_one();
    }

private:
    void loop() {
        std::unique_lock lock(m_);
        for (;;) {
            changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (waiting_.empty()) return;  // stopping, and all written
            std::deque<std::string> now;
            now.swap(waiting_);
            const std::size_t dropped = std::exchange(dropped_, 0);
            lock.unlock();
            if (dropped > 0)
                out_ << "veltra serve: " << dropped << " log lines dropped: the log was not read\n";
            for (const auto& l : now) out_ << l << '\n';
            out_.flush();
            lock.lock();
        }
    }

    std::ostream& out_;
    std::mutex m_;
    std::condition_variable changed_;
    std::deque<std::string> waiting_;
    std::size_t dropped_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

class Service {
public:
    Service(const ServiceConfig& config, std::ostream& log) : config_(config), log_(log) {
        for (const auto& r : config.registers) {
            registers_[r.name] = {
                r,
                std::make_unique<Worker>(r, config, store_,
                                         [this](const std::string& line) { log_.line(line); }),
                std::make_unique<DisplayWatch>(r)};
        }
        routes();
    }
    ~Service() {
        for (auto& [name, r] : registers_) r.display->stop();
    }

    int run() {
        const int port = server_.bind(config_.listen_host, config_.listen_port);
        if (port == 0) return fail_listen();
        listen_ = {config_.listen_host, port};
        log_.line("listening on http://" + config_.listen_host + ":" + std::to_string(port));
        std::atomic<bool> done{false};
        std::thread watcher([this, &done] {
            while (!done && !ecrsim::stop_requested())
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            // Jobs not started are cancelled, not run; the running ones end
            // as they would.
            for (auto& [name, r] : registers_) r.worker->close("the service is stopping");
            for (auto& [name, r] : registers_) r.display->stop();
            server_.stop();
        });
        server_.listen();
        done = true;
        watcher.join();
        return 0;
    }

private:
    struct Register {
        RegisterConfig config;
        std::unique_ptr<Worker> worker;
        std::unique_ptr<DisplayWatch> display;
    };

    int fail_listen() {
        log_.line("cannot listen on " + config_.listen_host + ":" +
                  std::to_string(config_.listen_port));
        return 1;
    }

    Register* find_register(const http::Request& req, http::Response& res) {
        auto it = registers_.find(req.matches[1].str());
        if (it == registers_.end()) {
            send_error(res, 404, "unknown register: " + req.matches[1].str());
            return nullptr;
        }
        return &it->second;
    }

    std::shared_ptr<Job> tool_job(Register& r, const std::string& kind,
                                  std::vector<std::string> args, bool registered = true) {
        auto job = store_.make(r.config.name, kind, registered);
        args.insert(args.begin(), {"--host", r.config.host, "--json", "--quiet"});
        job->request = {{"args", args}};
        return job;
    }

    Worker* worker_of(const Job& job) {
        const auto it = registers_.find(job.register_name);
        return it == registers_.end() ? nullptr : it->second.worker.get();
    }

    // Answers with the job's result once it ends: the JSON object, or the
    // download's bytes as content_type. No thread waits meanwhile. ?wait=0
    // answers 202 at once, and so does a job still pending after the time
    // limit; the download is then fetched from /api/v1/jobs/{id}/output. A
    // read whose clients all leave before it starts is dropped.
    void answer(const http::Request& req, http::Response& res, std::shared_ptr<Job> job) {
        if (job->joined) job = job->joined;
        if (job->queue_full) {
            send_result(res, *job);
            return;
        }
        Worker* worker = worker_of(*job);
        if (req.get_param_value("wait") == "0") {
            if (worker) worker->hold(*job);
            send_json(res, 202, store_.describe(*job));
            return;
        }
        const http::Reply reply = res.defer();
        const auto watch = store_.watch(*job, [this, reply, job] {
            http::Response out;
            send_result(out, *job);
            reply.send(std::move(out));
        });
        if (watch == 0) return;  // ended already: answered
        reply.on_timeout(std::chrono::seconds(config_.job_seconds + 30),
                         [this, reply, job, watch, worker] {
                             if (!store_.unwatch(*job, watch)) return;
                             if (worker) worker->hold(*job);
                             http::Response out;
                             send_json(out, 202, store_.describe(*job));
                             reply.send(std::move(out));
                         });
        reply.on_gone([this, job, watch, worker] {
            if (store_.unwatch(*job, watch) && worker) worker->release(job);
        });
    }

    // A finished job: its download once, or its JSON object.
    void send_result(http::Response& res, Job& job) {
        Json j = store_.describe(job);
        if (job.queue_full) res.set_header("Retry-After", std::to_string(kRetryAfterSeconds));
        const bool download = !job.content_type.empty() || !job.output_dir.empty();
        if (job.state != JobState::kSucceeded || !download) {
            send_json(res, job.http_status, j);
            return;
        }
        std::string output;
        Json files;
        if (!store_.take_output(job, output, files)) {
            send_error(res, 410, "the job's download was handed out already or dropped");
            return;
        }
        res.set_header("X-Veltra-Job", job.id);
        if (job.content_type.empty()) {
            j["files"] = std::move(files);
            send_json(res, 200, j);
            return;
        }
        res.status = 200;
        res.set_content(std::move(output), job.content_type);
    }

    // Changes to a register: a job, with the Idempotency-Key rule, answered
    // when done (or at once with 202 and ?wait=0). job is a draft: the store
    // keeps it only once the key's checks pass, so a refused request leaves
    // no job behind.
    void change(const http::Request& req, http::Response& res, Register& r,
                const std::shared_ptr<Job>& job, const std::string& body_to_write = "") {
        const std::string key = req.get_header_value("Idempotency-Key");
        if (key.size() > kMaxIdempotencyKey) {
            send_error(res, 400, "Idempotency-Key longer than 200 characters");
            return;
        }
        std::shared_ptr<Job> run = job;
        bool repeated = false;
        if (!key.empty()) {
            bool conflict = false;
            const std::string signature = r.config.name + " " + req.method + " " + req.path + "?" +
                                          std::to_string(std::hash<std::string>{}(req.body));
            if (auto first = store_.remember(key, signature, job, conflict)) {
                if (conflict) {
                    send_error(res, 422, "Idempotency-Key already used for another request");
                    return;
                }
                run = first;
                repeated = true;
            }
        } else {
            store_.add(job);
        }
        if (!repeated) {
            if (!body_to_write.empty() || !job->input_file.empty()) {
                std::ofstream f(job->input_file, std::ios::binary);
                f.write(body_to_write.data(), static_cast<std::streamsize>(body_to_write.size()));
                if (!f) {
                    store_.finish(*job, JobState::kFailed, nullptr,
                                  error_object("cannot store the body")["error"], 500, "");
                }
            }
            if (job->state == JobState::kQueued) r.worker->submit(job);
        }
        if (repeated) res.set_header("Idempotent-Replayed", "true");
        answer(req, res, run);
    }

    // The displays as server-sent events: one event per new text, and a
    // comment now and then to keep a quiet line open. The stream costs no
    // thread; each register's watch writes to it.
    static void stream_display(http::Response& res, const std::vector<Register*>& regs,
                               bool named) {
        res.set_header("X-Accel-Buffering", "no");
        const http::Stream out = res.stream("text/event-stream");
        for (Register* r : regs) {
            auto last = std::make_shared<std::string>();
            const std::string name = r->config.name;
            r->display->watch(
                [out, last, name, named](const std::string& text, bool connected, bool beat) {
                    Json j = {{"text", text}, {"connected", connected}};
                    if (named) j["register"] = name;
                    std::string event = "event: display\ndata: " + j.dump() + "\n\n";
                    if (event == *last) {
                        if (!beat) return true;
                        event = ": still here\n\n";
                    } else {
                        *last = event;
                    }
                    return out.write(std::move(event));
                });
        }
    }

    // One register's status read for the register list.
    struct Ask {
        Register* r;
        std::shared_ptr<Job> job;
        unsigned long long watch = 0;
    };
    Json register_list(const std::vector<Ask>& asks) {
        Json list = Json::array();
        for (const Ask& a : asks) {
            Json j = {{"id", a.r->config.name},
                      {"host", a.r->config.host},
                      {"worker_pid", a.r->worker->pid()},
                      {"worker_restarts", a.r->worker->restarts()}};
            const Json d = store_.describe(*a.job);
            j["reachable"] = d["state"] == "succeeded";
            if (d.contains("result") && d["result"].contains("stato"))
                j["state"] = d["result"]["stato"];
            if (d.contains("error")) j["error"] = d["error"];
            list.push_back(j);
        }
        return list;
    }

    bool confirmed(const http::Request& req, http::Response& res) {
        if (req.get_param_value("confirm") == "1") return true;
        send_error(res, 400, "this call changes the register: add confirm=1");
        return false;
    }

    void routes() {
        server_.set_pre_routing_handler([](const http::Request&, http::Response& res) {
            res.set_header("Cache-Control", "no-store");
            return false;
        });
        // Other web sites first, then the token, both on the header: a
        // refused request is answered before its body is read.
        server_.add_header_check([this](const http::Request& req, http::Response& res) {
            if (auto refusal = refusal_for(req.method, req.path, req.headers, listen_)) {
                res.set_header("Cache-Control", "no-store");
                send_error(res, refusal->status, refusal->message);
                return true;
            }
            return false;
        });
        server_.add_header_check([this](const http::Request& req, http::Response& res) {
            if (config_.token.empty() || req.path.rfind("/api/", 0) != 0) return false;
            const std::string given = req.get_header_value("Authorization");
            if (!constant_time_equal(given, "Bearer " + config_.token)) {
                res.set_header("Cache-Control", "no-store");
                res.set_header("WWW-Authenticate", "Bearer");
                send_error(res, 401, given.empty() ? "this service needs a token" : "wrong token");
                return true;
            }
            return false;
        });
        server_.set_error_handler([](const http::Request&, http::Response& res) {
            if (!res.body.empty()) return;
            const std::string what = res.status == 413   ? "body too large"
                                     : res.status == 404 ? "no such resource"
                                     : res.status == 400
                                         ? "bad request (a POST or PUT needs a Content-Length)"
                                         : "request refused";
            send_error(res, res.status, what);
        });
        server_.set_exception_handler(
            [](const http::Request&, http::Response& res, std::exception_ptr ep) {
                std::string what = "internal error";
                try {
                    std::rethrow_exception(ep);
                } catch (const std::exception& e) {
                    what += std::string(": ") + e.what();
                } catch (...) {
                }
                send_error(res, 500, what);
            });
        server_.set_logger([this](const http::Request& req, const http::Response& res) {
            std::string line = req.remote_addr + " " + req.method + " " + escaped(req.path) + " " +
                               std::to_string(res.status);
            const std::string job = res.get_header_value("X-Veltra-Job");
            if (!job.empty()) line += " job " + job;
            log_.line(std::move(line));
        });

        server_.get("/", [](const http::Request&, http::Response& res) {
            res.set_content(page_html(), "text/html; charset=utf-8");
        });
        server_.get("/api/v1/keypad", [](const http::Request&, http::Response& res) {
            send_json(res, 200, keypad_json());
        });

        server_.get("/api/v1/registers", [this](const http::Request& req, http::Response& res) {
            // ?check=0: the configuration and the workers only, at once.
            if (req.get_param_value("check") == "0") {
                Json list = Json::array();
                for (auto& [name, r] : registers_)
                    list.push_back({{"id", r.config.name},
                                    {"host", r.config.host},
                                    {"worker_pid", r.worker->pid()},
                                    {"worker_restarts", r.worker->restarts()},
                                    {"pending_jobs", store_.pending_of(r.config.name)}});
                send_json(res, 200, {{"registers", list}});
                return;
            }
            // Every register's status at once: each worker asks its own, and
            // the answer goes when all have ended (or at the time limit).
            auto asks = std::make_shared<std::vector<Ask>>();
            for (auto& [name, r] : registers_) {
                auto job = tool_job(r, "status", {"status"});
                r.worker->submit(job);
                asks->push_back({&r, job->joined ? job->joined : job});
            }
            const http::Reply reply = res.defer();
            auto send = [this, asks, reply] {
                http::Response out;
                send_json(out, 200, {{"registers", register_list(*asks)}});
                reply.send(std::move(out));
            };
            auto left = std::make_shared<std::atomic<std::size_t>>(asks->size() + 1);
            for (auto& a : *asks)
                a.watch = store_.watch(*a.job, [left, send] {
                    if (--*left == 0) send();
                });
            if (--*left == 0) send();
            reply.on_timeout(std::chrono::seconds(config_.job_seconds + 30), send);
            reply.on_gone([this, asks] {
                for (auto& a : *asks)
                    if (store_.unwatch(*a.job, a.watch)) a.r->worker->release(a.job);
            });
        });

        server_.get(R"(/api/v1/registers/([^/]+)/status)",
                    [this](const http::Request& req, http::Response& res) {
                        Register* r = find_register(req, res);
                        if (r == nullptr) return;
                        auto job = tool_job(*r, "status", {"status"});
                        r->worker->submit(job);
                        answer(req, res, job);
                    });

        server_.get(R"(/api/v1/registers/([^/]+)/tables/(reparti|plu|clienti))",
                    [this](const http::Request& req, http::Response& res) {
                        Register* r = find_register(req, res);
                        if (r == nullptr) return;
                        const std::string table = req.matches[2].str();
                        auto job = store_.make(r->config.name, "tables get " + table);
                        job->output_file = r->worker->path(job->id + ".csv");
                        job->content_type = "text/csv";
                        std::vector<std::string> args = {"--host",  r->config.host,  "--json",
                                                         "--quiet", "tables",        "get",
                                                         table,     job->output_file};
                        if (req.get_param_value("changed") == "1") args.push_back("--changed");
                        job->request = {{"args", args}};
                        restores_setup(*job, *r);
                        r->worker->submit(job);
                        answer(req, res, job);
                    });

        server_.put(R"(/api/v1/registers/([^/]+)/tables/(reparti|plu|clienti))",
                    [this](const http::Request& req, http::Response& res) {
                        Register* r = find_register(req, res);
                        if (r == nullptr) return;
                        // The upload waits for its check: on a thread of its own.
                        const http::Reply reply = res.defer();
                        server_.run_blocking([this, reply, r] {
                            http::Response out = reply.response();
                            const http::Request& q = reply.request();
                            put_table(q, out, *r, q.matches[2].str());
                            reply.send(std::move(out));
                        });
                    });

        server_.get(R"(/api/v1/registers/([^/]+)/invoices)",
                    [this](const http::Request& req, http::Response& res) {
                        Register* r = find_register(req, res);
                        if (r == nullptr) return;
                        auto job = store_.make(r->config.name, "invoices get");
                        job->output_file = r->worker->path(job->id + ".csv");
                        job->content_type = "text/csv";
                        job->request = {{"args",
                                         {"--host", r->config.host, "--json", "--quiet", "invoices",
                                          "get", job->output_file}}};
                        restores_setup(*job, *r);
                        r->worker->submit(job);
                        answer(req, res, job);
                    });

        server_.post(
            R"(/api/v1/registers/([^/]+)/commands/(setup-on|setup-off|azzdati|azzfat|azzven-corr|azzfis|azzven-arch))",
            [this](const http::Request& req, http::Response& res) {
                Register* r = find_register(req, res);
                if (r == nullptr || !confirmed(req, res)) return;
                const std::string command = req.matches[2].str();
                auto job = tool_job(*r, "command " + command, {"command", command, "--yes"}, false);
                change(req, res, *r, job);
            });

        server_.post(R"(/api/v1/registers/([^/]+)/keys)",
                     [this](const http::Request& req, http::Response& res) {
                         Register* r = find_register(req, res);
                         if (r == nullptr) return;
                         post_keys(req, res, *r);
                     });

        server_.get(R"(/api/v1/registers/([^/]+)/display)",
                    [this](const http::Request& req, http::Response& res) {
                        Register* r = find_register(req, res);
                        if (r == nullptr) return;
                        stream_display(res, {r}, false);
                    });
        // Every register's display on one stream, each event naming its
        // register: a browser's tabs share it (see the page).
        server_.get("/api/v1/display", [this](const http::Request&, http::Response& res) {
            std::vector<Register*> all;
            for (auto& [name, r] : registers_) all.push_back(&r);
            stream_display(res, all, true);
        });

        sales_routes();
        backup_routes();
        release_routes();

        server_.get(R"(/api/v1/jobs/([^/]+)/output)",
                    [this](const http::Request& req, http::Response& res) {
                        auto job = store_.find(req.matches[1].str());
                        if (!job) {
                            send_error(res, 404, "unknown job: " + req.matches[1].str());
                            return;
                        }
                        if (!store_.wait(*job, std::chrono::seconds(0))) {
                            Json j = store_.describe(*job);
                            j["error"] = {{"message", "the job has not ended yet"}};
                            send_json(res, 409, j);
                            return;
                        }
                        send_result(res, *job);
                    });

        server_.get(R"(/api/v1/jobs/([^/]+))",
                    [this](const http::Request& req, http::Response& res) {
                        auto job = store_.find(req.matches[1].str());
                        if (!job) {
                            send_error(res, 404, "unknown job: " + req.matches[1].str());
                            return;
                        }
                        send_json(res, 200, store_.describe(*job));
                    });
    }

    // A job that changes nothing on the register: should it fail, setup
    // mode goes back as the worker finds it before the job.
    static void restores_setup(Job& job, const Register& r) {
        job.setup = SetupCare::kRestore;
        job.request["report_setup"] = true;
        job.request["host"] = r.config.host;
    }

    // A job of the worker's own library calls (see worker_ops.hpp).
    std::shared_ptr<Job> op_job(Register& r, const std::string& kind, const std::string& op,
                                bool registered = true) {
        auto job = store_.make(r.config.name, kind, registered);
        job->request = {{"op", op}, {"host", r.config.host}};
        return job;
    }

    // The folder a sales job fills; named after the job.
    bool sales_dir(Register& r, Job& job, http::Response& res) {
        job.output_dir = r.worker->path(job.id + "-sales");
        std::error_code ec;
        std::filesystem::create_directories(job.output_dir, ec);
        if (ec) {
            send_error(res, 500, "cannot make the sales folder");
            return false;
        }
        job.request["dir"] = job.output_dir;
        return true;
    }

    // The day's or past days' sales: {"id", "state", "result", "progress",
    // "files": {"VEND_REP_ddmmyy.CSV": "...", ...}}.
    void sales_routes() {
        server_.get(R"(/api/v1/registers/([^/]+)/sales/today)",
                    [this](const http::Request& req, http::Response& res) {
                        Register* r = find_register(req, res);
                        if (r == nullptr) return;
                        auto job = op_job(*r, "sales today", "sales-today");
                        restores_setup(*job, *r);
                        if (!sales_dir(*r, *job, res)) return;
                        r->worker->submit(job);
                        answer(req, res, job);
                    });
        server_.get(R"(/api/v1/registers/([^/]+)/sales)", [this](const http::Request& req,
                                                                 http::Response& res) {
            Register* r = find_register(req, res);
            if (r == nullptr) return;
            std::array<std::int32_t, 3> from{}, to{};
            std::string error;
            if (!parse_day(req.get_param_value("from"), from, error) ||
                !parse_day(req.get_param_value("to"), to, error)) {
                send_error(res, 400, error);
                return;
            }
            if (std::tie(from[2], from[1], from[0]) > std::tie(to[2], to[1], to[0])) {
                send_error(res, 400, "from is after to");
                return;
            }
            auto job =
                op_job(*r, "sales " + req.get_param_value("from") + " " + req.get_param_value("to"),
                       "sales-range");
            job->request["from"] = from;
            job->request["to"] = to;
            restores_setup(*job, *r);
            if (!sales_dir(*r, *job, res)) return;
            r->worker->submit(job);
            answer(req, res, job);
        });
    }

    void backup_routes() {
        server_.post(R"(/api/v1/registers/([^/]+)/backup)",
                     [this](const http::Request& req, http::Response& res) {
                         Register* r = find_register(req, res);
                         if (r == nullptr) return;
                         auto job = op_job(*r, "backup save", "backup-save");
                         job->output_file = r->worker->path(job->id + ".dat");
                         job->content_type = "application/octet-stream";
                         job->request["file"] = job->output_file;
                         restores_setup(*job, *r);
                         res.set_header("Content-Disposition",
                                        "attachment; filename=\"" + r->config.name + ".dat\"");
                         r->worker->submit(job);
                         answer(req, res, job);
                     });
        server_.put(R"(/api/v1/registers/([^/]+)/backup)", [this](const http::Request& req,
                                                                  http::Response& res) {
            Register* r = find_register(req, res);
            if (r == nullptr || !confirmed(req, res)) return;
            if (req.body.size() != kArchiveSize) {
                send_error(res, 400,
                           "an archive is exactly " + std::to_string(kArchiveSize) +
                               " bytes; the body has " + std::to_string(req.body.size()));
                return;
            }
            auto job = op_job(*r, "backup restore", "backup-restore", false);
            job->setup = SetupCare::kLeave;
            job->input_file = r->worker->path(job->id + ".dat");
            job->request["file"] = job->input_file;
            change(req, res, *r, job, req.body);
        });
    }

    void release_routes() {
        server_.get(R"(/api/v1/registers/([^/]+)/release)",
                    [this](const http::Request& req, http::Response& res) {
                        Register* r = find_register(req, res);
                        if (r == nullptr) return;
                        auto job = op_job(*r, "release show", "release-show");
                        restores_setup(*job, *r);
                        r->worker->submit(job);
                        answer(req, res, job);
                    });
        server_.put(R"(/api/v1/registers/([^/]+)/release)",
                    [this](const http::Request& req, http::Response& res) {
                        Register* r = find_register(req, res);
                        if (r == nullptr || !confirmed(req, res)) return;
                        if (req.body.size() > kReleaseMaxSize) {
                            send_error(res, 413,
                                       "body too large: a release file is at most " +
                                           std::to_string(kReleaseMaxSize) + " bytes");
                            return;
                        }
                        if (req.body.empty()) {
                            send_error(res, 400, "the body holds no release file");
                            return;
                        }
                        auto job = op_job(*r, "release update", "release-update", false);
                        job->setup = SetupCare::kLeave;
                        job->input_file = r->worker->path(job->id + ".rel");
                        job->request["file"] = job->input_file;
                        change(req, res, *r, job, req.body);
                    });
    }

    void put_table(const http::Request& req, http::Response& res, Register& r,
                   const std::string& table) {
        const bool dry_run = req.get_param_value("dry_run") == "1";
        if (!dry_run && !confirmed(req, res)) return;
        if (req.body.size() > kMaxCsvBytes) {
            send_error(res, 413, "body too large: a CSV is at most 4 MB");
            return;
        }
        if (req.body.empty()) {
            send_error(res, 400, "the body holds no CSV");
            return;
        }
        if (req.body.find('\0') != std::string::npos) {
            send_error(res, 400, "the body is not a CSV text");
            return;
        }
        const bool allow_reset = req.get_param_value("allow_reset") == "1";
        // First the comparison: a CSV with lines that do not parse, or that
        // resets records nobody asked to reset, is refused before the
        // register changes.
        auto check = store_.make(r.config.name, "tables put " + table + " (dry run)");
        check->input_file = r.worker->path(check->id + ".csv");
        check->request = {{"args",
                           {"--host", r.config.host, "--json", "--quiet", "tables", "put", table,
                            check->input_file, "--dry-run"}}};
        restores_setup(*check, r);
        {
            std::ofstream f(check->input_file, std::ios::binary);
            f.write(req.body.data(), static_cast<std::streamsize>(req.body.size()));
        }
        r.worker->submit(check);
        if (!store_.wait(*check, std::chrono::seconds(config_.job_seconds + 30)) ||
            check->state != JobState::kSucceeded) {
            send_json(res, check->http_status, store_.describe(*check));
            return;
        }
        Json comparison = store_.describe(*check)["result"];
        comparison.erase("refused");  // in the command line's words
        if (const std::string why = upload_refusal(table, comparison, allow_reset || dry_run);
            !why.empty()) {
            Json j = error_object(why);
            j["comparison"] = comparison;
            send_json(res, 400, j);
            return;
        }
        if (dry_run) {
            Json j = store_.describe(*check);
            j["result"] = comparison;
            send_json(res, 200, j);
            return;
        }
        auto job = store_.make(r.config.name, "tables put " + table, false);
        job->setup = SetupCare::kLeave;
        job->input_file = r.worker->path(job->id + ".csv");
        std::vector<std::string> args = {"--host",  r.config.host,   "--json",
                                         "--quiet", "tables",        "put",
                                         table,     job->input_file, "--yes"};
        if (allow_reset) args.push_back("--allow-reset");
        job->request = {{"args", args}};
        change(req, res, r, job, req.body);
    }

    // Why an upload with this comparison is refused; "" when it is not. A
    // dry run is refused alike for lines that do not parse, and answers
    // what would be reset.
    static std::string upload_refusal(const std::string& table, const Json& c, bool allow_reset) {
        const long bad = c.value("bad_lines", 0L);
        std::string lines;  // "2-80, 83 (line 2: why)": runs of line numbers, the first reason
        if (bad > 0 && !c["bad_line_list"].empty()) {
            const Json& list = c["bad_line_list"];
            for (std::size_t i = 0; i < list.size();) {
                std::size_t j = i;
                while (j + 1 < list.size() &&
                       list[j + 1].value("line", 0L) == list[j].value("line", 0L) + 1)
                    ++j;
                if (!lines.empty()) lines += ", ";
                lines += std::to_string(list[i].value("line", 0L));
                if (j > i) lines += "-" + std::to_string(list[j].value("line", 0L));
                i = j + 1;
            }
            if (static_cast<std::size_t>(bad) > list.size()) lines += ", ...";
            lines += " (line " + std::to_string(list[0].value("line", 0L)) + ": " +
                     list[0].value("reason", "") + ")";
        }
        if (c.value("applied", 0) <= 0) {
            return "no line of the CSV applies to the " + table + " table: nothing uploaded" +
                   (bad > 0 ? "; lines that do not parse: " + lines : "");
        }
        if (bad > 0) {
            return std::to_string(bad) + (bad == 1 ? " line" : " lines") +
                   " of the CSV do not parse: " + lines + "; nothing uploaded";
        }
        const long reset = c.value("reset", 0L);
        if (reset > 0 && !allow_reset) {
            std::string records;
            for (const Json& rec : c["reset_list"]) {
                if (!records.empty()) records += ", ";
                records += std::to_string(rec.value("id", 0L)) + " " + rec.value("descr", "");
            }
            if (static_cast<std::size_t>(reset) > c["reset_list"].size()) records += ", ...";
            return "the upload would reset " + std::to_string(reset) + " " + table +
                   " records to their defaults (" + records +
                   "): nothing uploaded; add allow_reset=1 to reset them";
        }
        return "";
    }

    void post_keys(const http::Request& req, http::Response& res, Register& r) {
        if (req.body.size() > kMaxKeysBody) {
            send_error(res, 413, "body too large");
            return;
        }
        Json body;
        try {
            body = Json::parse(req.body);
        } catch (const std::exception&) {
            send_error(res, 400, "the body is not JSON: {\"keys\": [\"1\", \"TOTALE\"]}");
            return;
        }
        if (!body.is_object() || !body.contains("keys") || !body["keys"].is_array() ||
            body["keys"].empty() || body["keys"].size() > kMaxKeys) {
            send_error(res, 400, "keys: a list of 1 to 64 key names");
            return;
        }
        std::vector<std::string> codes;
        for (const Json& k : body["keys"]) {
            const auto code = k.is_string() ? key_code(k.get<std::string>()) : std::nullopt;
            if (!code) {
                send_error(res, 400, "unknown key: " + k.dump());
                return;
            }
            codes.push_back(*code);
        }
        auto job = store_.make(r.config.name, "keys", false);
        job->request = {{"keys", codes}, {"host", r.config.host}};
        change(req, res, r, job);
    }

    ServiceConfig config_;
    ListenAddress listen_;  // the port bound, once run() has it
    LogWriter log_;         // before the workers and the server, which log to it
    JobStore store_;
    std::map<std::string, Register> registers_;
    http::Server server_{server_settings()};
};

bool valid_name(const std::string& name) {
    if (name.empty() || name.size() > 32) return false;
    return std::all_of(name.begin(), name.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '_'; });
}

bool parse_port(const std::string& text, std::uint16_t& port, bool zero_ok) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    const long v = std::stol(text);
    if (v > 65535 || (v == 0 && !zero_ok)) return false;
    port = static_cast<std::uint16_t>(v);
    return true;
}

}  // namespace

bool parse_register(const std::string& text, RegisterConfig& out, std::string& error) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos) {
        error = "a register is NAME=HOST[:TFTP[:LINE[:DISPLAY]]]: " + text;
        return false;
    }
    out = {};
    out.name = text.substr(0, eq);
    if (!valid_name(out.name)) {
        error = "a register name has 1 to 32 letters, digits, '-' or '_': " + out.name;
        return false;
    }
    std::vector<std::string> parts;
    std::stringstream rest(text.substr(eq + 1));
    std::string part;
    while (std::getline(rest, part, ':')) parts.push_back(part);
    if (parts.empty() || parts[0].empty() || parts.size() > 4) {
        error = "a register is NAME=HOST[:TFTP[:LINE[:DISPLAY]]]: " + text;
        return false;
    }
    out.host = parts[0];
    std::uint16_t p = 0;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        if (!parse_port(parts[i], p, false)) {
            error = "not a port: " + parts[i];
            return false;
        }
        if (i == 1) out.tftp_port = p;
        if (i == 2) out.line_port = p;
        if (i == 3) out.display_port = p;
    }
    return true;
}

bool parse_listen(const std::string& text, ServiceConfig& out, std::string& error) {
    const std::size_t colon = text.rfind(':');
    const std::string host = colon == std::string::npos ? out.listen_host : text.substr(0, colon);
    const std::string port_text = colon == std::string::npos ? text : text.substr(colon + 1);
    std::uint16_t port = 0;
    if (host.empty() || !parse_port(port_text, port, true)) {
        error = "--listen is HOST:PORT or PORT: " + text;
        return false;
    }
    out.listen_host = host;
    out.listen_port = port;
    return true;
}

bool is_loopback(const std::string& host) {
    if (host == "localhost") return true;
    const auto addr = ecrsim::net::parse_ipv4(host);
    if (!addr) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&*addr);
    return bytes[0] == 127;  // network order: the first byte is the first number
}

int run_service(const ServiceConfig& config, std::ostream& log) {
    sys::ignore_broken_pipes();
    Service service(config, log);
    return service.run();
}

}  // namespace veltra::tool::serve
