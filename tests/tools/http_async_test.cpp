// The HTTP layer's asynchronous side: idle connections, deferred answers and
// the header check cost no thread, and a deferred answer learns of a peer
// that left and of its time limit.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http.hpp"
#include "http_client.hpp"
#include "served.hpp"

namespace veltra::test {
namespace {

namespace net = boost::asio;
using http::Client;
using http::Request;
using http::Response;
using http::Server;
using Clock = std::chrono::steady_clock;

// Raw connections to the server, each sending what it is given and nothing
// more.
class RawPeers {
public:
    explicit RawPeers(int port) : port_(port) {}
    net::ip::tcp::socket& open(const std::string& sent = "") {
        sockets_.emplace_back(ctx_);
        auto& s = sockets_.back();
        s.connect({net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port_)});
        if (!sent.empty()) net::write(s, net::buffer(sent));
        return s;
    }

private:
    int port_;
    net::io_context ctx_;
    std::deque<net::ip::tcp::socket> sockets_;
};

// How long a plain request takes; -1 when it got no 200.
double answer_seconds(int port, const std::string& target) {
    Client c("127.0.0.1", port);
    c.set_timeout(std::chrono::seconds(10));
    const auto t0 = Clock::now();
    const auto r = c.get(target);
    if (!r || r->status != 200) return -1;
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void hello(Server& s) {
    s.get("/hello", [](const Request&, Response& res) { res.set_content("hi", "text/plain"); });
}

TEST(HttpAsync, IdleAndHalfSentConnectionsLeaveTheServerAnswering) {
    Server::Settings s;
    s.idle_timeout = std::chrono::seconds(30);
    Served srv(s);
    hello(srv.server());
    const int port = srv.start();
    RawPeers peers(port);
    for (int i = 0; i < 64; ++i) peers.open();
    for (int i = 0; i < 8; ++i) peers.open("GET /hello HTTP/1.1\r\nHo");
    // Within a second, with slack for a loaded machine.
    const double took = answer_seconds(port, "/hello");
    EXPECT_GE(took, 0);
    EXPECT_LT(took, 2.0);
}

// Deferred requests held open on one thread; then each is answered from
// another thread, with the headers its handler set.
TEST(HttpAsync, DeferredAnswersHoldNoThreadAndKeepTheHandlersHeaders) {
    Server::Settings s;
    s.threads = 1;
    Served srv(s);
    hello(srv.server());
    std::mutex m;
    std::vector<http::Reply> waiting;
    srv.server().get("/later", [&](const Request& req, Response& res) {
        res.set_header("X-Asked", req.get_param_value("n"));
        std::lock_guard lock(m);
        waiting.push_back(res.defer());
    });
    const int port = srv.start();
    constexpr int kWaiting = 16;
    std::vector<std::future<std::optional<Client::Result>>> asks;
    for (int i = 0; i < kWaiting; ++i)
        asks.push_back(std::async(std::launch::async, [port, i] {
            Client c("127.0.0.1", port);
            c.set_timeout(std::chrono::seconds(20));
            return c.get("/later?n=" + std::to_string(i));
        }));
    for (int i = 0; i < 200; ++i) {
        {
            std::lock_guard lock(m);
            if (waiting.size() == kWaiting) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(waiting.size(), static_cast<std::size_t>(kWaiting));
    const double took = answer_seconds(port, "/hello");
    EXPECT_GE(took, 0);
    EXPECT_LT(took, 2.0);
    std::thread answerer([&] {
        for (auto& reply : waiting) {
            Response res;
            res.status = 201;
            res.set_content("done " + reply.request().get_param_value("n"), "text/plain");
            EXPECT_TRUE(reply.send(res));
            EXPECT_FALSE(reply.send(res));  // once only
        }
    });
    answerer.join();
    for (int i = 0; i < kWaiting; ++i) {
        SCOPED_TRACE(i);
        const auto r = asks[static_cast<std::size_t>(i)].get();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 201);
        EXPECT_EQ(r->body, "done " + std::to_string(i));
        EXPECT_EQ(r->get_header_value("X-Asked"), std::to_string(i));
    }
}

TEST(HttpAsync, ADeferredAnswerLearnsThatItsPeerLeft) {
    Served srv;
    std::promise<void> left;
    std::promise<http::Reply> deferred;
    srv.server().get("/later", [&](const Request&, Response& res) {
        const http::Reply reply = res.defer();
        reply.on_gone([&left] { left.set_value(); });
        deferred.set_value(reply);
    });
    RawPeers peers(srv.start());
    auto& s = peers.open("GET /later HTTP/1.1\r\nHost: h\r\n\r\n");
    auto reply = deferred.get_future().get();
    s.close();
    EXPECT_EQ(left.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    Response late;
    late.status = 200;
    EXPECT_FALSE(reply.send(late));
}

TEST(HttpAsync, ADeferredAnswerPastItsTimeLimitIsAnsweredByItsTimeout) {
    Served srv;
    std::vector<http::Reply> kept;  // never sent by the handler
    srv.server().get("/later", [&](const Request&, Response& res) {
        const http::Reply reply = res.defer();
        kept.push_back(reply);
        reply.on_timeout(std::chrono::milliseconds(200), [reply] {
            Response res;
            res.status = 202;
            res.set_content("still running", "text/plain");
            reply.send(res);
        });
    });
    Client c("127.0.0.1", srv.start());
    c.set_timeout(std::chrono::seconds(10));
    const auto r = c.get("/later");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 202);
    EXPECT_EQ(r->body, "still running");
}

// What the callbacks of an answered request hold is let go once it is
// answered: they capture the Reply (a cycle through its shared state) and,
// in the service, the job, so kept they grew the service by every request.
TEST(HttpAsync, AnAnsweredRequestLetsGoOfItsCallbacks) {
    Served srv;
    std::mutex m;
    std::vector<std::weak_ptr<int>> held;
    srv.server().get("/later", [&](const Request&, Response& res) {
        const http::Reply reply = res.defer();
        auto captured = std::make_shared<int>(1);
        {
            std::lock_guard lock(m);
            held.push_back(captured);
        }
        reply.on_timeout(std::chrono::seconds(600), [reply, captured] { reply.send({}); });
        reply.on_gone([reply, captured] {});
        std::thread([reply] {
            Response ok;
            ok.status = 200;
            reply.send(ok);
        }).detach();
    });
    Client c("127.0.0.1", srv.start());
    for (int i = 0; i < 20; ++i) {
        const auto r = c.get("/later");
        ASSERT_TRUE(r);
        ASSERT_EQ(r->status, 200);
    }
    auto all_let_go = [&] {
        std::lock_guard lock(m);
        for (const auto& w : held)
            if (!w.expired()) return false;
        return true;
    };
    for (int i = 0; i < 100 && !all_let_go(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(all_let_go());
}

// A request the check refuses is answered on its header: the peer reads the
// answer without sending its 7 MB body, and the route never runs.
TEST(HttpAsync, TheHeaderCheckAnswersBeforeTheBodyIsRead) {
    Served srv;
    std::atomic<int> routed{0};
    Request checked;
    srv.server().put("/upload", [&routed](const Request& req, Response& res) {
        ++routed;
        res.set_content(std::to_string(req.body.size()), "text/plain");
    });
    srv.server().add_header_check([&checked](const Request& req, Response& res) {
        checked = req;
        if (req.get_header_value("Authorization") == "Bearer t") return false;
        res.status = 401;
        res.set_content("no", "text/plain");
        return true;
    });
    const int port = srv.start();
    RawPeers peers(port);
    auto& s = peers.open("PUT /upload?x=1 HTTP/1.1\r\nHost: h\r\nContent-Length: 7059616\r\n\r\n");
    std::string got;
    boost::system::error_code ec;
    const auto t0 = Clock::now();
    net::read_until(s, net::dynamic_buffer(got), "\r\n\r\n", ec);
    EXPECT_FALSE(ec) << ec.message();
    EXPECT_EQ(got.rfind("HTTP/1.1 401 ", 0), 0u) << got;
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 5.0);
    EXPECT_EQ(checked.method, "PUT");
    EXPECT_EQ(checked.path, "/upload");
    EXPECT_EQ(checked.get_param_value("x"), "1");
    EXPECT_EQ(checked.remote_addr, "127.0.0.1");
    EXPECT_TRUE(checked.body.empty());
    // With the token the body is read and routed.
    Client c("127.0.0.1", port);
    c.set_bearer_token("t");
    const auto r = c.put("/upload", std::string(1000, 'x'), "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body, "1000");
    EXPECT_EQ(routed, 1);
}

// A stream's peer that reads nothing is dropped once its backlog is full,
// and the writer hears of it.
TEST(HttpAsync, AStreamWhosePeerStopsReadingIsDropped) {
    Server::Settings s;
    s.stream_backlog = 64 * 1024;
    Served srv(s);
    std::promise<http::Stream> opened;
    std::promise<void> left;
    srv.server().get("/events", [&](const Request&, Response& res) {
        const http::Stream out = res.stream("text/event-stream");
        out.on_gone([&left] { left.set_value(); });
        opened.set_value(out);
    });
    RawPeers peers(srv.start());
    peers.open("GET /events HTTP/1.1\r\nHost: h\r\n\r\n");  // never read
    const http::Stream out = opened.get_future().get();
    const std::string piece(4096, 'x');
    int written = 0;
    // Far more than the socket buffers and the backlog hold.
    for (; written < 100000 && out.write(piece); ++written) {
    }
    EXPECT_LT(written, 100000);
    EXPECT_EQ(left.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(out.write("more"));
}

}  // namespace
}  // namespace veltra::test
