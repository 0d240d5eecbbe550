// veltra as a Windows service: registered with the service control manager
// as VELTRA, started with the machine, restarted by the manager's failure
// actions, its files under ProgramData.
#include "sys/service_manager.hpp"

#include <windows.h>
// After windows.h, which it needs.
#include <knownfolders.h>
#include <shlobj.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

namespace veltra::sys {
namespace {

namespace fs = std::filesystem;

constexpr const wchar_t* kServiceName = L"VELTRA";

std::string utf8(const std::wstring& w) {
    const std::u8string u = fs::path(w).u8string();
    return {u.begin(), u.end()};
}

// The system's words for a Win32 error, without the trailing line end.
std::string error_words(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring words = n > 0 && text != nullptr ? std::wstring(text, n) : std::wstring();
    if (text != nullptr) LocalFree(text);
    while (!words.empty() &&
           (words.back() == L'\r' || words.back() == L'\n' || words.back() == L' '))
        words.pop_back();
    if (words.empty()) words = L"Win32 error " + std::to_wstring(error);
    return utf8(words) + " (" + std::to_string(error) + ")";
}

[[noreturn]] void fail(const std::string& what, DWORD error = GetLastError()) {
    std::string text = what + ": " + error_words(error);
    if (error == ERROR_ACCESS_DENIED)
        text += "\nveltra service needs an administrator: run it from an elevated prompt";
    throw std::runtime_error(text);
}

struct ScHandleClose {
    void operator()(SC_HANDLE h) const { CloseServiceHandle(h); }
};
using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScHandleClose>;

ScHandle open_manager(DWORD access) {
    ScHandle scm(OpenSCManagerW(nullptr, nullptr, access));
    if (!scm) fail("cannot open the service control manager");
    return scm;
}

// The service, or nothing when none is installed.
ScHandle open_service(SC_HANDLE scm, DWORD access) {
    ScHandle service(OpenServiceW(scm, kServiceName, access));
    if (!service) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) return {};
        fail("cannot open the service VELTRA", error);
    }
    return service;
}

SERVICE_STATUS_PROCESS query(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS s{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s),
                              sizeof s, &needed))
        fail("cannot ask the state of the service VELTRA");
    return s;
}

// Waits while the service is in state `pending`, at most `limit`; the state
// it reached.
DWORD wait_while(SC_HANDLE service, DWORD pending, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    DWORD state = query(service).dwCurrentState;
    while (state == pending && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        state = query(service).dwCurrentState;
    }
    return state;
}

std::wstring own_program() {
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size()) fail("cannot find this program's own path");
    path.resize(n);
    return path;
}

fs::path program_data() {
    PWSTR known = nullptr;
    fs::path folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known))) folder = known;
    CoTaskMemFree(known);
    if (!folder.empty()) return folder;
    std::wstring data(MAX_PATH, L'\0');
    const DWORD n =
        GetEnvironmentVariableW(L"ProgramData", data.data(), static_cast<DWORD>(data.size()));
    if (n == 0 || n >= data.size())
        throw std::runtime_error("no ProgramData folder here: give --config");
    data.resize(n);
    return data;
}

// Restart after a minute, three times; a day without failure starts the
// count again. A stop with an error counts as a failure too, where the
// manager knows that setting.
void set_failure_actions(SC_HANDLE service, std::ostream& out) {
    SC_ACTION actions[3];
    for (SC_ACTION& a : actions) a = {SC_ACTION_RESTART, 60 * 1000};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = 24 * 60 * 60;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
        fail("cannot set the service's restarts");
    SERVICE_FAILURE_ACTIONS_FLAG on_error{TRUE};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_error)) {
        const DWORD error = GetLastError();
        if (error != ERROR_INVALID_LEVEL)
            fail("cannot set the service's restarts after errors", error);
        out << "note: this service manager restarts the service after a crash only, not after "
               "it stops with an error\n";
    }
    std::wstring about = L"veltra serve: the HTTP/JSON service for the shop's cash registers";
    SERVICE_DESCRIPTIONW description{about.data()};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description))
        fail("cannot set the service's description");
}

const char* state_name(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return "stopped";
        case SERVICE_START_PENDING:
            return "starting";
        case SERVICE_STOP_PENDING:
            return "stopping";
        case SERVICE_RUNNING:
            return "running";
        case SERVICE_CONTINUE_PENDING:
            return "continuing";
        case SERVICE_PAUSE_PENDING:
            return "pausing";
        case SERVICE_PAUSED:
            return "paused";
        default:
            return "in an unknown state";
    }
}

