// Certificates of a chain's own authority for the HTTPS tests, made by
// Debian's openssl program in a scratch folder: the authority, a server
// certificate it signed for localhost and 127.0.0.1, one it signed for
// another name only, and a stranger's authority.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

#include "test_support.hpp"

namespace veltra::test {

class TestCertificates {
public:
    TestCertificates() {
        ok_ = authority("ca") && authority("stranger") &&
              server("server", "DNS:localhost,IP:127.0.0.1") &&
              server("other", "DNS:other.example");
    }
    // Empty when openssl made them all; else what failed.
    std::string why_not() const { return ok_ ? "" : "openssl could not make the certificates"; }

    std::string ca() const { return dir_.file("ca.pem"); }
    std::string stranger_ca() const { return dir_.file("stranger.pem"); }
    // For localhost and 127.0.0.1, signed by ca().
    std::string cert() const { return dir_.file("server.pem"); }
    std::string key() const { return dir_.file("server.key"); }
    // For other.example only, signed by ca().
    std::string other_cert() const { return dir_.file("other.pem"); }
    std::string other_key() const { return dir_.file("other.key"); }

private:
    bool run(const std::string& command) const {
        return std::system((command + " >" + dir_.file("openssl.log") + " 2>&1").c_str()) == 0;
    }
    static std::string ec_key() {
        return " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    }

    bool authority(const std::string& name) const {
        return run("openssl req -x509" + ec_key() + " -keyout " + dir_.file(name + ".key") +
                   " -out " + dir_.file(name + ".pem") + " -days 2 -subj '/CN=" + name +
                   " test authority' -addext basicConstraints=critical,CA:TRUE"
                   " -addext keyUsage=critical,keyCertSign,cRLSign");
    }
    bool server(const std::string& name, const std::string& names) const {
        const std::string ext = dir_.file(name + ".ext");
        std::ofstream(ext) << "subjectAltName=" << names
                           << "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n";
        return run("openssl req" + ec_key() + " -keyout " + dir_.file(name + ".key") + " -out " +
                   dir_.file(name + ".csr") + " -subj '/CN=" + name + "'") &&
               run("openssl x509 -req -in " + dir_.file(name + ".csr") + " -CA " + ca() +
                   " -CAkey " + dir_.file("ca.key") + " -set_serial 0x" +
                   std::to_string(name.size()) + "01 -days 2 -extfile " + ext + " -out " +
                   dir_.file(name + ".pem"));
    }

    TempDir dir_;
    bool ok_ = false;
};

}  // namespace veltra::test
