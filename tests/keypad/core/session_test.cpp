// The session against scripted connections: what goes out for each key,
// when the failure is reported, the one fresh connect, SALVA IP, OFF and
// the display.
#include "session.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

using namespace delpad;
using veltra::test::TempDir;

namespace {

// A connection that records what the session does to it. `accept` decides
// whether a connect succeeds; an asynchronous open completes at once.
struct ScriptedLink : Link {
    bool accept = true;
    bool accept_send = true;
    bool connected = false;
    std::vector<std::string> log;  // "open host:port", "open_now ...", "close"
    std::string sent;
    void open(const std::string& host, std::uint16_t port) override {
        log.push_back("open " + host + ":" + std::to_string(port));
        connected = accept;
    }
    bool open_now(const std::string& host, std::uint16_t port) override {
        log.push_back("open_now " + host + ":" + std::to_string(port));
        connected = accept;
        return connected;
    }
    void close() override {
        log.push_back("close");
        connected = false;
    }
    bool is_open() const override { return connected; }
    bool is_idle() const override { return !connected; }
    bool send(std::string_view bytes) override {
        if (!connected || !accept_send) return false;
        sent += bytes;
        return true;
    }
};

struct Bench {
    TempDir dir;
    ScriptedLink data;
    ScriptedLink send;
    Session session{data, send, dir.path()};
    SettingsFields fields{"127.0.0.1", "9930", "1723"};

    void connect() { session.connect(fields); }
    bool press(const char* name) { return session.press(*find_key(name)); }
};

}  // namespace

TEST(Session, ReadsTheThreeSettingsFiles) {
    Bench b;
    veltra::test::write_file(b.dir.file("ip.txt"), "\xEF\xBB\xBF\" 10.0.0.5 \"\r\n");
    veltra::test::write_file(b.dir.file("data.txt"), "9930,x\r\n");
    const SettingsFields f = b.session.read_settings();
    EXPECT_EQ(f.address, " 10.0.0.5 ");
    EXPECT_EQ(f.data, "9930");
    EXPECT_EQ(f.send, "");
}

TEST(Session, ConnectOpensDataThenSendWithTrimmedAddress) {
    Bench b;
    b.fields.address = "  127.0.0.1 ";
    b.connect();
    EXPECT_EQ(b.session.address(), "127.0.0.1");
    EXPECT_EQ(b.data.log, std::vector<std::string>{"open 127.0.0.1:9930"});
    EXPECT_EQ(b.send.log, std::vector<std::string>{"open 127.0.0.1:1723"});
    EXPECT_TRUE(b.session.connected());
    // A second connect while both are in use tries nothing.
    b.connect();
    EXPECT_EQ(b.data.log.size(), 1u);
    EXPECT_EQ(b.send.log.size(), 1u);
}

TEST(Session, ConnectIsNotTriedWithoutAddressOrUsablePort) {
    const struct {
        const char* label;
        SettingsFields fields;
        bool data_tried;
        bool send_tried;
    } cases[] = {
        {"no address", {"   ", "9930", "1723"}, false, false},
        {"no ports", {"127.0.0.1", "", ""}, false, false},
        {"data port too big", {"127.0.0.1", "40000", "1723"}, false, true},
        {"negative send port", {"127.0.0.1", "9930", "-5"}, true, false},
    };
    for (const auto& c : cases) {
        Bench b;
        b.fields = c.fields;
        b.connect();
        EXPECT_EQ(!b.data.log.empty(), c.data_tried) << c.label;
        EXPECT_EQ(!b.send.log.empty(), c.send_tried) << c.label;
    }
}

TEST(Session, KeysSendTheirMessagesBackToBack) {
    Bench b;
    b.connect();
    for (const char* name :
         {"T7(3)", "REPARTO1", "T7(7)", "Command2", "REPARTO12", "RESO", "ResoRT", "TOTALE"})
        EXPECT_TRUE(b.press(name)) << name;
    EXPECT_EQ(b.send.sent,
              "\"03\"202F\"0C\"202F\"07\"202F\"0A\"202F\"17\"202F\"72\"202F\"72\"202F\"5C\"202F");
    EXPECT_EQ(b.session.outgoing(), "");
    EXPECT_EQ(b.data.sent, "");
}

