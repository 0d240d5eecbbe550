// ecr_command against a scripted register: the checks that come before any
// traffic, the answer buffer's limits, and the temporary files.
#include "cmd/command_exchange.hpp"

#include <filesystem>
#include <string>
#include <vector>

#include "sys/clock.hpp"
#include "tftp_test_util.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

using Lines = std::vector<std::string>;

// Takes the command file and answers the INFO request with answer.
void answer_info(PeerIo& io, const std::string& answer, std::string* command = nullptr) {
    const Bytes cmd = take(io, false);
    if (command) *command = as_string(cmd);
    serve(io, Bytes(answer.begin(), answer.end()));
}

class CommandTest : public TftpTest {
protected:
    void SetUp() override {
        TftpTest::SetUp();
        temp_ = std::make_unique<EnvVar>("TEMP", work_.path().string());
    }
    // Nothing of the command exchange may stay in the temporary directory.
    void TearDown() override {
        EXPECT_TRUE(std::filesystem::is_empty(work_.path())) << "temporary files left behind";
        TftpTest::TearDown();
    }
    TempDir work_;
    std::unique_ptr<EnvVar> temp_;
};

// Plays the register for one call: takes every put (a command file by its
// text, any other file as "put NAME") and answers every get ("get NAME";
// RESPONSE.TXT with an idle INFO answer), up to the number of exchanges
// expected; then listens a moment for one more, which is seen as "extra".
Lines play_register(PeerIo& io, std::size_t expected) {
    Lines seen;
    while (seen.size() < expected) {
        auto request = io.recv(2500);
        if (!request) return seen;
        std::string name(request->begin() + 2, request->end());
        name = name.substr(0, name.find('\0'));
        if (tftp_opcode(*request) == 2) {
            io.send(tftp_ack(0));
            const std::string text = as_string(take_rest(io, false));
            seen.push_back(name == "COMMAND.TXT" ? text : "put " + name);
        } else {
            const std::string answer =
                name == "RESPONSE.TXT" ? "A=0,B=0,C=0,D=0,E=0,F=0,G=0,H=0,I=0,J=0,K=I" : "x";
            io.send(tftp_data(1, Bytes(answer.begin(), answer.end())));
            io.recv();
            io.recv(300);
            seen.push_back("get " + name);
        }
    }
    if (io.recv(300)) seen.push_back("extra");
    return seen;
}

TEST_F(CommandTest, EveryRequestNumberSendsItsOwnCommandAndWait) {
    // A request that waits reads INFO until the register is idle.
    write_file(path("TAV_MIN.BIN"), "table");
    struct Case {
        std::int32_t request;
        Lines seen;
    };
    const Case cases[] = {
        {0, {"INFO", "get RESPONSE.TXT"}},
        {1, {"SETUP 1"}},
        {2, {"SETUP 0"}},
        {3, {"AZZDATI", "INFO", "get RESPONSE.TXT"}},
        {4, {"AZZFAT", "INFO", "get RESPONSE.TXT"}},
        {5, {"AZZVEN_CORR", "INFO", "get RESPONSE.TXT"}},
        {6, {"put TAV_MIN.BIN"}},
        {7, {"get TAV_MIN.BIN"}},
        {8, {"AZZFIS"}},
        {9, {"AZZVEN_ARCH", "INFO", "get RESPONSE.TXT"}},
    };
    for (const Case& c : cases) {
        Lines seen;
        start([&](PeerIo& io) { seen = play_register(io, c.seen.size()); });
        EXPECT_EQ(ecr_command("127.0.0.1", path("TAV_MIN.BIN").c_str(), c.request, nullptr, 0), 0)
            << c.request;
        sent_by_client();
        EXPECT_EQ(seen, c.seen) << "request " << c.request;
    }
}

