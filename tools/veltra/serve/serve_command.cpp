// `veltra serve` and the hidden `veltra serve-worker` its workers run.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "central.hpp"
#include "chain_link.hpp"
#include "command_table.hpp"
#include "discover.hpp"
#include "http.hpp"
#include "journal.hpp"
#include "log_file.hpp"
#include "schedules.hpp"
#include "service.hpp"
#include "stop_request.hpp"
#include "sys/child_process.hpp"
#include "sys/service_main.hpp"
#include "sys/service_manager.hpp"
#include "sys/state_dir.hpp"
#include "worker_protocol.hpp"

namespace veltra::tool {
namespace {

struct ServeOptions {
    std::vector<std::string> registers;
    std::vector<std::string> discover_ranges;
    std::vector<std::pair<std::string, std::string>> groups;  // where, and what
    std::string listen;
    std::string token_file;
    std::string config_file;
    std::string state_dir;
    std::string token_name;
    int job_seconds = 600;
    int verify_seconds = 60;
    int look_minutes = 5;
    int silent_minutes = 30;
    std::string notify;
    std::vector<std::pair<std::string, serve::Schedule>> schedules;  // where, and what
    bool service = false;  // started by the Windows service manager
    // The chain's central service.
    bool central = false;
    std::string store;  // the journal's database (a shop's), the chain's (--central)
    std::string store_schema = "veltra_journal";
    std::vector<std::pair<std::string, std::string>> shops;  // where, and NAME=TOKENFILE
    int lease_seconds = 60;
    // A shop's link to its chain's central service.
    std::string chain;
    std::string chain_token_file;
    std::string chain_ca;
    // The central service's HTTPS.
    std::string tls_cert;
    std::string tls_key;
};

// A number of a configuration line, within its limits.
int config_number(const std::string& where, const std::string& key, const std::string& value,
                  int low, int high) {
    int n = 0;
    try {
        std::size_t used = 0;
        n = std::stoi(value, &used);
        if (used != value.size()) throw std::invalid_argument(value);
    } catch (const std::exception&) {
        throw UsageError{where + key + " is a number"};
    }
    if (n < low || n > high)
        throw UsageError{where + key + " is from " + std::to_string(low) + " to " +
                         std::to_string(high)};
    return n;
}

std::string trimmed(const std::string& s) {
    const std::size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

// The first line of a token file: at least 16 characters.
std::string read_token(const std::string& path) {
    std::ifstream f(path);
    std::string token;
    std::getline(f, token);
    token = trimmed(token);
    if (!f && token.empty()) throw UsageError{"cannot read the token file " + path};
    if (token.size() < 16)
        throw UsageError{"the token in " + path + " is shorter than 16 characters"};
    return token;
}

// A schema of the store's database: a plain lower-case name of ours.
std::string checked_schema(const std::string& name) {
    const bool plain =
        !name.empty() && name.size() <= 63 && !(name[0] >= '0' && name[0] <= '9') &&
        !name.starts_with("pg_") &&
        name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") == std::string::npos;
    if (!plain)
        throw UsageError{
            "--store-schema is a name of lower-case letters, digits and _ (up to "
            "63, not starting with a digit or pg_): " +
            name};
    return name;
}

// The configuration file's settings of one text each.
std::string ServeOptions::*text_setting(const std::string& key) {
    static const std::pair<const char*, std::string ServeOptions::*> texts[] = {
        {"listen", &ServeOptions::listen},
        {"token-file", &ServeOptions::token_file},
        {"state-dir", &ServeOptions::state_dir},
        {"token-name", &ServeOptions::token_name},
        {"notify", &ServeOptions::notify},
        {"store", &ServeOptions::store},
        {"store-schema", &ServeOptions::store_schema},
        {"chain", &ServeOptions::chain},
        {"chain-token-file", &ServeOptions::chain_token_file},
        {"chain-ca", &ServeOptions::chain_ca},
        {"tls-cert", &ServeOptions::tls_cert},
        {"tls-key", &ServeOptions::tls_key},
    };
    for (const auto& [name, member] : texts)
        if (key == name) return member;
    return nullptr;
}

// The configuration file: one setting a line, "register NAME=HOST" (or
// NAME=@SERIAL), "discover-range 192.168.1.0/24",
// "listen HOST:PORT", "token-file F", "job-seconds N", "schedule NAME HH:MM
// KIND [REGISTERS|all] [options]"; '#' starts a comment.
void read_config(const std::string& path, ServeOptions& o) {
    std::ifstream f(path);
    if (!f) throw UsageError{"cannot read the configuration file " + path};
    std::string line;
    int number = 0;
    while (std::getline(f, line)) {
        ++number;
        line = trimmed(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        const std::size_t blank = line.find_first_of(" \t");
        const std::string key = line.substr(0, blank);
        const std::string value = blank == std::string::npos ? "" : trimmed(line.substr(blank));
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (value.empty()) throw UsageError{where + key + " needs a value"};
        if (std::string ServeOptions::*text = text_setting(key)) {
            if ((o.*text).empty()) o.*text = value;  // the command line's wins
        } else if (key == "register") {
            o.registers.push_back(value);
        } else if (key == "discover-range") {
            o.discover_ranges.push_back(value);
        } else if (key == "group") {
            o.groups.emplace_back(where, value);
        } else if (key == "look-minutes") {
            o.look_minutes = config_number(where, key, value, 1, 1440);
        } else if (key == "silent-minutes") {
            o.silent_minutes = config_number(where, key, value, 1, 10080);
        } else if (key == "schedule") {
            serve::Schedule s;
            std::string error;
            if (!serve::parse_schedule(value, s, error)) throw UsageError{where + error};
            o.schedules.emplace_back(where, s);
        } else if (key == "shop") {
            o.shops.emplace_back(where, value);
        } else if (key == "lease-seconds") {
            o.lease_seconds = config_number(where, key, value, 5, 3600);
        } else if (key == "job-seconds") {
            try {
                o.job_seconds = std::stoi(value);
            } catch (const std::exception&) {
                throw UsageError{where + "job-seconds is a number"};
            }
        } else {
            throw UsageError{where + "unknown setting " + key};
        }
    }
}

struct Serve {
    ServeOptions o;
    std::vector<std::string> group_args;
    std::vector<std::string> shop_args;

    void declare(CLI::App& app) {
        app.add_option("--register", o.registers,
                       "NAME=HOST[:TFTP[:LINE[:DISPLAY]]], repeatable; HOST @SERIAL finds the "
                       "register by its serial number in the --discover-range ranges");
        app.add_option("--group", group_args,
                       "NAME=REGISTER,REGISTER...: registers fleet operations take together, "
                       "repeatable");
        app.add_option("--discover-range", o.discover_ranges,
                       "where registers named by serial are looked for, e.g. 192.168.1.0/24 (up "
                       "to a /22), repeatable");
        app.add_option("--listen", o.listen,
                       "HOST:PORT to listen on (127.0.0.1:8090; port 0 picks one)");
        app.add_option("--token-file", o.token_file,
                       "file whose first line is the token every request must carry");
        app.add_option("--config", o.config_file,
                       "configuration file: lines 'register NAME=HOST', 'group NAME "
                       "REGISTER...', 'discover-range RANGE', 'listen "
                       "HOST:PORT', 'token-file F', 'token-name N', 'state-dir D', "
                       "'job-seconds N', 'look-minutes N', 'silent-minutes N', "
                       "'notify COMMAND', 'schedule NAME HH:MM KIND [REGISTERS|all] [options]', "
                       "'chain URL', 'chain-token-file F', 'chain-ca F', 'store URL', "
                       "'store-schema NAME', and for --central 'shop NAME=TOKENFILE', "
                       "'lease-seconds N', 'tls-cert F', 'tls-key F'");
        app.add_option("--state-dir", o.state_dir,
                       std::string("folder of the journal (jobs, Idempotency-Keys, audit "
                                   "trail) and of the files jobs keep (with --central: of the "
                                   "chain's sales history); default: ") +
                           sys::default_state_dir_rule());
        app.add_option("--token-name", o.token_name,
                       "who asked, in the audit trail, for requests with the token (token); "
                       "requests without one are \"local\"");
        app.add_option("--verify-seconds", o.verify_seconds,
                       "how often changes of unknown verdict are verified again (60)")
            ->check(CLI::Range(1, 86400));
        app.add_option("--look-minutes", o.look_minutes,
                       "how often each register's state is looked at (5)")
            ->check(CLI::Range(1, 1440));
        app.add_option("--silent-minutes", o.silent_minutes,
                       "a register silent longer than this is notified (30)")
            ->check(CLI::Range(1, 10080));
        app.add_option("--notify", o.notify,
                       "command run with one JSON object on its input when a scheduled run "
                       "fails for good or a register is silent too long");
        app.add_option("--job-seconds", o.job_seconds,
                       "longest job before its worker is restarted (600)")
            ->check(CLI::Range(1, 86400));
        app.add_flag("--central", o.central,
                     "the chain's central service: holds the chain's database (--store), owns "
                     "no register, and answers the shops named by --shop");
        app.add_option("--store", o.store,
                       "PostgreSQL database, postgresql://USER@HOST/DB, of the journal, the "
                       "sales history, the schedules' runs and the archive catalogue instead "
                       "of the state folder's journal.db (with --central: the chain's "
                       "database, its sales history in it too)");
        app.add_option("--store-schema", o.store_schema,
                       "this service's schema in that database, one service each (veltra_journal)");
        app.add_option("--shop", shop_args,
                       "NAME=TOKENFILE: a shop of the chain and the file of the token its "
                       "service calls with, repeatable (with --central)");
        app.add_option("--lease-seconds", o.lease_seconds,
                       "how long a shop's claim on a job lasts without renewal (60, with "
                       "--central)")
            ->check(CLI::Range(5, 3600));
        app.add_option("--tls-cert", o.tls_cert,
                       "PEM file of the central service's certificate (and its chain): it "
                       "answers HTTPS only (with --central and --tls-key)");
        app.add_option("--tls-key", o.tls_key,
                       "PEM file of that certificate's private key (with --central)");
        app.add_option("--chain", o.chain,
                       "https://HOST:PORT (or http:// inside a VPN) of the chain's central "
                       "service: this shop's service dials out to it for its registers' jobs");
        app.add_option("--chain-token-file", o.chain_token_file,
                       "file whose first line is this shop's token at the central service");
        app.add_option("--chain-ca", o.chain_ca,
                       "PEM file of the authority the central service's certificate must "
                       "chain to (default: the system's; on Windows always the machine's "
                       "store)");
        // Only the service manager starts serve this way ('veltra service install').
        app.add_flag("--service", o.service, "run under the Windows service manager")->group("");
        app.footer(
            "Listening on an address outside 127.0.0.0/8 needs --token-file; every\n"
            "request then carries 'Authorization: Bearer TOKEN'. The page is at /.");
    }
    int run(Context& ctx) {
        if (o.service)
            return sys::run_as_service([this, &ctx] { return run_in_service(ctx); },
                                       [] { ecrsim::request_stop(); });
        if (!o.config_file.empty()) read_config(o.config_file, o);
        return run_with_log(ctx, ctx.out());
    }

    // A service has no console: everything it says, its mistakes in the
    // configuration too, goes to the log file in its state folder.
    int run_in_service(Context& ctx) {
        std::string config_error;
        try {
            if (!o.config_file.empty()) read_config(o.config_file, o);
        } catch (const UsageError& e) {
            config_error = e.message;
        }
        if (o.state_dir.empty()) o.state_dir = sys::service_state_folder().string();
        std::error_code ec;
        std::filesystem::create_directories(o.state_dir, ec);
        serve::LogFile file(std::filesystem::path(o.state_dir) / "veltra-serve.log");
        std::ostream log(&file);
        const auto failed = [&log](const std::string& why, int status) {
            log << "veltra serve: " << why << std::endl;
            return status;
        };
        if (!config_error.empty()) return failed(config_error, kExitUsage);
        try {
            return run_with_log(ctx, log);
        } catch (const UsageError& e) {
            return failed(e.message, kExitUsage);
        } catch (const std::exception& e) {
            return failed(e.what(), kExitFailure);
        }
    }

    int run_central(Context& ctx, std::ostream& log);

    // The service with the options and the configuration file read.
    int run_with_log(Context& ctx, std::ostream& log) {
        for (const std::string& g : group_args) o.groups.emplace_back("", g);
        for (const std::string& s : shop_args) o.shops.emplace_back("", s);
        if (o.central) return run_central(ctx, log);
        if (!o.shops.empty()) throw UsageError{"--shop is the central service's (--central)"};
        serve::ServiceConfig config;
        if (!o.store.empty()) {
            if (!serve::postgresql_store_available())
                throw UsageError{
                    "this build keeps no journal in PostgreSQL (no libpq): leave out --store, "
                    "and the journal is the state folder's journal.db"};
            config.store = o.store;
        }
        config.store_schema = checked_schema(o.store_schema);
        config.job_seconds = o.job_seconds;
        config.verify_seconds = o.verify_seconds;
        config.look_minutes = o.look_minutes;
        config.silent_minutes = o.silent_minutes;
        config.notify_command = o.notify;
        if (!o.token_name.empty()) config.token_name = o.token_name;
        config.state_dir = o.state_dir;
        if (config.state_dir.empty()) config.state_dir = sys::default_state_dir().string();
        if (config.state_dir.empty())
            throw UsageError{"no default state folder here: give --state-dir"};
        std::string error;
        for (const std::string& text : o.registers) {
            serve::RegisterConfig r;
            if (!serve::parse_register(text, r, error)) throw UsageError{error};
            for (const auto& other : config.registers)
                if (other.name == r.name) throw UsageError{"register " + r.name + " given twice"};
            config.registers.push_back(r);
        }
        if (config.registers.empty())
            throw UsageError{"serve needs at least one --register NAME=HOST"};
        for (const std::string& text : o.discover_ranges) {
            if (!parse_range(text, error)) throw UsageError{error};
            config.discover_ranges.push_back(text);
        }
        for (const auto& [where, text] : o.groups) {
            serve::Group g;
            if (!serve::parse_group(text, g, error)) throw UsageError{where + error};
            config.groups.push_back(g);
            if (!serve::check_groups(config.groups, config.registers, error))
                throw UsageError{where + error};
        }
        for (const auto& r : config.registers) {
            if (!r.matricola.empty() && config.discover_ranges.empty())
                throw UsageError{"register " + r.name + " is named by its serial number (" +
                                 r.host + "): give --discover-range where to look for it"};
        }
        std::vector<std::string> names;
        for (const auto& r : config.registers) names.push_back(r.name);
        for (const auto& [where, s] : o.schedules) {
            config.schedules.push_back(s);
            if (!serve::check_schedules(config.schedules, names, error))
                throw UsageError{where + error};
        }
        if (!o.listen.empty() && !serve::parse_listen(o.listen, config, error))
            throw UsageError{error};
        if (!o.token_file.empty()) config.token = read_token(o.token_file);
        if (!o.tls_cert.empty() || !o.tls_key.empty())
            throw UsageError{
                "--tls-cert and --tls-key are the central service's (--central): a shop's "
                "service answers on the shop's own network"};
        if (!o.chain.empty()) {
            http::Endpoint central;
            if (!http::parse_endpoint(o.chain, central, error))
                throw UsageError{"--chain: " + error};
            if (o.chain_token_file.empty())
                throw UsageError{"--chain needs --chain-token-file: this shop's token there"};
            if (!o.chain_ca.empty()) {
                if (!central.tls) throw UsageError{"--chain-ca goes with an https:// --chain"};
#ifdef _WIN32
                throw UsageError{http::windows_trust_advice(o.chain_ca, "--chain-ca")};
#endif
                if (!std::filesystem::is_regular_file(o.chain_ca))
                    throw UsageError{"cannot read " + o.chain_ca};
            }
            config.chain_url = o.chain;
            config.chain_token = read_token(o.chain_token_file);
            config.chain_ca = o.chain_ca;
        } else if (!o.chain_token_file.empty() || !o.chain_ca.empty()) {
            throw UsageError{"--chain-token-file and --chain-ca go with --chain URL"};
        }
        if (config.token.empty() && !serve::is_loopback(config.listen_host))
            throw UsageError{"listening on " + config.listen_host + " needs --token-file"};
        config.worker_program = sys::own_program_path();
        ecrsim::watch_stop_requests();
        try {
            return serve::run_service(config, log);
        } catch (const serve::JournalError& e) {
            (o.service ? log : ctx.err()) << "veltra serve: " << e.what() << std::endl;
            return 1;
        }
    }
};

// The chain's central service: no register of its own, the shops and the
// database instead.
int Serve::run_central(Context& ctx, std::ostream& log) {
    if (!serve::central_available())
        throw UsageError{
            "this build has no PostgreSQL client: the chain's central service runs on Linux"};
    if (!o.registers.empty() || !o.schedules.empty() || !o.discover_ranges.empty() ||
        !o.chain.empty() || !o.chain_ca.empty())
        throw UsageError{
            "the central service owns no register: registers and schedules are its shops' "
            "services'"};
    serve::CentralConfig config;
    if (o.store.empty())
        throw UsageError{"--central needs --store postgresql://USER@HOST/DATABASE"};
    config.store = o.store;
    config.store_schema = checked_schema(o.store_schema);
    config.lease_seconds = o.lease_seconds;
    config.state_dir = o.state_dir;
    if (config.state_dir.empty()) config.state_dir = sys::default_state_dir().string();
    if (config.state_dir.empty())
        throw UsageError{"no default state folder here: give --state-dir"};
    for (const auto& [where, text] : o.shops) {
        const std::size_t eq = text.find('=');
        const std::string name = text.substr(0, eq);
        if (eq == std::string::npos || !serve::valid_name(name) || eq + 1 == text.size())
            throw UsageError{where +
                             "--shop is NAME=TOKENFILE, NAME of 1 to 32 letters, digits, "
                             "- or _: " +
                             text};
        if (config.shops.count(name) != 0)
            throw UsageError{where + "shop " + name + " given twice"};
        config.shops[name] = read_token(text.substr(eq + 1));
    }
    if (config.shops.empty())
        throw UsageError{"--central needs at least one --shop NAME=TOKENFILE"};
    std::string error;
    // A group names the chain's registers, of any shop; the shops name
    // them to the central service as they start.
    for (const auto& [where, text] : o.groups) {
        serve::Group g;
        if (!serve::parse_group(text, g, error)) throw UsageError{where + error};
        for (const std::string& r : g.registers)
            if (!serve::valid_name(r))
                throw UsageError{where + "group " + g.name + ": not a register name: " + r};
        for (const serve::Group& other : config.groups)
            if (other.name == g.name) throw UsageError{where + "group " + g.name + " given twice"};
        config.groups.push_back(g);
    }
    serve::ServiceConfig listen;
    listen.listen_port = 8091;
    if (!o.listen.empty() && !serve::parse_listen(o.listen, listen, error)) throw UsageError{error};
    config.listen_host = listen.listen_host;
    config.listen_port = listen.listen_port;
    if (!o.token_file.empty()) config.token = read_token(o.token_file);
    if (config.token.empty() && !serve::is_loopback(config.listen_host))
        throw UsageError{"listening on " + config.listen_host +
                         " needs --token-file: the head office's token"};
    if (o.tls_cert.empty() != o.tls_key.empty())
        throw UsageError{"--tls-cert and --tls-key go together"};
    if (!o.tls_cert.empty()) {
        // Files that cannot serve are said before anything starts.
        http::Server trial;
        if (!trial.use_tls(o.tls_cert, o.tls_key, error)) throw UsageError{error};
    }
    config.tls_cert = o.tls_cert;
    config.tls_key = o.tls_key;
    // A token names one caller.
    std::set<std::string> tokens;
    if (!config.token.empty()) tokens.insert(config.token);
    for (const auto& [name, token] : config.shops)
        if (!tokens.insert(token).second)
            throw UsageError{"shop " + name + "'s token is another caller's too"};
    ecrsim::watch_stop_requests();
    return serve::run_central(config, log, o.service ? log : ctx.err());
}

struct ServeWorker {
    void declare(CLI::App& app) {
        app.group("");  // not listed in help
    }
    int run(Context&) { return serve::run_worker(); }
};

}  // namespace

std::vector<Command> serve_commands() {
    return {
        command<Serve>({"serve"},
                       "serve the registers over HTTP and JSON, with a web page and a keypad",
                       "every family, one worker process per register",
                       "veltra serve --register shop1=192.168.1.20 --register shop2=cassa2 "
                       "--listen 127.0.0.1:8090"),
        command<ServeWorker>({"serve-worker"},
                             "one register's worker of veltra serve (started by the service)",
                             "the tool's commands", "(started by veltra serve)"),
    };
}

}  // namespace veltra::tool
