// veltra as a systemd service: one unit file, written whole from the
// template the Debian package ships too, and systemctl for the rest.
// VELTRA_SYSTEMD_DIR and VELTRA_SYSTEMCTL point both elsewhere for tests.
#include "sys/service_manager.hpp"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "sys/child_process.hpp"

namespace veltra::sys {

// packaging/linux/veltra.service.in, embedded at build time.
extern const unsigned char kServiceUnitTemplate[];
extern const std::size_t kServiceUnitTemplate_size;

namespace {

namespace fs = std::filesystem;

constexpr const char* kUnitName = "veltra.service";

fs::path unit_path() {
    const char* dir = std::getenv("VELTRA_SYSTEMD_DIR");
    return fs::path(dir != nullptr && dir[0] != '\0' ? dir : "/etc/systemd/system") / kUnitName;
}

// systemctl from the PATH, as a shell would find it.
std::string systemctl_program() {
    const char* chosen = std::getenv("VELTRA_SYSTEMCTL");
    if (chosen != nullptr && chosen[0] != '\0') return chosen;
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
    while (!dirs.empty()) {
        const std::size_t colon = dirs.find(':');
        const fs::path candidate = fs::path(dirs.substr(0, colon)) / "systemctl";
        std::error_code ec;
        if (!candidate.parent_path().empty() && fs::is_regular_file(candidate, ec))
            return candidate.string();
        dirs = colon == std::string_view::npos ? "" : dirs.substr(colon + 1);
    }
    return "/usr/bin/systemctl";
}

// Runs systemctl with args; its exit status, and its first line of output
// in first_line when given.
int systemctl(const std::vector<std::string>& args, std::string* first_line = nullptr) {
    ChildProcess child(systemctl_program(), args, "/", {});
    child.close_input();
    bool ended = false;
    while (!ended) {
        auto line = child.read_line(60000, 4096, ended);
        if (line && first_line != nullptr && first_line->empty()) *first_line = *line;
    }
    const auto status = child.wait_exit(60000);
    if (!status) throw std::runtime_error("systemctl did not end within a minute");
    return *status;
}

void systemctl_or_throw(const std::vector<std::string>& args) {
    const int status = systemctl(args);
    if (status != 0) {
        std::string words;
        for (const auto& a : args) words += " " + a;
        throw std::runtime_error("systemctl" + words + " failed (exit status " +
                                 std::to_string(status) + ")");
    }
}

// The characters the unit's command line carries as they are: no quoting,
// no specifiers (%), no variables ($), no spaces.
bool plain_path(std::string_view text, char& bad) {
    for (char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') ||
                        std::string_view("/._+-@:,=~").find(c) != std::string_view::npos;
        if (!ok) {
            bad = c;
            return false;
        }
    }
    return true;
}

std::string refusal_of(std::string_view what, const std::string& path) {
    char bad = 0;
    if (plain_path(path, bad)) return "";
    const std::string shown = bad >= ' ' && bad < 127 ? std::string("'") + bad + "'"
                                                      : "code " + std::to_string(int(bad) & 0xff);
    return std::string(what) + " " + path + " holds " + shown +
           ", which the unit's command line cannot carry as it is";
}

std::string replaced(std::string text, std::string_view mark, const std::string& value) {
    for (std::size_t at = text.find(mark); at != std::string::npos;
         at = text.find(mark, at + value.size()))
        text.replace(at, mark.size(), value);
    return text;
}

// Written whole: a new file beside it, then a rename over it.
void write_whole(const fs::path& path, const std::string& text) {
    const fs::path part = path.string() + ".new";
    {
        std::ofstream f(part, std::ios::binary | std::ios::trunc);
        f << text;
        f.close();
        if (!f) {
            std::error_code ignored;
            fs::remove(part, ignored);
            throw std::runtime_error("cannot write " + part.string());
        }
    }
    std::error_code ec;
    // Read by systemd and by the manager's tools, whatever this process's umask.
    fs::permissions(part, fs::perms(0644), ec);
    if (!ec) fs::rename(part, path, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(part, ignored);
        throw std::runtime_error("cannot write " + path.string() + ": " + ec.message());
    }
}

}  // namespace

fs::path default_service_config() {
    return "/etc/veltra/serve.conf";
}

fs::path service_state_folder() {
    return {};  // StateDirectory= makes /var/lib/veltra for the service's own user
}

std::string service_config_refusal(const fs::path& config) {
    // What the unit's sandbox hides from the service.
    static constexpr std::string_view kHidden[][2] = {
        {"/home", "ProtectHome=yes"},     {"/root", "ProtectHome=yes"},
        {"/run/user", "ProtectHome=yes"}, {"/tmp", "PrivateTmp=yes"},
        {"/var/tmp", "PrivateTmp=yes"},
    };
    const fs::path normal = config.lexically_normal();
    for (const auto& [folder, setting] : kHidden) {
        const fs::path rest = normal.lexically_relative(folder);
        if (!rest.empty() && *rest.begin() != "..")
            return "the service cannot read " + config.string() + ": its unit hides " +
                   std::string(folder) + " from it (" + std::string(setting) + ")";
    }
    return refusal_of("the configuration file", config.string());
}

void install_service(const fs::path& config, std::ostream& out) {
    const std::string program = own_program_path();
    if (std::string why = refusal_of("the program", program); !why.empty())
        throw std::runtime_error(why);
    if (std::string why = service_config_refusal(config); !why.empty())
        throw std::runtime_error(why);
    const std::string unit_template(reinterpret_cast<const char*>(kServiceUnitTemplate),
                                    kServiceUnitTemplate_size);
    const std::string text = replaced(replaced(unit_template, "@VELTRA_PROGRAM@", program),
                                      "@VELTRA_CONFIG@", config.string());
    const fs::path unit = unit_path();
    write_whole(unit, text);
    out << "wrote " << unit.string() << "\n";
    systemctl_or_throw({"daemon-reload"});
    systemctl_or_throw({"enable", kUnitName});
    out << "enabled " << kUnitName << ": it starts with the machine; "
        << "'veltra service start' starts it now\n";
}

bool uninstall_service(std::ostream& out) {
    const fs::path unit = unit_path();
    std::error_code ec;
    if (!fs::exists(unit, ec)) return false;
    systemctl_or_throw({"disable", "--now", kUnitName});
    if (!fs::remove(unit, ec) || ec)
        throw std::runtime_error("cannot remove " + unit.string() + ": " + ec.message());
    out << "removed " << unit.string() << "\n";
    systemctl_or_throw({"daemon-reload"});
    return true;
}

void start_service(std::ostream& out) {
    systemctl_or_throw({"start", kUnitName});
    out << "started " << kUnitName << "\n";
}

void stop_service(std::ostream& out) {
    systemctl_or_throw({"stop", kUnitName});
    out << "stopped " << kUnitName << "\n";
}

ServiceStatus service_status() {
    ServiceStatus s;
    const fs::path unit = unit_path();
    std::ifstream f(unit);
    if (!f) return s;
    for (std::string line; std::getline(f, line);) {
        constexpr std::string_view kExec = "ExecStart=";
        if (line.starts_with(kExec)) s.command_line = line.substr(kExec.size());
    }
    // is-active answers with a word and a status that tells only active
    // from the rest: the word decides.
    systemctl({"is-active", kUnitName}, &s.state_text);
    if (s.state_text.empty())
        throw std::runtime_error("systemctl is-active " + std::string(kUnitName) + " said nothing");
    if (s.state_text == "active")
        s.state = ServiceState::kRunning;
    else if (s.state_text == "activating" || s.state_text == "reloading")
        s.state = ServiceState::kStarting;
    else if (s.state_text == "deactivating")
        s.state = ServiceState::kStopping;
    else
        s.state = ServiceState::kStopped;
    return s;
}

}  // namespace veltra::sys
