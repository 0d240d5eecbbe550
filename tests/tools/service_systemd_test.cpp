// veltra service under systemd, run as the real program against a unit
// folder of the test's own and a systemctl that records its arguments.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "sys/service_manager.hpp"
#include "test_support.hpp"

namespace veltra::test {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string output;  // stdout and stderr
};

// Quoted for /bin/sh.
std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class SystemdService : public ::testing::Test {
protected:
    void SetUp() override {
        // Not where the unit hides files from the service (/tmp, /home...),
        // where install refuses a configuration: the build folder, unless it
        // lies there itself (a checkout in /tmp), then shared memory.
        std::random_device seed;
        const std::string name = "service-test-" + std::to_string(seed());
        for (const char* scratch : {VELTRA_SERVICE_SCRATCH, "/dev/shm"}) {
            const fs::path candidate = fs::path(scratch) / name;
            if (!sys::service_config_refusal(candidate / "etc" / "serve.conf").empty()) continue;
            std::error_code ec;
            if (fs::create_directories(candidate, ec)) {
                root_ = candidate;
                break;
            }
        }
        if (root_.empty()) GTEST_SKIP() << "no folder the service could read its configuration in";
        fs::create_directories(root_ / "systemd");
        fs::create_directories(root_ / "etc");
        systemctl_ = root_ / "systemctl";
        write_file(systemctl_.string(),
                   "#!/bin/sh\n"
                   "printf '%s\\n' \"$*\" >> " +
                       quoted(calls().string()) +
                       "\n"
                       "[ -e " +
                       quoted((root_ / "fail").string()) +
                       " ] && exit 1\n"
                       "if [ \"$1\" = is-active ]; then\n"
                       "  if [ -e " +
                       quoted((root_ / "active").string()) +
                       " ]; then echo active; exit 0; fi\n"
                       "  echo inactive; exit 3\n"
                       "fi\n"
                       "exit 0\n");
        fs::permissions(systemctl_, fs::perms::owner_all);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    Outcome veltra(const std::string& args) {
        const std::string command = "VELTRA_SYSTEMD_DIR=" + quoted((root_ / "systemd").string()) +
                                    " VELTRA_SYSTEMCTL=" + quoted(systemctl_.string()) + " " +
                                    quoted(VELTRA_TOOL_PROGRAM) + " service " + args + " 2>&1";
        Outcome r;
        FILE* p = popen(command.c_str(), "r");
        if (p == nullptr) return r;
        char buffer[4096];
        for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;)
            r.output.append(buffer, n);
        const int status = pclose(p);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }

    fs::path calls() const { return root_ / "calls"; }
    std::vector<std::string> recorded() const {
        return fs::exists(calls()) ? text_file_lines(calls().string()) : std::vector<std::string>{};
    }
    fs::path unit() const { return root_ / "systemd" / "veltra.service"; }
    fs::path config() const { return root_ / "etc" / "serve.conf"; }
    std::string install() {
        const Outcome r = veltra("install --config " + quoted(config().string()));
        EXPECT_EQ(r.status, 0) << r.output;
        return r.output;
    }

    fs::path root_;
    fs::path systemctl_;
};

TEST_F(SystemdService, InstallWritesTheTemplateWithThisProgramAndConfig) {
    install();
    std::string expected = read_file(VELTRA_UNIT_TEMPLATE);
    const std::string program = fs::canonical(VELTRA_TOOL_PROGRAM).string();
    for (const auto& [mark, value] :
         {std::pair<std::string, std::string>{"@VELTRA_PROGRAM@", program},
          {"@VELTRA_CONFIG@", config().string()}}) {
        ASSERT_NE(expected.find(mark), std::string::npos) << mark;
        for (std::size_t at; (at = expected.find(mark)) != std::string::npos;)
            expected.replace(at, mark.size(), value);
    }
    EXPECT_EQ(read_file(unit().string()), expected);
    EXPECT_NE(expected.find("\nExecStart=" + program + " serve --config " + config().string() +
                            " --state-dir /var/lib/veltra\n"),
              std::string::npos);
    // A starting configuration, readable by the service's own user.
    EXPECT_NE(read_file(config().string()).find("\nlisten 127.0.0.1:8090\n"), std::string::npos);
    EXPECT_EQ(fs::status(config()).permissions() & fs::perms::others_read, fs::perms::others_read);
}

