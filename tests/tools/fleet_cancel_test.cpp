// Cancelling a table push, through the operation's own logic with a runner
// whose jobs end when the test says: no register the push had not started
// on is asked anything, an upload already running keeps its verdict, one
// the runner can still take back is withdrawn, and only a push is cancelled.
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "fleet.hpp"

namespace veltra::test {
namespace {

using tool::serve::Fleet;
using tool::serve::FleetRunner;
using tool::serve::TablePush;
using Json = nlohmann::json;

// Jobs end when end() is called; withdraw() takes back those not begun.
class ScriptedRunner : public FleetRunner {
public:
    std::string compare(const std::string& reg, const TablePush&) override {
        return made("compare " + reg);
    }
    std::string upload(const std::string& reg, const TablePush&, const std::string&) override {
        return made("upload " + reg);
    }
    std::string read(const std::string& reg, const std::string& kind, const std::string&) override {
        return made(kind + " " + reg);
    }
    void launch(const std::string& job) override {
        const std::lock_guard lock(m_);
        launched_.insert(job);
        changed_.notify_all();
    }
    void discard(const std::string&) override {}
    bool withdraw(const std::string& job, const std::string& why) override {
        const std::lock_guard lock(m_);
        if (begun_.count(job) != 0 || ends_.count(job) != 0) return false;
        ends_[job] = End{"cancelled", "", nullptr, Json{{"message", why}}};
        changed_.notify_all();
        return true;
    }
    std::optional<End> wait(const std::string& job, const std::atomic<bool>& stopping) override {
        std::unique_lock lock(m_);
        while (!stopping) {
            if (const auto it = ends_.find(job); it != ends_.end()) return it->second;
            changed_.wait_for(lock, std::chrono::milliseconds(20));
        }
        return std::nullopt;
    }
    std::string verdict_of(const std::string&) override { return ""; }
    void keep(const std::string&, std::int64_t, std::int64_t, const std::string&) override {}
    std::vector<std::string> kept(int) override { return {}; }

    // The test's side: job names are "compare r1", "upload r2", ...
    bool launched(const std::string& job, bool wait_for_it = true) {
        std::unique_lock lock(m_);
        for (int i = 0; i < 250 && wait_for_it && launched_.count(job) == 0; ++i)
            changed_.wait_for(lock, std::chrono::milliseconds(20));
        return launched_.count(job) != 0;
    }
    void begin(const std::string& job) {
        const std::lock_guard lock(m_);
        begun_.insert(job);
    }
    void end(const std::string& job, End e) {
        const std::lock_guard lock(m_);
        ends_[job] = std::move(e);
        changed_.notify_all();
    }

private:
    static std::string made(const std::string& name) { return name; }
    std::mutex m_;
    std::condition_variable changed_;
    std::set<std::string> launched_, begun_;
    std::map<std::string, End> ends_;
};

const FleetRunner::End kCompared{"succeeded", "", Json{{"reset", 0}}, nullptr};
const FleetRunner::End kApplied{"succeeded", "applied", nullptr, nullptr};

class FleetCancel : public ::testing::Test {
protected:
    Json ended(const std::string& id) {
        Json s;
        for (int i = 0; i < 250; ++i) {
            s = fleet_.describe(id);
            if (s.value("state", "") != "running") break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return s;
    }
    static std::vector<std::string> states(const Json& op) {
        std::vector<std::string> out;
        for (const Json& step : op["registers"]) out.push_back(step["state"]);
        return out;
    }
    std::string push(int canary, bool stop_on_failure) {
        TablePush p;
        p.table = "plu";
        p.csv = "x";
        p.canary = canary;
        p.stop_on_failure = stop_on_failure;
        return fleet_.push_table("all", {"r1", "r2", "r3"}, p, "tester")["id"];
    }
    void compare_all() {
        for (const char* r : {"r1", "r2", "r3"}) {
            ASSERT_TRUE(runner_.launched(std::string("compare ") + r));
            runner_.end(std::string("compare ") + r, kCompared);
        }
    }

    ScriptedRunner runner_;
    Fleet fleet_{runner_, [](const std::string&) {}};
};

TEST_F(FleetCancel, DuringTheComparisonsNothingIsUploaded) {
    const std::string id = push(0, false);
    ASSERT_TRUE(runner_.launched("compare r1"));
    EXPECT_EQ(fleet_.cancel(id, "head office"), Fleet::Cancel::asked);
    compare_all();
    const Json op = ended(id);
    EXPECT_EQ(op["state"], "stopped");
    EXPECT_EQ(op["reason"], "cancelled by head office");
    EXPECT_EQ(op["cancelled_by"], "head office");
    EXPECT_EQ(states(op), (std::vector<std::string>{"untouched", "untouched", "untouched"}));
    for (const char* r : {"r1", "r2", "r3"})
        EXPECT_FALSE(runner_.launched(std::string("upload ") + r, false)) << r;
    // It has ended: a second cancel says so.
    EXPECT_EQ(fleet_.cancel(id, "head office"), Fleet::Cancel::ended);
}

TEST_F(FleetCancel, TheCanaryRunningKeepsItsVerdictAndTheRestStayUntouched) {
    const std::string id = push(1, false);
    compare_all();
    ASSERT_TRUE(runner_.launched("upload r1"));
    runner_.begin("upload r1");
    EXPECT_EQ(fleet_.cancel(id, "head office"), Fleet::Cancel::asked);
    runner_.end("upload r1", kApplied);
    const Json op = ended(id);
    EXPECT_EQ(op["state"], "stopped");
    EXPECT_EQ(states(op), (std::vector<std::string>{"applied", "untouched", "untouched"}));
    EXPECT_FALSE(runner_.launched("upload r2", false));
    EXPECT_FALSE(runner_.launched("upload r3", false));
}

TEST_F(FleetCancel, UploadsNotBegunAreTakenBackAndThoseBegunKeepTheirVerdicts) {
    const std::string id = push(0, false);
    compare_all();
    for (const char* r : {"r1", "r2", "r3"})
        ASSERT_TRUE(runner_.launched(std::string("upload ") + r));
    // r1's shop has begun; r2 and r3 wait for theirs.
    runner_.begin("upload r1");
    EXPECT_EQ(fleet_.cancel(id, "head office"), Fleet::Cancel::asked);
    runner_.end("upload r1", kApplied);
    const Json op = ended(id);
    EXPECT_EQ(op["state"], "stopped");
    EXPECT_EQ(op["reason"], "cancelled by head office");
    EXPECT_EQ(states(op), (std::vector<std::string>{"applied", "untouched", "untouched"}));
    EXPECT_NE(
        op["registers"][1]["error"]["message"].get<std::string>().find("cancelled by head office"),
        std::string::npos);
}

TEST_F(FleetCancel, OnlyARunningPushIsCancelled) {
    EXPECT_EQ(fleet_.cancel("fleet-9-1", "head office"), Fleet::Cancel::unknown);
    const std::string read = fleet_.read_each("all", {"r1"}, "backup", "tester")["id"];
    EXPECT_EQ(fleet_.cancel(read, "head office"), Fleet::Cancel::not_a_push);
    runner_.end("backup r1", kApplied);
    EXPECT_EQ(ended(read)["state"], "done");
    EXPECT_EQ(fleet_.cancel(read, "head office"), Fleet::Cancel::ended);
}

}  // namespace
}  // namespace veltra::test
