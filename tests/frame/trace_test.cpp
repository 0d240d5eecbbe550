// The trace log: switching, the file's life, and the exact line formats.
#include "frame/trace.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "frame/library_frame.hpp"
#include "platform_traits.hpp"
#include "sys/env.hpp"
#include "test_support.hpp"
#include "veltra.h"

namespace {

using veltra::test::EnvVar;
using veltra::test::read_lines;
using veltra::test::TempDir;

const char* const kStamp = R"(\d\d:\d\d:\d\d:\d\d\d)";

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_dirname_ = veltra::dirname();
        veltra::set_dirname(dir_.path().string());
    }
    void TearDown() override { veltra::set_dirname(saved_dirname_); }

    std::string log_path() const { return dir_.file("ecrlog.txt"); }
    std::vector<std::string> lines() const { return read_lines(log_path()); }
    bool log_exists() const { return std::filesystem::exists(log_path()); }

    TempDir dir_;
    EnvVar trace_{"ECR_TRACE", std::nullopt};
    EnvVar proto_{"ECR_PROTO", std::nullopt};
    std::string saved_dirname_;
};

void expect_matches(const std::string& line, const std::string& pattern) {
    EXPECT_TRUE(std::regex_match(line, std::regex(pattern)))
        << "line:    " << line << "\npattern: " << pattern;
}

TEST_F(TraceTest, NothingIsWrittenWithoutEcrTrace) {
    veltra::ecr_trace("%s hello\n", veltra::ecr_trace_time());
    EXPECT_FALSE(log_exists());
}

TEST_F(TraceTest, ProtoAloneWritesNothing) {
    EnvVar proto("ECR_PROTO", "1");
    veltra::ecr_trace("%s tftp-get receive  : block='%d' data_len='%d'\n", veltra::ecr_trace_time(),
                      1, 512);
    EXPECT_FALSE(log_exists());
}

TEST_F(TraceTest, SwitchingTakesEffectAtTheNextLine) {
    veltra::ecr_trace("one\n");
    veltra::sys::env_set("ECR_TRACE", std::string());  // any value counts, the empty one too
    veltra::ecr_trace("two\n");
    veltra::ecr_trace("three\n");
    veltra::sys::env_set("ECR_TRACE", std::nullopt);
    veltra::ecr_trace("four\n");
    veltra::sys::env_set("ECR_TRACE", "yes");
    veltra::ecr_trace("five\n");
    EXPECT_EQ(lines(), (std::vector<std::string>{"two", "three", "five"}));
}

TEST_F(TraceTest, EachLineIsOnDiskAtOnceAndADeletedFileStartsAgain) {
    EnvVar on("ECR_TRACE", "1");
    veltra::ecr_trace("first\n");
    EXPECT_EQ(lines(), std::vector<std::string>{"first"});
    std::filesystem::remove(log_path());
    veltra::ecr_trace("second\n");
    EXPECT_EQ(lines(), std::vector<std::string>{"second"});
}

TEST_F(TraceTest, AnUnwritableTraceFileChangesNoResult) {
    EnvVar on("ECR_TRACE", "1");
    // A directory in the file's place cannot be opened for appending, even by root.
    std::filesystem::create_directory(log_path());
    char ver[ECR_VER_BUFSIZE];
    char err[ECR_ERR_BUFSIZE];
    EXPECT_STREQ(ecr_get_ver(ver), "VELTRA V1.8 del 16/12/2014");
    EXPECT_STREQ(ecr_get_err(-6, err), "ERR_TIMEOUT");
    EXPECT_EQ(ecr_ping("0.0.0.0", 1), ERR_INVALID_IP_ADDRESS);
    EXPECT_TRUE(std::filesystem::is_directory(log_path()));
}

TEST_F(TraceTest, ALongLineIsWrittenWhole) {
    EnvVar on("ECR_TRACE", "1");
    const std::string text(10000, 'q');
    veltra::ecr_trace("%s\n", text.c_str());
    EXPECT_EQ(lines(), std::vector<std::string>{text});
}

TEST_F(TraceTest, LinesAreWrittenAsTextWithThePlatformsLineEnd) {
    EnvVar on("ECR_TRACE", "1");
    veltra::ecr_trace("a\n");
    veltra::ecr_trace("b\n");
    const std::string end = veltra::sys::kTextLineEnd;
    EXPECT_EQ(veltra::test::read_file(log_path()), "a" + end + "b" + end);
}

TEST_F(TraceTest, TimestampIsHoursMinutesSecondsMilliseconds) {
    const std::string stamp = veltra::ecr_trace_time();
    expect_matches(stamp, kStamp);
    EXPECT_LE(std::stoi(stamp.substr(0, 2)), 23);
    EXPECT_LE(std::stoi(stamp.substr(3, 2)), 59);
}

TEST_F(TraceTest, BeginAndEndLinesOfTheFrameFunctions) {
    EnvVar on("ECR_TRACE", "1");
    char ver[ECR_VER_BUFSIZE];
    char err[ECR_ERR_BUFSIZE];
    ecr_get_ver(ver);
    ecr_get_err(-26, err);
    const auto got = lines();
    ASSERT_EQ(got.size(), 4u);
    const std::string s = kStamp;
    expect_matches(got[0], s + " ecr_get_ver -- begin: verptr='0x[0-9A-F]{8}'");
    expect_matches(got[1], s + " ecr_get_ver -- end  : verptr='VELTRA V1\\.8 del 16/12/2014'");
    expect_matches(got[2], s + " ecr_get_err -- begin: esito='-26' errptr='0x[0-9A-F]{8}'");
    expect_matches(got[3], s + " ecr_get_err -- end  : errptr='ECR_ERR_DATI_CASSA_NOT_SUPP'");
}

TEST_F(TraceTest, BeginAndEndLinesOfPing) {
    EnvVar on("ECR_TRACE", "1");
    EXPECT_EQ(ecr_ping("255.255.255.255", 2), ERR_INVALID_IP_ADDRESS);
    const auto got = lines();
    ASSERT_EQ(got.size(), 2u);
    const std::string s = kStamp;
    expect_matches(got[0], s + " ecr_ping -- begin: hostname='255\\.255\\.255\\.255' numsec='2'");
    expect_matches(got[1], s + " ecr_ping -- end  : esito='ERR_INVALID_IP_ADDRESS'");
}

TEST_F(TraceTest, NotificationLinesNameTheirReason) {
    EnvVar on("ECR_TRACE", "1");
    const int saved = veltra::esito_sock();
    veltra::set_esito_sock(0);
    EXPECT_EQ(veltra::library_notify(0x1234, veltra::kThreadAttach), 1);
    EXPECT_EQ(veltra::library_notify(0x1234, veltra::kThreadDetach), 1);
    EXPECT_EQ(veltra::library_notify(0x1234, 7), 1);
    veltra::set_esito_sock(saved);
    const auto got = lines();
    ASSERT_EQ(got.size(), 3u);
    const std::string tail =
        ": hInst='0x00001234' esito='1' dirname='" + dir_.path().string() + "' esito_sock='0'";
    EXPECT_EQ(got[0].substr(12), " DllMain -- THREAD_ATTACH " + tail);
    EXPECT_EQ(got[1].substr(12), " DllMain -- THREAD_DETACH " + tail);
    EXPECT_EQ(got[2].substr(12), " DllMain -- 7" + tail);
}

}  // namespace
