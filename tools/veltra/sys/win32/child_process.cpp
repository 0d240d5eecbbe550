// Child processes on Windows: CreateProcess with two anonymous pipes.
#include "sys/child_process.hpp"

#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace veltra::sys {
namespace {

// One argument quoted the way the C runtime splits a command line; one
// that needs no quotes goes as it is (cmd.exe takes no quoted switches).
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    std::size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, L'\\');
    return out + L"\"";
}

bool is_shell(const std::string& program) {
    const std::string name = std::filesystem::path(program).filename().string();
    return name.size() == 7 && std::equal(name.begin(), name.end(), "cmd.exe", [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

std::wstring wide(const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string narrow(const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
    return s;
}

// A job that every child of this process joins, closed by Windows when this
// process ends however it ends: a killed service takes its workers with it
// instead of leaving them behind, holding their stderr and their registers.
HANDLE children_job() {
    static const HANDLE job = [] {
        HANDLE j = CreateJobObjectW(nullptr, nullptr);
        if (j == nullptr) return j;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits,
                                     sizeof limits)) {
            CloseHandle(j);
            return HANDLE{nullptr};
        }
        return j;
    }();
    return job;
}

}  // namespace

struct ChildProcess::Impl {
    HANDLE process = nullptr;
    DWORD pid = 0;
    HANDLE to_child = nullptr;
    HANDLE from_child = nullptr;
    std::string pending;
    bool ended = false;
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& dir, const std::map<std::string, std::string>& env)
    : impl_(std::make_unique<Impl>()) {
    // One child at a time, from its pipes to their closing here: the child
    // ends are inheritable meanwhile, and a child started by another thread
    // at that moment would get them where the handle list is not honoured
    // (Wine), holding this child's stdin open after we close it; two
    // workers started at once then kept each other alive forever.
    static std::mutex starting;
    std::lock_guard lock(starting);
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr;
    if (!CreatePipe(&in_read, &in_write, &inherit, 0)) throw std::runtime_error("CreatePipe");
    if (!CreatePipe(&out_read, &out_write, &inherit, 0)) {
        CloseHandle(in_read);
        CloseHandle(in_write);
        throw std::runtime_error("CreatePipe");
    }
    // Only the child's ends are inherited.
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);

    std::wstring command = quoted(wide(program));
    bool shell_line = false;
    for (const std::string& a : args) {
        // cmd.exe takes what follows /c as it is, and /s strips the outer
        // quotes again: a quote inside must reach it unescaped.
        command += L" " + (shell_line ? L"\"" + wide(a) + L"\"" : quoted(wide(a)));
        shell_line = is_shell(program) && a == "/c";
    }

    // The current environment with env's variables added or replaced; Windows
    // names are case-insensitive.
    std::wstring block;
    if (wchar_t* current = GetEnvironmentStringsW()) {
        for (const wchar_t* e = current; *e != L'\0'; e += wcslen(e) + 1) {
            const std::wstring entry = e;
            const std::string name = narrow(entry.substr(0, entry.find(L'=', 1)));
            bool replaced = false;
            for (const auto& kv : env)
                replaced = replaced || _stricmp(kv.first.c_str(), name.c_str()) == 0;
            if (!replaced) block += entry + L'\0';
        }
        FreeEnvironmentStringsW(current);
    }
    for (const auto& [name, value] : env) block += wide(name + "=" + value) + L'\0';
    block += L'\0';

    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = in_read;
    si.StartupInfo.hStdOutput = out_write;
    si.StartupInfo.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // Only the pipes (and our stderr) go to the child: a socket the parent
    // serves must close when the parent closes it, not live on in a worker.
    std::vector<HANDLE> handles{in_read, out_write};
    DWORD err_flags = 0;
    if (HANDLE err = si.StartupInfo.hStdError; err != nullptr && err != INVALID_HANDLE_VALUE &&
                                               GetHandleInformation(err, &err_flags) &&
                                               (err_flags & HANDLE_FLAG_INHERIT) != 0)
        handles.push_back(err);
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    const bool listed =
        size != 0 && InitializeProcThreadAttributeList(attributes, 1, 0, &size) &&
        UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                  handles.size() * sizeof(HANDLE), nullptr, nullptr);
    DWORD creation = CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW;
    if (listed) {
        si.lpAttributeList = attributes;
        creation |= EXTENDED_STARTUPINFO_PRESENT;
    }
    PROCESS_INFORMATION pi{};
    const std::wstring wdir = wide(dir);
    const BOOL ok = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, creation,
                                   block.data(), wdir.c_str(), &si.StartupInfo, &pi);
    if (listed) DeleteProcThreadAttributeList(attributes);
    CloseHandle(in_read);
    CloseHandle(out_write);
    if (!ok) {
        CloseHandle(in_write);
        CloseHandle(out_read);
        throw std::runtime_error("CreateProcess failed: " + std::to_string(GetLastError()));
    }
    // Best effort: without a job (one refused, as nested jobs are on old
    // systems) the child still works and ends when its stdin closes.
    if (HANDLE job = children_job()) AssignProcessToJobObject(job, pi.hProcess);
    CloseHandle(pi.hThread);
    impl_->process = pi.hProcess;
    impl_->pid = pi.dwProcessId;
    impl_->to_child = in_write;
    impl_->from_child = out_read;
}