ServiceState state_of(DWORD state) {
    switch (state) {
        case SERVICE_RUNNING:
            return ServiceState::kRunning;
        case SERVICE_START_PENDING:
        case SERVICE_CONTINUE_PENDING:
            return ServiceState::kStarting;
        case SERVICE_STOP_PENDING:
        case SERVICE_PAUSE_PENDING:
            return ServiceState::kStopping;
        default:
            return ServiceState::kStopped;
    }
}

// Stops a service that runs and waits for it to end.
void stop_and_wait(SC_HANDLE service, std::ostream& out) {
    SERVICE_STATUS s{};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &s)) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_NOT_ACTIVE) {
            out << "the service VELTRA is not running\n";
            return;
        }
        fail("cannot stop the service VELTRA", error);
    }
    // Running jobs end as they would: give them two minutes.
    const DWORD state = wait_while(service, SERVICE_STOP_PENDING, std::chrono::seconds(120));
    if (state != SERVICE_STOPPED)
        throw std::runtime_error(std::string("the service VELTRA is still ") + state_name(state) +
                                 " after two minutes");
    out << "stopped the service VELTRA\n";
}

}  // namespace

fs::path default_service_config() {
    return program_data() / L"VELTRA" / L"serve.conf";
}

fs::path service_state_folder() {
    return program_data() / L"VELTRA" / L"state";
}

std::string service_config_refusal(const fs::path&) {
    return "";  // the service runs as LocalSystem, which reads any local path
}

void install_service(const fs::path& config, std::ostream& out) {
    const ScHandle scm = open_manager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    const std::wstring command =
        L"\"" + own_program() + L"\" serve --service --config \"" + config.wstring() + L"\"";
    ScHandle service(CreateServiceW(scm.get(), kServiceName, L"VELTRA", SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                    SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                    nullptr, nullptr, nullptr));
    if (service) {
        out << "installed the service VELTRA\n";
    } else {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_EXISTS) fail("cannot install the service VELTRA", error);
        // Installed before: the same service, with this program and config.
        service = open_service(scm.get(), SERVICE_CHANGE_CONFIG | SERVICE_START | SERVICE_STOP |
                                              SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
        if (!service) fail("cannot open the service VELTRA", ERROR_SERVICE_DOES_NOT_EXIST);
        if (!ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                                  nullptr, nullptr, L"VELTRA"))
            fail("cannot change the service VELTRA");
        out << "updated the service VELTRA\n";
    }
    set_failure_actions(service.get(), out);
    out << "command line: " << utf8(command) << "\n"
        << "it starts with the machine; 'veltra service start' starts it now\n";
}

bool uninstall_service(std::ostream& out) {
    const ScHandle scm = open_manager(SC_MANAGER_CONNECT);
    const ScHandle service = open_service(scm.get(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service) return false;
    if (query(service.get()).dwCurrentState != SERVICE_STOPPED) stop_and_wait(service.get(), out);
    if (!DeleteService(service.get())) fail("cannot remove the service VELTRA");
    out << "removed the service VELTRA\n";
    return true;
}

void start_service(std::ostream& out) {
    const ScHandle scm = open_manager(SC_MANAGER_CONNECT);
    const ScHandle service = open_service(scm.get(), SERVICE_START | SERVICE_QUERY_STATUS);
    if (!service) throw std::runtime_error("the service VELTRA is not installed");
    if (!StartServiceW(service.get(), 0, nullptr)) {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_ALREADY_RUNNING) fail("cannot start the service VELTRA", error);
    }
    const DWORD state = wait_while(service.get(), SERVICE_START_PENDING, std::chrono::seconds(30));
    if (state != SERVICE_RUNNING)
        throw std::runtime_error(std::string("the service VELTRA is ") + state_name(state) +
                                 " after it was started: its log is in " +
                                 utf8((service_state_folder() / L"veltra-serve.log").wstring()));
    out << "the service VELTRA is running\n";
}

void stop_service(std::ostream& out) {
    const ScHandle scm = open_manager(SC_MANAGER_CONNECT);
    const ScHandle service = open_service(scm.get(), SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service) throw std::runtime_error("the service VELTRA is not installed");
    stop_and_wait(service.get(), out);
}

ServiceStatus service_status() {
    ServiceStatus s;
    const ScHandle scm = open_manager(SC_MANAGER_CONNECT);
    const ScHandle service = open_service(scm.get(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (!service) return s;
    const DWORD state = query(service.get()).dwCurrentState;
    s.state = state_of(state);
    s.state_text = state_name(state);
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<std::byte> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (needed == 0 || !QueryServiceConfigW(service.get(), config, needed, &needed))
        fail("cannot read the service's configuration");
    if (config->lpBinaryPathName != nullptr) s.command_line = utf8(config->lpBinaryPathName);
    return s;
}

}  // namespace veltra::sys
