// What the simulated register knows and does: its info variables, setup
// mode, busy time, the files of its state directory, its commands, its
// sales and its keyboard. Not thread-safe: the Register serialises calls.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "le_bytes.hpp"
#include "register_files.hpp"
#include "releases.hpp"
#include "sales.hpp"

namespace ecrsim {

// Names of the INFO answer's fields, by position. The library reads
// positions 0, 1, 9, 10, 14, 15, 19 and 21; the others are the register's own.
inline constexpr std::array<const char*, 23> kInfoNames = {
    "VERSIONE",   "TIPO_BITMAP", "MATRICOLA",  "DATA",      "ORA",       "NUM_SCONTR",
    "NUM_AZZ",    "TOT_GIORNO",  "NUM_FATT",   "SETUP",     "STATO",     "OPERATORE",
    "CARTA",      "CASSETTO",    "OPERATIVO",  "HOST_CONN", "ERRORE",    "IP",
    "PORTA_TFTP", "OCCUPATO",    "MEM_LIBERA", "NOME_REL",  "SIMULATORE"};

// The 23 characters the display connection sends before every text.
inline constexpr char kDisplayPrefix[] = "ECRSIM DISPLAY 2X20 -> ";
static_assert(sizeof kDisplayPrefix == 24);

// The file in the state directory that keeps the current day's sales.
inline constexpr const char* kSalesStateFile = ".ecrsim-sales";
// The file that keeps the receipt and closure counters across restarts.
inline constexpr const char* kCountersStateFile = ".ecrsim-counters";

// A file's size and time of change: equal stamps, unchanged bytes.
struct FileStamp {
    std::uintmax_t size = 0;
    std::filesystem::file_time_type time{};
    bool operator==(const FileStamp&) const = default;
};

// Most past days --history seeds: ten years.
inline constexpr int kMaxHistoryDays = 3660;

struct StateConfig {
    std::filesystem::path dir;
    Layout layout;
    int busy_ms = 1500;
    bool seed = true;      // seed a directory that holds no REPARTI.BIN
    int history_days = 0;  // past days archived at start (kMaxHistoryDays at most)
    std::string matricola = std::string(kDefaultMatricola);
};

class RegisterState {
public:
    using Clock = std::chrono::steady_clock;
    explicit RegisterState(StateConfig config);

    // TFTP side. A read gives the file's bytes or an error code (1: the
    // register has no such file); a write is allowed (0) or refused (2).
    struct ReadResult {
        std::optional<Bytes> bytes;
        std::uint16_t error = 0;
    };
    ReadResult read(const std::string& name) const;
    // The stamp of a stored file that read() serves; none for answers the
    // register makes itself (RESPONSE.TXT) or a file it does not have.
    std::optional<FileStamp> stamp(const std::string& name) const;
    std::uint16_t may_write(const std::string& name) const;
    // A completed write: stores the file and runs what it sets off. The
    // result is the line the program prints for it.
    std::string written(const std::string& name, const Bytes& bytes);
    std::string run_command(const std::string& text);

    std::string info_line() const;
    std::vector<std::string> info_values() const;

    // Keyboard: a key code ("00".."86"); true when the display changed.
    bool key(const std::string& code);
    const std::string& display() const { return display_; }

    void set_setup(bool on) { setup_ = on; }
    bool setup() const { return setup_; }
    void set_keep_busy(bool on) { keep_busy_ = on; }
    bool busy() const;
    void start_busy();
    void set_busy_ms(int ms) { busy_ms_ = ms; }
    void set_state_letter(char letter) { letter_ = letter; }
    void set_error(bool on) { error_ = on; }
    void set_sales_error(bool on) { sales_error_ = on; }
    void set_empty_sales_file(bool on) { empty_sales_file_ = on; }
    void set_host_connections(int n) { host_connections_ = n; }
    void set_info_override(int index, std::optional<std::string> value);
    void set_layout(Layout layout, bool reseed);
    Layout layout() const { return layout_; }
    void set_endpoint(const std::string& address, std::uint16_t tftp_port);

    void put_file(const std::string& name, const Bytes& bytes);
    std::optional<Bytes> file(const std::string& name) const;
    const SalesBook& sales() const { return sales_; }
    void set_sales(const SalesBook& book);
    // Release files received, in order, whether installed or refused.
    const std::vector<std::string>& releases() const { return releases_; }
    const std::filesystem::path& dir() const { return dir_; }

private:
    std::string reset_current_sales();
    std::string fiscal_closure();
    std::string remove_archives();
    std::string clear_invoices();
    std::string prepare_current_sales();
    void seed(std::uint32_t today);
    void seed_history(std::uint32_t today, int days);
    void save_sales_state() const;
    void load_counters();
    void save_counters() const;
    void count_invoices();
    void show(const std::string& left, std::int64_t cents);
    void key_department(int dept);

    std::filesystem::path dir_;
    Layout layout_;
    int busy_ms_;
    std::string matricola_;
    bool setup_ = false;
    bool keep_busy_ = false;
    bool error_ = false;
    bool sales_error_ = false;       // the summary's error flag alone
    bool empty_sales_file_ = false;  // VENDCORR.DAT without records, the summary as it is
    char letter_ = 'I';
    int host_connections_ = 0;
    Clock::time_point busy_until_{};
    std::map<int, std::string> overrides_;
    std::optional<std::string> response_;
    SalesBook sales_;
    std::vector<std::string> releases_;
    std::optional<ReleaseText> installed_;  // a release installed by an update
    // As a register's: receipts of the day (NUM_SCONTR, back to 0 at a
    // closure) and closures ever (NUM_AZZ). Both outlive a restart.
    int receipts_ = 0;
    int invoices_ = 0;  // records of FATTURE.BIN in use
    int closures_ = 0;
    std::string address_ = "127.0.0.1";
    std::uint16_t tftp_port_ = 0;
    // Keyboard: amount being keyed (cents), the open receipt's total.
    std::int64_t keyed_ = 0;
    std::int64_t receipt_ = 0;
    std::string display_;
};

// Whether a name may name a file of the state directory at all.
bool plain_file_name(const std::string& name);

}  // namespace ecrsim
