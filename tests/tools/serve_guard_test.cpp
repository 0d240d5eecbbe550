// The service's refusal of requests from other web pages: the rule on its
// own, then the service against two registers, which must not change.
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>

#include "guard.hpp"
#include "serve_fixture.hpp"
#include "service.hpp"

namespace veltra::test {
namespace {

using tool::serve::ListenAddress;
using tool::serve::refusal_for;

struct GuardCase {
    const char* name;
    const char* method;
    const char* path;
    http::Headers headers;
    int status;  // 0: let through
    ListenAddress listen = {"127.0.0.1", 8090};
};

// A failing case (and CTest's list) names the case, not its bytes.
void PrintTo(const GuardCase& k, std::ostream* os) {
    *os << k.name;
}

class GuardRule : public ::testing::TestWithParam<GuardCase> {};

TEST_P(GuardRule, DecidesAsTheTableSays) {
    const GuardCase& k = GetParam();
    const auto refusal = refusal_for(k.method, k.path, k.headers, k.listen);
    EXPECT_EQ(refusal ? refusal->status : 0, k.status) << (refusal ? refusal->message : "");
    if (refusal) {
        EXPECT_FALSE(refusal->message.empty());
    }
}

const char* kKeys = "/api/v1/registers/shop1/keys";

// A service answering HTTPS, to the names its certificate gives too.
bool certified(const std::string& name) {
    return name == "central.example";
}
const ListenAddress kHttps = {"0.0.0.0", 8091, true, certified};
const ListenAddress kHttpsDefault = {"0.0.0.0", 443, true, certified};
const char* kReset = "/api/v1/registers/shop1/commands/azzdati";
const char* kTable = "/api/v1/registers/shop1/tables/reparti";

const GuardCase kGuardCases[] = {
    // Host: the address listened on, localhost or 127.0.0.1, with the port.
    {"OwnAddress", "GET", kTable, {{"Host", "127.0.0.1:8090"}}, 0},
    {"Localhost", "GET", kTable, {{"Host", "localhost:8090"}}, 0},
    {"HostNameCase", "GET", kTable, {{"Host", "LocalHost:8090"}}, 0},
    {"ListenName", "GET", kTable, {{"Host", "shop-pc:8090"}}, 0, {"shop-pc", 8090}},
    {"LoopbackWhenListeningOnAName",
     "GET",
     kTable,
     {{"Host", "127.0.0.1:8090"}},
     0,
     {"shop-pc", 8090}},
    {"ReboundName", "GET", kTable, {{"Host", "evil.example:8090"}}, 421},
    {"OtherPort", "GET", kTable, {{"Host", "127.0.0.1:8091"}}, 421},
    {"NoPortOffPort80", "GET", kTable, {{"Host", "127.0.0.1"}}, 421},
    {"NoPortOnPort80", "GET", kTable, {{"Host", "127.0.0.1"}}, 0, {"127.0.0.1", 80}},
    {"NoHost", "GET", kTable, {}, 421},
    {"OtherLoopbackAddress", "GET", kTable, {{"Host", "127.0.0.2:8090"}}, 421},
    {"AnAddressWhenListeningEverywhere",
     "GET",
     kTable,
     {{"Host", "192.168.1.10:8090"}},
     0,
     {"0.0.0.0", 8090}},
    {"ANameWhenListeningEverywhere",
     "GET",
     kTable,
     {{"Host", "evil.example:8090"}},
     421,
     {"0.0.0.0", 8090}},
    {"HostThenPage", "GET", "/", {{"Host", "evil.example:8090"}}, 421},
    // Origin: absent, or the service's own.
    {"OwnOrigin",
     "GET",
     kTable,
     {{"Host", "127.0.0.1:8090"}, {"Origin", "http://127.0.0.1:8090"}},
     0},
    {"LocalhostOrigin",
     "GET",
     kTable,
     {{"Host", "127.0.0.1:8090"}, {"Origin", "http://localhost:8090"}},
     0},
    {"ForeignOrigin",
     "GET",
     kTable,
     {{"Host", "127.0.0.1:8090"}, {"Origin", "http://evil.example"}},
     403},
    {"OtherLoopbackPort",
     "GET",
     kTable,
     {{"Host", "127.0.0.1:8090"}, {"Origin", "http://127.0.0.1:8000"}},
     403},
    {"LocalFile",
     "POST",
     kKeys,
     {{"Host", "127.0.0.1:8090"}, {"Origin", "null"}, {"Content-Type", "application/json"}},
     403},
    {"Https",
     "GET",
     kTable,
     {{"Host", "127.0.0.1:8090"}, {"Origin", "https://127.0.0.1:8090"}},
     403},
    {"OriginWithUser",
     "GET",
     kTable,
     {{"Host", "127.0.0.1:8090"}, {"Origin", "http://x@127.0.0.1:8090"}},
     403},
    {"EmptyOrigin", "GET", kTable, {{"Host", "127.0.0.1:8090"}, {"Origin", ""}}, 403},
    // Changes: JSON for the JSON routes, our header for the others.
    {"KeysAsJson",
     "POST",
     kKeys,
     {{"Host", "127.0.0.1:8090"}, {"Content-Type", "application/json; charset=utf-8"}},
     0},
    {"KeysAsText",
     "POST",
     kKeys,
     {{"Host", "127.0.0.1:8090"}, {"Content-Type", "text/plain"}},
     415},
    {"KeysAsTextWithOurHeader",
     "POST",
     kKeys,
     {{"Host", "127.0.0.1:8090"}, {"Content-Type", "text/plain"}, {"X-Veltra-Request", "1"}},
     415},
    {"KeysAsJsonLookalike",
     "POST",
     kKeys,
     {{"Host", "127.0.0.1:8090"}, {"Content-Type", "application/jsonx"}},
     415},
    {"FormPost",
     "POST",
     kReset,
     {{"Host", "127.0.0.1:8090"}, {"Content-Type", "application/x-www-form-urlencoded"}},
     403},
    {"PostWithOurHeader",
     "POST",
     kReset,
     {{"Host", "127.0.0.1:8090"}, {"X-Veltra-Request", "1"}},
     0},
    {"OurHeaderOtherValue",
     "POST",
     kReset,
     {{"Host", "127.0.0.1:8090"}, {"X-Veltra-Request", "0"}},
     403},
    {"JsonIsNotEnoughForCsv",
     "PUT",
     kTable,
     {{"Host", "127.0.0.1:8090"}, {"Content-Type", "application/json"}},
     403},
    {"CsvPutWithOurHeader",
     "PUT",
     kTable,
     {{"Host", "127.0.0.1:8090"}, {"Content-Type", "text/csv"}, {"x-veltra-request", "1"}},
     0},
    {"DeleteWithoutOurHeader", "DELETE", "/api/v1/jobs/x", {{"Host", "127.0.0.1:8090"}}, 403},
    {"ForeignOriginWithOurHeader",
     "POST",
     kReset,
     {{"Host", "127.0.0.1:8090"}, {"Origin", "http://evil.example"}, {"X-Veltra-Request", "1"}},
     403},
    {"OwnOriginWithOurHeader",
     "POST",
     kReset,
     {{"Host", "127.0.0.1:8090"}, {"Origin", "http://127.0.0.1:8090"}, {"X-Veltra-Request", "1"}},
     0},
    // HTTPS: its certificate's names are its own, its pages' origin is https.
    {"HttpsCertifiedName", "GET", kTable, {{"Host", "central.example:8091"}}, 0, kHttps},
    {"HttpsOtherName", "GET", kTable, {{"Host", "evil.example:8091"}}, 421, kHttps},
    {"HttpsCertifiedNameOtherPort", "GET", kTable, {{"Host", "central.example:8090"}}, 421, kHttps},
    {"HttpsDefaultPort", "GET", kTable, {{"Host", "central.example"}}, 0, kHttpsDefault},
    {"HttpDefaultPortAtHttps", "GET", kTable, {{"Host", "central.example"}}, 421, kHttps},
    {"HttpsOwnOrigin",
     "POST",
     kReset,
     {{"Host", "central.example:8091"},
      {"Origin", "https://central.example:8091"},
      {"X-Veltra-Request", "1"}},
     0,
     kHttps},
    {"HttpOriginAtHttps",
     "POST",
     kReset,
     {{"Host", "central.example:8091"},
      {"Origin", "http://central.example:8091"},
      {"X-Veltra-Request", "1"}},
     403,
     kHttps},
    {"HttpsOriginAtHttp",
     "POST",
     kReset,
     {{"Host", "127.0.0.1:8090"}, {"Origin", "https://127.0.0.1:8090"}, {"X-Veltra-Request", "1"}},
     403},
};

INSTANTIATE_TEST_SUITE_P(Requests, GuardRule, ::testing::ValuesIn(kGuardCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Host names and listen addresses are taken for addresses only in their
// own written form: what the address parser of old took, no more.
struct LiteralCase {
    const char* name;
    const char* text;
    std::optional<std::uint32_t> addr;  // network order, read on a little-endian host
    bool loopback;
};

class Ipv4Literal : public ::testing::TestWithParam<LiteralCase> {};

TEST_P(Ipv4Literal, TakesOnlyTheFourNumbers) {
    const LiteralCase& k = GetParam();
    EXPECT_EQ(tool::serve::ipv4_literal(k.text), k.addr);
    EXPECT_EQ(tool::serve::is_loopback(k.text), k.loopback);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Ipv4Literal,
    ::testing::Values(LiteralCase{"Address", "192.168.1.20", 0x1401A8C0u, false},
                      LiteralCase{"Loopback", "127.0.0.5", 0x0500007Fu, true},
                      LiteralCase{"LocalhostIsANameButLoopback", "localhost", std::nullopt, true},
                      LiteralCase{"ShortForm", "127.1", std::nullopt, false},
                      LiteralCase{"TrailingText", "127.0.0.1 evil", std::nullopt, false},
                      LiteralCase{"TrailingDot", "127.0.0.1.", std::nullopt, false},
                      LiteralCase{"LeadingZero", "127.0.0.01", std::nullopt, false},
                      LiteralCase{"NumberTooLarge", "256.0.0.1", std::nullopt, false},
                      LiteralCase{"Name", "shop-pc", std::nullopt, false},
                      LiteralCase{"Empty", "", std::nullopt, false}),
    [](const auto& info) { return std::string(info.param.name); });

// One request as written, on a connection of its own: the status line's
// code, or 0. http::Client sets Host itself, so it cannot send another.
int raw_status(int port, const std::string& request) {
    namespace net = boost::asio;
    net::io_context ctx;
    net::ip::tcp::socket s(ctx);
    boost::system::error_code ec;
    s.connect({net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)}, ec);
    if (ec) return 0;
    net::write(s, net::buffer(request), ec);
    std::string answer;
    net::read(s, net::dynamic_buffer(answer), ec);  // the service closes after it
    if (answer.rfind("HTTP/1.1 ", 0) != 0) return 0;
    return std::atoi(answer.c_str() + 9);
}

class ServeToOtherPages : public ServeOnTwoRegisters {};

TEST_F(ServeToOtherPages, ChangesFromOtherPagesAreRefusedAndReachNoRegister) {
    start();
    const std::string own = "127.0.0.1:" + std::to_string(port_);
    const std::size_t changes = changes_of(*shop1_);
    const std::size_t setups = setups_of(*shop1_);
    struct Case {
        const char* what;
        std::string request;
        int status;
    };
    const std::string reset = "POST /api/v1/registers/shop1/commands/azzfis?confirm=1 HTTP/1.1\r\n";
    const std::string keys = "POST /api/v1/registers/shop1/keys HTTP/1.1\r\n";
    const std::string key_body = R"({"keys":["1","REPARTO 1","TOTALE"]})";
    const Case cases[] = {
        {"a form of another site",
         reset + "Host: " + own +
             "\r\nOrigin: http://evil.example\r\nContent-Type: "
             "application/x-www-form-urlencoded\r\nContent-Length: "
             "3\r\nConnection: close\r\n\r\nx=1",
         403},
        {"a form of a local file",
         reset + "Host: " + own +
             "\r\nOrigin: null\r\nContent-Type: "
             "application/x-www-form-urlencoded\r\nContent-Length: "
             "3\r\nConnection: close\r\n\r\nx=1",
         403},
        {"a form without Origin",
         reset + "Host: " + own +
             "\r\nContent-Type: application/x-www-form-urlencoded\r\n"
             "Content-Length: 3\r\nConnection: close\r\n\r\nx=1",
         403},
        {"a no-cors fetch of keys",
         keys + "Host: " + own + "\r\nContent-Type: text/plain\r\nContent-Length: " +
             std::to_string(key_body.size()) + "\r\nConnection: close\r\n\r\n" + key_body,
         415},
        {"keys from another site",
         keys + "Host: " + own +
             "\r\nOrigin: http://127.0.0.1:1\r\nContent-Type: "
             "application/json\r\nContent-Length: " +
             std::to_string(key_body.size()) + "\r\nConnection: close\r\n\r\n" + key_body,
         403},
        {"a rebound name",
         reset + "Host: evil.example:" + std::to_string(port_) +
             "\r\nX-Veltra-Request: 1\r\nContent-Length: 0\r\n"
             "Connection: close\r\n\r\n",
         421},
        {"a table read through a rebound name",
         "GET /api/v1/registers/shop1/tables/reparti HTTP/1.1\r\nHost: evil.example:" +
             std::to_string(port_) + "\r\nConnection: close\r\n\r\n",
         421},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        EXPECT_EQ(raw_status(port_, k.request), k.status);
    }
    // The register was asked nothing that changes it.
    EXPECT_EQ(changes_of(*shop1_), changes);
    EXPECT_EQ(setups_of(*shop1_), setups);
    EXPECT_TRUE(shop1_->transcript().keys.empty());
    EXPECT_TRUE(shop1_->transcript().commands.empty());

    // The service's own page's requests still go through.
    auto c = client();
    auto r = c.post("/api/v1/registers/shop1/keys", R"({"keys":["C"]})", "application/json",
                    {{"Origin", "http://" + own}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    // The key is on its way when the answer comes; the register logs it as it
    // reads it.
    for (int i = 0; i < 200 && shop1_->transcript().keys.empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    EXPECT_EQ(shop1_->transcript().keys, std::vector<std::string>{"5F"});
}

TEST_F(ServeToOtherPages, AConfirmedChangeNeedsOurHeader) {
    start();
    auto c = client();
    auto bare = c.post("/api/v1/registers/shop1/commands/setup-on?confirm=1", "", "text/plain");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->status, 403) << bare->body;
    EXPECT_NE(bare->body.find("X-Veltra-Request"), std::string::npos) << bare->body;
    EXPECT_EQ(setups_of(*shop1_), 0u);
    auto ours =
        c.post("/api/v1/registers/shop1/commands/setup-on?confirm=1", "", "text/plain", kChange);
    ASSERT_TRUE(ours);
    EXPECT_EQ(ours->status, 200) << ours->body;
    EXPECT_EQ(setups_of(*shop1_), 1u);
}

TEST_F(ServeToOtherPages, ThePathOfALoggedRequestWritesNoLineOfItsOwn) {
    start();
    log_lines();
    auto c = client();
    auto r = c.get("/api/v1/jobs/x%0Aveltra%20serve:%20forged%0D");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404);
    bool logged = false;
    for (const std::string& line : log_lines()) {
        EXPECT_NE(line.rfind("veltra serve: forged", 0), 0u) << line;
        EXPECT_EQ(line.find('\r'), std::string::npos) << line;
        if (line.find("GET /api/v1/jobs/x\\x0Aveltra serve: forged\\x0D 404") != std::string::npos)
            logged = true;
    }
    EXPECT_TRUE(logged);
}

}  // namespace
}  // namespace veltra::test
