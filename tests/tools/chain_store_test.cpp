// The chain's jobs in PostgreSQL, on a server the test starts: only a
// register's shop claims its jobs, one at a time per register, oldest first;
// claimers at once never share a register; a lease that runs out leaves the
// job unknown, never claimed again, until its shop settles it; an
// Idempotency-Key is honoured across services; an added job wakes its shop.
#include "chain_store.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <set>
#include <thread>

#include "private_postgres.hpp"

namespace veltra::test {
namespace {

using tool::serve::AddOutcome;
using tool::serve::ChainStore;
using tool::serve::ChainWaiter;
using tool::serve::JobRecord;
using tool::serve::JobUpdate;
using tool::serve::pg::PgError;

constexpr std::int64_t kLease = 30'000;

// One server for the whole program; each test has a database of its own.
PrivatePostgres& server() {
    static PrivatePostgres s;
    return s;
}

class ChainStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server().started()) {
            // CI installs the server: there, its absence is a failure.
            if (std::getenv("CI") != nullptr) FAIL() << server().why_not();
            GTEST_SKIP() << server().why_not();
        }
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("t_") + info->name();
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        conninfo_ = server().new_database(name.substr(0, 60));
        store_ = std::make_unique<ChainStore>(conninfo_);
        store_->own("shop-a", {"a1", "a2"});
        store_->own("shop-b", {"b1"});
    }

    JobRecord job(const std::string& id, const std::string& reg, std::int64_t created,
                  const std::string& key = "", const std::string& request = "{}") {
        JobRecord j;
        j.id = id;
        j.register_name = reg;
        j.kind = "table_put";
        j.request = request;
        j.idempotency_key = key;
        j.created_ms = created;
        return j;
    }
    static std::vector<std::string> ids(const std::vector<JobRecord>& jobs) {
        std::vector<std::string> out;
        for (const JobRecord& j : jobs) out.push_back(j.id);
        return out;
    }
    static JobUpdate ended(const std::string& state, const std::string& verdict) {
        JobUpdate u;
        u.state = state;
        u.verdict = verdict;
        u.result = R"({"done":true})";
        return u;
    }

    std::string conninfo_;
    std::unique_ptr<ChainStore> store_;
};

TEST_F(ChainStoreTest, EachRegisterRunsItsOldestJobAndOneAtATime) {
    store_->add(job("j3", "a1", 300));
    store_->add(job("j1", "a1", 100));
    store_->add(job("j2", "a2", 200));
    store_->add(job("j4", "a2", 400));
    EXPECT_EQ(ids(store_->claim("shop-a", 1000, kLease, 10)),
              (std::vector<std::string>{"j1", "j2"}));
    // Both registers busy: nothing more until one ends.
    EXPECT_TRUE(store_->claim("shop-a", 1001, kLease, 10).empty());
    ASSERT_TRUE(store_->finish("shop-a", "j1", 1002, ended("succeeded", "applied")));
    const auto next = store_->claim("shop-a", 1003, kLease, 10);
    EXPECT_EQ(ids(next), (std::vector<std::string>{"j3"}));
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].state, "running");
    EXPECT_EQ(next[0].started_ms, 1003);
    // max bounds a claim.
    ASSERT_TRUE(store_->finish("shop-a", "j2", 1004, ended("succeeded", "applied")));
    ASSERT_TRUE(store_->finish("shop-a", "j3", 1004, ended("succeeded", "applied")));
    store_->add(job("j5", "a1", 500));
    EXPECT_EQ(store_->claim("shop-a", 1005, kLease, 1).size(), 1u);
    EXPECT_EQ(store_->claim("shop-a", 1005, kLease, 1).size(), 1u);
    EXPECT_TRUE(store_->claim("shop-a", 1005, kLease, 1).empty());
}

TEST_F(ChainStoreTest, OnlyTheRegistersShopClaimsOrEndsItsJobs) {
    store_->add(job("j1", "a1", 100));
    store_->add(job("j2", "b1", 100));
    EXPECT_EQ(ids(store_->claim("shop-b", 1000, kLease, 10)), (std::vector<std::string>{"j2"}));
    EXPECT_FALSE(store_->finish("shop-b", "j1", 1001, ended("succeeded", "applied")));
    EXPECT_FALSE(store_->renew("shop-b", "j1", 1001, kLease, 0.5));
    EXPECT_EQ(store_->find("j1")->state, "queued");
    // A register has one owner: another shop's claim to it changes nothing.
    EXPECT_THROW(store_->own("shop-b", {"b2", "a1"}), PgError);
    EXPECT_EQ(store_->owner_of("a1"), "shop-a");
    EXPECT_EQ(store_->owner_of("b2"), std::nullopt);
    EXPECT_EQ(store_->owner_of("nowhere"), std::nullopt);
}

