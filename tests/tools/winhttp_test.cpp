// The Windows build's HTTPS client (WinHTTP) against the HTTPS test
// servers winhttp_peers.sh starts: the machine's certificate store decides
// whom it trusts, the certificate must name the host dialled, and a file
// of authorities is refused with the way to import it instead. (Wine's
// chain engine reads the store once, at the first verification: the
// authority is imported before any.)
#include <gtest/gtest.h>
#include <windows.h>
// windows.h first: wincrypt.h needs its types.
#include <wincrypt.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "http_client.hpp"

namespace veltra::test {
namespace {

using http::Client;
using http::Endpoint;

struct Peers {
    int ours = 0;      // a certificate for localhost and 127.0.0.1
    int other = 0;     // for other.example only
    int stranger = 0;  // for localhost, by another authority
    std::string ca;
};

bool peers(Peers& p) {
    const char* ports = std::getenv("VELTRA_TLS_PEERS");
    const char* ca = std::getenv("VELTRA_TLS_CA");
    if (ports == nullptr || ca == nullptr) return false;
    std::istringstream in(ports);
    in >> p.ours >> p.other >> p.stranger;
    p.ca = ca;
    return p.ours > 0 && p.other > 0 && p.stranger > 0;
}

// The test authority in the (Wine prefix's) user's Trusted Root store.
bool trust(const std::string& pem_file) {
    std::ifstream f(pem_file, std::ios::binary);
    std::stringstream pem;
    pem << f.rdbuf();
    const std::string text = pem.str();
    DWORD size = 0;
    if (!CryptStringToBinaryA(text.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                              nullptr))
        return false;
    std::string der(size, '\0');
    if (!CryptStringToBinaryA(text.c_str(), 0, CRYPT_STRING_BASE64HEADER,
                              reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr))
        return false;
    return CertAddEncodedCertificateToSystemStoreA(
               "Root", reinterpret_cast<const BYTE*>(der.data()), size) != FALSE;
}

std::optional<Client::Result> fetch(const std::string& host, int port, std::string* error,
                                    const std::string& ca_file = "") {
    Client c(Endpoint{host, port, true}, http::TlsOptions{ca_file});
    c.set_timeout(std::chrono::seconds(20));
    auto r = c.get("/hello.txt");
    *error = c.last_error();
    return r;
}

TEST(WinHttp, TrustsTheMachinesStoreAndTheNameTheCertificateGives) {
    Peers p;
    if (!peers(p)) GTEST_SKIP() << "run through winhttp_peers.sh, which starts the servers";
    std::string error;

    // A file of authorities is not how Windows trusts: said so, and
    // nothing is sent.
    EXPECT_FALSE(fetch("localhost", p.ours, &error, p.ca));
    EXPECT_NE(error.find("Trusted Root"), std::string::npos) << error;

    // The chain's authority in the machine's store, as an administrator
    // puts it there.
    ASSERT_TRUE(trust(p.ca)) << GetLastError();
    const auto r = fetch("localhost", p.ours, &error);
    ASSERT_TRUE(r) << error;
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body, "hello over https\n");
    EXPECT_EQ(error, "");

    // Another authority's certificate: not trusted.
    EXPECT_FALSE(fetch("localhost", p.stranger, &error));
    EXPECT_NE(error.find("not trusted"), std::string::npos) << error;
    // Trusted, but for another name than the one dialled.
    EXPECT_FALSE(fetch("localhost", p.other, &error));
    EXPECT_NE(error.find("not trusted"), std::string::npos) << error;
}

}  // namespace
}  // namespace veltra::test
