// The service's configuration: the registers it serves, where it listens,
// its token and its limits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltra::tool::serve {

struct RegisterConfig {
    std::string name;  // letters, digits, '-' and '_', at most 32
    std::string host;  // as configured; "@SERIAL" for a register named by serial
    // The serial number of a register named by it: its address is found by
    // discovery (address_book.hpp), and host never reaches the library, where
    // a text beginning with "@" names the default host.
    std::string matricola;
    std::optional<std::uint16_t> tftp_port;  // else ECR_TFTP_PORT, else the library's
    std::optional<std::uint16_t> line_port;  // else ECR_LINE_PORT, else the library's
    std::uint16_t display_port = 9930;
};

enum class ScheduleKind { kBackup, kSalesToday, kSalesRange, kTables, kClosure };

// "schedule NAME HH:MM KIND [REGISTERS|all] [options]" (see schedules.hpp).
struct Schedule {
    std::string name;
    int hour = 0, minute = 0;  // local time
    ScheduleKind kind = ScheduleKind::kBackup;
    std::vector<std::string> registers;  // empty: all the service's registers
    int keep = 0, keep_days = 0;         // backups' retention (0: that limit unused)
    std::string dir;                     // exports; empty: <state>/exports
    int retries = 3;
    int retry_minutes = 10;  // the first back-off, doubling
    std::string source = "config";

    bool operator==(const Schedule&) const = default;
};

// "group NAME REGISTER...": registers a fleet operation takes together, in
// this order (a push's canaries are the first ones).
struct Group {
    std::string name;
    std::vector<std::string> registers;
};

struct ServiceConfig {
    std::vector<RegisterConfig> registers;
    std::string listen_host = "127.0.0.1";
    int listen_port = 8090;            // 0: the system picks one (printed at start)
    std::string token;                 // empty: no token asked
    std::string token_name = "token";  // who asked, in the audit trail, when a token is asked
    std::string state_dir;             // the journal's folder (and its files')
    // The journal's PostgreSQL database and this service's schema there;
    // empty: the state folder's journal.db.
    std::string store;
    std::string store_schema = "veltra_journal";
    int verify_seconds = 60;          // how often changes of unknown verdict are verified again
    int job_seconds = 600;            // a job taking longer is failed and its worker restarted
    int look_minutes = 5;             // how often each register's state is looked at
    int silent_minutes = 30;          // a register silent longer is notified
    std::string notify_command;       // run with one JSON event on its input; "" logs only
    std::string worker_program;       // the veltra program the workers run
    std::vector<Schedule> schedules;  // the configuration file's
    // Where registers named by serial number are looked for ("192.168.1.0/24").
    std::vector<std::string> discover_ranges;
    std::vector<Group> groups;
    // The chain's central service this shop dials out to ("http://HOST:PORT"),
    // and this shop's token there; empty: a shop on its own.
    std::string chain_url;
    std::string chain_token;
    std::string
        chain_ca;  // the chain's authority for an https central service; empty: the system's
};

// A register's or a schedule's name: 1 to 32 letters, digits, '-' or '_'.
bool valid_name(const std::string& name);
// "NAME=HOST[:TFTP[:LINE[:DISPLAY]]]", HOST "@SERIAL" for a register found
// by its serial number. False with error set when wrong.
bool parse_register(const std::string& text, RegisterConfig& out, std::string& error);
// "NAME REGISTER..." (the configuration file's form) or "NAME=R1,R2" (the
// command line's): a valid name, at least one register, none twice.
bool parse_group(const std::string& text, Group& out, std::string& error);
// Every group's registers are configured, and no group is named twice.
bool check_groups(const std::vector<Group>& groups, const std::vector<RegisterConfig>& registers,
                  std::string& error);
// "HOST:PORT" or "PORT".
bool parse_listen(const std::string& text, ServiceConfig& out, std::string& error);
// True for 127.0.0.0/8 and "localhost": no token is needed there.
bool is_loopback(const std::string& host);

}  // namespace veltra::tool::serve
