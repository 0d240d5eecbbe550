// Registers named by serial number: the configuration's form, the address
// book's rules over scripted discoveries, and a service that finds its
// register on the loopback network, refuses to guess while it has not, and
// follows it to a new address.
#include <atomic>
#include <deque>
#include <mutex>

#include "address_book.hpp"
#include "config.hpp"
#include "serve_fixture.hpp"

namespace veltra::test {
namespace {

using tool::FoundRegister;
using tool::serve::AddressBook;
using tool::serve::RegisterConfig;

TEST(RegisterBySerial, TheConfigurationTakesAtSerialAndChecksIt) {
    const struct {
        const char* text;
        bool ok;
        const char* host;
        const char* matricola;
    } cases[] = {
        {"shop1=192.168.1.20", true, "192.168.1.20", ""},
        {"shop1=@SIM00012345", true, "@SIM00012345", "SIM00012345"},
        {"shop1=@SIM00012345:600", true, "@SIM00012345", "SIM00012345"},
        // A lone "@" is the library's default host, as before.
        {"shop1=@", true, "@", ""},
        {"shop1=@123456789012345678901", false, "", ""},
        {"shop1=@A,B", false, "", ""},
        {"shop1=@A=B", false, "", ""},
        {"shop1=@A B", false, "", ""},
    };
    for (const auto& c : cases) {
        RegisterConfig r;
        std::string error;
        ASSERT_EQ(tool::serve::parse_register(c.text, r, error), c.ok) << c.text << " " << error;
        if (!c.ok) continue;
        EXPECT_EQ(r.host, c.host) << c.text;
        EXPECT_EQ(r.matricola, c.matricola) << c.text;
    }
}

FoundRegister at(const std::string& address, const std::string& matricola) {
    FoundRegister f;
    f.address = address;
    f.matricola = matricola;
    return f;
}

// Discoveries scripted one after another; after the script, nothing found.
class ScriptedSearches {
public:
    explicit ScriptedSearches(std::deque<std::vector<FoundRegister>> rounds)
        : rounds_(std::move(rounds)) {}
    AddressBook::Search search() {
        return [this] {
            const std::lock_guard lock(m_);
            if (rounds_.empty()) return std::vector<FoundRegister>{};
            auto next = rounds_.front();
            rounds_.pop_front();
            if (next.size() == 1 && next[0].address == "throw")
                throw std::runtime_error("no work folder");
            return next;
        };
    }

private:
    std::mutex m_;
    std::deque<std::vector<FoundRegister>> rounds_;
};

void wait_for_searches(const AddressBook& book, int n) {
    for (int i = 0; i < 500 && book.searches() < n; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(book.searches(), n);
}

TEST(AddressBookRules, FollowsAMoveKeepsTheLastAddressAndNeverGuesses) {
    ScriptedSearches script({
        // At start: shop1 found, shop2 answers twice (two registers with one
        // serial number), a stranger is ignored.
        {at("10.0.0.5", "S1"), at("10.0.0.7", "S2"), at("10.0.0.8", "S2"), at("10.0.0.9", "X")},
        // shop1 gone from the network: its last address stays.
        {at("10.0.0.7", "S2")},
        // shop1 back at another address, shop2 alone now.
        {at("10.0.0.6", "S1"), at("10.0.0.7", "S2")},
        // A search that fails changes nothing.
        {at("throw", "")},
    });
    std::vector<std::string> log;
    std::mutex log_m;
    AddressBook book(
        {{"shop1", "S1"}, {"shop2", "S2"}}, script.search(),
        [&](const std::string& line) {
            const std::lock_guard lock(log_m);
            log.push_back(line);
        },
        0);
    wait_for_searches(book, 1);
    EXPECT_EQ(book.address("shop1"), "10.0.0.5");
    EXPECT_EQ(book.address("shop2"), std::nullopt);
    EXPECT_EQ(book.address("stranger"), std::nullopt);

    // Only a register named by serial asks for a search.
    book.lost("not-by-serial");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(book.searches(), 1);

    book.lost("shop1");
    wait_for_searches(book, 2);
    EXPECT_EQ(book.address("shop1"), "10.0.0.5");
    EXPECT_EQ(book.address("shop2"), "10.0.0.7");

    book.lost("shop1");
    wait_for_searches(book, 3);
    EXPECT_EQ(book.address("shop1"), "10.0.0.6");
    EXPECT_EQ(book.describe("shop1")["address"], "10.0.0.6");
    EXPECT_EQ(book.describe("shop1")["matricola"], "S1");
    EXPECT_TRUE(book.describe("stranger").is_null());

    book.lost("shop2");
    wait_for_searches(book, 4);
    EXPECT_EQ(book.address("shop1"), "10.0.0.6");
    EXPECT_EQ(book.address("shop2"), "10.0.0.7");

    const std::lock_guard lock(log_m);
    const auto logged = [&](const std::string& text) {
        return std::any_of(log.begin(), log.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(logged("register shop1 (S1) found at 10.0.0.5"));
    EXPECT_TRUE(logged("register shop2 (S2) answers at 10.0.0.7 and at 10.0.0.8"));
    EXPECT_TRUE(logged("register shop1 (S1) was not found; its last address 10.0.0.5 is kept"));
    EXPECT_TRUE(logged("register shop1 (S1) found at 10.0.0.6, was at 10.0.0.5"));
    EXPECT_TRUE(logged("no work folder"));
}

TEST(AddressBookRules, SearchesComeNoMoreOftenThanTheGap) {
    std::atomic<int> calls{0};
    AddressBook book(
        {{"shop1", "S1"}},
        [&] {
            ++calls;
            return std::vector<FoundRegister>{};
        },
        [](const std::string&) {}, 60000);
    wait_for_searches(book, 1);
    for (int i = 0; i < 20; ++i) book.lost("shop1");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(calls.load(), 1);
}

// The service with one register named by serial, on a loopback address of
// its own; the library's TFTP port is the register's, set for the service.
class ServeBySerial : public ::testing::Test {
protected:
    void start_register(const std::string& address, std::uint16_t port = 0) {
        reg_.reset();
        ecrsim::Options o;
        o.address = address;
        o.state_dir = state_.path();
        o.busy_ms = 100;
        o.tftp_port = port;
        o.matricola = "SHOP7REG1";
        reg_ = std::make_unique<ecrsim::Register>(o);
    }
    void start_service(const std::vector<std::string>& registers) {
        std::vector<std::string> args = {"serve",
                                         "--discover-range",
                                         "127.0.0.8/29",
                                         "--listen",
                                         "127.0.0.1:0",
                                         "--state-dir",
                                         (work_.path() / "state").string()};
        for (const std::string& r : registers) args.insert(args.end(), {"--register", r});
        std::map<std::string, std::string> env = {
            {"ECR_TFTP_PORT", std::to_string(reg_->tftp_port())}};
        service_ = std::make_unique<sys::ChildProcess>(VELTRA_TOOL_PROGRAM, args,
                                                       work_.path().string(), env);
        port_ = listening_port(*service_);
        ASSERT_GT(port_, 0) << "the service did not start";
    }
    // The register list (?check=0) once shop1's address is the one given.
    Json listed_at(const std::string& address) {
        Json list;
        for (int i = 0; i < 400; ++i) {
            http::Client c("127.0.0.1", port_);
            auto r = c.get("/api/v1/registers?check=0");
            if (r && r->status == 200) {
                list = Json::parse(r->body)["registers"][0];
                if (list["address"] == address) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return list;
    }
    std::optional<http::Client::Result> status() {
        http::Client c("127.0.0.1", port_);
        c.set_timeout(std::chrono::seconds(60));
        return c.get("/api/v1/registers/shop1/status");
    }

    TempDir state_, work_;
    std::unique_ptr<ecrsim::Register> reg_;
    std::unique_ptr<sys::ChildProcess> service_;
    int port_ = 0;
};

TEST_F(ServeBySerial, TheRegisterIsFoundAndAskedAtItsAddress) {
    start_register("127.0.0.10");
    start_service({"shop1=@SHOP7REG1"});
    const Json listed = listed_at("127.0.0.10");
    EXPECT_EQ(listed["host"], "@SHOP7REG1");
    EXPECT_EQ(listed["matricola"], "SHOP7REG1");
    ASSERT_EQ(listed["address"], "127.0.0.10") << listed.dump();
    const auto r = status();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
}

TEST_F(ServeBySerial, ARegisterNotFoundIsNeverAskedForByItsText) {
    // The register is outside the range: the job fails at once, and nothing
    // goes to the default host the text "@..." would name.
    start_register("127.0.0.20");
    start_service({"shop1=@SHOP7REG1"});
    const auto r = status();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 503) << r->body;
    EXPECT_NE(r->body.find("has not been found on the network yet"), std::string::npos) << r->body;
    // A change fails the same way, and its verdict says it was not made:
    // nothing was sent, so there is nothing to verify later.
    http::Client c("127.0.0.1", port_);
    const auto change =
        c.post("/api/v1/registers/shop1/commands/setup-on?confirm=1", "", "", kChange);
    ASSERT_TRUE(change);
    EXPECT_EQ(change->status, 503) << change->body;
    EXPECT_EQ(Json::parse(change->body)["verdict"], "not_applied") << change->body;
    EXPECT_TRUE(reg_->transcript().commands.empty());
}

// Slow: the register's silence at its old address costs the library's own
// time-outs (three requests of 3 s) before the service looks again.
TEST_F(ServeBySerial, SlowARegisterThatMovesIsFollowed) {
    start_register("127.0.0.10");
    const std::uint16_t port = reg_->tftp_port();
    start_service({"shop1=@SHOP7REG1"});
    ASSERT_EQ(listed_at("127.0.0.10")["address"], "127.0.0.10");
    start_register("127.0.0.13", port);  // the shop's DHCP server gave it another address
    const auto silent = status();
    ASSERT_TRUE(silent);
    EXPECT_EQ(silent->status, 504) << silent->body;
    ASSERT_EQ(listed_at("127.0.0.13")["address"], "127.0.0.13");
    const auto r = status();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
}

}  // namespace
}  // namespace veltra::test
