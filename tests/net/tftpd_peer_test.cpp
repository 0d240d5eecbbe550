// The TFTP client against a real server: Debian's tftpd-hpa (in.tftpd),
// which answers each request from a new port. Needs root (in.tftpd confines
// itself to its folder with chroot); skipped otherwise.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "frame/library_frame.hpp"
#include "net/tftp_client.hpp"
#include "test_support.hpp"
#include "udp_script.hpp"
#include "veltra.h"

extern char** environ;

namespace veltra::test {
namespace {

constexpr const char* kTftpd = "/usr/sbin/in.tftpd";

bool eventually_equals(const std::string& path, const std::string& want) {
    for (int i = 0; i < 40; ++i) {
        if (read_file(path) == want) return true;
        usleep(50000);
    }
    return false;
}

class TftpdTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0 || !std::filesystem::exists(kTftpd)) {
            GTEST_SKIP() << "needs root and tftpd-hpa";
        }
        // A free port: bind one, note it, let it go for the server.
        {
            sys::UdpSocket probe;
            probe.bind(ipv4(127, 0, 0, 1), 0);
            port_ = probe.local_port();
        }
        const std::string address = "127.0.0.1:" + std::to_string(port_);
        const std::string root = root_.path().string();
        std::vector<std::string> args = {kTftpd, "-L", "-a", address, "-s",
                                         "-c",   "-p", "-u", "root",  root};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&server_, kTftpd, nullptr, nullptr, argv.data(), environ), 0);
        port_var_ = std::make_unique<EnvVar>("ECR_TFTP_PORT", std::to_string(port_));
        wait_until_serving();
    }

    void TearDown() override {
        if (server_ > 0) {
            kill(server_, SIGTERM);
            waitpid(server_, nullptr, 0);
        }
    }

    // The server answers a read of a missing file with an ERROR once it listens.
    void wait_until_serving() {
        for (int i = 0; i < 50; ++i) {
            sys::UdpSocket s;
            s.send_to(ipv4(127, 0, 0, 1), port_, tftp_request(1, "no-such-file"));
            Bytes buf(600);
            sys::Datagram got;
            int error = 0;
            if (s.recv_from(buf, 100, got, error) == sys::RecvStatus::kData) return;
        }
        FAIL() << "in.tftpd does not answer on port " << port_;
    }

    std::string served(const std::string& name) const { return root_.file(name); }
    std::string local(const std::string& name) const { return local_.file(name); }

    TempDir root_;
    TempDir local_;
    pid_t server_ = 0;
    std::uint16_t port_ = 0;
    std::unique_ptr<EnvVar> port_var_;
    const std::uint32_t register_ = ipv4(127, 0, 0, 1);
};

TEST_F(TftpdTest, FilesArriveByteIdenticalBothWays) {
    for (std::size_t size : {0u, 1u, 511u, 512u, 513u, 6400000u}) {
        const std::string name = veltra::test::cat("F", size, ".BIN");
        const Bytes content = pattern_bytes(size, static_cast<unsigned>(size) + 3);
        const std::string text(content.begin(), content.end());

        write_file(served(name), text);
        EXPECT_EQ(ecr_tftp_get(register_, local(name).c_str()), 0) << size;
        EXPECT_TRUE(read_file(local(name)) == text) << "get of " << size << " bytes";

        const std::string back = veltra::test::cat("B", size, ".BIN");
        write_file(local(back), text);
        EXPECT_EQ(ecr_tftp_put(register_, local(back).c_str()), 0) << size;
        // The client does not wait for the server to take the closing block.
        EXPECT_TRUE(eventually_equals(served(back), text)) << "put of " << size << " bytes";
    }
}

TEST_F(TftpdTest, AMissingFileFailsAndLeavesNoLocalFile) {
    EXPECT_EQ(ecr_tftp_get(register_, local("NONE.BIN").c_str()), ERR_TRANSFER_FAILED);
    EXPECT_FALSE(std::filesystem::exists(local("NONE.BIN")));
}

// tftpd-hpa plays a free register: a fixed RESPONSE.TXT in its folder, and
// every file put lands there.
TEST_F(TftpdTest, TablesThroughAPlainTftpServer) {
    std::string info;
    for (int i = 0; i < 22; ++i) {
        info += veltra::test::cat(i ? "," : "", "F", i, "=", i == 10 ? "I" : i == 14 ? "1" : "0");
    }
    write_file(served("RESPONSE.TXT"), info + "\r\n");
    const EnvVar temp("TEMP", local_.path().string());

    write_file(local("in.csv"),
               "id_reparto;descr;iva;batt_sing;tipo_sconto;id_aux_lan;id_gruppo;"
               "prezzo;min_valore;max_valore;valore_sconto;non_fiscale\n"
               "1;CAFFE;2;;;;;120;;;;\n");
    EXPECT_EQ(ecr_send_reparti("127.0.0.1", local("in.csv").c_str()), 1);
    std::string want;
    for (int n = 1; n <= 80; ++n) {
        std::string rec(50, '\0');
        const std::string name = n == 1 ? "CAFFE" : "REPARTO " + std::to_string(n);
        rec.replace(1, name.size(), name);
        if (n == 1) {
            rec[26] = 1;
            rec[28] = 120;
        }
        want += rec;
    }
    EXPECT_TRUE(read_file(served("REPARTI.BIN")) == want);
    EXPECT_EQ(read_file(served("COMMAND.TXT")), "SETUP 0") << "the last command put";

    std::string plu(6400000, '\0');
    plu.replace(64 + 1, 5, "SALE ");
    write_file(served("PLU.BIN"), plu);
    EXPECT_EQ(ecr_recv_plu_all("127.0.0.1", local("p.csv").c_str()), 100000);
    const auto lines = read_lines(local("p.csv"));
    ASSERT_EQ(lines.size(), 100001u);
    EXPECT_EQ(lines[2], "2;SALE ;1;0;0;0;");
    EXPECT_FALSE(std::filesystem::exists(local("PLU.BIN"))) << "the temporary table is deleted";
}

}  // namespace
}  // namespace veltra::test
