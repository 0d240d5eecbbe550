// The sales retrievals end to end against ecrsim: sales keyed on its
// keyboard, its archived days, its summary, and what the folder holds after
// each call.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ecrsim_test.hpp"
#include "sales/sales_retrieval.hpp"
#include "sim_sockets.hpp"
#include "veltra.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace veltra::test {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

// Field k (0-based) of a CSV line.
std::string column(const std::string& line, int k) {
    std::size_t at = 0;
    for (int i = 0; i < k; ++i) at = line.find(';', at) + 1;
    return line.substr(at, line.find(';', at) - at);
}

// Wine runs each refused request about a hundred times slower than Linux or
// Windows do, too slow for a walk over the whole calendar.
bool under_wine() {
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// The day after 1/3/24 and so on: oro values of fixed days.
constexpr std::uint32_t kDay = 86400;
constexpr std::uint32_t k01032024 = 1709251200;

class SalesOnEcrsim : public EcrsimTest {
protected:
    SalesOnEcrsim() : EcrsimTest(100) {}

    std::string dir() const { return work_.path().string(); }
    Lines folder() const {
        Lines n;
        for (const auto& e : fs::directory_iterator(work_.path()))
            n.push_back(e.path().filename().string());
        std::sort(n.begin(), n.end());
        return n;
    }
    Lines gets() const { return reg_->transcript().gets; }
    std::int32_t current() { return recv_vend_corrente("127.0.0.1", dir().c_str(), 50); }
    // An archived day on the register, made from the simulator's sample sales.
    void archive(std::uint32_t day, int sample) { archive(day, day, sample); }
    // The same, with another date inside the file than the day it is named for.
    void archive(std::uint32_t day, std::uint32_t inside, int sample) {
        archive(day, inside, ecrsim::sample_day(sample));
    }
    void archive(std::uint32_t day, std::uint32_t inside, const ecrsim::SalesBook& book) {
        const auto tables = ecrsim::load_sales_tables(reg_->state_dir(), ecrsim::Layout{});
        reg_->put_file("VEND" + ecrsim::oro_ddmmyy(day) + ".DAT",
                       ecrsim::build_sales_file(book, inside, tables));
    }
    std::int32_t first_three_days() {
        return ecr_recv_vend_storico("127.0.0.1", dir().c_str(), 1, 3, 24, 3, 3, 24);
    }
    // Keys typed on the register's keyboard through its line port.
    void type(const Lines& keys) {
        ecrsim::net::Socket s = ecrsim::net::tcp_connect(
            {*ecrsim::net::parse_ipv4(reg_->address()), reg_->line_port()});
        ASSERT_TRUE(s.valid());
        for (const std::string& k : keys) {
            const std::string msg = "\"" + k + "\"202F";
            ecrsim::net::send_all(
                s, std::span(reinterpret_cast<const std::uint8_t*>(msg.data()), msg.size()));
        }
        ASSERT_TRUE(reg_->wait_for(
            [&](const ecrsim::Transcript& t) { return t.keys.size() >= keys.size(); }, 5s));
    }
};

TEST_F(SalesOnEcrsim, KeyboardSalesComeBackInTheDaysCsv) {
    reg_->set_sales({});
    // 1,25 on department 3, 0,40 twice on department 5, then the total.
    type({"01", "02", "05", "0E", "04", "00", "10", "04", "00", "10", "5C"});
    write_file(work_.file("VEND_REP_010101.CSV"), "an earlier call");
    write_file(work_.file("notes.txt"), "the caller's own");

    EXPECT_EQ(current(), 1);
    const std::string today = ecrsim::oro_ddmmyy(ecrsim::oro_midnight(ecrsim::oro_now()));
    EXPECT_EQ(folder(), (Lines{"VEND_REP_" + today + ".CSV", "notes.txt"}))
        << "no articles were sold, so there is no article file";
    const Lines rep = text_file_lines(work_.file("VEND_REP_" + today + ".CSV"));
    ASSERT_EQ(rep.size(), 3u);
    EXPECT_EQ(column(rep[1], 0), "3");
    EXPECT_EQ(column(rep[1], 14), "125");  // totale_reparto
    EXPECT_EQ(column(rep[1], 15), "1");    // totale_qt_rep
    EXPECT_EQ(column(rep[2], 0), "5");
    EXPECT_EQ(column(rep[2], 14), "80");
    EXPECT_EQ(column(rep[2], 15), "2");

    // Status, setup mode, the command, the polls while it runs, setup mode off.
    const Lines c = commands();
    ASSERT_GE(c.size(), 5u);
    EXPECT_EQ(Lines(c.begin(), c.begin() + 3), (Lines{"INFO", "SETUP 1", "VENDCORR"}));
    for (std::size_t i = 3; i + 1 < c.size(); ++i) EXPECT_EQ(c[i], "INFO");
    EXPECT_EQ(c.back(), "SETUP 0");
    const Lines g = gets();
    ASSERT_GE(g.size(), 4u);
    EXPECT_EQ(Lines(g.end() - 2, g.end()), (Lines{"ART_VENDUTI.BIN", "VENDCORR.DAT"}));
    EXPECT_FALSE(reg_->setup_mode());
    EXPECT_TRUE(temp_is_empty());
}

TEST_F(SalesOnEcrsim, ArticleSalesGiveBothFilesWithTheRegistersTotals) {
    ecrsim::SalesBook book;
    book.sell_article(7, 4, 159 * 3, 3);
    book.sell_article(1, 1, 249, 1);
    reg_->set_sales(book);
    EXPECT_EQ(current(), 1);
    const std::string today = ecrsim::oro_ddmmyy(ecrsim::oro_midnight(ecrsim::oro_now()));
    const Lines plu = text_file_lines(work_.file("VEND_PLU_" + today + ".CSV"));
    ASSERT_EQ(plu.size(), 3u);
    EXPECT_EQ(column(plu[1], 0), "1");
    EXPECT_EQ(column(plu[2], 0), "7");
    EXPECT_EQ(column(plu[2], 9), "477");  // totale_plu
    EXPECT_EQ(column(plu[2], 10), "3");   // totale_qt_plu
    const Lines rep = text_file_lines(work_.file("VEND_REP_" + today + ".CSV"));
    ASSERT_EQ(rep.size(), 3u);
    EXPECT_EQ(column(rep[2], 0), "4");
    EXPECT_EQ(column(rep[2], 14), "477");
}

TEST_F(SalesOnEcrsim, NoSalesGiveZeroAndFetchNoDayFile) {
    reg_->set_sales({});
    write_file(work_.file("VEND_PLU_010101.CSV"), "an earlier call");
    EXPECT_EQ(current(), 0);
    EXPECT_TRUE(folder().empty());
    const Lines g = gets();
    EXPECT_EQ(std::count(g.begin(), g.end(), "VENDCORR.DAT"), 0);
    EXPECT_EQ(commands().back(), "SETUP 0");
    EXPECT_TRUE(temp_is_empty());
}

TEST_F(SalesOnEcrsim, TheSummarysErrorFlagGivesRegInErroreAndKeepsSetupMode) {
    reg_->set_sales_error(true);
    write_file(work_.file("VEND_REP_010101.CSV"), "an earlier call");
    EXPECT_EQ(current(), ERR_REG_IN_ERRORE);
    EXPECT_TRUE(reg_->setup_mode()) << "the call put it there and a failure leaves it there";
    EXPECT_TRUE(folder().empty());
    EXPECT_EQ(commands().back(), "INFO") << "no SETUP 0 after a failure";
    EXPECT_TRUE(temp_is_empty());
}

TEST_F(SalesOnEcrsim, ARegisterAlreadyInSetupModeIsLeftInIt) {
    reg_->set_setup_mode(true);
    EXPECT_EQ(current(), 1);
    const Lines c = commands();
    EXPECT_EQ(std::count(c.begin(), c.end(), "SETUP 1"), 0);
    EXPECT_EQ(std::count(c.begin(), c.end(), "SETUP 0"), 0);
    EXPECT_TRUE(reg_->setup_mode());
}

TEST_F(SalesOnEcrsim, ABusyRegisterIsRefusedAndTheFolderIsCleared) {
    reg_->set_keep_busy(true);
    write_file(work_.file("VEND_REP_010101.CSV"), "an earlier call");
    EXPECT_EQ(current(), ERR_REG_NON_DISP);
    EXPECT_TRUE(folder().empty());
    EXPECT_EQ(commands(), Lines{"INFO"});
    reg_->set_keep_busy(false);
}

TEST_F(SalesOnEcrsim, AThreeDayRangeWithTwoArchivedDaysGivesTwo) {
    archive(k01032024, 1);
    archive(k01032024 + 2 * kDay, 2);
    write_file(work_.file("VEND_REP_010101.CSV"), "an earlier call");
    EXPECT_EQ(ecr_recv_vend_storico("127.0.0.1", dir().c_str(), 1, 3, 24, 3, 3, 24), 2);
    EXPECT_EQ(folder(), (Lines{"VEND_PLU_010324.CSV", "VEND_PLU_030324.CSV", "VEND_REP_010324.CSV",
                               "VEND_REP_030324.CSV"}));
    const Lines g = gets();
    EXPECT_EQ(std::count(g.begin(), g.end(), "VEND010324.DAT"), 1);
    EXPECT_EQ(std::count(g.begin(), g.end(), "VEND030324.DAT"), 1);
    const Lines r = reg_->transcript().requests;
    EXPECT_EQ(std::count(r.begin(), r.end(), "get VEND020324.DAT"), 1) << "asked, refused, skipped";
    EXPECT_FALSE(reg_->setup_mode());
    // The departments of sample day 1: open-price department 2 and the articles' ones.
    const Lines rep = text_file_lines(work_.file("VEND_REP_010324.CSV"));
    ASSERT_GE(rep.size(), 2u);
    EXPECT_EQ(column(rep[1], 0), "1");
    EXPECT_TRUE(temp_is_empty());
}

TEST_F(SalesOnEcrsim, ASingleDayRangeMakesOneFetch) {
    archive(k01032024, 3);
    EXPECT_EQ(ecr_recv_vend_storico("127.0.0.1", dir().c_str(), 1, 3, 24, 1, 3, 24), 1);
    const Lines r = reg_->transcript().requests;
    EXPECT_EQ(std::count_if(r.begin(), r.end(),
                            [](const std::string& q) { return q.rfind("get VEND", 0) == 0; }),
              1);
}

struct BadRange {
    const char* name;
    int from[3], to[3];
};
void PrintTo(const BadRange& b, std::ostream* os) {
    *os << b.name;
}

class SalesBadRange : public SalesOnEcrsim, public ::testing::WithParamInterface<BadRange> {};

TEST_P(SalesBadRange, IsRefusedWithTheFolderAlreadyCleared) {
    const BadRange& b = GetParam();
    write_file(work_.file("VEND_REP_010114.CSV"), "an earlier call");
    write_file(work_.file("VEND_PLU_311214.CSV"), "an earlier call");
    EXPECT_EQ(ecr_recv_vend_storico("127.0.0.1", dir().c_str(), b.from[0], b.from[1], b.from[2],
                                    b.to[0], b.to[1], b.to[2]),
              ECR_ERR_PARAMETRI);
    EXPECT_TRUE(folder().empty());
    EXPECT_TRUE(commands().empty()) << "the register is not asked at all";
}

INSTANTIATE_TEST_SUITE_P(Dates, SalesBadRange,
                         ::testing::Values(BadRange{"FromAfterTo", {1, 1, 14}, {31, 12, 13}},
                                           BadRange{"FourDigitYear", {1, 1, 2014}, {2, 1, 14}},
                                           BadRange{"NoLeapDayIn2013", {29, 2, 13}, {1, 3, 13}},
                                           BadRange{"ThirtyFirstOfApril", {1, 4, 14}, {31, 4, 14}},
                                           BadRange{"NegativeYear", {1, 1, -1}, {1, 1, 0}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SalesOnEcrsim, NoFolderIsRefusedBeforeAnythingIsDone) {
    EXPECT_EQ(ecr_recv_vend_corrente("127.0.0.1", nullptr), ECR_ERR_PARAMETRI);
    EXPECT_EQ(ecr_recv_vend_storico("127.0.0.1", nullptr, 1, 3, 24, 1, 3, 24), ECR_ERR_PARAMETRI);
    EXPECT_TRUE(commands().empty());
}

TEST_F(SalesOnEcrsim, TheLeapDayOf2012IsAccepted) {
    archive(1330473600, 1);  // 29/02/2012
    EXPECT_EQ(ecr_recv_vend_storico("127.0.0.1", dir().c_str(), 29, 2, 12, 29, 2, 12), 1);
    EXPECT_EQ(folder(), (Lines{"VEND_PLU_290212.CSV", "VEND_REP_290212.CSV"}));
}

TEST_F(SalesOnEcrsim, AFailedDayClearsTheFolderAndKeepsSetupMode) {
    archive(k01032024, 1);
    // The second day's file is broken: a header whose sections lie past its end.
    ecrsim::Bytes broken(512, 0);
    broken[27] = 1;
    broken[72] = 0, broken[73] = 2;  // size_rep 512
    reg_->put_file("VEND020324.DAT", broken);
    EXPECT_EQ(ecr_recv_vend_storico("127.0.0.1", dir().c_str(), 1, 3, 24, 3, 3, 24),
              ERR_INVALID_FILESIZE);
    EXPECT_TRUE(folder().empty()) << "the first day's files went as well";
    EXPECT_TRUE(reg_->setup_mode());
    const Lines r = reg_->transcript().requests;
    EXPECT_EQ(std::count(r.begin(), r.end(), "get VEND030324.DAT"), 0) << "the loop ended";
    EXPECT_TRUE(temp_is_empty());
}

// A day's transfer that fails is not a day without sales: only "file not
// found" before any DATA skips the day, anything else fails the whole call.
struct BrokenDay {
    const char* name;
    const char* fault;  // on the second day's file
    int transfers;      // how many of its transfers it hits; 0: every one
    std::int32_t result;
};
void PrintTo(const BrokenDay& b, std::ostream* os) {
    *os << b.name;
}

class SalesBrokenDay : public SalesOnEcrsim, public ::testing::WithParamInterface<BrokenDay> {};

TEST_P(SalesBrokenDay, FailsTheCallUnlessTheRegisterHasNoFile) {
    const BrokenDay& b = GetParam();
    for (int d = 0; d < 3; ++d) archive(k01032024 + d * kDay, d + 1);
    auto fault = ecrsim::parse_tftp_fault(std::string(b.fault) + "@VEND020324.DAT");
    ASSERT_TRUE(fault.has_value());
    fault->transfers = b.transfers;
    reg_->add_fault(*fault);
    write_file(work_.file("VEND_REP_010101.CSV"), "an earlier call");

    EXPECT_EQ(first_three_days(), b.result);
    if (b.result < 0) {
        EXPECT_TRUE(folder().empty()) << "no day of a failed call stays";
        EXPECT_TRUE(reg_->setup_mode());
        const Lines r = reg_->transcript().requests;
        EXPECT_EQ(std::count(r.begin(), r.end(), "get VEND030324.DAT"), 0) << "the loop ended";
    } else {
        const Lines days =
            b.result == 3 ? Lines{"010324", "020324", "030324"} : Lines{"010324", "030324"};
        Lines want;
        for (const char* kind : {"PLU", "REP"})
            for (const std::string& d : days)
                want.push_back("VEND_" + std::string(kind) + "_" + d + ".CSV");
        EXPECT_EQ(folder(), want);
        EXPECT_FALSE(reg_->setup_mode());
    }
    EXPECT_TRUE(temp_is_empty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SalesBrokenDay,
    ::testing::Values(BrokenDay{"ErrorOneAtTheRequestSkipsTheDay", "error:1:1", 1, 2},
                      BrokenDay{"ErrorOneAfterData", "error:3:1", 1, ERR_TRANSFER_FAILED},
                      BrokenDay{"ErrorTwoAtTheRequestOnceStartsOver", "error:1:2", 1, 3},
                      BrokenDay{"ErrorTwoAtEveryRequest", "error:1:2", 0, ERR_TRANSFER_FAILED},
                      BrokenDay{"ErrorZeroAfterDataAtEveryTry", "error:2:0", 0,
                                ERR_TRANSFER_FAILED}),
    [](const auto& info) { return std::string(info.param.name); });

// The CSV files are named after the date inside each day's file, so a file
// of another day, or of no valid day, would replace another day's files.
struct DayDate {
    const char* name;
    std::uint32_t inside;  // the date in VEND020324.DAT
    std::int32_t result;
};
void PrintTo(const DayDate& d, std::ostream* os) {
    *os << d.name;
}

class SalesDayDate : public SalesOnEcrsim, public ::testing::WithParamInterface<DayDate> {};

TEST_P(SalesDayDate, OnlyTheRequestedDayIsConverted) {
    const DayDate& d = GetParam();
    archive(k01032024, 1);
    archive(k01032024 + kDay, d.inside, 2);
    archive(k01032024 + 2 * kDay, 3);
    EXPECT_EQ(first_three_days(), d.result);
    if (d.result < 0) {
        EXPECT_TRUE(folder().empty());
        EXPECT_TRUE(reg_->setup_mode());
    } else {
        EXPECT_EQ(folder().size(), 6u);
        EXPECT_TRUE(fs::exists(work_.file("VEND_REP_020324.CSV")));
    }
    EXPECT_TRUE(temp_is_empty());
}

INSTANTIATE_TEST_SUITE_P(
    Dates, SalesDayDate,
    ::testing::Values(
        DayDate{"TheDaysMidnight", k01032024 + kDay, 3},
        DayDate{"ALaterTimeOfTheDay", k01032024 + kDay + 23 * 3600 + 59 * 60 + 59, 3},
        DayDate{"ThePreviousDay", k01032024, ERR_REG_IN_ERRORE},
        DayDate{"TheLastSecondOfThePreviousDay", k01032024 + kDay - 1, ERR_REG_IN_ERRORE},
        DayDate{"TheNextDay", k01032024 + 2 * kDay, ERR_REG_IN_ERRORE},
        DayDate{"TheSameDayOfAnotherYear", k01032024 + kDay - 366 * kDay, ERR_REG_IN_ERRORE},
        DayDate{"Before2000", 946684800 - kDay, ERR_REG_IN_ERRORE},
        DayDate{"After2099", 4102444800u, ERR_REG_IN_ERRORE}),
    [](const auto& info) { return std::string(info.param.name); });

// A day counts only when its files were written.
TEST_F(SalesOnEcrsim, AnArchivedDayWithoutRecordsCountsNothing) {
    archive(k01032024, 1);
    archive(k01032024 + kDay, k01032024 + kDay, ecrsim::SalesBook{});
    archive(k01032024 + 2 * kDay, 3);
    EXPECT_EQ(first_three_days(), 2);
    EXPECT_EQ(folder(), (Lines{"VEND_PLU_010324.CSV", "VEND_PLU_030324.CSV", "VEND_REP_010324.CSV",
                               "VEND_REP_030324.CSV"}));
    const Lines g = gets();
    EXPECT_EQ(std::count(g.begin(), g.end(), "VEND020324.DAT"), 1) << "fetched and converted";
    EXPECT_FALSE(reg_->setup_mode());
    EXPECT_TRUE(temp_is_empty());
}

TEST_F(SalesOnEcrsim, ACurrentDayFileWithoutRecordsGivesNoSales) {
    reg_->set_empty_sales_file(true);  // the summary still counts the sales
    write_file(work_.file("VEND_REP_010101.CSV"), "an earlier call");
    EXPECT_EQ(current(), 0);
    EXPECT_TRUE(folder().empty());
    const Lines g = gets();
    EXPECT_EQ(std::count(g.begin(), g.end(), "VENDCORR.DAT"), 1);
    EXPECT_EQ(commands().back(), "SETUP 0") << "a success: setup mode is switched off";
    EXPECT_TRUE(temp_is_empty());
}

TEST_F(SalesOnEcrsim, TheFiscalCloseArchivesTheDayAndStartsANewOne) {
    reg_->set_sales({});
    type({"03", "00", "0E", "5C"});  // 3,00 on department 3
    EXPECT_EQ(current(), 1);
    const std::string today = ecrsim::oro_ddmmyy(ecrsim::oro_midnight(ecrsim::oro_now()));
    const std::string day_csv = read_file(work_.file("VEND_REP_" + today + ".CSV"));

    EXPECT_EQ(ecr_command("127.0.0.1", "", 8, nullptr, 0), 0);  // AZZFIS
    for (int i = 0; i < 100 && reg_->busy(); ++i) std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(reg_->file("VEND" + today + ".DAT").has_value());
    EXPECT_TRUE(reg_->sales().empty());
    EXPECT_EQ(current(), 0) << "a new day without sales";

    const int d = std::stoi(today.substr(0, 2)), m = std::stoi(today.substr(2, 2)),
              y = std::stoi(today.substr(4, 2));
    EXPECT_EQ(ecr_recv_vend_storico("127.0.0.1", dir().c_str(), d, m, y, d, m, y), 1);
    EXPECT_EQ(read_file(work_.file("VEND_REP_" + today + ".CSV")), day_csv)
        << "the archived day is the day that was closed";
}

// Every day of the calendar: days without a file cost one refused request.
TEST_F(SalesOnEcrsim, SlowTheWholeCalendarFindsTheArchivedDays) {
    if (under_wine()) GTEST_SKIP() << "36525 requests take minutes under Wine";
    archive(946684800, 1);   // 01/01/2000
    archive(4102358400, 2);  // 31/12/2099
    EXPECT_EQ(ecr_recv_vend_storico("127.0.0.1", dir().c_str(), 1, 1, 0, 31, 12, 99), 2 + 3)
        << "the two above and the three days ecrsim seeds before today";
    EXPECT_EQ(reg_->transcript().gets.size(), 1u + 2 + 3);  // and the status
    const Lines r = reg_->transcript().requests;
    EXPECT_EQ(std::count_if(r.begin(), r.end(),
                            [](const std::string& q) { return q.rfind("get VEND", 0) == 0; }),
              36525);
    EXPECT_EQ(folder().size(), 10u);
}

// Through the export, with its own 5000 ms between polls.
TEST_F(SalesOnEcrsim, SlowTheExportWaitsFiveSecondsBetweenPolls) {
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ecr_recv_vend_corrente("127.0.0.1", dir().c_str()), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 5000ms);
    EXPECT_EQ(folder().size(), 2u);
}

}  // namespace
}  // namespace veltra::test
