// One register's worker process, supervised: its jobs queued and run one
// after another, a process that ends or hangs restarted, setup mode cared
// for when a job fails.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "config.hpp"
#include "jobs.hpp"
#include "sys/child_process.hpp"
#include "work_dir.hpp"

namespace veltra::tool::serve {

// Jobs waiting for one register's worker; one more is answered 503.
inline constexpr std::size_t kMaxQueued = 16;

using LogLine = std::function<void(const std::string&)>;
class AddressBook;

class WorkerProcess {
public:
    WorkerProcess(const RegisterConfig& reg, const ServiceConfig& config, JobStore& store,
                  LogLine log);
    ~WorkerProcess();

    // Queues the job. A status read joins the one queued or running
    // already, which answers for both (job->joined); the job itself is
    // forgotten. The running one counts only until it has answered: the
    // loop lets go of it a moment later, and a read asked in that moment is
    // a new read. When the queue is full or the service stops, the job fails
    // at once with 503.
    void submit(const std::shared_ptr<Job>& job);
    // A client asked for the job by id: it runs whatever its waiters do.
    void hold(Job& job);
    // A waiting client left: a read that nobody wants any more is dropped
    // if it has not started.
    void release(const std::shared_ptr<Job>& job);
    // The service is stopping: jobs not started are cancelled, not run,
    // and no more are taken. The running one ends as it would.
    void close(const std::string& reason);
    // Called with a sales job's files once it succeeded, before anyone is
    // told; what it returns goes into the job's result as "history".
    using SalesKeeper = std::function<Json(const Job&, const Json& files)>;
    void keep_sales(SalesKeeper keeper) { keep_sales_ = std::move(keeper); }
    // Where a register named by serial number finds its address; set before
    // the first job.
    void use_address_book(AddressBook* book) { book_ = book; }
    // A file name in the worker's directory; names come from job ids only.
    std::string path(const std::string& name) const { return dir_.file(name); }
    long pid() const { return pid_.load(); }
    int restarts() const { return restarts_.load(); }
    // The worker takes jobs and none has outlived its time limit (the
    // supervision ends such a job; until it has, the worker does not answer).
    bool healthy();

private:
    // Reads change nothing on the register: one whose clients have all
    // gone is not worth running.
    static bool is_read(const Job& job);

    void loop();

    void start_child();

    // The worker's directory holds nothing of a job that ended.
    void clean_dir();

    void restart(const std::string&);

    void run(Job& job);

    // The CSV files the job left in its folder, by name; false when they
    // are more than a sales answer holds.
    static bool read_files(const std::string& dir, Json& files);

    void finish(Job& job, const Json& answer);

    // A failed job's setup mode, and a word on it in its error.
    void care_for_setup(const Job& job, Json& error);

    SalesKeeper keep_sales_;
    AddressBook* book_ = nullptr;

    // The host the library is given: the configured one, or the address the
    // book found for a register named by serial (nullopt: none yet).
    std::optional<std::string> host() const;

    // Ends setup mode if the register is in it, in the worker (a new one
    // if need be). Empty when done, else why not.
    std::string leave_setup();

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
    std::chrono::steady_clock::time_point current_since_;
    bool stopping_ = false;
    bool closed_ = false;
    std::thread thread_;
};

}  // namespace veltra::tool::serve
