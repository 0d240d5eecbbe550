// veltra service under the Windows service control manager (Wine's in the
// cross build's test run): the registry entry install makes, the service
// started, answering, stopped and its log written, then removed.
#include <windows.h>
// After windows.h.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "http.hpp"
#include "http_client.hpp"
#include "sys/child_process.hpp"
#include "test_support.hpp"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;

constexpr const wchar_t* kServiceKey = L"System\\CurrentControlSet\\Services\\VELTRA";

struct Outcome {
    int status = -1;
    std::string output;
};

Outcome veltra(const std::vector<std::string>& args) {
    sys::ChildProcess child(VELTRA_TOOL_PROGRAM, args, fs::current_path().string(), {});
    child.close_input();
    Outcome r;
    bool ended = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    while (!ended && std::chrono::steady_clock::now() < end) {
        if (auto line = child.read_line(1000, 65536, ended)) r.output += *line + "\n";
    }
    r.status = child.wait_exit(60000).value_or(-1);
    return r;
}

struct Key {
    HKEY h = nullptr;
    ~Key() {
        if (h != nullptr) RegCloseKey(h);
    }
};

// The service's registry key, or nothing when it is not there.
std::optional<std::map<std::wstring, std::wstring>> service_key() {
    Key key;
    const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &key.h);
    if (opened == ERROR_FILE_NOT_FOUND) return std::nullopt;
    EXPECT_EQ(opened, ERROR_SUCCESS);
    std::map<std::wstring, std::wstring> values;
    if (opened != ERROR_SUCCESS) return values;
    wchar_t text[4096];
    DWORD size = sizeof text;
    DWORD type = 0;
    if (RegQueryValueExW(key.h, L"ImagePath", nullptr, &type, reinterpret_cast<BYTE*>(text),
                         &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ))
        values[L"ImagePath"] = std::wstring(text, wcsnlen(text, size / sizeof(wchar_t)));
    DWORD start = 0;
    size = sizeof start;
    if (RegQueryValueExW(key.h, L"Start", nullptr, &type, reinterpret_cast<BYTE*>(&start), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD)
        values[L"Start"] = std::to_wstring(start);
    return values;
}

std::wstring full_path(const std::string& path) {
    const std::wstring wide = fs::path(path).wstring();
    std::wstring full(32768, L'\0');
    const DWORD n =
        GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    full.resize(n);
    return full;
}

int free_port() {
    http::Server probe(http::Server::Settings{});
    return probe.bind("127.0.0.1", 0);
}

bool healthy(int port, std::chrono::seconds limit) {
    http::Client client("127.0.0.1", port);
    client.set_timeout(std::chrono::seconds(5));
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        const auto r = client.get("/healthz");
        if (r && r->status == 200) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return false;
}

// Wine's version when the test runs under Wine, else "".
std::string wine_version() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return "";
    using Version = const char*(__cdecl*)();
    const auto version = reinterpret_cast<Version>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    return version != nullptr ? version() : "";
}

class WindowsService : public ::testing::Test {
protected:
    void TearDown() override {
        // Whatever a failed case left, the next run starts without it.
        if (service_key()) veltra({"service", "uninstall"});
    }
    TempDir temp_;
};

TEST_F(WindowsService, InstallStartStopUninstallThroughTheServiceManager) {
    const fs::path config = temp_.path() / "serve.conf";
    const fs::path state = temp_.path() / "state";
    const int port = free_port();
    ASSERT_GT(port, 0);
    // The register is never asked anything here: serve only needs one named.
    write_file(config.string(), "listen 127.0.0.1:" + std::to_string(port) +
                                    "\nregister shop1=127.0.0.1\nstate-dir " + state.string() +
                                    "\n");

    Outcome r = veltra({"service", "install", "--config", config.string()});
    ASSERT_EQ(r.status, 0) << r.output;
    const auto key = service_key();
    ASSERT_TRUE(key.has_value()) << "install left no registry key";
    const std::wstring expected = L"\"" + full_path(VELTRA_TOOL_PROGRAM) +
                                  L"\" serve --service --config \"" + full_path(config.string()) +
                                  L"\"";
    EXPECT_EQ(key->count(L"ImagePath") ? key->at(L"ImagePath") : L"", expected);
    EXPECT_EQ(key->count(L"Start") ? key->at(L"Start") : L"", L"2");

    if (const std::string wine = wine_version(); !wine.empty()) {
        // Seen with Wine 8: until the Wine session restarts and its service
        // manager reads the service back from the registry, opening the
        // service it has just created answers ERROR_SERVICE_DOES_NOT_EXIST
        // to some callers and StartServiceW ends in ERROR_SERVICE_REQUEST_TIMEOUT.
        // A test program keeps its session alive, so it cannot restart it.
        GTEST_SKIP() << "Wine " << wine
                     << ": its service manager does not yet serve a service created in the "
                        "running session; install and the registry were checked, start, "
                        "status, stop and uninstall run on Windows only";
    }

    r = veltra({"service", "status"});
    EXPECT_EQ(r.status, 3) << r.output;

    r = veltra({"service", "start"});
    if (r.status != 0) {
        const std::string log = fs::exists(state / "veltra-serve.log")
                                    ? read_file((state / "veltra-serve.log").string())
                                    : "(no log)";
        ADD_FAILURE() << "service start: " << r.output << "log: " << log;
    } else {
        EXPECT_TRUE(healthy(port, std::chrono::seconds(60))) << "no answer on /healthz";
        r = veltra({"service", "status"});
        EXPECT_EQ(r.status, 0) << r.output;
        r = veltra({"service", "stop"});
        EXPECT_EQ(r.status, 0) << r.output;
        r = veltra({"service", "status"});
        EXPECT_EQ(r.status, 3) << r.output;
        ASSERT_TRUE(fs::exists(state / "veltra-serve.log"));
        EXPECT_NE(read_file((state / "veltra-serve.log").string())
                      .find("listening on http://127.0.0.1:" + std::to_string(port)),
                  std::string::npos);
    }

    r = veltra({"service", "uninstall"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_FALSE(service_key().has_value()) << "uninstall left the registry key";
    EXPECT_TRUE(fs::exists(config)) << "uninstall keeps the configuration";
    r = veltra({"service", "status"});
    EXPECT_EQ(r.status, 4) << r.output;
}

TEST_F(WindowsService, ServeServiceOutsideTheServiceManagerIsRefused) {
    const Outcome r = veltra({"serve", "--service", "--register", "shop1=127.0.0.1"});
    EXPECT_EQ(r.status, 1) << r.output;
}

}  // namespace
}  // namespace veltra::test
