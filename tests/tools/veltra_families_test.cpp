// The veltra tool's sales, release, backup, line and serial commands against
// ecrsim (and a pseudo-terminal peer for the serial line): output, files,
// exit status, --json, refusals that leave the register as it was, and
// progress only on a terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "backup/archive.hpp"
#include "failure.hpp"
#include "gzip_file.hpp"
#include "net/transfer_observer.hpp"
#include "progress.hpp"
#include "register_files.hpp"
#include "releases.hpp"
#include "sales.hpp"
#include "tool_fixture.hpp"
#include "veltra.h"

#ifndef _WIN32
#include "pty_peer.hpp"
#endif

namespace veltra::test {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

constexpr std::uint32_t kDay = 86400;
constexpr std::uint32_t k01032024 = 1709251200;

Lines folder(const fs::path& dir) {
    Lines names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// --- help and usage ------------------------------------------------------------

struct HelpCase {
    Lines path;
    std::string calls;
};
void PrintTo(const HelpCase& c, std::ostream* os) {
    *os << words_name(c.path);
}

class FamilyHelp : public ::testing::TestWithParam<HelpCase> {};

TEST_P(FamilyHelp, NamesTheFunctionAndAnExample) {
    Lines args = GetParam().path;
    args.push_back("--help");
    const ToolRun r = run_tool(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(GetParam().calls), std::string::npos) << r.out;
    std::string words;
    for (const std::string& w : GetParam().path) words += (words.empty() ? "" : " ") + w;
    const std::size_t example = r.out.find("Example: veltra ");
    ASSERT_NE(example, std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" " + words, example), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Tool, FamilyHelp,
    ::testing::Values(HelpCase{{"sales"}, "[ecr_recv_vend_corrente]"},
                      HelpCase{{"sales", "today"}, "Calls: ecr_recv_vend_corrente"},
                      HelpCase{{"sales", "range"}, "Calls: ecr_oro_check, ecr_recv_vend_storico"},
                      HelpCase{{"release", "info"}, "Calls: ecr_rel_info_file"},
                      HelpCase{{"release", "show"}, "Calls: ecr_rel_info_cassa"},
                      HelpCase{{"release", "update"}, "ecr_rel_update"},
                      HelpCase{{"backup", "save"}, "Calls: ecr_dati_save"},
                      HelpCase{{"backup", "restore"}, "ecr_dati_restore"},
                      HelpCase{{"backup", "extract"}, "Calls: ecr_dati_extract"},
                      HelpCase{{"backup", "info"}, "Calls: ecr_dati_info"},
                      HelpCase{{"line", "send"}, "ecr_send_xonxoff_ntw"},
                      HelpCase{{"line", "file"}, "ecr_file_xonxoff_ntw"},
                      HelpCase{{"line", "recv"}, "ecr_recv_xonxoff_ntw"},
                      HelpCase{{"serial", "list"}, "Calls: ecr_enum_port_ser"},
                      HelpCase{{"serial", "send"}, "ecr_send_xonxoff_ser"},
                      HelpCase{{"serial", "file"}, "ecr_file_xonxoff_ser"},
                      HelpCase{{"serial", "recv"}, "ecr_recv_xonxoff_ser"}),
    [](const auto& info) { return words_name(info.param.path); });

struct UsageCase {
    const char* name;
    Lines args;
    std::string usage;
    std::string message;
};
void PrintTo(const UsageCase& c, std::ostream* os) {
    *os << c.name;
}

class FamilyUsage : public ToolOnEcrsim, public ::testing::WithParamInterface<UsageCase> {};

// Refused before the register is asked anything.
TEST_P(FamilyUsage, GivesTwoAndAsksNothing) {
    Lines args = GetParam().args;
    args.push_back(path("out"));
    const ToolRun r = veltra(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\nUsage: veltra " + GetParam().usage), std::string::npos) << r.err;
    EXPECT_TRUE(commands().empty());
    EXPECT_TRUE(reg_->transcript().requests.empty());
    EXPECT_FALSE(fs::exists(path("out")));
}

INSTANTIATE_TEST_SUITE_P(
    Tool, FamilyUsage,
    ::testing::Values(
        UsageCase{"SalesFromNotADate",
                  {"sales", "range", "31/04/14", "01/05/14"},
                  "sales range",
                  "FROM is not a valid date: 31/04/14"},
        UsageCase{"SalesToNotADate",
                  {"sales", "range", "01/04/14", "29/02/15"},
                  "sales range",
                  "TO is not a valid date: 29/02/15"},
        UsageCase{"SalesToFourDigitYear",
                  {"sales", "range", "01/04/14", "1/5/2014"},
                  "sales range",
                  "TO must be DD/MM/YY"},
        UsageCase{"SalesFromAfterTo",
                  {"sales", "range", "02/04/14", "01/04/14"},
                  "sales range",
                  "FROM 02/04/14 is after TO 01/04/14"},
        UsageCase{"SerialRecvUnknownBaud",
                  {"serial", "recv", "--port", "1", "--baud", "1234", "--max"},
                  "serial recv",
                  "1234"},
        UsageCase{
            "SerialSendWithoutPort", {"serial", "send", "--baud", "9600"}, "serial send", "--port"},
        UsageCase{"SerialRecvPortAbove255",
                  {"serial", "recv", "--port", "256", "--baud", "0", "--max"},
                  "serial recv",
                  "256"},
        UsageCase{
            "LineRecvMaxZero", {"line", "recv", "--max", "0", "--seconds"}, "line recv", "--max"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- sales -----------------------------------------------------------------------

class SalesCommands : public ToolOnEcrsim {
protected:
    void archive(std::uint32_t day, int sample) {
        const auto tables = ecrsim::load_sales_tables(reg_->state_dir(), ecrsim::Layout{});
        reg_->put_file("VEND" + ecrsim::oro_ddmmyy(day) + ".DAT",
                       ecrsim::build_sales_file(ecrsim::sample_day(sample), day, tables));
    }
};

TEST_F(SalesCommands, SlowTodayWritesTheDaysFilesIntoANewFolder) {
    const std::string dir = path("vendite/oggi");
    const ToolRun r = veltra({"--json", "sales", "today", dir});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string day = ecrsim::oro_ddmmyy(ecrsim::oro_midnight(ecrsim::oro_now()));
    const Lines files = {"VEND_PLU_" + day + ".CSV", "VEND_REP_" + day + ".CSV"};
    EXPECT_EQ(folder(dir), files);
    const ToolJson j = r.json();
    EXPECT_EQ(j["function"], "ecr_recv_vend_corrente");
    EXPECT_EQ(j["count"], 1);
    EXPECT_EQ(j["files"], ToolJson(files));
    EXPECT_GT(count_lines(dir + "/" + files[1]), 1u);

    reg_->set_sales({});
    const ToolRun none = veltra({"sales", "today", dir});
    ASSERT_EQ(none.status, 0) << none.err;
    EXPECT_EQ(none.out, "no sales today: nothing written to " + dir + "\n");
    EXPECT_TRUE(folder(dir).empty()) << "the earlier day's files are cleared";
}

struct RangeCase {
    const char* name;
    bool err_terminal;
    bool bar;
};
void PrintTo(const RangeCase& c, std::ostream* os) {
    *os << c.name;
}

class SalesRange : public SalesCommands, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(SalesRange, ConvertsTheArchivedDaysWithDaysProgressOnATerminal) {
    archive(k01032024, 1);
    archive(k01032024 + 2 * kDay, 2);
    const ToolRun r = veltra({"--json", "sales", "range", "01/03/24", "03/03/24", path("r")},
                             Terminal{false, GetParam().err_terminal, ""});
    ASSERT_EQ(r.status, 0) << r.err;
    const ToolJson j = r.json();
    EXPECT_EQ(j["function"], "ecr_recv_vend_storico");
    EXPECT_EQ(j["count"], 2);
    EXPECT_EQ(j["files"], ToolJson(Lines{"VEND_PLU_010324.CSV", "VEND_PLU_030324.CSV",
                                         "VEND_REP_010324.CSV", "VEND_REP_030324.CSV"}));
    EXPECT_EQ(folder(path("r")), j["files"].get<Lines>());
    if (GetParam().bar) {
        EXPECT_NE(r.err.find("\rdays ["), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("100%  3/3 days"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.back(), '\n');
    } else {
        EXPECT_EQ(r.err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Tool, SalesRange,
                         ::testing::Values(RangeCase{"BarOnATerminal", true, true},
                                           RangeCase{"NoTerminal", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Tool, StepLineShowsDoneOfTotalAndTimeLeft) {
    EXPECT_EQ(tool::step_line("days", 10, 40, 5.0),
              "days [######..................]  25%  10/40 days  0:15 left");
    EXPECT_EQ(tool::step_line("days", 40, 40, 61.0),
              "days [########################] 100%  40/40 days  1:01 total");
}

// A file of whole blocks ends with an empty block, which reports the
// finished size again: the bar ends once, at the transfer's own rate.
TEST(Tool, AClosingEmptyBlockDoesNotRedrawAFinishedBar) {
    std::ostringstream out, err;
    std::istringstream in;
    Io io{out, err, in, false, true};
    tool::Context ctx(io);
    const std::int64_t size = tool::expected_size("PLU.BIN");
    ASSERT_GT(size, tool::kProgressMinBytes);
    {
        tool::ProgressBar bar(ctx);
        notify_transfer({"/tmp/PLU.BIN", false, 0, -1});
        std::this_thread::sleep_for(20ms);
        notify_transfer({"/tmp/PLU.BIN", false, size, -1});
        notify_transfer({"/tmp/PLU.BIN", false, size, -1});
    }
    const std::string drawn = err.str();
    EXPECT_EQ(drawn.find("100%"), drawn.rfind("100%")) << drawn;
    EXPECT_EQ(drawn.substr(drawn.rfind('\r')).find(" 0.0 MB/s"), std::string::npos) << drawn;
    EXPECT_EQ(drawn.back(), '\n');
}

TEST_F(SalesCommands, SlowTheSummarysErrorFlagIsTheLibrarysFailure) {
    reg_->set_sales_error(true);
    const ToolRun r = veltra({"sales", "today", path("r")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "veltra: ecr_recv_vend_corrente: ERR_REG_IN_ERRORE (-" +
                         std::to_string(-ERR_REG_IN_ERRORE) +
                         "): " + tool::result_meaning(ERR_REG_IN_ERRORE) +
                         " (clear the error on the register first)\n");
    EXPECT_TRUE(folder(path("r")).empty());
}

// --- releases --------------------------------------------------------------------

class ReleaseCommands : public ToolOnEcrsim {
protected:
    std::string release(const std::string& text) {
        ecrsim::ReleaseFields f;
        f.text = text;
        const ecrsim::Bytes image = ecrsim::build_release(f);
        const std::string file = path(text.substr(0, text.find(' ')) + ".rel");
        write_file(file, std::string(image.begin(), image.end()));
        return file;
    }
    std::string running() const {
        const Lines v = reg_->info_values();
        return v[21] + " " + v[0];
    }
};

TEST_F(ReleaseCommands, InfoOfAFileAndOfTheRegister) {
    const std::string file = release("ELT5 V5.09");
    ToolRun r = veltra({"--json", "release", "info", file});
    ASSERT_EQ(r.status, 0) << r.err;
    ToolJson j = r.json();
    EXPECT_EQ(j["name"], "ELT5");
    EXPECT_EQ(j["version"], "V5.09");
    EXPECT_EQ(j["bitmap"], "L");
    EXPECT_EQ(veltra({"release", "info", file}).out, file + ": release ELT5 V5.09, bitmap L\n");

    write_file(path("broken.rel"), "not a release");
    r = veltra({"release", "info", path("broken.rel")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("veltra: ecr_rel_info_file: ECR_ERR_REL_FILE_NOT_VALID (-", 0), 0u)
        << r.err;

    r = veltra({"release", "show", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    j = r.json();
    EXPECT_EQ(j["function"], "ecr_rel_info_cassa");
    EXPECT_EQ(j["name"].get<std::string>() + " " + j["version"].get<std::string>(), running());
    EXPECT_EQ(j["updatable"], true);
    EXPECT_EQ(j["host"], "127.0.0.1");
}

TEST_F(ReleaseCommands, UpdateWithoutYesOffATerminalRefusesAndSendsNothing) {
    const std::string before = running();
    const ToolRun r = veltra({"release", "update", release("ELT5 V5.09")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("release update needs --yes when not run from a terminal"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(put_names().empty());
    EXPECT_FALSE(reg_->setup_mode());
    EXPECT_EQ(running(), before);
}

TEST_F(ReleaseCommands, UpdateInstallsWithProgressAndLeavesSetupMode) {
    const std::string file = release("ELT5 V5.09");
    const ToolRun r =
        veltra({"--json", "release", "update", file, "--yes"}, Terminal{false, true, ""});
    ASSERT_EQ(r.status, 0) << r.err;
    const ToolJson j = r.json();
    EXPECT_EQ(j["function"], "ecr_rel_update");
    EXPECT_EQ(j["uploaded"], true);
    EXPECT_EQ(j["register"]["name"], "ELT5");
    EXPECT_EQ(put_names(), Lines{"ELT5.BIN"});
    EXPECT_NE(r.err.find("\rELT5.BIN ["), std::string::npos) << r.err;
    EXPECT_TRUE(reg_->setup_mode());
    EXPECT_EQ(running(), "ELT5 V5.09");
}

TEST_F(ReleaseCommands, UpdateAsksOnATerminalAndAnotherReleaseIsRefused) {
    ToolRun r = veltra({"release", "update", release("ELT5 V5.09")}, Terminal{true, false, "n\n"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Install release ELT5 V5.09, bitmap L from "), std::string::npos) << r.err;
    EXPECT_TRUE(put_names().empty());

    r = veltra({"release", "update", release("ELT7 V7.01"), "--yes"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ecr_rel_update: ECR_ERR_REL_FILE_NOT_CASSA (-24)"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("(the file's release is ELT7, the register runs ELT5)"), std::string::npos)
        << r.err;
    EXPECT_TRUE(put_names().empty());
}

// --- backups ---------------------------------------------------------------------

class BackupCommands : public ToolOnEcrsim {};

TEST_F(BackupCommands, InfoAndExtractOfABadArchiveFail) {
    write_file(path("bad.bak"), "short");
    ToolRun r = veltra({"--json", "backup", "info", path("bad.bak")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.json()["name"], "ECR_ERR_DATI_FILE_NOT_VALID");
    r = veltra({"backup", "extract", path("missing.bak"), path("x")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("veltra: ecr_dati_extract: ERR_FILE_NOT_FOUND (-", 0), 0u) << r.err;
    // A restore of it is refused before the question and the register.
    r = veltra({"backup", "restore", path("bad.bak"), "--yes"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("veltra: ecr_dati_info: ECR_ERR_DATI_FILE_NOT_VALID (-", 0), 0u) << r.err;
    EXPECT_TRUE(commands().empty());
}

// A gzip file that gives no whole archive is refused by every command, with
// its reason, before the library or the register sees any of it.
TEST_F(BackupCommands, DamagedOrOversizedGzipArchivesAreRefused) {
    write_file(path("big"), std::string(kArchiveSize + 1, '\0'));
    tool::gzip_file(path("big"), path("big.gz"));
    write_file(path("small"), "short");
    tool::gzip_file(path("small"), path("small.gz"));
    const std::string gz = read_file(path("small.gz"));
    write_file(path("cut.gz"), gz.substr(0, gz.size() - 3));

    struct Case {
        const char* file;
        const char* error;
    };
    const Case cases[] = {
        {"big.gz", ": it inflates to more than 7059616 bytes"},
        {"cut.gz", ": the gzip data ends early"},
        {"small.gz", "ecr_dati_info: ECR_ERR_DATI_FILE_NOT_VALID (-"},
    };
    for (const Case& c : cases) {
        for (const Lines& words : {Lines{"backup", "info"}, Lines{"backup", "restore"}}) {
            SCOPED_TRACE(std::string(c.file) + " " + words[1]);
            Lines args = words;
            args.push_back(path(c.file));
            if (words[1] == "restore") args.push_back("--yes");
            const ToolRun r = veltra(args);
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
        }
        SCOPED_TRACE(c.file);
        const ToolRun r = veltra({"--json", "backup", "extract", path(c.file), path("x")});
        EXPECT_EQ(r.status, 1);
        EXPECT_FALSE(fs::exists(path("x/PLU.BIN")));
    }
    EXPECT_TRUE(commands().empty());
    EXPECT_TRUE(put_names().empty());
}

// Save, inspect, extract, refuse a restore without --yes, then restore.
TEST_F(BackupCommands, SlowRoundTrip) {
    const std::string bak = path("cassa.bak");
    ToolRun r = veltra({"--json", "backup", "save", bak}, Terminal{false, true, ""});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.json()["size"], 7059616);
    EXPECT_NE(r.err.find("\rPLU.BIN ["), std::string::npos) << r.err;
    const ecrsim::Bytes saved = *reg_->file("REPARTI.BIN");

    r = veltra({"--json", "backup", "info", bak});
    ASSERT_EQ(r.status, 0) << r.err;
    ToolJson j = r.json();
    const Lines values = reg_->info_values();
    EXPECT_EQ(j["version"], values[0]);
    EXPECT_EQ(j["bitmap"], values[1]);
    EXPECT_EQ(j["release_name"], values[21]);
    EXPECT_EQ(j["generation"], 2);
    ASSERT_GE(j["info"].size(), 22u);
    EXPECT_EQ(j["info"][2]["value"], values[2]);

    r = veltra({"--json", "backup", "extract", bak, path("files")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.json()["files"].size(), 15u);
    EXPECT_EQ(folder(path("files")).size(), 15u);
    EXPECT_EQ(count_lines(path("files/REPARTI.CSV")), 81u);
    EXPECT_EQ(read_file(path("files/REPARTI.BIN")), std::string(saved.begin(), saved.end()));

    // The register's departments change after the save.
    ecrsim::Bytes changed = saved;
    changed[10] = static_cast<std::uint8_t>(changed[10] ^ 0x20);
    reg_->put_file("REPARTI.BIN", changed);
    reg_->clear_transcript();
    r = veltra({"backup", "restore", bak});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("backup restore needs --yes"), std::string::npos) << r.err;
    EXPECT_TRUE(put_names().empty());
    EXPECT_EQ(*reg_->file("REPARTI.BIN"), changed);

    r = veltra({"--json", "backup", "restore", bak, "--yes"}, Terminal{false, true, ""});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.json()["restored"], true);
    EXPECT_NE(r.err.find("\rPLU.BIN ["), std::string::npos) << r.err;
    EXPECT_EQ(put_names().size(), 12u);
    EXPECT_EQ(*reg_->file("REPARTI.BIN"), saved);
    EXPECT_FALSE(reg_->setup_mode());

    // The same archive as gzip, under a name that does not say so: the
    // first bytes tell, and every command reads it as the plain one.
    const std::string gz = path("cassa.bak2");
    tool::gzip_file(bak, gz);
    const ToolRun plain_info = veltra({"--json", "backup", "info", bak});
    r = veltra({"--json", "backup", "info", gz});
    ASSERT_EQ(r.status, 0) << r.err;
    ToolJson gz_info = r.json();
    EXPECT_EQ(gz_info["file"], gz);
    gz_info["file"] = bak;
    EXPECT_EQ(gz_info.dump(), plain_info.json().dump());
    r = veltra({"--json", "backup", "extract", gz, path("gz-files")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(folder(path("gz-files")), folder(path("files")));
    EXPECT_EQ(read_file(path("gz-files/PLU.BIN")), read_file(path("files/PLU.BIN")));

    reg_->put_file("REPARTI.BIN", changed);
    reg_->clear_transcript();
    r = veltra({"--json", "backup", "restore", gz, "--yes"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.json()["restored"], true);
    EXPECT_EQ(put_names().size(), 12u);
    EXPECT_EQ(*reg_->file("REPARTI.BIN"), saved);
}

// --- the line channel -----------------------------------------------------------

class LineCommands : public ToolOnEcrsim {
protected:
    std::string line_bytes() const {
        const auto t = reg_->transcript();
        const auto it = t.tcp_bytes.find(reg_->line_port());
        return it == t.tcp_bytes.end() ? "" : it->second;
    }
};

TEST_F(LineCommands, SendAndFileReachTheRegister) {
    ToolRun r = veltra({"line", "send", "=K/PRINT"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "8 bytes sent to 127.0.0.1\n");
    EXPECT_EQ(line_bytes(), "=K/PRINT");
    write_file(path("text.txt"), "=C1/TEXT");
    r = veltra({"--json", "line", "file", path("text.txt")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.json()["function"], "ecr_file_xonxoff_ntw");
    EXPECT_EQ(r.json()["bytes"], 8);
    EXPECT_EQ(line_bytes(), "=K/PRINT=C1/TEXT");
    r = veltra({"line", "file", path("none.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("veltra: ecr_file_xonxoff_ntw: ERR_FILE_NOT_FOUND (-", 0), 0u) << r.err;
}

TEST_F(LineCommands, RecvPrintsTheBytesAsTheyCame) {
    // The register sends once the tool's connection is there.
    auto run = std::async(std::launch::async, [this] {
        return veltra({"--json", "line", "recv", "--max", "64", "--seconds", "10"});
    });
    ASSERT_TRUE(reg_->wait_for(
        [](const ecrsim::Transcript& t) {
            return std::any_of(t.lines.begin(), t.lines.end(), [](const std::string& l) {
                return l.find("line: connection from") != std::string::npos;
            });
        },
        10s));
    reg_->send_line_data("OK\x01\xe9");
    const ToolRun r = run.get();
    ASSERT_EQ(r.status, 0) << r.err;
    const ToolJson j = r.json();
    EXPECT_EQ(j["count"], 4);
    EXPECT_EQ(j["hex"], "4f4b01e9");
    EXPECT_EQ(j["text"], "OK\x01\xc3\xa9");
}

TEST_F(LineCommands, AClosedLinePortFailsTheConnectWithItsHint) {
    EnvVar closed("ECR_LINE_PORT", "1");
    const ToolRun r = veltra({"line", "send", "X"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "veltra: ecr_conn_xonxoff_ntw: ERR_CONNECT_FAILED (-16): connection failed (does "
              "the register at 127.0.0.1 answer on its line port? ECR_LINE_PORT is 1)\n");
}

// --- the serial line ---------------------------------------------------------------

#ifdef _WIN32
#define VELTRA_NEEDS_PTY() \
    GTEST_SKIP() << "the serial peer is a POSIX pseudo-terminal; under Wine see serial_under_wine"
#else
#define VELTRA_NEEDS_PTY() \
    do {                   \
    } while (false)
#endif

class SerialCommands : public ::testing::Test {
protected:
    // Every port names an absent device but the ones a test attaches.
    void SetUp() override {
        for (int n = 1; n <= 255; ++n) {
            com_.push_back(std::make_unique<EnvVar>(("ECR_COM" + std::to_string(n)).c_str(),
                                                    work_.file("absent" + std::to_string(n))));
        }
    }
    void attach(int port, const std::string& device) {
        // The absent one goes first: its end restores the variable.
        auto& slot = com_[static_cast<std::size_t>(port - 1)];
        slot.reset();
        slot = std::make_unique<EnvVar>(("ECR_COM" + std::to_string(port)).c_str(), device);
    }
    TempDir work_;
    std::vector<std::unique_ptr<EnvVar>> com_;
};

TEST_F(SerialCommands, ListAndAnAbsentPort) {
    VELTRA_NEEDS_PTY();
    ToolRun r = run_tool({"--json", "serial", "list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.json()["ports"], ToolJson::array());
    EXPECT_EQ(run_tool({"serial", "list"}).out, "no serial ports\n");
#ifndef _WIN32
    PtyPeer two, five;
    attach(2, two.path());
    attach(5, five.path());
    r = run_tool({"--json", "serial", "list"});
    EXPECT_EQ(r.json()["ports"], ToolJson({2, 5}));
    EXPECT_EQ(r.json()["count"], 2);
#endif
    r = run_tool({"serial", "send", "X", "--port", "3", "--baud", "9600"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("veltra: ecr_conn_xonxoff_ser: ECR_ERR_PORT_NOT_VALID (-", 0), 0u)
        << r.err;
    EXPECT_NE(r.err.find("ECR_COM3 names the device of COM3"), std::string::npos) << r.err;
}

#ifndef _WIN32
struct SerialSendCase {
    const char* name;
    Lines args;  // after "serial"
    bool echo;
    std::string received;
};
void PrintTo(const SerialSendCase& c, std::ostream* os) {
    *os << c.name;
}

class SerialSend : public SerialCommands, public ::testing::WithParamInterface<SerialSendCase> {};

TEST_P(SerialSend, TheTextReachesThePeer) {
    write_file(work_.file("keys.txt"), "=K/FILE");
    const std::size_t n = GetParam().received.size();
    PtyPeer peer([echo = GetParam().echo, n](PtyIo& io) {
        if (echo) {
            io.echo_until_stopped();
        } else {
            io.read(n);
        }
    });
    attach(4, peer.path());
    Lines args = {"--json", "serial"};
    for (const std::string& a : GetParam().args)
        args.push_back(a == "FILE" ? work_.file("keys.txt") : a);
    const ToolRun r = run_tool(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const ToolJson j = r.json();
    EXPECT_EQ(j["port"], 4);
    EXPECT_EQ(j["baud"], 19200);
    EXPECT_EQ(j["echo"], GetParam().echo);
    EXPECT_EQ(j["bytes"], GetParam().received.size());
    EXPECT_EQ(peer.finish(), GetParam().received);
}

INSTANTIATE_TEST_SUITE_P(
    Tool, SerialSend,
    ::testing::Values(
        SerialSendCase{
            "Send", {"send", "=K/PRINT", "--port", "4", "--baud", "2"}, false, "=K/PRINT"},
        SerialSendCase{
            "SendWithEcho", {"send", "=K", "--port", "4", "--baud", "19200", "--echo"}, true, "=K"},
        SerialSendCase{
            "File", {"file", "FILE", "--port", "4", "--baud", "19200"}, false, "=K/FILE"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SerialCommands, RecvPrintsWhatThePeerSends) {
    VELTRA_NEEDS_PTY();
    // Connecting drops input, and the tool sends nothing first: the peer
    // repeats itself until the tool has read.
    PtyPeer peer([](PtyIo& io) {
        while (!io.stopping()) {
            io.write("HELLO");
            std::this_thread::sleep_for(200ms);
        }
    });
    attach(6, peer.path());
    const ToolRun r = run_tool({"serial", "recv", "--port", "6", "--baud", "9600", "--max", "5"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "HELLO");
}
#endif

// --- the program on a real terminal ------------------------------------------------

#ifndef _WIN32
int shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(SalesCommands, ProgramDrawsTheDaysOnlyOnARealTerminal) {
    archive(k01032024, 1);
    const std::string veltra = std::string(VELTRA_TOOL_PROGRAM) +
                               " --host 127.0.0.1 sales range 28/02/24 02/03/24 " + path("r");
    EXPECT_EQ(shell(veltra + " >" + path("out.txt") + " 2>" + path("err.txt")), 0);
    EXPECT_EQ(read_file(path("err.txt")), "");
    EXPECT_EQ(read_file(path("out.txt")).rfind("1 day of sales from 28/02/24 to 02/03/24", 0), 0u);
    EXPECT_EQ(
        shell("script -qec '" + veltra + "' /dev/null >" + path("tty.txt") + " 2>&1 </dev/null"),
        0);
    const std::string tty = read_file(path("tty.txt"));
    EXPECT_NE(tty.find("days ["), std::string::npos) << tty;
    EXPECT_NE(tty.find("4/4 days"), std::string::npos) << tty;
    // A date the register's clock refuses is exit status 2 from the program too.
    EXPECT_EQ(shell(std::string(VELTRA_TOOL_PROGRAM) + " sales range 31/04/14 01/05/14 " +
                    path("x") + " 2>/dev/null"),
              2);
}
#endif

}  // namespace
}  // namespace veltra::test
