// The service's HTTP layer on loopback: routing and its error answers, the
// query decoded, body limits, Expect: 100-continue, streamed answers that
// end when the peer goes, and stop() with connections open.
#include "http.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "http_client.hpp"
#include "served.hpp"

namespace veltra::test {
namespace {

using http::Client;
using http::Request;
using http::Response;
using http::Server;

// The first line and everything else a raw peer reads back.
std::string raw_exchange(int port, const std::string& sent, const std::string& until) {
    boost::asio::io_context ctx;
    boost::asio::ip::tcp::socket s(ctx);
    s.connect({boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
    boost::asio::write(s, boost::asio::buffer(sent));
    std::string got;
    boost::system::error_code ec;
    boost::asio::read_until(s, boost::asio::dynamic_buffer(got), until, ec);
    return got;
}

void routes(Server& s) {
    s.get(R"(/items/([^/]+))", [](const Request& req, Response& res) {
        res.set_content(req.matches[1].str() + "|" + req.get_param_value("q"), "text/plain");
    });
    s.put(R"(/items/([^/]+))", [](const Request& req, Response& res) {
        res.status = 201;
        res.set_content(std::to_string(req.body.size()), "text/plain");
    });
    s.get("/boom", [](const Request&, Response&) { throw std::runtime_error("broken"); });
    s.set_error_handler([](const Request&, Response& res) {
        if (res.body.empty()) res.set_content("error " + std::to_string(res.status), "text/plain");
    });
    s.set_exception_handler([](const Request&, Response& res, std::exception_ptr ep) {
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            res.status = 500;
            res.set_content(e.what(), "text/plain");
        }
    });
}

// A service's address as a user writes it: http or https, a host, a port.
TEST(ServiceAddress, HttpOrHttpsHostAndPortOnly) {
    struct Case {
        const char* url;
        const char* host;  // nullptr: refused
        int port;
        bool tls;
    };
    const Case cases[] = {
        {"http://central.example:8091", "central.example", 8091, false},
        {"http://10.0.0.5", "10.0.0.5", 80, false},
        {"http://central.example:8091/", "central.example", 8091, false},
        {"https://central.example", "central.example", 443, true},
        {"https://central.example:8443/", "central.example", 8443, true},
        {"HTTPS://Central.Example:8443", "Central.Example", 8443, true},
        {"central.example:8091", nullptr, 0, false},
        {"ftp://central.example", nullptr, 0, false},
        {"http://central.example:0", nullptr, 0, false},
        {"http://central.example:65536", nullptr, 0, false},
        {"http://central.example:", nullptr, 0, false},
        {"http://:8091", nullptr, 0, false},
        {"http://user@central.example:8091", nullptr, 0, false},
        {"http://central.example:8091/api", nullptr, 0, false},
        {"https://central.example/?x=1", nullptr, 0, false},
        {"https://central.example/#top", nullptr, 0, false},
        {"https://[::1]:8443", nullptr, 0, false},
    };
    for (const Case& c : cases) {
        http::Endpoint out;
        std::string error;
        const bool taken = http::parse_endpoint(c.url, out, error);
        EXPECT_EQ(taken, c.host != nullptr) << c.url << ": " << error;
        if (taken && c.host != nullptr) {
            EXPECT_EQ(out.host, c.host) << c.url;
            EXPECT_EQ(out.port, c.port) << c.url;
            EXPECT_EQ(out.tls, c.tls) << c.url;
        } else {
            EXPECT_FALSE(error.empty()) << c.url;
        }
    }
}

struct RouteCase {
    const char* method;
    const char* target;
    int status;
    const char* body;
};

TEST(HttpServer, RoutesAndTheirErrorAnswers) {
    Served srv;
    routes(srv.server());
    Client c("127.0.0.1", srv.start());
    const RouteCase cases[] = {
        {"GET", "/items/a%20b?q=x%26y&q=second", 200, "a b|x&y"},
        {"GET", "/items/7", 200, "7|"},
        {"PUT", "/items/7", 201, "5"},
        {"POST", "/items/7", 405, "error 405"},
        {"GET", "/items/7/more", 404, "error 404"},
        {"GET", "/nothing", 404, "error 404"},
        {"GET", "/boom", 500, "broken"},
    };
    for (const RouteCase& k : cases) {
        SCOPED_TRACE(std::string(k.method) + " " + k.target);
        const auto r = c.send(k.method, k.target, std::string(k.method) == "PUT" ? "hello" : "",
                              "text/plain", {});
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, k.status);
        EXPECT_EQ(r->body, k.body);
    }
}

TEST(HttpServer, PreRoutingAnswersBeforeTheRoutes) {
    Served srv;
    routes(srv.server());
    std::atomic<int> logged{0};
    srv.server().set_pre_routing_handler([](const Request& req, Response& res) {
        if (req.get_header_value("authorization") == "Bearer t") return false;
        res.status = 401;
        return true;
    });
    srv.server().set_logger([&logged](const Request&, const Response&) { ++logged; });
    Client c("127.0.0.1", srv.start());
    const auto refused = c.get("/items/1");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);
    EXPECT_EQ(refused->body, "error 401");
    c.set_bearer_token("t");
    const auto taken = c.get("/items/1");
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->status, 200);
    EXPECT_EQ(logged, 2);
}

