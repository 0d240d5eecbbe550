// The platform's service manager, as `veltra service` drives it: the
// service control manager on Windows, systemd elsewhere. Each function
// throws std::runtime_error with the manager's own words when it fails.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>

namespace veltra::sys {

enum class ServiceState { kNotInstalled, kStopped, kStarting, kRunning, kStopping };

struct ServiceStatus {
    ServiceState state = ServiceState::kNotInstalled;
    std::string state_text;    // as the manager names it ("running", "inactive")
    std::string command_line;  // what the manager starts
};

// The service's configuration file unless --config names another.
std::filesystem::path default_service_config();

// The folder the service keeps its state in when its configuration names
// none. Empty where the service manager makes it itself.
std::filesystem::path service_state_folder();

// Why the service could not read its configuration at this absolute path,
// or carry it on its command line; "" when it can.
std::string service_config_refusal(const std::filesystem::path& config);

// Registers (or registers again) this program as the service, reading
// config, and has it start with the machine. Says what it did on out.
void install_service(const std::filesystem::path& config, std::ostream& out);

// Stops the service if it runs and removes it. False when none is installed.
bool uninstall_service(std::ostream& out);

void start_service(std::ostream& out);
void stop_service(std::ostream& out);

ServiceStatus service_status();

}  // namespace veltra::sys
