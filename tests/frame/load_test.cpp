// Loading the library into a host program: the old trace log goes, and the
// lines of this run land beside the host's executable.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "test_support.hpp"

namespace {

using veltra::test::read_file;
using veltra::test::TempDir;

// Copies the host program into its own directory and runs it there.
class LoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        host_ = dir_.path() / "load_host";
        std::filesystem::copy_file(VELTRA_LOAD_HOST, host_);
    }

    int run(const std::string& env, const std::string& args = "") {
        // Run from elsewhere: the log follows the executable, not the working directory.
        const std::string cmd = "cd / && env -u ECR_TRACE " + env + " '" + host_.string() + "' '" +
                                VELTRA_LIBRARY + "' " + args + " > '" +
                                (dir_.path() / "out.txt").string() + "'";
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string log() const { return dir_.file("ecrlog.txt"); }

    TempDir dir_;
    std::filesystem::path host_;
};

TEST_F(LoadTest, LoadDeletesTheOldLogEvenWithoutTracing) {
    veltra::test::write_file(log(), "left by an earlier run\n");
    ASSERT_EQ(run(""), 0);
    EXPECT_FALSE(std::filesystem::exists(log()));
    EXPECT_EQ(read_file(dir_.file("out.txt")), "VELTRA V1.8 del 16/12/2014\nERR_TIMEOUT\n");
}

TEST_F(LoadTest, TheRunsLinesLandBesideTheHost) {
    veltra::test::write_file(log(), "left by an earlier run\n");
    ASSERT_EQ(run("ECR_TRACE=1", "0.0.0.0"), 0);
    EXPECT_EQ(read_file(dir_.file("out.txt")), "VELTRA V1.8 del 16/12/2014\nERR_TIMEOUT\n-3\n");
    const std::string text = read_file(log());
    EXPECT_EQ(text.find("earlier run"), std::string::npos);

    const std::string s = R"(\d\d:\d\d:\d\d:\d\d\d)";
    const std::string dir = dir_.path().string();
    const std::string expected =
        s + " DllMain -- versione='VELTRA V1\\.8 del 16/12/2014'\n" + s +
        " DllMain -- PROCESS_ATTACH: hInst='0x[0-9A-F]{8}' esito='1' dirname='" + dir +
        "' esito_sock='0'\n" + s + " ecr_get_ver -- begin: verptr='0x[0-9A-F]{8}'\n" + s +
        " ecr_get_ver -- end  : verptr='VELTRA V1\\.8 del 16/12/2014'\n" + s +
        " ecr_get_err -- begin: esito='-6' errptr='0x[0-9A-F]{8}'\n" + s +
        " ecr_get_err -- end  : errptr='ERR_TIMEOUT'\n" + s +
        " ecr_ping -- begin: hostname='0\\.0\\.0\\.0' numsec='1'\n" + s +
        " ecr_ping -- end  : esito='ERR_INVALID_IP_ADDRESS'\n" + s +
        " DllMain -- PROCESS_DETACH: hInst='0x[0-9A-F]{8}' esito='1' dirname='" + dir +
        "' esito_sock='-1'\n";
    EXPECT_TRUE(std::regex_match(text, std::regex(expected))) << text;
}

TEST_F(LoadTest, DebugSwitchWithoutADebuggerDoesNotKillTheHost) {
    ASSERT_EQ(run("ECR_DEBUG=1"), 0);
    EXPECT_EQ(read_file(dir_.file("out.txt")), "VELTRA V1.8 del 16/12/2014\nERR_TIMEOUT\n");
}

}  // namespace