TEST_F(CommandTest, ChecksThatNeedNoRegister) {
    write_file(path("TAV_MIN.BIN"), "");
    write_file(path("README.TXT"), "x");
    const struct {
        const char* host;
        std::string file;
        std::int32_t request;
        std::int32_t result;
    } cases[] = {
        {"127.0.0.1", "", 10, ERR_INVALID_REQUEST_ID},
        {"127.0.0.1", "", -1, ERR_INVALID_REQUEST_ID},
        {"0.0.0.0", "", 10, ERR_INVALID_IP_ADDRESS},  // resolution comes first
        {"127.0.0.1", path("TAV_MIN.BIN"), 6, ERR_INVALID_FILESIZE},
        {"127.0.0.1", path("PLU.BIN"), 6, ERR_FILE_NOT_FOUND},
        {"127.0.0.1", path("README.TXT"), 6, ERR_INVALID_FILENAME},
        {"127.0.0.1", path("README.TXT"), 7, ERR_INVALID_FILENAME},
    };
    start([](PeerIo& io) { io.recv(300); });
    for (const auto& c : cases) {
        char rsp[16] = "untouched";
        EXPECT_EQ(ecr_command(c.host, c.file.c_str(), c.request, rsp, sizeof rsp), c.result)
            << c.request << " " << c.file;
        EXPECT_STREQ(rsp, "");
    }
    EXPECT_TRUE(sent_by_client().empty()) << "no traffic for refused requests";
    EXPECT_EQ(read_file(path("README.TXT")), "x");
}

TEST_F(CommandTest, RequestZeroFillsTheAnswerWithinItsSize) {
    const std::string answer = "VER=V2.10,TIPO=L,NUM=3";
    const struct {
        std::int32_t rsplen;
        std::string expected;
    } cases[] = {{100, answer}, {10, "VER=V2.1"}, {3, "V"}, {2, ""}};
    for (const auto& c : cases) {
        std::string command;
        start([&](PeerIo& io) { answer_info(io, answer, &command); });
        std::vector<char> rsp(static_cast<std::size_t>(c.rsplen) + 8, '#');
        EXPECT_EQ(ecr_command("127.0.0.1", "", 0, rsp.data(), c.rsplen), 0) << c.rsplen;
        sent_by_client();
        EXPECT_EQ(command, "INFO");
        EXPECT_EQ(std::string(rsp.data()), c.expected) << c.rsplen;
        for (std::size_t i = static_cast<std::size_t>(c.rsplen); i < rsp.size(); ++i) {
            ASSERT_EQ(rsp[i], '#') << "wrote past rsplen " << c.rsplen;
        }
    }
}

TEST_F(CommandTest, TinyOrMissingAnswerBuffersAreNeverOverrun) {
    for (std::int32_t rsplen : {1, 0, -5}) {
        start([&](PeerIo& io) { answer_info(io, "A=1"); });
        char rsp[4] = {'#', '#', '#', '#'};
        EXPECT_EQ(ecr_command("127.0.0.1", "", 0, rsp, rsplen), 0) << rsplen;
        sent_by_client();
        EXPECT_EQ(rsp[0], rsplen == 1 ? '\0' : '#') << rsplen;
        EXPECT_EQ(rsp[1], '#') << rsplen;
    }
    // Without a buffer the answer still comes, into the library's own, and shows in the trace.
    start([&](PeerIo& io) { answer_info(io, "A=1,B=2"); });
    EXPECT_EQ(ecr_command("127.0.0.1", "", 0, nullptr, 0), 0);
    sent_by_client();
    EXPECT_TRUE(trace_has("ecr_command -- end  : esito='0' rspptr='A=1,B=2'"));
}

TEST_F(CommandTest, FiscalResetReturnsAsSoonAsTheCommandIsPut) {
    std::string command;
    start([&](PeerIo& io) {
        command = as_string(take(io));
        io.recv(500);  // no INFO follows
    });
    EXPECT_EQ(ecr_command("127.0.0.1", "", 8, nullptr, 0), 0);
    EXPECT_EQ(sent_by_client(), (Lines{"WRQ COMMAND.TXT octet", "DATA 1 6"}));
    EXPECT_EQ(command, "AZZFIS");
}

