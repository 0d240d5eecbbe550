// HTTPS between the service and its clients: a client is answered only
// when it trusts the service's certificate and the certificate names the
// host it dialled; kept-alive, deferred and streamed answers work over TLS
// as over TCP; certificate files that cannot be used are refused at start.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "http_client.hpp"
#include "served.hpp"
#include "test_certificates.hpp"

namespace veltra::test {
namespace {

using http::Client;
using http::Endpoint;
using http::Request;
using http::Response;

TestCertificates& certificates() {
    static TestCertificates c;
    return c;
}

void routes(http::Server& s) {
    s.get("/ping", [](const Request&, Response& res) { res.set_content("pong", "text/plain"); });
    s.get("/later", [](const Request&, Response& res) {
        std::thread([reply = res.defer()] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            Response r;
            r.set_content("at last", "text/plain");
            reply.send(r);
        }).detach();
    });
    s.get("/stream", [](const Request&, Response& res) {
        std::thread([out = res.stream("text/plain")] {
            for (int i = 0; i < 5; ++i) out.write("piece " + std::to_string(i) + ";");
            out.end();
        }).detach();
    });
}

// A server answering HTTPS with the given certificate.
class Https {
public:
    Https(const std::string& cert, const std::string& key,
          const std::function<void(http::Server&)>& more = {}) {
        std::string error;
        ready_ = served_.server().use_tls(cert, key, error);
        EXPECT_TRUE(ready_) << error;
        routes(served_.server());
        if (more) more(served_.server());
        served_.start();
    }
    int port() const { return served_.port(); }

private:
    Served served_;
    bool ready_ = false;
};

class HttpsServer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(certificates().why_not(), ""); }
};

struct TrustCase {
    const char* name;
    const char* host;  // dialled
    bool other;        // the server's certificate names other.example only
    int ca;            // 0: the chain's authority, 1: a stranger's, 2: the system's
    bool answered;
};

TEST_F(HttpsServer, AnswersOnlyAClientThatTrustsItsCertificateForTheHostDialled) {
    const TestCertificates& c = certificates();
    Https ours(c.cert(), c.key());
    Https other(c.other_cert(), c.other_key());
    const TrustCase cases[] = {
        {"its address, the chain's authority", "127.0.0.1", false, 0, true},
        {"its name, the chain's authority", "localhost", false, 0, true},
        {"a stranger's authority", "127.0.0.1", false, 1, false},
        {"the system's authorities", "127.0.0.1", false, 2, false},
        {"a certificate for another name", "127.0.0.1", true, 0, false},
        {"a certificate for another name, by name", "localhost", true, 0, false},
    };
    for (const TrustCase& k : cases) {
        const std::string cas[] = {c.ca(), c.stranger_ca(), ""};
        Client client(Endpoint{k.host, k.other ? other.port() : ours.port(), true},
                      http::TlsOptions{cas[k.ca]});
        client.set_timeout(std::chrono::seconds(10));
        const auto r = client.get("/ping");
        EXPECT_EQ(r.has_value(), k.answered) << k.name;
        if (k.answered && r) {
            EXPECT_EQ(r->status, 200) << k.name;
            EXPECT_EQ(r->body, "pong") << k.name;
            EXPECT_EQ(client.last_error(), "") << k.name;
        } else if (!k.answered) {
            EXPECT_NE(client.last_error().find("no trusted HTTPS"), std::string::npos)
                << k.name << ": " << client.last_error();
        }
    }
}

TEST_F(HttpsServer, PlainHttpAndHttpsDoNotMix) {
    Https tls(certificates().cert(), certificates().key());
    Client plain("127.0.0.1", tls.port());
    plain.set_timeout(std::chrono::seconds(10));
    EXPECT_FALSE(plain.get("/ping").has_value());

    Served http_only;
    routes(http_only.server());
    Client secure(Endpoint{"127.0.0.1", http_only.start(), true}, {certificates().ca()});
    secure.set_timeout(std::chrono::seconds(10));
    EXPECT_FALSE(secure.get("/ping").has_value());
    EXPECT_FALSE(secure.last_error().empty());
}

