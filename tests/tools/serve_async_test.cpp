// veltra serve under load and with a register that never answers: idle
// connections, display streams and piled-up requests for the silent one
// leave every other endpoint answering; status reads are shared, queues are
// bounded, reads nobody waits for are dropped, and the token is checked
// before a body is read.
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <deque>
#include <set>

#include "serve_fixture.hpp"

namespace veltra::test {
namespace {

namespace net = boost::asio;
using Clock = std::chrono::steady_clock;

// Two registers that answer, and "silent": its ports are open and never
// answer, as a register switched off behind a switch that still takes
// connections would.
class ServeWithASilentRegister : public ServeOnTwoRegisters {
protected:
    void start_with_silent(std::vector<std::string> extra = {}) {
        const auto loopback = net::ip::make_address("127.0.0.1");
        tftp_.open(net::ip::udp::v4());
        tftp_.bind({loopback, 0});
        for (auto* a : {&line_, &display_}) {
            a->open(net::ip::tcp::v4());
            a->bind({loopback, 0});
            a->listen();
        }
        extra.insert(
            extra.begin(),
            {"--register", "silent=127.0.0.1:" + std::to_string(tftp_.local_endpoint().port()) +
                               ":" + std::to_string(line_.local_endpoint().port()) + ":" +
                               std::to_string(display_.local_endpoint().port())});
        start(extra);
    }

    // A connection that sends its request and reads nothing.
    net::ip::tcp::socket& raw(const std::string& request = "") {
        peers_.emplace_back(ctx_);
        auto& s = peers_.back();
        s.connect({net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port_)});
        if (!request.empty()) net::write(s, net::buffer(request));
        return s;
    }
    std::string get_request(const std::string& target) {
        return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
               "\r\n\r\n";
    }

    // Seconds until a 200 for target; -1 without one.
    double seconds_for(const std::string& target) {
        auto c = client();
        c.set_timeout(std::chrono::seconds(20));
        const auto t0 = Clock::now();
        const auto r = c.get(target);
        if (!r || r->status != 200) return -1;
        return std::chrono::duration<double>(Clock::now() - t0).count();
    }

    // Every endpoint that does not need the silent register answers well
    // before the reads piled up for it could end (each of them waits out
    // the library's 3 s time-outs): a slow machine, or Wine, may take a few
    // seconds for a real read of shop2.
    void others_answer() {
        for (const char* target :
             {"/", "/api/v1/keypad", "/api/v1/registers?check=0", "/api/v1/registers/shop2/status",
              "/api/v1/registers/shop1/tables/reparti"}) {
            SCOPED_TRACE(target);
            const double took = seconds_for(target);
            EXPECT_GE(took, 0);
            EXPECT_LT(took, 8.0);
        }
    }

