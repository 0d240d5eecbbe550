// A look at every register now and then (a status read it can afford), so
// that a register gone quiet shows, and is told of, without anyone asking.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "jobs.hpp"
#include "notifier.hpp"
#include "routes.hpp"

namespace veltra::tool::serve {

// What the looks found of one register. Times are the service's clock,
// 0 when not (yet) reached.
struct RegisterLook {
    bool looked = false;    // a look has ended since the service started
    bool answered = false;  // the register answered the last look
    std::int64_t last_look_ms = 0;
    std::int64_t last_answer_ms = 0;   // the last look or job it answered
    std::int64_t silent_since_ms = 0;  // the first look it did not answer, while silent
    std::string state;                 // its state letter at the last look it answered
    bool setup = false;                // in setup mode then
    bool error = false;                // its error flag then
    std::string result;                // why the last look failed, by the library's name
    bool told = false;                 // the silence was notified
};

class RegisterWatch {
public:
    RegisterWatch(std::map<std::string, Register>& registers, JobStore& store,
                  const ServiceConfig& config, Notifier& notifier);

    // Starts the looks that are due and tells of silences past the limit.
    // Called often by the service's watcher thread.
    void tick();
    // A job of a register ended: one that succeeded reached the register,
    // which answered then. Failures are for the looks to judge.
    void job_ended(const Job& job);
    std::map<std::string, RegisterLook> looks() const;

private:
    void look(Register& r, std::int64_t now);
    void looked(const std::string& name, const Job& job);

    std::map<std::string, Register>& registers_;
    JobStore& store_;
    std::int64_t every_ms_;
    std::int64_t silent_ms_;
    Notifier& notifier_;
    mutable std::mutex m_;
    std::map<std::string, RegisterLook> looks_;
    std::map<std::string, std::int64_t> next_ms_;
    std::map<std::string, std::shared_ptr<Job>> running_;
};

}  // namespace veltra::tool::serve
