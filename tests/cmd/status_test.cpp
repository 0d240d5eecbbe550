// ecr_get_info, ecr_get_status and ecr_get_status_new on INFO answers from a
// scripted register.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cmd/info_vars.hpp"
#include "tftp_test_util.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

// An INFO line of `fields` fields, NAMEk=value, with the given values.
std::string info_line(const std::map<int, std::string>& values, int fields = 22) {
    std::string line;
    for (int i = 0; i < fields; ++i) {
        if (i) line += ",";
        auto it = values.find(i);
        line += veltra::test::cat("N", i, "=", it != values.end() ? it->second : std::string("0"));
    }
    return line;
}

void answer_info(PeerIo& io, const std::string& answer) {
    take(io, false);
    serve(io, Bytes(answer.begin(), answer.end()));
}

struct StatusCase {
    std::string name;
    std::string answer;
    std::int32_t status;
    std::int32_t hst_conn;
    std::int32_t sco_fis;
    std::string stato;
    std::string conn_letter;
};

class StatusTest : public TftpTest {};

TEST_F(StatusTest, StatusAndLettersFromTheInfoEntries) {
    const StatusCase cases[] = {
        {"setup mode", info_line({{14, "0"}, {9, "1"}, {10, "I"}}), ERR_REG_NON_DISP, 0, 0, "S",
         "N"},
        {"error state", info_line({{14, "0"}, {9, "0"}, {10, "I"}}), ERR_REG_IN_ERRORE, 0, 0, "E",
         "N"},
        {"free", info_line({{14, "1"}, {10, "I"}}), 0, 0, 0, "I", "N"},
        {"receipt open", info_line({{14, "1"}, {10, "VENDITA"}}), 0, 0, 1, "V", "N"},
        {"command running", info_line({{14, "1"}, {19, "2"}, {10, "V"}}), ERR_REG_NON_DISP, 0, 0,
         "C", "N"},
        {"other letter", info_line({{14, "1"}, {10, "Z"}}), ERR_REG_NON_DISP, 0, 0, "Z", "N"},
        {"host connected", info_line({{14, "1"}, {10, "I"}, {15, "3"}}), 0, 3, 0, "I", "S"},
        {"no state letter", info_line({{14, "1"}, {10, ""}}), ERR_REG_NON_DISP, 0, 0, "", "N"},
        // Entry 14 missing reads 0: entry 9 decides.
        {"14 fields, setup", info_line({{9, "1"}, {10, "I"}}, 14), ERR_REG_NON_DISP, 0, 0, "S",
         "N"},
        {"9 fields", info_line({{0, "V2"}}, 9), ERR_REG_IN_ERRORE, 0, 0, "E", "N"},
    };
    for (const StatusCase& c : cases) {
        std::int32_t hst_conn = -1, sco_fis = -1;
        start([&](PeerIo& io) { answer_info(io, c.answer); });
        EXPECT_EQ(ecr_get_status("127.0.0.1", &hst_conn, &sco_fis), c.status) << c.name;
        sent_by_client();
        EXPECT_EQ(hst_conn, c.hst_conn) << c.name;
        EXPECT_EQ(sco_fis, c.sco_fis) << c.name;

        char stato[2] = {'#', '#'}, conn[2] = {'#', '#'};
        start([&](PeerIo& io) { answer_info(io, c.answer); });
        EXPECT_EQ(ecr_get_status_new("127.0.0.1", stato, conn), 0) << c.name;
        sent_by_client();
        EXPECT_EQ(std::string(stato, 1).c_str(), c.stato) << c.name;
        EXPECT_EQ(stato[1], '\0') << c.name;
        EXPECT_EQ(std::string(conn), c.conn_letter) << c.name;
    }
}

TEST_F(StatusTest, StatusArgumentsMayBeLeftOut) {
    start([&](PeerIo& io) { answer_info(io, info_line({{14, "1"}, {10, "V"}})); });
    EXPECT_EQ(ecr_get_status("127.0.0.1", nullptr, nullptr), 0);
    sent_by_client();
    EXPECT_TRUE(trace_has("ecr_get_status -- end  : esito='0' hst_conn='0' sco_fis='1'"));
}