TEST_F(ChainStoreTest, ALeaseThatRunsOutLeavesTheJobUnknownUntilItsShopSettlesIt) {
    store_->add(job("j1", "a1", 100));
    store_->add(job("j2", "a1", 200));
    ASSERT_EQ(store_->claim("shop-a", 1000, kLease, 10).size(), 1u);
    // Renewed while live; the lease then runs out.
    EXPECT_TRUE(store_->renew("shop-a", "j1", 1000 + kLease - 1, kLease, 0.4));
    EXPECT_TRUE(store_->expire(1000 + kLease).empty());
    const std::int64_t out = 1000 + 2 * kLease;
    EXPECT_FALSE(store_->renew("shop-a", "j1", out, kLease, 0.5)) << "a lease that ran out";
    EXPECT_EQ(store_->expire(out), (std::vector<std::string>{"j1"}));
    const JobRecord j1 = *store_->find("j1");
    EXPECT_EQ(j1.state, "failed");
    EXPECT_EQ(j1.verdict, "unknown");
    EXPECT_DOUBLE_EQ(j1.progress, 0.4);
    EXPECT_NE(j1.result.find("lease"), std::string::npos) << j1.result;
    // Never run again, and the register's next job waits for the verdict.
    EXPECT_TRUE(store_->claim("shop-a", out + 1, kLease, 10).empty());
    EXPECT_EQ(ids(store_->unknown_of("shop-a")), (std::vector<std::string>{"j1"}));
    // Only a verdict settles it, and only its shop's.
    struct Try {
        const char* shop;
        const char* state;
        const char* verdict;
        bool taken;
    };
    for (const Try& t :
         {Try{"shop-b", "succeeded", "applied", false}, Try{"shop-a", "failed", "unknown", false},
          Try{"shop-a", "running", "applied", false}, Try{"shop-a", "succeeded", "applied", true},
          Try{"shop-a", "failed", "not_applied", false}}) {
        SCOPED_TRACE(std::string(t.shop) + " " + t.state + " " + t.verdict);
        EXPECT_EQ(store_->finish(t.shop, "j1", out + 2, ended(t.state, t.verdict)), t.taken);
    }
    EXPECT_EQ(store_->find("j1")->verdict, "applied");
    EXPECT_EQ(store_->find("j1")->ended_ms, out + 2);
    EXPECT_TRUE(store_->unknown_of("shop-a").empty());
    EXPECT_EQ(ids(store_->claim("shop-a", out + 3, kLease, 10)), (std::vector<std::string>{"j2"}));
    // A job ended by its shop is not ended again by a late report.
    ASSERT_TRUE(store_->finish("shop-a", "j2", out + 4, ended("failed", "not_applied")));
    EXPECT_FALSE(store_->finish("shop-a", "j2", out + 5, ended("succeeded", "applied")));
    EXPECT_EQ(store_->find("j2")->verdict, "not_applied");
}

TEST_F(ChainStoreTest, AnIdempotencyKeyIsHonouredAcrossServices) {
    ChainStore other(conninfo_);  // another shop's or the head office's service
    const auto first = store_->add(job("j1", "a1", 100, "key-1", R"({"csv":"1"})"));
    EXPECT_EQ(first.outcome, AddOutcome::added);
    const auto again = other.add(job("j2", "a1", 200, "key-1", R"({"csv":"1"})"));
    EXPECT_EQ(again.outcome, AddOutcome::replayed);
    EXPECT_EQ(again.job.id, "j1");
    const auto clash = other.add(job("j3", "a1", 300, "key-1", R"({"csv":"2"})"));
    EXPECT_EQ(clash.outcome, AddOutcome::conflict);
    EXPECT_EQ(clash.job.id, "j1");
    EXPECT_FALSE(store_->find("j2"));
    EXPECT_FALSE(store_->find("j3"));
    // A key older than its life is a new request.
    const auto late = other.add(
        job("j4", "a1", 100 + tool::serve::Journal::kKeyLifeMs + 1, "key-1", R"({"csv":"2"})"));
    EXPECT_EQ(late.outcome, AddOutcome::added);
    // Ids that could leave their folder are refused.
    EXPECT_THROW(store_->add(job("../j", "a1", 100)), PgError);
    EXPECT_THROW(store_->add(job("", "a1", 100)), PgError);
}