TEST(Session, SendFoundClosedIsConnectedOnceMoreBeforeFailing) {
    Bench b;
    b.connect();
    // The register dropped both connections and is back.
    b.send.connected = false;
    b.data.connected = false;
    b.send.log.clear();
    b.data.log.clear();
    EXPECT_TRUE(b.press("SBTL"));
    EXPECT_EQ(b.send.sent, "\"5D\"202F");
    EXPECT_EQ(b.send.log, (std::vector<std::string>{"close", "open_now 127.0.0.1:1723"}));
    EXPECT_EQ(b.data.log, std::vector<std::string>{"open 127.0.0.1:9930"});
    EXPECT_TRUE(b.session.connected());
}

TEST(Session, FailureIsReportedWhenTheFreshConnectFailsToo) {
    Bench b;
    b.send.accept = false;
    b.connect();
    EXPECT_FALSE(b.session.connected());
    b.send.log.clear();
    EXPECT_FALSE(b.press("TOTALE"));
    EXPECT_EQ(b.send.log, (std::vector<std::string>{"close", "open_now 127.0.0.1:1723"}));
    EXPECT_EQ(b.session.outgoing(), "5C");
    // A failed digit is reported as well; the same key later goes out.
    EXPECT_FALSE(b.press("T7(4)"));
    EXPECT_EQ(b.session.outgoing(), "04");
    b.send.accept = true;
    EXPECT_TRUE(b.press("T7(4)"));
    EXPECT_EQ(b.send.sent, "\"04\"202F");
    EXPECT_EQ(b.session.outgoing(), "");
}

TEST(Session, FailedWriteOnAnOpenConnectionRetriesOnce) {
    Bench b;
    b.connect();
    b.send.accept_send = false;
    EXPECT_FALSE(b.press("C"));
    EXPECT_EQ(b.send.log.back(), "open_now 127.0.0.1:1723");
    b.send.accept_send = true;
    EXPECT_TRUE(b.press("C"));
    EXPECT_EQ(b.send.sent, "\"5F\"202F");
}

TEST(Session, NoAddressMeansNoFreshConnect) {
    Bench b;
    b.fields.address = "";
    b.connect();
    EXPECT_FALSE(b.press("TOTALE"));
    EXPECT_TRUE(b.send.log.empty());
}

TEST(Session, SaveAddressWritesIpAndRenewsBothConnections) {
    Bench b;
    b.connect();
    b.session.data_arrived(std::string(23, '#') + "12,50");
    b.fields.address = "  127.0.0.2 ";
    EXPECT_TRUE(b.session.save_address(b.fields));
    EXPECT_EQ(veltra::test::read_file(b.dir.file("ip.txt")), "\"127.0.0.2\"\r\n");
    EXPECT_EQ(b.data.log,
              (std::vector<std::string>{"open 127.0.0.1:9930", "close", "open 127.0.0.2:9930"}));
    EXPECT_EQ(b.send.log,
              (std::vector<std::string>{"open 127.0.0.1:1723", "close", "open 127.0.0.2:1723"}));
    EXPECT_EQ(b.session.display(), "");
}

TEST(Session, SaveAddressSaysWhenIpCannotBeWrittenAndStillReconnects) {
    Bench b;
    std::filesystem::create_directory(b.dir.path() / "ip.txt.new");
    b.connect();
    EXPECT_FALSE(b.session.save_address(b.fields));
    EXPECT_EQ(b.send.log.back(), "open 127.0.0.1:1723");
    EXPECT_TRUE(b.session.connected());
}

TEST(Session, OffClosesBoth) {
    Bench b;
    b.connect();
    b.session.off();
    EXPECT_FALSE(b.data.connected);
    EXPECT_FALSE(b.send.connected);
    EXPECT_EQ(b.data.log[1], "close");
    EXPECT_EQ(b.send.log[1], "close");
}

TEST(Session, DisplayReplacesEachArrivalAndBlanksWhenDataCloses) {
    Bench b;
    b.connect();
    EXPECT_EQ(b.session.data_arrived(std::string(23, '-') + "PRIMA"), "PRIMA\r\n");
    EXPECT_EQ(b.session.data_arrived(std::string(23, '-') + "  SECONDA  "), "SECONDA  \r\n");
    EXPECT_EQ(b.session.display(), "SECONDA  \r\n");
    b.session.data_closed();
    EXPECT_EQ(b.session.display(), "");
}
