// Setup-mode framing of table transfers: the exact sequence of commands and
// transfers the register sees in each case, played by a small scripted
// register that keeps only its setup mode.
#include "cmd/setup_mode.hpp"

#include <set>
#include <string>
#include <vector>

#include "cmd/command_exchange.hpp"
#include "tftp_test_util.hpp"
#include "veltra.h"

namespace veltra::test {
namespace {

using Lines = std::vector<std::string>;

// The register's behaviour for one test.
struct Behaviour {
    bool setup = false;        // in setup mode at the start
    std::string letter = "I";  // state letter outside setup mode
    std::string host = "0";    // host connection entry
    std::string busy = "0";
    std::set<std::string> refused;  // commands or file names refused with an ERROR
    Bytes table = pattern_bytes(700, 3);
};

// Serves requests until the client is quiet; events: "INFO", "SETUP 1",
// "put NAME", "get NAME", prefixed "refused " when refused.
void play_register(PeerIo& io, Behaviour b, Lines& events) {
    while (auto request = io.recv(400)) {
        const std::string text = describe(*request);
        const bool write = tftp_opcode(*request) == 2;
        const std::string name = text.substr(4, text.find(' ', 4) - 4);
        if (write && name == "COMMAND.TXT") {
            io.send(tftp_ack(0));
            auto data = io.recv();
            const std::string command = data ? as_string(tftp_payload(*data)) : "";
            if (b.refused.count(command)) {
                io.send(tftp_error(2, "refused"));
                events.push_back("refused " + command);
                continue;
            }
            io.send(tftp_ack(1));
            events.push_back(command);
            if (command == "SETUP 1") b.setup = true;
            if (command == "SETUP 0") b.setup = false;
        } else if (!write && name == "RESPONSE.TXT") {
            std::string info;
            for (int i = 0; i < 22; ++i) {
                std::string v = "0";
                if (i == 9) v = b.setup ? "1" : "0";
                if (i == 14) v = b.setup ? "0" : "1";
                if (i == 10) v = b.letter;
                if (i == 15) v = b.host;
                if (i == 19) v = b.busy;
                info += veltra::test::cat(i ? "," : "", "N", i, "=", v);
            }
            io.send(tftp_data(1, Bytes(info.begin(), info.end())));
            io.recv();
            io.recv(50);
        } else if (b.refused.count(name)) {
            // A refused write is an access violation, a refused read a missing file.
            io.send(tftp_error(write ? 2 : 1, "refused"));
            events.push_back("refused " + name);
        } else if (write) {
            io.send(tftp_ack(0));
            for (;;) {
                auto data = io.recv();
                if (!data) break;
                io.send(tftp_ack(tftp_block(*data)));
                if (tftp_payload(*data).size() < 512) break;
            }
            events.push_back("put " + name);
        } else {
            std::size_t sent = 0;
            for (std::uint16_t block = 1;; ++block) {
                const std::size_t n = std::min<std::size_t>(512, b.table.size() - sent);
                io.send(
                    tftp_data(block, Bytes(b.table.begin() + sent, b.table.begin() + sent + n)));
                io.recv();
                sent += n;
                if (n < 512) break;
            }
            io.recv(50);
            events.push_back("get " + name);
        }
    }
}

class SetupModeTest : public TftpTest {
protected:
    Lines run(Behaviour b, const std::function<void()>& call) {
        Lines events;
        start([&events, b](PeerIo& io) { play_register(io, b, events); });
        call();
        sent_by_client();
        return events;
    }
};

TEST_F(SetupModeTest, PutTableSequences) {
    write_file(path("REPARTI.BIN"), std::string(300, 'r'));
    write_file(path("README.TXT"), "x");
    const std::string reparti = path("REPARTI.BIN");
    struct Case {
        std::string name;
        Behaviour b;
        std::string file;
        std::int32_t result;
        Lines events;
    };
    Behaviour setup;
    setup.setup = true;
    Behaviour receipt;
    receipt.letter = "V";
    Behaviour busy;
    busy.busy = "1";
    Behaviour hosted;
    hosted.host = "1";
    Behaviour refuse_on;
    refuse_on.refused = {"SETUP 1"};
    Behaviour refuse_put;
    refuse_put.refused = {"REPARTI.BIN"};
    Behaviour refuse_off;
    refuse_off.refused = {"SETUP 0"};
    const Case cases[] = {
        {"free register", {}, reparti, 0, {"INFO", "SETUP 1", "put REPARTI.BIN", "SETUP 0"}},
        {"already in setup mode", setup, reparti, 0, {"INFO", "put REPARTI.BIN"}},
        {"receipt open", receipt, reparti, ERR_REG_NON_DISP, {"INFO"}},
        {"command running", busy, reparti, ERR_REG_NON_DISP, {"INFO"}},
        {"host connected", hosted, reparti, ERR_REG_NON_DISP, {"INFO"}},
        {"file not in the list", {}, path("README.TXT"), ERR_INVALID_FILENAME, {"INFO", "SETUP 1"}},
        {"SETUP 1 refused", refuse_on, reparti, ERR_TRANSFER_FAILED, {"INFO", "refused SETUP 1"}},
        {"put refused",
         refuse_put,
         reparti,
         ERR_TRANSFER_FAILED,
         {"INFO", "SETUP 1", "refused REPARTI.BIN"}},
        {"SETUP 0 refused",
         refuse_off,
         reparti,
         ERR_TRANSFER_FAILED,
         {"INFO", "SETUP 1", "put REPARTI.BIN", "refused SETUP 0"}},
    };
    for (const Case& c : cases) {
        std::int32_t result = 1;
        const Lines events = run(c.b, [&] { result = ecr_put_table("127.0.0.1", c.file.c_str()); });
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(events, c.events) << c.name;
    }
}

TEST_F(SetupModeTest, GetTableSequencesAndTheKeepFlag) {
    const std::string plu = path("PLU.BIN");
    struct Case {
        std::string name;
        bool in_setup;
        std::int32_t keep_in;
        std::int32_t keep_out;
        Lines events;
    };
    const Case cases[] = {
        {"keep 1, free", false, 1, 1, {"INFO", "SETUP 1", "get PLU.BIN", "SETUP 0"}},
        {"keep 1, in setup", true, 1, 1, {"INFO", "get PLU.BIN"}},
        {"keep 0, free", false, 0, 0, {"INFO", "SETUP 1", "get PLU.BIN"}},
        {"keep 0, in setup", true, 0, 1, {"INFO", "get PLU.BIN"}},
    };
    for (const Case& c : cases) {
        Behaviour b;
        b.setup = c.in_setup;
        std::int32_t keep = c.keep_in;
        std::int32_t result = 1;
        const Lines events =
            run(b, [&] { result = ecr_get_table("127.0.0.1", plu.c_str(), &keep); });
        EXPECT_EQ(result, 0) << c.name;
        EXPECT_EQ(keep, c.keep_out) << c.name;
        EXPECT_EQ(events, c.events) << c.name;
        EXPECT_TRUE(same_bytes(read_file(plu), as_string(b.table))) << c.name;
    }
}

TEST_F(SetupModeTest, ADownloadDoesNotFailOnAFailedSetupOff) {
    Behaviour b;
    b.refused = {"SETUP 0"};
    std::int32_t keep = 1;
    std::int32_t result = 1;
    const Lines events =
        run(b, [&] { result = ecr_get_table("127.0.0.1", path("PLU.BIN").c_str(), &keep); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(events, (Lines{"INFO", "SETUP 1", "get PLU.BIN", "refused SETUP 0"}));
}

TEST_F(SetupModeTest, AFailedDownloadLeavesSetupModeOn) {
    Behaviour b;
    b.refused = {"CLIENTI.BIN"};
    std::int32_t keep = 1;
    std::int32_t result = 1;
    const Lines events =
        run(b, [&] { result = ecr_get_table("127.0.0.1", path("CLIENTI.BIN").c_str(), &keep); });
    EXPECT_EQ(result, ERR_TRANSFER_FAILED);
    EXPECT_EQ(events, (Lines{"INFO", "SETUP 1", "refused CLIENTI.BIN"}));
}

TEST_F(SetupModeTest, WaitIdlePollsUntilTheRegisterIsFree) {
    // Busy for two readings, then free.
    Lines events;
    int readings = 0;
    start([&](PeerIo& io) {
        while (auto request = io.recv(1500)) {
            if (tftp_opcode(*request) == 2) {
                io.send(tftp_ack(0));
                auto data = io.recv();
                io.send(tftp_ack(1));
                events.push_back(as_string(tftp_payload(*data)));
            } else {
                ++readings;
                const std::string info = std::string("N0=V2,N1=L") + std::string(18, ',') +
                                         (readings < 3 ? "N19=1" : "N19=0") + ",N20=0,N21=";
                io.send(tftp_data(1, Bytes(info.begin(), info.end())));
                io.recv();
                io.recv(50);
            }
        }
    });
    EXPECT_EQ(ecr_command("127.0.0.1", "", 4, nullptr, 0), 0);
    sent_by_client();
    EXPECT_EQ(events, (Lines{"AZZFAT", "INFO", "INFO", "INFO"}));
    EXPECT_EQ(readings, 3);
}

TEST_F(SetupModeTest, WaitIdleGivesUpAtItsLimit) {
    Behaviour b;
    b.busy = "1";
    std::int32_t result = 1;
    Lines events = run(b, [&] {
        std::uint32_t addr = ipv4(127, 0, 0, 1);
        result = ecr_wait_idle(addr, 100, 350);
    });
    EXPECT_EQ(result, ERR_TIMEOUT);
    EXPECT_GE(events.size(), 3u);
    EXPECT_LE(events.size(), 5u);
}

}  // namespace
}  // namespace veltra::test