TEST_F(ChainStoreTest, AnAddedJobWakesItsShopOnly) {
    ChainWaiter a(conninfo_, "shop-a");
    ChainWaiter b(conninfo_, "shop-b");
    EXPECT_FALSE(a.wait(50));
    std::thread adder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ChainStore(conninfo_).add(job("j1", "a1", 100));
    });
    EXPECT_TRUE(a.wait(30'000));
    adder.join();
    EXPECT_FALSE(b.wait(300)) << "shop-b woken by shop-a's job";
}

// Four claimers at once over the same shop's twenty registers (two
// services, two threads each): every job runs once, and never two at once
// on one register.
TEST_F(ChainStoreTest, ClaimersAtOnceNeverShareARegister) {
    std::vector<std::string> regs;
    for (int r = 0; r < 20; ++r) regs.push_back("r" + std::to_string(r));
    store_->own("shop-c", regs);
    int n = 0;
    for (int round = 0; round < 5; ++round)
        for (const std::string& r : regs) {
            store_->add(job("j" + std::to_string(n), r, 1000 + n));
            ++n;
        }
    std::mutex m;
    std::set<std::string> busy;
    std::map<std::string, int> runs;
    std::atomic<bool> overlap{false};
    auto claimer = [&](ChainStore& s) {
        for (int idle = 0; idle < 50;) {
            const auto jobs = s.claim("shop-c", 5000, kLease, 3);
            if (jobs.empty()) {
                ++idle;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            idle = 0;
            for (const JobRecord& j : jobs) {
                const std::lock_guard lock(m);
                if (!busy.insert(j.register_name).second) overlap = true;
                ++runs[j.id];
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            for (const JobRecord& j : jobs) {
                {
                    const std::lock_guard lock(m);
                    busy.erase(j.register_name);
                }
                EXPECT_TRUE(s.finish("shop-c", j.id, 5001, ended("succeeded", "applied")));
            }
        }
    };
    ChainStore second(conninfo_);
    ChainStore third(conninfo_);
    ChainStore fourth(conninfo_);
    std::vector<std::thread> threads;
    for (ChainStore* s : {store_.get(), &second, &third, &fourth})
        threads.emplace_back(claimer, std::ref(*s));
    for (auto& t : threads) t.join();
    EXPECT_FALSE(overlap);
    EXPECT_EQ(runs.size(), 100u);
    for (const auto& [id, count] : runs) EXPECT_EQ(count, 1) << id;
}

TEST_F(ChainStoreTest, ServicesStartingAtOnceShareOneSchemaAndANewerOneIsRefused) {
    std::vector<std::thread> starts;
    std::atomic<int> failures{0};
    for (int i = 0; i < 4; ++i)
        starts.emplace_back([&] {
            try {
                ChainStore s(conninfo_);
            } catch (const PgError&) {
                ++failures;
            }
        });
    for (auto& t : starts) t.join();
    EXPECT_EQ(failures, 0);
    tool::serve::pg::Connection c(conninfo_);
    c.exec("UPDATE veltra_schema SET version = $1", {ChainStore::kSchemaVersion + 1});
    try {
        ChainStore s(conninfo_);
        ADD_FAILURE() << "a newer schema was taken";
    } catch (const PgError& e) {
        EXPECT_NE(std::string(e.what()).find("newer"), std::string::npos) << e.what();
    }
    EXPECT_THROW(ChainStore("host=/nonexistent user=veltra"), PgError);
}

// A server restarted under the services (an update, a failover): the call
// that finds its connection broken fails, and the next one connects again,
// its LISTEN too.
TEST_F(ChainStoreTest, AServerRestartedIsReachedAgain) {
    ChainWaiter waiter(conninfo_, "shop-a");
    store_->add(job("j1", "a1", 100));
    ASSERT_TRUE(waiter.wait(5000)) << "j1's NOTIFY";
    ASSERT_TRUE(server().restart());
    try {
        store_->find("j1");
    } catch (const PgError&) {
        // The connection was found broken.
    }
    const auto found = store_->find("j1");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->state, "queued");
    // A transaction after the restart commits as before.
    EXPECT_EQ(ids(store_->claim("shop-a", 1000, kLease, 10)), std::vector<std::string>{"j1"});
    // The waiter finds its connection lost on one of its next waits.
    int lost = 0;
    for (int i = 0; i < 3; ++i) {
        try {
            waiter.wait(200);
        } catch (const PgError&) {
            ++lost;
        }
    }
    EXPECT_EQ(lost, 1);
    store_->add(job("j2", "a2", 200));
    EXPECT_TRUE(waiter.wait(10000)) << "the waiter listens again";
}

}  // namespace
}  // namespace veltra::test