TEST_F(SystemdService, InstallTwiceGivesTheSameFileAndKeepsTheConfig) {
    install();
    const std::string first = read_file(unit().string());
    write_file(config().string(), "register shop1=127.0.0.1\n");
    install();
    EXPECT_EQ(read_file(unit().string()), first);
    EXPECT_EQ(read_file(config().string()), "register shop1=127.0.0.1\n");
    std::set<std::string> seen;
    for (const std::string& line : text_file_lines(unit().string())) {
        if (line.empty() || line[0] == '#') continue;
        EXPECT_TRUE(seen.insert(line).second) << "repeated: " << line;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "systemd"), fs::directory_iterator()), 1)
        << "a file besides the unit was left";
}

TEST_F(SystemdService, EachCommandRunsItsSystemctlCallsInOrder) {
    struct Step {
        std::string args;
        int status;
        std::vector<std::string> calls;
    };
    const std::vector<Step> steps = {
        {"install --config " + quoted(config().string()),
         0,
         {"daemon-reload", "enable veltra.service"}},
        {"start", 0, {"start veltra.service"}},
        {"status", 3, {"is-active veltra.service"}},
        {"stop", 0, {"stop veltra.service"}},
        {"uninstall", 0, {"disable --now veltra.service", "daemon-reload"}},
        {"status", 4, {}},  // no unit: systemctl is not asked
    };
    std::vector<std::string> expected;
    for (const Step& step : steps) {
        const Outcome r = veltra(step.args);
        EXPECT_EQ(r.status, step.status) << step.args << ": " << r.output;
        expected.insert(expected.end(), step.calls.begin(), step.calls.end());
        EXPECT_EQ(recorded(), expected) << "after " << step.args;
    }
    EXPECT_FALSE(fs::exists(unit()));
    EXPECT_TRUE(fs::exists(config())) << "uninstall keeps the configuration";
}

TEST_F(SystemdService, StatusTellsRunningStoppedAndNotInstalledApart) {
    Outcome r = veltra("status");
    EXPECT_EQ(r.status, 4) << r.output;
    install();
    r = veltra("status");
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_NE(r.output.find("inactive"), std::string::npos) << r.output;
    write_file((root_ / "active").string(), "");
    r = veltra("status");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("command line: " + fs::canonical(VELTRA_TOOL_PROGRAM).string() +
                            " serve --config " + config().string()),
              std::string::npos)
        << r.output;
}

TEST_F(SystemdService, AFailingSystemctlFailsTheCommand) {
    install();
    write_file((root_ / "fail").string(), "");
    for (const char* args : {"start", "stop", "uninstall"}) {
        const Outcome r = veltra(args);
        EXPECT_EQ(r.status, 1) << args << ": " << r.output;
        EXPECT_NE(r.output.find("failed"), std::string::npos) << r.output;
    }
    EXPECT_EQ(veltra("status").status, 1);
    EXPECT_TRUE(fs::exists(unit())) << "a failed disable leaves the unit";
}

TEST_F(SystemdService, ConfigPathsTheServiceCannotReadOrCarryAreRefused) {
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"/home/shop/serve.conf", "ProtectHome"},
        {"/root/serve.conf", "ProtectHome"},
        {"/tmp/veltra/serve.conf", "PrivateTmp"},
        {(root_ / "etc" / "with space.conf").string(), "' '"},
        {(root_ / "etc" / "100%.conf").string(), "'%'"},
        {(root_ / "etc" / "$HOME.conf").string(), "'$'"},
        {(root_ / "etc").string(), "is a folder"},
    };
    for (const auto& [path, why] : bad) {
        const Outcome r = veltra("install --config " + quoted(path));
        EXPECT_EQ(r.status, 2) << path << ": " << r.output;
        EXPECT_NE(r.output.find(why), std::string::npos) << path << ": " << r.output;
    }
    EXPECT_FALSE(fs::exists(unit()));
    EXPECT_TRUE(recorded().empty());
}

TEST_F(SystemdService, SystemdAnalyzeAcceptsTheUnit) {
    const fs::path analyze = "/usr/bin/systemd-analyze";
    if (!fs::exists(analyze)) GTEST_SKIP() << "no " << analyze;
    install();
    const std::string command =
        analyze.string() + " verify --man=no " + quoted(unit().string()) + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;) output.append(buffer, n);
    const int status = pclose(p);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_EQ(output.find("veltra.service:"), std::string::npos) << output;
}

}  // namespace
}  // namespace veltra::test