TEST_F(CommandTest, SetupCommandsAreSentWithoutLineEnd) {
    for (const auto& [request, text] : {std::pair{1, "SETUP 1"}, std::pair{2, "SETUP 0"}}) {
        std::string command;
        start([&](PeerIo& io) { command = as_string(take(io)); });
        EXPECT_EQ(ecr_command("127.0.0.1", "", request, nullptr, 0), 0);
        sent_by_client();
        EXPECT_EQ(command, text);
    }
}

TEST_F(CommandTest, AFailedCommandLeavesNoFileBehind) {
    start([&](PeerIo& io) {
        io.recv();
        io.send(tftp_error(2, "refused"));
    });
    EXPECT_EQ(ecr_command("127.0.0.1", "", 1, nullptr, 0), ERR_TRANSFER_FAILED);
    sent_by_client();

    start([&](PeerIo& io) {
        take(io, false);
        io.recv();
        io.send(tftp_error(1, "no answer file"));
    });
    char rsp[32];
    EXPECT_EQ(ecr_command("127.0.0.1", "", 0, rsp, sizeof rsp), ERR_TRANSFER_FAILED);
    sent_by_client();
}

TEST_F(CommandTest, GetAndPutOfRegisterFiles) {
    const Bytes table = pattern_bytes(1500, 8);
    start([&](PeerIo& io) { serve(io, table); });
    EXPECT_EQ(ecr_command("127.0.0.1", path("reparti.bin").c_str(), 7, nullptr, 0), 0);
    EXPECT_EQ(sent_by_client().front(), "RRQ reparti.bin octet");
    EXPECT_TRUE(same_bytes(read_file(path("reparti.bin")), as_string(table)));

    // A put of plu.bin passes the list check but is not PLU.BIN: no wait follows.
    write_file(path("plu.bin"), "articles");
    Bytes got;
    start([&](PeerIo& io) {
        got = take(io);
        io.recv(300);
    });
    EXPECT_EQ(ecr_command("127.0.0.1", path("plu.bin").c_str(), 6, nullptr, 0), 0);
    EXPECT_EQ(sent_by_client(), (Lines{"WRQ plu.bin octet", "DATA 1 8"}));
    EXPECT_EQ(as_string(got), "articles");
}

}  // namespace
}  // namespace veltra::test

namespace veltra::test {
namespace {

// The INFO exchange of many callers at once keeps its files in the caller's
// folder, never in the shared temporary one, and leaves none behind.
TEST_F(CommandTest, QueryInfoWorksInTheCallersFolderAndReadsOneLine) {
    TempDir own;
    std::string command;
    start([&](PeerIo& io) {
        answer_info(io, "VERSIONE=V5.02,MATRICOLA=X1\r\nsecond line", &command);
    });
    std::string answer;
    EXPECT_EQ(ecr_query_info(register_, own.path().string(), sys::monotonic_ms() + 5000, answer),
              0);
    sent_by_client();
    EXPECT_EQ(command, "INFO");
    EXPECT_EQ(answer, "VERSIONE=V5.02,MATRICOLA=X1\r\n");
    EXPECT_TRUE(std::filesystem::is_empty(own.path()));

    // A register that refuses the answer file: the failure, an empty answer.
    start([&](PeerIo& io) {
        take(io, false);
        io.recv();
        io.send(tftp_error(1, "no answer file"));
    });
    answer = "stale";
    EXPECT_EQ(ecr_query_info(register_, own.path().string(), sys::monotonic_ms() + 5000, answer),
              ERR_TRANSFER_FAILED);
    sent_by_client();
    EXPECT_EQ(answer, "");
    EXPECT_TRUE(std::filesystem::is_empty(own.path()));
}

}  // namespace
}  // namespace veltra::test
