// What the service's route groups share: the registers with their workers
// and displays, the job store, the server, and the ways a request becomes a
// job and a job becomes an answer. Each group of routes (one resource) is in
// a file of its own, routes_<resource>.cpp.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "answers.hpp"
#include "config.hpp"
#include "display_relay.hpp"
#include "http.hpp"
#include "jobs.hpp"
#include "worker_process.hpp"

namespace veltra::tool::serve {

struct RegisterFacts;
struct Watching;
class Scheduler;
class ArchiveStore;
class AddressBook;

struct Register {
    RegisterConfig config;
    std::unique_ptr<WorkerProcess> worker;
    std::unique_ptr<DisplayWatch> display;
    const AddressBook* book = nullptr;  // where a register named by serial is found
};

class SalesHistory;  // sales_history.hpp
class Fleet;         // fleet.hpp
struct ArchiveInfo;  // archives.hpp

// An archive as the routes show it.
Json archive_json(const ArchiveInfo& a);

class Routes {
public:
    // archives: where the registers' archives are kept; none, no archive routes.
    Routes(const ServiceConfig& config, JobStore& store, std::map<std::string, Register>& registers,
           http::Server& server, ArchiveStore* archives = nullptr)
        : config_(config),
          store_(store),
          registers_(registers),
          server_(server),
          archives_(archives) {}

    // Every route, on the server.
    void add_all();
    // What /metrics, /readyz and the overview read; set before add_all().
    void set_watching(Watching* watching) { watching_ = watching; }
    // Asks the change's register to verify it again (a worker's verify op);
    // the verdict it reaches settles the change. The verifying job, or
    // nothing when its register is gone or a verification already runs.
    std::shared_ptr<Job> verify(const std::shared_ptr<Job>& change);
    // The schedules' routes answer from the scheduler; set before add_all().
    void set_scheduler(Scheduler* scheduler) { scheduler_ = scheduler; }
    // The sales history the report routes read; none, no report routes.
    void set_history(SalesHistory* history) { history_ = history; }
    // The operations over groups; none, no group routes. Set before add_all().
    void set_fleet(Fleet* fleet) { fleet_ = fleet; }

    // What the scheduler shares with the routes.
    // A change the service makes on its own (a schedule's closure): kept in
    // the journal with who asked before its worker may touch the register,
    // then queued, exactly as a request's change without a key.
    void own_change(Register& r, const std::shared_ptr<Job>& job, const std::string& who,
                    const std::string& body = "");
    // A job of one of the worker's operations (see worker_protocol.hpp).
    std::shared_ptr<Job> op_job(Register& r, const std::string& kind, const std::string& op,
                                bool registered = true);
    // A table upload's job, its input file named but not written: a dry run
    // (the comparison only, kept at once) or the change itself (kept by
    // change() or own_change()).
    std::shared_ptr<Job> table_put_job(Register& r, const std::string& table, bool dry_run,
                                       bool allow_reset);
    // Whether a request's body is a CSV an upload may take; else the answer.
    static bool csv_body(const http::Request& req, http::Response& res);
    // A job that changes nothing on the register: should it fail, setup
    // mode goes back as the worker finds it before the job.
    static void restores_setup(Job& job, const Register& r);

private:
    // The route groups, each in its resource's file.
    void page_routes();      // routes_keypad.cpp: the page and the keypad
    void register_routes();  // routes_registers.cpp: the list, status, commands
    void table_routes();     // routes_tables.cpp: tables and invoices
    void keypad_routes();    // routes_keypad.cpp: keys and displays
    void sales_routes();     // routes_sales.cpp
    void backup_routes();    // routes_backup.cpp
    void release_routes();   // routes_backup.cpp
    void archive_routes();   // routes_archives.cpp
    void job_routes();       // routes_jobs.cpp
    void watch_routes();     // routes_watch.cpp: /healthz, /readyz, /metrics, the overview
    void schedule_routes();  // routes_schedules.cpp
    void report_routes();    // routes_reports.cpp: the sales history
    void group_routes();     // routes_groups.cpp: operations over a group of registers

    // routes.cpp: requests into jobs.
    Register* find_register(const http::Request& req, http::Response& res);
    WorkerProcess* worker_of(const Job& job);
    bool confirmed(const http::Request& req, http::Response& res);

    // routes_jobs.cpp: jobs into answers.
    void answer(const http::Request& req, http::Response& res, std::shared_ptr<Job> job);
    void send_result(http::Response& res, Job& job);
    void change(const http::Request& req, http::Response& res, Register& r,
                const std::shared_ptr<Job>& job, const std::string& body_to_write = "");
    // A change's who and input, before it is kept; then its body written
    // and the job queued.
    void prepare_change(Job& job, const std::string& who);
    void start_change(Register& r, const std::shared_ptr<Job>& job, const std::string& body);
    // A change whose Idempotency-Key came before is answered with the first
    // job (or 422) before any of its work starts; false when it is new.
    bool replay(const http::Request& req, http::Response& res, Register& r);

    // routes_registers.cpp: one register's status read for the register list.
    struct Ask {
        Register* r;
        std::shared_ptr<Job> job;
        unsigned long long watch = 0;
    };
    Json register_list(const std::vector<Ask>& asks);

    // routes_watch.cpp
    std::vector<RegisterFacts> register_facts();

    // routes_tables.cpp
    void put_table(const http::Request& req, http::Response& res, Register& r,
                   const std::string& table);

    // routes_sales.cpp
    bool sales_dir(Register& r, Job& job, http::Response& res);

    // routes_backup.cpp: an archive (exactly kArchiveSize bytes) restored
    // onto the register as a change.
    void restore_backup(const http::Request& req, http::Response& res, Register& r,
                        const std::string& archive);

    // routes_keypad.cpp
    static void stream_display(http::Response& res, const std::vector<Register*>& regs, bool named);
    void post_keys(const http::Request& req, http::Response& res, Register& r);

    const ServiceConfig& config_;
    JobStore& store_;
    std::mutex verifying_m_;
    std::set<std::string> verifying_;  // changes being verified now
    std::map<std::string, Register>& registers_;
    http::Server& server_;
    Watching* watching_ = nullptr;
    Scheduler* scheduler_ = nullptr;
    ArchiveStore* archives_;
    SalesHistory* history_ = nullptr;
    Fleet* fleet_ = nullptr;
};

}  // namespace veltra::tool::serve
