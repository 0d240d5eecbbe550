// `veltra serve` and the hidden `veltra serve-worker` its workers run.
#include <CLI/CLI.hpp>
#include <fstream>
#include <sstream>

#include "command_table.hpp"
#include "journal.hpp"
#include "service.hpp"
#include "stop_request.hpp"
#include "sys/child_process.hpp"
#include "sys/state_dir.hpp"
#include "worker_protocol.hpp"

namespace veltra::tool {
namespace {

struct ServeOptions {
    std::vector<std::string> registers;
    std::string listen;
    std::string token_file;
    std::string config_file;
    std::string state_dir;
    std::string token_name;
    int job_seconds = 600;
    int verify_seconds = 60;
};

std::string trimmed(const std::string& s) {
    const std::size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

// The configuration file: one setting a line, "register NAME=HOST",
// "listen HOST:PORT", "token-file F", "job-seconds N"; '#' starts a comment.
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
        if (key == "register") {
            o.registers.push_back(value);
        } else if (key == "listen") {
            if (o.listen.empty()) o.listen = value;
        } else if (key == "token-file") {
            if (o.token_file.empty()) o.token_file = value;
        } else if (key == "state-dir") {
            if (o.state_dir.empty()) o.state_dir = value;
        } else if (key == "token-name") {
            if (o.token_name.empty()) o.token_name = value;
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

    void declare(CLI::App& app) {
        app.add_option("--register", o.registers, "NAME=HOST[:TFTP[:LINE[:DISPLAY]]], repeatable");
        app.add_option("--listen", o.listen,
                       "HOST:PORT to listen on (127.0.0.1:8090; port 0 picks one)");
        app.add_option("--token-file", o.token_file,
                       "file whose first line is the token every request must carry");
        app.add_option("--config", o.config_file,
                       "configuration file: lines 'register NAME=HOST', 'listen "
                       "HOST:PORT', 'token-file F', 'token-name N', 'state-dir D', "
                       "'job-seconds N'");
        app.add_option("--state-dir", o.state_dir,
                       std::string("folder of the journal (jobs, Idempotency-Keys, audit "
                                   "trail) and of the files jobs keep; default: ") +
                           sys::default_state_dir_rule());
        app.add_option("--token-name", o.token_name,
                       "who asked, in the audit trail, for requests with the token (token); "
                       "requests without one are \"local\"");
        app.add_option("--verify-seconds", o.verify_seconds,
                       "how often changes of unknown verdict are verified again (60)")
            ->check(CLI::Range(1, 86400));
        app.add_option("--job-seconds", o.job_seconds,
                       "longest job before its worker is restarted (600)")
            ->check(CLI::Range(1, 86400));
        app.footer(
            "Listening on an address outside 127.0.0.0/8 needs --token-file; every\n"
            "request then carries 'Authorization: Bearer TOKEN'. The page is at /.");
    }
    int run(Context& ctx) {
        if (!o.config_file.empty()) read_config(o.config_file, o);
        serve::ServiceConfig config;
        config.job_seconds = o.job_seconds;
        config.verify_seconds = o.verify_seconds;
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
        if (!o.listen.empty() && !serve::parse_listen(o.listen, config, error))
            throw UsageError{error};
        if (!o.token_file.empty()) {
            std::ifstream f(o.token_file);
            std::string token;
            std::getline(f, token);
            config.token = trimmed(token);
            if (!f && config.token.empty())
                throw UsageError{"cannot read the token file " + o.token_file};
            if (config.token.size() < 16)
                throw UsageError{"the token in " + o.token_file + " is shorter than 16 characters"};
        }
        if (config.token.empty() && !serve::is_loopback(config.listen_host))
            throw UsageError{"listening on " + config.listen_host + " needs --token-file"};
        config.worker_program = sys::own_program_path();
        ecrsim::watch_stop_requests();
        try {
            return serve::run_service(config, ctx.out());
        } catch (const serve::JournalError& e) {
            ctx.err() << "veltra serve: " << e.what() << "\n";
            return 1;
        }
    }
};

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
