// The simulator's TFTP server against Debian's own clients: tftp-hpa's tftp
// and curl fetch and put files of every boundary size byte-identical.
#include <fstream>

#include "sim_fixture.hpp"

namespace ecrsim::test {
namespace {

struct Client {
    const char* name;
    // Command lines with %A address, %P port, %R remote name, %L local path.
    const char* get;
    const char* put;
};
void PrintTo(const Client& c, std::ostream* os) {
    *os << c.name;
}

const Client kClients[] = {
    {"tftp", "timeout 60 tftp -m octet %A %P -c get %R %L",
     "timeout 60 tftp -m octet %A %P -c put %L %R"},
    {"curl", "timeout 60 curl -s -S -o %L tftp://%A:%P/%R",
     "timeout 60 curl -s -S -T %L tftp://%A:%P/%R"},
};

const std::size_t kSizes[] = {0, 511, 512, 513, 6400000};

std::string fill(std::string line, const Register& r, const std::string& remote,
                 const std::string& local) {
    auto sub = [&](const std::string& key, const std::string& value) {
        for (auto at = line.find(key); at != std::string::npos; at = line.find(key))
            line.replace(at, 2, value);
    };
    sub("%A", r.address());
    sub("%P", std::to_string(r.tftp_port()));
    sub("%R", remote);
    sub("%L", local);
    return line;
}

void write_bytes(const std::string& path, const Bytes& b) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

Bytes read_bytes(const std::string& path) {
    const std::string s = veltra::test::read_file(path);
    return Bytes(s.begin(), s.end());
}

class RealClients : public SimTest,
                    public ::testing::WithParamInterface<std::tuple<Client, std::size_t>> {
protected:
    void SetUp() override { ECRSIM_NEEDS_POSIX_SHELL(); }
};

TEST_P(RealClients, GetArrivesByteIdentical) {
    const auto& [client, size] = GetParam();
    Register& r = start(defaults("127.0.0.3"));
    const Bytes content = pattern_bytes(size, static_cast<unsigned>(size));
    r.put_file("SAMPLE.BIN", content);
    const std::string local = dir_.file("sample.out");
    EXPECT_EQ(run(fill(client.get, r, "SAMPLE.BIN", local)), 0);
    EXPECT_EQ(read_bytes(local), content);
    EXPECT_TRUE(r.wait_for([](const Transcript& t) { return !t.gets.empty(); }, 2s));
}

TEST_P(RealClients, PutArrivesByteIdentical) {
    const auto& [client, size] = GetParam();
    Register& r = start(defaults("127.0.0.3"));
    r.set_setup_mode(true);
    const Bytes content = pattern_bytes(size, static_cast<unsigned>(size) + 1);
    const std::string local = dir_.file("upload.bin");
    write_bytes(local, content);
    // PLU.BIN carries the big file, a small table the others.
    const std::string remote = size > 100000 ? "PLU.BIN" : "LOGO.BIN";
    EXPECT_EQ(run(fill(client.put, r, remote, local)), 0);
    ASSERT_TRUE(r.wait_for([](const Transcript& t) { return !t.puts.empty(); }, 5s));
    const Transcript t = r.transcript();
    EXPECT_EQ(t.puts.back().name, remote);
    EXPECT_EQ(t.puts.back().bytes, content);
    EXPECT_EQ(r.file(remote), content);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RealClients,
                         ::testing::Combine(::testing::ValuesIn(kClients),
                                            ::testing::ValuesIn(kSizes)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    std::to_string(std::get<1>(info.param));
                         });

TEST_F(SimTest, CurlReadsTheInfoAnswerAfterAnInfoCommand) {
    ECRSIM_NEEDS_POSIX_SHELL();
    Register& r = start();
    const std::string cmd = dir_.file("cmd.txt");
    veltra::test::write_file(cmd, "INFO");
    ASSERT_EQ(run("timeout 30 tftp -m octet " + r.address() + " " + std::to_string(r.tftp_port()) +
                  " -c put " + cmd + " COMMAND.TXT"),
              0);
    const std::string out = dir_.file("response.txt");
    ASSERT_EQ(run("timeout 30 curl -s -o " + out + " tftp://" + r.address() + ":" +
                  std::to_string(r.tftp_port()) + "/RESPONSE.TXT"),
              0);
    const std::string answer = veltra::test::read_file(out);
    EXPECT_EQ(answer.rfind("VERSIONE=V5.02,TIPO_BITMAP=L,", 0), 0u) << answer;
    EXPECT_EQ(r.transcript().commands, std::vector<std::string>{"INFO"});
}

TEST_F(SimTest, TftpClientGetsNotFoundForAMissingFile) {
    ECRSIM_NEEDS_POSIX_SHELL();
    Register& r = start();
    const std::string out = dir_.file("missing.out");
    const int status = run("timeout 30 curl -s -o " + out + " tftp://" + r.address() + ":" +
                           std::to_string(r.tftp_port()) + "/NOSUCH.BIN");
    EXPECT_NE(status, 0);  // curl reports the server's ERROR 1
    EXPECT_TRUE(r.transcript().gets.empty());
}

// With the register's own one-second time-out, lost datagrams in both
// directions cost the real clients a wait but not a byte.
TEST_F(SimTest, RealClientsRideOutLostDatagramsSlow) {
    ECRSIM_NEEDS_POSIX_SHELL();
    Options o = defaults("127.0.0.3");
    o.retransmit_ms = 1000;
    Register& r = start(o);
    const Bytes content = pattern_bytes(100000, 5);
    r.put_file("SAMPLE.BIN", content);
    r.add_fault(*parse_tftp_fault("drop:out:5@SAMPLE.BIN"));
    r.add_fault(*parse_tftp_fault("drop:in:9@SAMPLE.BIN"));
    const std::string local = dir_.file("sample.out");
    EXPECT_EQ(run(fill(kClients[0].get, r, "SAMPLE.BIN", local)), 0);
    EXPECT_EQ(read_bytes(local), content);

    r.set_setup_mode(true);
    r.add_fault(*parse_tftp_fault("drop:out:3@LOGO.BIN"));  // ACK 2 lost
    write_bytes(local, content);
    EXPECT_EQ(run(fill(kClients[1].put, r, "LOGO.BIN", local)), 0);
    EXPECT_EQ(r.file("LOGO.BIN"), content);
}

}  // namespace
}  // namespace ecrsim::test
