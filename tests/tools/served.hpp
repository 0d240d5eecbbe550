// An HTTP server of the service's HTTP layer on a free loopback port,
// listening on a thread of its own, for the tests of that layer.
#pragma once

#include <thread>

#include "http.hpp"
#include "http_client.hpp"

namespace veltra::test {

class Served {
public:
    explicit Served(http::Server::Settings s = {}) : server_(s) {}
    ~Served() { stop(); }
    Served(const Served&) = delete;
    Served& operator=(const Served&) = delete;

    http::Server& server() { return server_; }
    int start() {
        port_ = server_.bind("127.0.0.1", 0);
        thread_ = std::thread([this] { server_.listen(); });
        return port_;
    }
    void stop() {
        if (!thread_.joinable()) return;
        server_.stop();
        thread_.join();
    }
    int port() const { return port_; }

private:
    http::Server server_;
    std::thread thread_;
    int port_ = 0;
};

}  // namespace veltra::test