    net::io_context ctx_;
    net::ip::udp::socket tftp_{ctx_};
    net::ip::tcp::acceptor line_{ctx_}, display_{ctx_};
    std::deque<net::ip::tcp::socket> peers_;
};

TEST_F(ServeWithASilentRegister, IdleConnectionsAndDisplayStreamsLeaveEveryEndpointAnswering) {
    start_with_silent();
    for (int i = 0; i < 64; ++i) raw();
    for (int i = 0; i < 64; ++i)
        raw(get_request("/api/v1/registers/shop" + std::to_string(1 + i % 2) + "/display"));
    others_answer();
}

TEST_F(ServeWithASilentRegister, RequestsPilingUpForTheSilentRegisterLeaveTheOthersAnswering) {
    start_with_silent();
    for (int i = 0; i < 48; ++i) raw(get_request("/api/v1/registers/silent/status"));
    for (int i = 0; i < 8; ++i) raw(get_request("/api/v1/registers/silent/tables/plu"));
    others_answer();
}

TEST_F(ServeWithASilentRegister, StatusReadsAskedAtOnceShareOneJob) {
    start_with_silent();
    auto c = client();
    std::set<std::string> ids;
    std::string last;
    for (int i = 0; i < 2000; ++i) {
        if (i % 250 == 0) log_lines();  // the service logs every request to our pipe
        const auto r = c.get("/api/v1/registers/silent/status?wait=0");
        ASSERT_TRUE(r) << i;
        ASSERT_EQ(r->status, 202) << r->body;
        const std::string id = Json::parse(r->body)["id"].get<std::string>();
        // A read joins the running one; only once that has given up on the
        // silent register (which a slow machine may reach within the loop)
        // does the next read start a job of its own.
        if (!last.empty() && id != last) {
            const std::string state = get_json("/api/v1/jobs/" + last)["state"];
            EXPECT_TRUE(state == "failed" || state == "succeeded") << i << ": " << state;
        }
        last = id;
        ids.insert(id);
    }
    EXPECT_LE(ids.size(), 3u) << "each read a job of its own";
}

TEST_F(ServeWithASilentRegister, AFullQueueIsAnswered503WithRetryAfter) {
    start_with_silent();
    auto c = client();
    ASSERT_EQ(c.get("/api/v1/registers/silent/status?wait=0")->status, 202);  // runs, stuck
    int accepted = 0, refused = 0;
    for (int i = 0; i < 24; ++i) {
        SCOPED_TRACE(i);
        const auto r = c.get("/api/v1/registers/silent/tables/reparti?wait=0");
        ASSERT_TRUE(r);
        if (r->status == 202) {
            ++accepted;
            continue;
        }
        ++refused;
        EXPECT_EQ(r->status, 503) << r->body;
        EXPECT_FALSE(r->get_header_value("Retry-After").empty());
        EXPECT_NE(Json::parse(r->body)["error"]["message"].get<std::string>().find("try again"),
                  std::string::npos);
    }
    // 16 queued with the status read, or after it once it runs.
    EXPECT_GE(accepted, 15);
    EXPECT_LE(accepted, 16);
    EXPECT_EQ(accepted + refused, 24);
    // The other registers' queues are their own.
    auto shop2 = c.get("/api/v1/registers/shop2/tables/reparti?wait=0");
    ASSERT_TRUE(shop2);
    EXPECT_EQ(shop2->status, 202);
}

TEST_F(ServeWithASilentRegister, AQueuedReadWhoseClientLeftIsDroppedUnrun) {
    start_with_silent();
    auto c = client();
    ASSERT_EQ(c.get("/api/v1/registers/silent/status?wait=0")->status, 202);  // runs, stuck
    raw(get_request("/api/v1/registers/silent/tables/plu")).close();
    bool dropped = false;
    for (int i = 0; i < 25 && !dropped; ++i)
        for (const std::string& line : log_lines())
            dropped |=
                line.find("tables get plu: dropped, nobody waits for it") != std::string::npos;
    EXPECT_TRUE(dropped);
    // A read asked for by id stays queued when its client goes.
    const auto kept = c.get("/api/v1/registers/silent/tables/clienti?wait=0");
    ASSERT_TRUE(kept);
    const std::string id = Json::parse(kept->body)["id"].get<std::string>();
    log_lines();  // a moment for a wrong drop to happen
    EXPECT_EQ(get_json("/api/v1/jobs/" + id)["state"], "queued");
}

// A log nobody reads (a full pipe; a console paused by a selection on
// Windows) stops no request: 600 logged lines of 300 bytes fill any pipe.
TEST_F(ServeOnTwoRegisters, AnUnreadLogLeavesTheServiceAnswering) {
    start();
    auto c = client();
    c.set_timeout(std::chrono::seconds(10));
    const std::string path = "/api/v1/registers/shop1/" + std::string(280, 'x');
    for (int i = 0; i < 600; ++i) {
        const auto r = c.get(path);
        ASSERT_TRUE(r) << "request " << i << " got no answer";
        ASSERT_EQ(r->status, 404);
    }
    // Each line is there once the log is read again, in order.
    std::size_t logged = 0;
    for (int i = 0; i < 50 && logged < 600; ++i)
        for (const std::string& line : log_lines())
            logged += line.find(path + " 404") != std::string::npos;
    EXPECT_EQ(logged, 600u);
}

TEST_F(ServeOnTwoRegisters, AnUploadWithoutTheTokenIsRefusedBeforeItsBody) {
    write_file(work_.file("token"), std::string(kToken) + "\n");
    start({"--token-file", work_.file("token")});
    net::io_context ctx;
    net::ip::tcp::socket s(ctx);
    s.connect({net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port_)});
    // The header of a whole archive, and no body: the answer must come anyway.
    net::write(s, net::buffer("PUT /api/v1/registers/shop1/backup?confirm=1 HTTP/1.1\r\nHost: "
                              "127.0.0.1:" +
                              std::to_string(port_) +
                              "\r\nX-Veltra-Request: 1\r\n"
                              "Content-Type: application/octet-stream\r\nContent-Length: " +
                              std::to_string(kArchiveSize) + "\r\n\r\n"));
    std::string got;
    boost::system::error_code ec;
    const auto t0 = Clock::now();
    net::read_until(s, net::dynamic_buffer(got), "\r\n\r\n", ec);
    EXPECT_FALSE(ec) << ec.message();
    EXPECT_EQ(got.rfind("HTTP/1.1 401 ", 0), 0u) << got;
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 5.0);
}

#ifndef _WIN32
// Waits for the silent register's read to time out before the service ends.
TEST_F(ServeWithASilentRegister, OnStopQueuedJobsAreCancelledNotRunSlow) {
    start_with_silent();
    auto c = client();
    ASSERT_EQ(c.get("/api/v1/registers/silent/status?wait=0")->status, 202);  // runs, stuck
    const auto keys =
        c.post("/api/v1/registers/silent/keys?wait=0", R"({"keys": ["1"]})", "application/json");
    ASSERT_TRUE(keys);
    ASSERT_EQ(keys->status, 202) << keys->body;
    ASSERT_EQ(kill(static_cast<pid_t>(service_->id()), SIGTERM), 0);
    bool cancelled = false, started = false;
    for (int i = 0; i < 300; ++i) {
        bool ended = false;
        auto line = service_->read_line(200, 4096, ended);
        if (ended) break;
        if (!line) continue;
        cancelled |= line->find("keys: cancelled") != std::string::npos;
        started |= line->find("keys: started") != std::string::npos;
    }
    EXPECT_TRUE(cancelled);
    EXPECT_FALSE(started);
}
#endif

}  // namespace
}  // namespace veltra::test