TEST_F(StatusTest, FailuresLeaveTheOutputsCleared) {
    std::int32_t hst_conn = 5, sco_fis = 5;
    EXPECT_EQ(ecr_get_status("0.0.0.0", &hst_conn, &sco_fis), ERR_INVALID_IP_ADDRESS);
    EXPECT_EQ(hst_conn, 0);
    EXPECT_EQ(sco_fis, 0);
    char stato[2] = {'#', '#'}, conn[2] = {'#', '#'};
    start([&](PeerIo& io) {
        take(io, false);
        io.recv();
        io.send(tftp_error(1, "none"));
    });
    EXPECT_EQ(ecr_get_status_new("127.0.0.1", stato, conn), ERR_TRANSFER_FAILED);
    sent_by_client();
    EXPECT_EQ(stato[0], '\0');
    EXPECT_EQ(stato[1], '\0');
    EXPECT_EQ(conn[0], '\0');
}

TEST_F(StatusTest, GetInfoFillsTheListOnlyWithBothBuffers) {
    const std::string answer = info_line({{0, "V2.10"}, {21, "REL"}}, 25);
    char org[513], mod[513];
    char* vars[kInfoVars];
    start([&](PeerIo& io) { answer_info(io, answer); });
    EXPECT_EQ(ecr_get_info("127.0.0.1", org, mod, vars), 0);
    sent_by_client();
    EXPECT_EQ(std::string(org), answer);
    EXPECT_STREQ(vars[0], "V2.10");
    EXPECT_STREQ(vars[21], "REL");
    EXPECT_GE(vars[0], mod);
    EXPECT_LT(vars[0], mod + sizeof mod);

    // info_mod given, var_list not: only info_org is filled.
    std::strcpy(mod, "stale");
    start([&](PeerIo& io) { answer_info(io, answer); });
    EXPECT_EQ(ecr_get_info("127.0.0.1", org, mod, nullptr), 0);
    sent_by_client();
    EXPECT_EQ(std::string(org), answer);
    EXPECT_STREQ(mod, "");

    EXPECT_EQ(ecr_get_info("127.0.0.1", nullptr, mod, vars), ECR_ERR_PARAMETRI);
}

TEST_F(StatusTest, EmptyEntriesPointIntoTheCallersBuffer) {
    // Entry 1 has no "=", entries 2 to 21 are missing; a host that does not
    // resolve leaves all 22 empty. Every empty entry must lie inside the
    // caller's info_mod, so writing through one changes nothing of the library's.
    struct Case {
        const char* host;
        std::size_t first_empty;
    };
    for (const Case c : {Case{"127.0.0.1", 1}, Case{"256.1.1.1", 0}}) {
        char org[513], mod[513];
        char* vars[kInfoVars];
        const bool answers = c.first_empty == 1;
        if (answers) start([&](PeerIo& io) { answer_info(io, "A=1,B"); });
        ecr_get_info(c.host, org, mod, vars);
        if (answers) sent_by_client();
        for (std::size_t i = c.first_empty; i < kInfoVars; ++i) {
            EXPECT_GE(vars[i], mod) << c.host << " entry " << i;
            EXPECT_LT(vars[i], mod + sizeof mod) << c.host << " entry " << i;
            EXPECT_STREQ(vars[i], "") << c.host << " entry " << i;
        }
    }
}

TEST_F(StatusTest, ALongAnswerIsCutToTheBuffer) {
    const std::string answer = "A=" + std::string(700, 'x');
    char org[513 + 8];
    std::memset(org, '#', sizeof org);
    char mod[513];
    char* vars[kInfoVars];
    start([&](PeerIo& io) { answer_info(io, answer); });
    EXPECT_EQ(ecr_get_info("127.0.0.1", org, mod, vars), 0);
    sent_by_client();
    EXPECT_EQ(std::strlen(org), 511u);
    for (std::size_t i = 513; i < sizeof org; ++i) EXPECT_EQ(org[i], '#');
    EXPECT_EQ(std::strlen(vars[0]), 509u);
}

}  // namespace
}  // namespace veltra::test