ChildProcess::~ChildProcess() {
    kill();
    if (impl_->to_child != nullptr) CloseHandle(impl_->to_child);
    if (impl_->from_child != nullptr) CloseHandle(impl_->from_child);
}

bool ChildProcess::write_line(const std::string& line) {
    if (impl_->to_child == nullptr) return false;
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD n = 0;
        if (!WriteFile(impl_->to_child, text.data() + done, static_cast<DWORD>(text.size() - done),
                       &n, nullptr) ||
            n == 0)
            return false;
        done += n;
    }
    return true;
}

std::optional<std::string> ChildProcess::read_line(int timeout_ms, std::size_t max_bytes,
                                                   bool& ended) {
    // Anonymous pipes have no waitable read with a time-out: look, then
    // sleep a little.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    ended = impl_->ended;
    for (;;) {
        const std::size_t nl = impl_->pending.find('\n');
        if (nl != std::string::npos) {
            std::string line = impl_->pending.substr(0, nl);
            impl_->pending.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        if (impl_->pending.size() > max_bytes || impl_->ended) {
            ended = impl_->ended;
            return std::nullopt;
        }
        DWORD available = 0;
        if (!PeekNamedPipe(impl_->from_child, nullptr, 0, nullptr, &available, nullptr)) {
            impl_->ended = ended = true;
            return std::nullopt;
        }
        if (available == 0) {
            if (std::chrono::steady_clock::now() >= until) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        char buf[65536];
        DWORD n = 0;
        if (!ReadFile(impl_->from_child, buf, available < sizeof buf ? available : sizeof buf, &n,
                      nullptr) ||
            n == 0) {
            impl_->ended = ended = true;
            return std::nullopt;
        }
        impl_->pending.append(buf, n);
    }
}

void ChildProcess::close_input() {
    if (impl_->to_child != nullptr) CloseHandle(impl_->to_child);
    impl_->to_child = nullptr;
}

std::optional<int> ChildProcess::wait_exit(int timeout_ms) {
    if (impl_->process == nullptr) return std::nullopt;
    if (WaitForSingleObject(impl_->process, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(impl_->process, &code);
    CloseHandle(impl_->process);
    impl_->process = nullptr;
    return static_cast<int>(code);
}

void ChildProcess::kill() {
    if (impl_->process == nullptr) return;
    TerminateProcess(impl_->process, 1);
    WaitForSingleObject(impl_->process, INFINITE);
    CloseHandle(impl_->process);
    impl_->process = nullptr;
}

long ChildProcess::id() const {
    return static_cast<long>(impl_->pid);
}

void ignore_broken_pipes() {}

std::pair<std::string, std::vector<std::string>> shell_command(const std::string& command_line) {
    // cmd.exe takes the rest of its command line as it is: ChildProcess
    // puts it between the quotes that cmd /s /c strips, unescaped.
    wchar_t system_dir[MAX_PATH];
    const UINT n = GetSystemDirectoryW(system_dir, MAX_PATH);
    const std::string cmd = n > 0 && n < MAX_PATH ? narrow(system_dir) + "\\cmd.exe" : "cmd.exe";
    return {cmd, {"/d", "/s", "/c", command_line}};
}

std::string own_program_path() {
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(n);
    return narrow(path);
}

namespace {

// The id of this process's parent, 0 when it cannot be read.
DWORD parent_id() {
    const DWORD self = GetCurrentProcessId();
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return 0;
    DWORD parent = 0;
    PROCESSENTRY32W e{};
    e.dwSize = sizeof e;
    for (BOOL more = Process32FirstW(snap, &e); more; more = Process32NextW(snap, &e)) {
        if (e.th32ProcessID == self) {
            parent = e.th32ParentProcessID;
            break;
        }
    }
    CloseHandle(snap);
    return parent;
}

std::uint64_t started_at(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

}  // namespace

// Windows tells a child nothing when its parent ends, and a job does not
// always hold the child (Wine has no nested jobs): a thread waits on the
// parent and ends this process with it. A process that started after this
// one only reuses the id of a parent gone already.
void end_with_parent() {
    const DWORD id = parent_id();
    if (id == 0) return;
    HANDLE parent = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (parent == nullptr) {
        if (GetLastError() == ERROR_INVALID_PARAMETER) ExitProcess(1);  // no such process
        return;
    }
    const std::uint64_t parent_start = started_at(parent);
    if (parent_start != 0 && parent_start > started_at(GetCurrentProcess())) {
        CloseHandle(parent);
        ExitProcess(1);
    }
    std::thread([parent] {
        WaitForSingleObject(parent, INFINITE);
        TerminateProcess(GetCurrentProcess(), 1);
    }).detach();
}

}  // namespace veltra::sys
