// `veltra serve --service`: the process the service control manager starts.
// The main thread waits in the dispatcher; ServiceMain runs the service on
// the dispatcher's thread and reports its states; a stop or shutdown asks
// the service to stop the way Ctrl+C does.
#include "sys/service_main.hpp"

#include <windows.h>

#include <mutex>
#include <stdexcept>
#include <string>

namespace veltra::sys {
namespace {

const std::function<int()>* g_body = nullptr;
const std::function<void()>* g_stop = nullptr;
int g_result = 1;
SERVICE_STATUS_HANDLE g_handle = nullptr;
std::mutex g_report;  // the manager's thread and the service's both report
DWORD g_checkpoint = 0;

void report(DWORD state, int exit_code = 0, DWORD wait_ms = 0) {
    std::lock_guard lock(g_report);
    SERVICE_STATUS s{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    if (exit_code != 0) {
        s.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        s.dwServiceSpecificExitCode = static_cast<DWORD>(exit_code);
    }
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    s.dwCheckPoint = pending ? ++g_checkpoint : 0;
    s.dwWaitHint = wait_ms;
    SetServiceStatus(g_handle, &s);
}

DWORD WINAPI on_control(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            // Running jobs end as they would: the stop may take a while.
            report(SERVICE_STOP_PENDING, 0, 30000);
            (*g_stop)();
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI service_main(DWORD, LPWSTR*) {
    g_handle = RegisterServiceCtrlHandlerExW(L"VELTRA", on_control, nullptr);
    if (g_handle == nullptr) return;
    report(SERVICE_START_PENDING, 0, 10000);
    report(SERVICE_RUNNING);
    try {
        g_result = (*g_body)();
    } catch (...) {
        g_result = 1;
    }
    report(SERVICE_STOPPED, g_result);
}

}  // namespace

int run_as_service(const std::function<int()>& body, const std::function<void()>& stop) {
    g_body = &body;
    g_stop = &stop;
    wchar_t name[] = L"VELTRA";
    const SERVICE_TABLE_ENTRYW table[] = {{name, service_main}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        const DWORD error = GetLastError();
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            throw std::runtime_error(
                "--service is for the service manager: start the service with 'veltra service "
                "start'");
        throw std::runtime_error("the service manager refused the service (Win32 error " +
                                 std::to_string(error) + ")");
    }
    return g_result;
}

}  // namespace veltra::sys
