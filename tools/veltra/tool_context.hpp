// What every command of the veltra tool works with: its streams, whether
// they are terminals, the register's host and the global switches, and the
// one way a command reports its result (text or --json, exit status).
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

namespace veltra::tool {

struct Decision;
struct Fingerprint;

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the library returned a failure
inline constexpr int kExitUsage = 2;    // the command line is wrong
// A change whose answer was lost and whose effect the register does not show
// (or a register that cannot be read to tell): it may or may not have run.
inline constexpr int kExitUnknown = 3;

struct Io {
    std::ostream& out;
    std::ostream& err;
    std::istream& in;
    bool in_terminal = false;   // confirmations are asked only on a terminal
    bool err_terminal = false;  // progress bars are drawn only on a terminal
};

// A usage error found by a command after parsing (a bad date, a missing
// --yes): exit status 2 with its message.
struct UsageError {
    std::string message;
};

class Context {
public:
    explicit Context(Io& io) : io_(io) {}

    Io& io() { return io_; }
    std::ostream& out() { return io_.out; }
    std::ostream& err() { return io_.err; }

    // --host, else ECR_HOST, else "" (the library's default host name).
    std::string host_option;
    bool json = false;
    bool quiet = false;

    const char* host();
    // The host as a person reads it: the default host name for "" and "@...".
    std::string host_label();

    bool progress_enabled() const { return !quiet && io_.err_terminal; }

    // Where the --json result object goes: stdout, or, when set, this object
    // (the service's worker hands it back as it is, never as printed text).
    nlohmann::json* result_sink = nullptr;
    // Called with the register's fingerprint as a change reads it before it
    // is made (the service keeps it with the job).
    std::function<void(const Fingerprint&)> on_before;

    // The register's fingerprint before a change; empty when it cannot be read.
    std::optional<Fingerprint> read_before();

    // Puts a --json object out: to result_sink when set, else on stdout.
    void emit(nlohmann::json j);

    // Reports a library result: on failure the one failure line on stderr
    // (and the --json object on stdout), exit 1; on success `text` on stdout
    // (or the --json object), exit 0. counted: the function returns a count
    // on success. extra: keys added to the --json object.
    int finish(const char* function, std::int32_t result, bool counted, const std::string& text,
               nlohmann::json extra, const std::string& hint = "");
    int finish(const char* function, std::int32_t result, bool counted, const std::string& text);

    // Reports a change settled by its verdict: the library's result as
    // finish() does (text only when it succeeded), then the verdict, its
    // reason and evidence (keys "verdict", "reason" and "evidence" with
    // --json). The exit status is the verdict's: 0 applied, 1 not applied,
    // kExitUnknown unknown.
    int finish_change(const char* function, std::int32_t result, bool counted,
                      const std::string& text, nlohmann::json extra, const Decision& decision,
                      const std::string& hint = "");

    // Asks on the terminal whether to go on (stdin a terminal), else requires
    // --yes (UsageError). Returns true to go on; false when declined.
    bool confirm(bool yes, const std::string& question, const std::string& what);

private:
    Io& io_;
    std::optional<std::string> host_;
};

// The --json result object every command prints: function, code, name, count.
nlohmann::json result_object(const char* function, std::int32_t result, bool counted);

}  // namespace veltra::tool