TEST_F(HttpsServer, KeptAliveDeferredAndStreamedAnswersOverTls) {
    Https tls(certificates().cert(), certificates().key());
    Client c(Endpoint{"127.0.0.1", tls.port(), true}, {certificates().ca()});
    c.set_timeout(std::chrono::seconds(10));
    for (int i = 0; i < 3; ++i) {
        const auto r = c.get("/ping");
        ASSERT_TRUE(r) << c.last_error();
        EXPECT_EQ(r->body, "pong");
    }
    const auto later = c.get("/later");
    ASSERT_TRUE(later) << c.last_error();
    EXPECT_EQ(later->body, "at last");
    std::string streamed;
    const auto r = c.get("/stream", [&streamed](const char* data, std::size_t size) {
        streamed.append(data, size);
        return true;
    });
    ASSERT_TRUE(r) << c.last_error();
    EXPECT_EQ(streamed, "piece 0;piece 1;piece 2;piece 3;piece 4;");
    // The stream closed its connection: the next request opens another.
    const auto again = c.get("/ping");
    ASSERT_TRUE(again) << c.last_error();
    EXPECT_EQ(again->body, "pong");
}

// A client that goes without TLS's closing message (ours just closes) has
// left, as over TCP: no request of its own is made of that.
TEST_F(HttpsServer, AClientLeavingWithoutItsClosingMessageIsNoRequest) {
    std::mutex m;
    std::vector<int> logged;
    Https tls(certificates().cert(), certificates().key(), [&](http::Server& s) {
        s.set_logger([&](const Request&, const Response& res) {
            const std::lock_guard lock(m);
            logged.push_back(res.status);
        });
    });
    {
        Client c(Endpoint{"127.0.0.1", tls.port(), true}, {certificates().ca()});
        ASSERT_TRUE(c.get("/ping")) << c.last_error();
    }
    // And one that leaves in the middle of its handshake.
    Client stranger(Endpoint{"127.0.0.1", tls.port(), true}, {certificates().stranger_ca()});
    EXPECT_FALSE(stranger.get("/ping"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::lock_guard lock(m);
    EXPECT_EQ(logged, std::vector<int>{200});
}

TEST_F(HttpsServer, CertificateFilesThatCannotBeUsedAreRefused) {
    const TestCertificates& c = certificates();
    struct Case {
        const char* name;
        std::string cert, key;
        const char* says;
    };
    const Case cases[] = {
        {"no certificate file", c.cert() + ".missing", c.key(), "cannot use the certificate"},
        {"no key file", c.cert(), c.key() + ".missing", "cannot use the key"},
        {"a key for another certificate", c.cert(), c.other_key(), "mismatch"},
        {"a key for a certificate", c.key(), c.key(), "cannot use the certificate"},
    };
    for (const Case& k : cases) {
        http::Server s;
        std::string error;
        EXPECT_FALSE(s.use_tls(k.cert, k.key, error)) << k.name;
        EXPECT_NE(error.find(k.says), std::string::npos) << k.name << ": " << error;
        EXPECT_FALSE(s.uses_tls()) << k.name;
    }
    http::Server s;
    std::string error;
    ASSERT_TRUE(s.use_tls(c.cert(), c.key(), error)) << error;
    EXPECT_TRUE(s.uses_tls());
    EXPECT_TRUE(s.tls_certifies("localhost"));
    EXPECT_TRUE(s.tls_certifies("LOCALHOST"));
    EXPECT_TRUE(s.tls_certifies("127.0.0.1"));
    EXPECT_FALSE(s.tls_certifies("127.0.0.2"));
    EXPECT_FALSE(s.tls_certifies("other.example"));
    EXPECT_FALSE(s.tls_certifies(""));
}

TEST_F(HttpsServer, AClientFileOfNoCertificatesIsSaidSo) {
    Https tls(certificates().cert(), certificates().key());
    Client c(Endpoint{"127.0.0.1", tls.port(), true}, {certificates().ca() + ".missing"});
    EXPECT_FALSE(c.get("/ping").has_value());
    EXPECT_NE(c.last_error().find("cannot load the trusted certificates"), std::string::npos)
        << c.last_error();
}

}  // namespace
}  // namespace veltra::test