TEST(HttpServer, ABodyOverTheLimitIsRefusedUnread) {
    Server::Settings s;
    s.max_body = 1000;
    Served srv(s);
    routes(srv.server());
    Client c("127.0.0.1", srv.start());
    const auto small = c.put("/items/1", std::string(1000, 'x'), "text/plain");
    ASSERT_TRUE(small);
    EXPECT_EQ(small->status, 201);
    EXPECT_EQ(small->body, "1000");
    // Far more than the socket buffers hold: the answer still arrives.
    const auto big = c.put("/items/1", std::string(4u << 20, 'x'), "text/plain");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->status, 413);
    EXPECT_EQ(big->body, "error 413");
    // The client goes on, on a new connection.
    const auto after = c.get("/items/2");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, 200);
}

TEST(HttpServer, ExpectContinueIsAnsweredBeforeTheBody) {
    Served srv;
    routes(srv.server());
    const std::string got = raw_exchange(srv.start(),
                                         "PUT /items/1 HTTP/1.1\r\nHost: h\r\n"
                                         "Content-Length: 3\r\nExpect: 100-continue\r\n\r\n",
                                         "\r\n\r\n");
    EXPECT_EQ(got.rfind("HTTP/1.1 100 Continue\r\n", 0), 0u) << got;
}

TEST(HttpServer, MalformedRequestsGet400) {
    Served srv;
    routes(srv.server());
    const int port = srv.start();
    for (const char* sent : {"GET /items/1 HTTP/1.1\r\nHost h\r\n\r\n",
                             "GET items HTTP/1.1\r\n\r\n", "NOT HTTP AT ALL\r\n\r\n"}) {
        SCOPED_TRACE(sent);
        const std::string got = raw_exchange(port, sent, "\r\n");
        EXPECT_EQ(got.rfind("HTTP/1.1 400 ", 0), 0u) << got;
    }
}

TEST(HttpServer, AHeaderValueCannotStartAnotherHeader) {
    Response res;
    res.set_header("X-Job", "1\r\nSet-Cookie: x=1");
    EXPECT_EQ(res.get_header_value("x-job"), "");
    res.set_header("X-Job", "2");
    EXPECT_EQ(res.get_header_value("x-job"), "2");
}

TEST(HttpServer, AStreamEndsWhenThePeerStopsReading) {
    Served srv;
    std::promise<void> writer_ended;
    std::thread writer;
    srv.server().get("/events", [&](const Request&, Response& res) {
        const http::Stream out = res.stream("text/event-stream");
        writer = std::thread([out, &writer_ended] {
            for (int n = 0;; ++n) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                if (!out.write("data: " + std::to_string(n) + "\n\n")) break;
            }
            writer_ended.set_value();
        });
    });
    Client c("127.0.0.1", srv.start());
    std::string got;
    const auto r = c.get("/events", [&got](const char* data, std::size_t size) {
        got.append(data, size);
        return got.find("data: 2\n\n") == std::string::npos;
    });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("content-type"), "text/event-stream");
    EXPECT_EQ(got.rfind("data: 0\n\ndata: 1\n\ndata: 2\n\n", 0), 0u) << got;
    // The writer learns that the peer is gone.
    EXPECT_EQ(writer_ended.get_future().wait_for(std::chrono::seconds(20)),
              std::future_status::ready);
    writer.join();
}

TEST(HttpServer, AClosedConnectionFreesItsThreadAtOnce) {
    Server::Settings s;
    s.threads = 2;
    s.idle_timeout = std::chrono::seconds(30);
    Served srv(s);
    routes(srv.server());
    const int port = srv.start();
    // Two threads and many callers one after another: each caller's close
    // must end its connection, or the third would wait out the idle time.
    for (int i = 0; i < 50; ++i) {
        Client c("127.0.0.1", port);
        c.set_timeout(std::chrono::seconds(10));
        const auto r = c.get("/items/" + std::to_string(i));
        ASSERT_TRUE(r) << i;
        EXPECT_EQ(r->status, 200);
    }
}

TEST(HttpServer, StopEndsListenWithConnectionsOpen) {
    Served srv;
    routes(srv.server());
    Client kept("127.0.0.1", srv.start());
    ASSERT_TRUE(kept.get("/items/1"));  // its connection stays open
    boost::asio::io_context ctx;
    boost::asio::ip::tcp::socket idle(ctx);
    idle.connect(
        {boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(srv.port())});
    auto stopped = std::async(std::launch::async, [&srv] { srv.stop(); });
    EXPECT_EQ(stopped.wait_for(std::chrono::seconds(20)), std::future_status::ready);
}

TEST(HttpServer, ClientReportsAServiceThatIsNotThere) {
    int port = 0;
    {
        Served srv;
        port = srv.start();
    }
    Client c("127.0.0.1", port);
    c.set_timeout(std::chrono::seconds(5));
    EXPECT_FALSE(c.get("/"));
}

// Waits on the real read time-out.
TEST(HttpServerSlow, AStalledRequestIsDroppedAtItsDeadline) {
    Server::Settings s;
    s.read_timeout = std::chrono::seconds(1);
    Served srv(s);
    routes(srv.server());
    boost::asio::io_context ctx;
    boost::asio::ip::tcp::socket half(ctx);
    half.connect(
        {boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(srv.start())});
    boost::asio::write(half, boost::asio::buffer(std::string("GET /items/1 HTTP/1.1\r\nHo")));
    std::string got;
    boost::system::error_code ec;
    boost::asio::read_until(half, boost::asio::dynamic_buffer(got), "\r\n", ec);
    EXPECT_EQ(ec, boost::asio::error::eof);
    EXPECT_EQ(got, "");
}

}  // namespace
}  // namespace veltra::test
