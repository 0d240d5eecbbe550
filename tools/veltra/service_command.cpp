// `veltra service`: veltra serve as the machine's own service, started with
// it and restarted when it fails. The service manager's side is in
// sys/service_manager; here are the command line, the configuration file's
// place and its first contents, and what status means.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <stdexcept>

#include "command_table.hpp"
#include "sys/service_manager.hpp"

namespace veltra::tool {
namespace {

namespace fs = std::filesystem;

// status's exit statuses, as a service script expects them.
constexpr int kExitRunning = 0;
constexpr int kExitStopped = 3;
constexpr int kExitNotInstalled = 4;

// A configuration the service starts from: one listen line, the rest as
// commented examples. serve needs a register before it starts.
constexpr const char* kStartingConfig =
    "# veltra serve's configuration, read when the service starts.\n"
    "# One setting a line; '#' starts a comment. 'veltra serve --help' lists them.\n"
    "listen 127.0.0.1:8090\n"
    "\n"
    "# The registers, one line each; the service needs at least one.\n"
    "# register shop1=192.168.1.20\n"
    "# register shop2=cassa2\n"
    "\n"
    "# Each night at 23:30, a backup of every register, the newest 30 kept.\n"
    "# schedule nightly 23:30 backup all keep 30\n"
    "\n"
    "# Listening on the shop's network needs a token every request carries.\n"
    "# listen 0.0.0.0:8090\n"
    "# token-file /path/to/token.txt\n";

void write_starting_config(const fs::path& config, std::ostream& out) {
    const fs::path part = config.string() + ".new";
    {
        std::ofstream f(part, std::ios::binary | std::ios::trunc);
        f << kStartingConfig;
        f.close();
        if (!f) throw std::runtime_error("cannot write " + part.string());
    }
    std::error_code ec;
    // The service may run as a user of its own: it must be able to read it.
    fs::permissions(part, fs::perms(0644), ec);
    // A file that appeared meanwhile is kept: the new one never replaces it.
    if (!ec && !fs::exists(config, ec)) fs::rename(part, config, ec);
    std::error_code ignored;
    fs::remove(part, ignored);
    if (ec) throw std::runtime_error("cannot write " + config.string() + ": " + ec.message());
    out << "wrote a starting configuration in " << config.string()
        << ": add the registers before starting the service\n";
}

void make_folder(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec)
        throw std::runtime_error("cannot make the folder " + folder.string() + ": " + ec.message());
}

struct ServiceInstall {
    std::string config;

    void declare(CLI::App& app) {
        app.add_option("--config", config,
                       "the service's configuration file (made when missing, never replaced)");
    }
    int run(Context& ctx) {
        fs::path path = config.empty() ? sys::default_service_config() : fs::path(config);
        if (path.empty()) throw UsageError{"the configuration file's name is empty"};
        path = fs::absolute(path).lexically_normal();
        if (const std::string why = sys::service_config_refusal(path); !why.empty())
            throw UsageError{why};
        std::error_code ec;
        if (fs::is_directory(path, ec))
            throw UsageError{"the configuration file " + path.string() + " is a folder"};
        make_folder(path.parent_path());
        if (const fs::path state = sys::service_state_folder(); !state.empty()) make_folder(state);
        if (!fs::exists(path, ec)) {
            write_starting_config(path, ctx.out());
        } else if (!fs::is_regular_file(path, ec)) {
            throw UsageError{"the configuration file " + path.string() + " is not a file"};
        } else {
            ctx.out() << "kept the configuration in " << path.string() << "\n";
        }
        sys::install_service(path, ctx.out());
        return kExitOk;
    }
};

struct ServiceUninstall {
    void declare(CLI::App&) {}
    int run(Context& ctx) {
        if (!sys::uninstall_service(ctx.out()))
            ctx.out() << "the service is not installed: nothing to remove\n";
        return kExitOk;
    }
};

struct ServiceStart {
    void declare(CLI::App&) {}
    int run(Context& ctx) {
        sys::start_service(ctx.out());
        return kExitOk;
    }
};

struct ServiceStop {
    void declare(CLI::App&) {}
    int run(Context& ctx) {
        sys::stop_service(ctx.out());
        return kExitOk;
    }
};

struct ServiceStatusCommand {
    void declare(CLI::App& app) {
        app.footer("Exit status: 0 running, 3 not running, 4 not installed, 1 cannot tell.");
    }
    int run(Context& ctx) {
        const sys::ServiceStatus s = sys::service_status();
        if (s.state == sys::ServiceState::kNotInstalled) {
            ctx.out() << "the service is not installed\n";
            return kExitNotInstalled;
        }
        ctx.out() << "state: " << s.state_text << "\n"
                  << "command line: " << s.command_line << "\n";
        return s.state == sys::ServiceState::kRunning ? kExitRunning : kExitStopped;
    }
};

}  // namespace

std::vector<Command> service_commands() {
    const std::string manager = "systemctl, or the Windows service control manager";
    return {
        command<ServiceInstall>({"service", "install"},
                                "install veltra serve as a service started with the machine",
                                manager, "veltra service install --config /etc/veltra/serve.conf"),
        command<ServiceUninstall>({"service", "uninstall"},
                                  "stop and remove the service (its configuration and state stay)",
                                  manager, "veltra service uninstall"),
        command<ServiceStart>({"service", "start"}, "start the service", manager,
                              "veltra service start"),
        command<ServiceStop>({"service", "stop"}, "stop the service", manager,
                             "veltra service stop"),
        command<ServiceStatusCommand>({"service", "status"}, "the service's state and command line",
                                      manager, "veltra service status"),
    };
}

}  // namespace veltra::tool
