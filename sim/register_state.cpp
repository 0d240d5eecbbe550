// The simulated register's state and commands.
#include "register_state.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "net/endpoints.hpp"

namespace ecrsim {
namespace {

namespace fs = std::filesystem;

Bytes read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_all(const fs::path& path, const Bytes& bytes) {
    // Written beside and renamed, so a reader never sees half a file.
    const fs::path part = path.parent_path() / (".part-" + path.filename().string());
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    fs::rename(part, path);
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' ||
                             text.back() == '\0'))
        text.pop_back();
    return text;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string cents_text(std::int64_t cents) {
    char buf[32];
    const std::int64_t a = cents < 0 ? -cents : cents;
    std::snprintf(buf, sizeof buf, "%s%lld,%02lld", cents < 0 ? "-" : "",
                  static_cast<long long>(a / 100), static_cast<long long>(a % 100));
    return buf;
}

int hex_code(const std::string& code) {
    int v = 0;
    for (char c : code) {
        const int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return code.size() == 2 ? v : -1;
}

}  // namespace

bool plain_file_name(const std::string& name) {
    if (name.empty() || name.size() > 64 || name.front() == '.') return false;
    for (char c : name)
        if (c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 32) return false;
    return true;
}

RegisterState::RegisterState(StateConfig config)
    : dir_(std::move(config.dir)),
      layout_(config.layout),
      busy_ms_(config.busy_ms),
      matricola_(std::move(config.matricola)) {
    fs::create_directories(dir_);
    const std::uint32_t today = oro_midnight(oro_now());
    if (config.seed && !fs::exists(dir_ / "REPARTI.BIN")) seed(today);
    seed_history(today, config.history_days);
    sales_ = load_sales(dir_ / kSalesStateFile);
    load_counters();
    installed_ = load_installed_release(dir_);
    count_invoices();
    show("CASSA PRONTA", 0);
}

void RegisterState::count_invoices() {
    const Bytes f = read_all(dir_ / "FATTURE.BIN");
    invoices_ = 0;
    for (std::size_t at = 0; at + 64 <= f.size(); at += 64) invoices_ += f[at] != 0;
}

void RegisterState::seed(std::uint32_t today) {
    seed_tables(dir_, layout_, today);
    const SalesTables tables = load_sales_tables(dir_, layout_);
    for (int back = 1; back <= 3; ++back) {
        const std::uint32_t day = today - static_cast<std::uint32_t>(back) * 86400;
        write_all(dir_ / ("VEND" + oro_ddmmyy(day) + ".DAT"),
                  build_sales_file(sample_day(back), day, tables));
    }
    save_sales(dir_ / kSalesStateFile, sample_day(0));
}

void RegisterState::seed_history(std::uint32_t today, int days) {
    if (days <= 0) return;
    const SalesTables tables = load_sales_tables(dir_, layout_);
    for (int back = 1; back <= std::min(days, kMaxHistoryDays); ++back) {
        const std::uint32_t day = today - static_cast<std::uint32_t>(back) * 86400;
        const fs::path file = dir_ / ("VEND" + oro_ddmmyy(day) + ".DAT");
        if (!fs::exists(file)) write_all(file, build_sales_file(sample_day(back), day, tables));
    }
}

RegisterState::ReadResult RegisterState::read(const std::string& name) const {
    if (name == veltra::kResponseFile) {
        if (!response_) return {std::nullopt, veltra::kTftpErrNotFound};
        return {Bytes(response_->begin(), response_->end()), 0};
    }
    if (!plain_file_name(name) || !fs::is_regular_file(dir_ / name))
        return {std::nullopt, veltra::kTftpErrNotFound};
    return {read_all(dir_ / name), 0};
}

std::optional<FileStamp> RegisterState::stamp(const std::string& name) const {
    if (name == veltra::kResponseFile || !plain_file_name(name)) return std::nullopt;
    std::error_code ec;
    const fs::path path = dir_ / name;
    if (!fs::is_regular_file(path, ec)) return std::nullopt;
    FileStamp st{fs::file_size(path, ec), fs::last_write_time(path, ec)};
    if (ec) return std::nullopt;
    return st;
}

std::uint16_t RegisterState::may_write(const std::string& name) const {
    if (name == veltra::kCommandFile) return 0;
    if (!plain_file_name(name)) return veltra::kTftpErrAccess;
    // Table files and release files only in setup mode; nothing else at all.
    if ((is_table_file(name) || ends_with(name, ".BIN")) && setup_) return 0;
    return veltra::kTftpErrAccess;
}

std::string RegisterState::written(const std::string& name, const Bytes& bytes) {
    if (name == veltra::kCommandFile) return run_command(std::string(bytes.begin(), bytes.end()));
    if (!is_table_file(name)) {
        releases_.push_back(name);
        return receive_release(dir_, name, bytes, info_values()[21], installed_);
    }
    write_all(dir_ / name, bytes);
    if (name == "PLU.BIN") start_busy();
    if (name == "FATTURE.BIN") count_invoices();
    return "table " + name + " stored (" + std::to_string(bytes.size()) + " bytes)";
}

std::string RegisterState::run_command(const std::string& raw) {
    const std::string text = trimmed(raw);
    if (text == veltra::kCmdInfo) {
        response_ = info_line();
        return "INFO: " + *response_;
    }
    if (text == veltra::kCmdSetupOn || text == veltra::kCmdSetupOff) {
        setup_ = text == veltra::kCmdSetupOn;
        return text + ": setup mode " + (setup_ ? "on" : "off");
    }
    std::string effect;
    if (text == veltra::kCmdAzzVenCorr) {
        effect = reset_current_sales();
    } else if (text == veltra::kCmdAzzVenArch) {
        effect = remove_archives();
    } else if (text == veltra::kCmdAzzFat) {
        effect = clear_invoices();
    } else if (text == veltra::kCmdAzzFis) {
        effect = fiscal_closure();
    } else if (text == veltra::kCmdAzzDati) {
        effect = reset_current_sales() + "; " + remove_archives() + "; " + clear_invoices();
    } else if (text == veltra::kCmdVendCorr) {
        effect = prepare_current_sales();
    } else {
        return "unknown command '" + text + "' ignored";
    }
    start_busy();
    return text + ": " + effect;
}

std::string RegisterState::reset_current_sales() {
    sales_.clear();
    save_sales_state();
    fs::remove(dir_ / "VENDCORR.DAT");
    fs::remove(dir_ / "ART_VENDUTI.BIN");
    return "current sales cleared";
}

std::string RegisterState::remove_archives() {
    int removed = 0;
    for (const auto& entry : fs::directory_iterator(dir_)) {
        const std::string n = entry.path().filename().string();
        if (n.size() == 14 && n.rfind("VEND", 0) == 0 && ends_with(n, ".DAT") &&
            n != "VENDCORR.DAT") {
            fs::remove(entry.path());
            ++removed;
        }
    }
    return std::to_string(removed) + " daily archives removed";
}

std::string RegisterState::clear_invoices() {
    const auto size = table_file_size("FATTURE.BIN", layout_).value_or(0);
    write_all(dir_ / "FATTURE.BIN", Bytes(size, 0));
    invoices_ = 0;
    return "invoices cleared";
}

std::string RegisterState::fiscal_closure() {
    const std::uint32_t today = oro_midnight(oro_now());
    ++closures_;
    receipts_ = 0;
    save_counters();
    if (sales_.empty()) return "closure with no sales";
    const std::string name = "VEND" + oro_ddmmyy(today) + ".DAT";
    write_all(dir_ / name, build_sales_file(sales_, today, load_sales_tables(dir_, layout_)));
    reset_current_sales();
    return "day closed into " + name;
}

std::string RegisterState::prepare_current_sales() {
    const std::uint32_t today = oro_midnight(oro_now());
    write_all(dir_ / "ART_VENDUTI.BIN", build_sales_summary(sales_, today, error_ || sales_error_));
    write_all(dir_ / "VENDCORR.DAT", build_sales_file(empty_sales_file_ ? SalesBook{} : sales_,
                                                      today, load_sales_tables(dir_, layout_)));
    return std::to_string(sales_.departments.size()) + " departments, " +
           std::to_string(sales_.articles.size()) + " articles";
}

void RegisterState::save_sales_state() const {
    save_sales(dir_ / kSalesStateFile, sales_);
}

void RegisterState::load_counters() {
    std::ifstream in(dir_ / kCountersStateFile);
    int receipts = 0, closures = 0;
    if (in >> receipts >> closures && receipts >= 0 && closures >= 0)
        receipts_ = receipts, closures_ = closures;
}

void RegisterState::save_counters() const {
    const std::string text = std::to_string(receipts_) + " " + std::to_string(closures_) + "\n";
    write_all(dir_ / kCountersStateFile, Bytes(text.begin(), text.end()));
}

void RegisterState::set_sales(const SalesBook& book) {
    sales_ = book;
    save_sales_state();
}

bool RegisterState::busy() const {
    return keep_busy_ || Clock::now() < busy_until_;
}

void RegisterState::start_busy() {
    busy_until_ = Clock::now() + std::chrono::milliseconds(busy_ms_);
}

void RegisterState::set_info_override(int index, std::optional<std::string> value) {
    if (value) {
        overrides_[index] = *value;
    } else {
        overrides_.erase(index);
    }
}

void RegisterState::set_layout(Layout layout, bool reseed) {
    layout_ = layout;
    if (reseed) seed_tables(dir_, layout_, oro_midnight(oro_now()));
}

void RegisterState::set_endpoint(const std::string& address, std::uint16_t tftp_port) {
    address_ = address;
    tftp_port_ = tftp_port;
}

std::vector<std::string> RegisterState::info_values() const {
    const std::uint32_t now = oro_now();
    char clock[32];
    std::snprintf(clock, sizeof clock, "%02u%02u%02u", (now / 3600) % 24, (now / 60) % 60,
                  now % 60);
    const Generation g = layout_.generation;
    const bool operating = !error_ && !setup_;
    std::vector<std::string> v = {g == Generation::Current ? "V5.02"
                                  : g == Generation::Old   ? "V1.07"
                                                           : "V2.30",
                                  std::string(1, layout_.bitmap),
                                  matricola_,
                                  oro_ddmmyy(now),
                                  clock,
                                  std::to_string(receipts_),
                                  std::to_string(closures_),
                                  std::to_string(sales_.total()),
                                  std::to_string(invoices_),
                                  setup_ ? "1" : "0",
                                  std::string(1, letter_),
                                  "1",
                                  "1",
                                  "0",
                                  operating ? "1" : "0",
                                  std::to_string(host_connections_),
                                  error_ ? "21" : "0",
                                  address_,
                                  std::to_string(tftp_port_),
                                  busy() ? "1" : "0",
                                  "87",
                                  g == Generation::Current ? "ELT5" : "",
                                  "ecrsim"};
    if (installed_) v[0] = installed_->version, v[21] = installed_->name;
    for (const auto& [index, value] : overrides_)
        if (index >= 0 && static_cast<std::size_t>(index) < v.size())
            v[static_cast<std::size_t>(index)] = value;
    return v;
}

std::string RegisterState::info_line() const {
    const std::vector<std::string> v = info_values();
    std::string line;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i) line += ',';
        line += std::string(kInfoNames[i]) + "=" + v[i];
    }
    return line;
}

void RegisterState::show(const std::string& left, std::int64_t cents) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%-12.12s%8s", left.c_str(), cents_text(cents).c_str());
    display_ = buf;
}

void RegisterState::key_department(int dept) {
    const Bytes rep = department_record(read_all(dir_ / "REPARTI.BIN"), layout_, dept);
    // With no amount keyed the department's preset price is sold.
    const std::int64_t amount = keyed_ > 0 ? keyed_ : get_i32le(rep, 28);
    std::string name(get_text(rep, 1, 25));
    if (name.empty()) name = "REPARTO " + std::to_string(dept);
    keyed_ = 0;
    if (amount <= 0) {
        show("IMPORTO ?", 0);
        return;
    }
    // A register refuses a sale its totals cannot hold, as it does an
    // amount too large: the sale counts nowhere and the receipt stays open.
    if (!sales_.sell_department(dept, amount)) {
        show("LIMITE TOT.", amount);
        return;
    }
    save_sales_state();
    receipt_ += amount;
    show(name, amount);
}

bool RegisterState::key(const std::string& code) {
    const int k = hex_code(code);
    const std::string before = display_;
    if (k >= 0 && k <= 9) {  // digits key cents; the amount stays below 10 million
        if (keyed_ < 100000000) keyed_ = keyed_ * 10 + k;
        show("", keyed_);
    } else if (k == 0x0A) {  // "00"
        if (keyed_ < 1000000) keyed_ *= 100;
        show("", keyed_);
    } else if (k >= 0x0C && k <= 0x20) {  // REPARTO 1 to 21
        key_department(k - 11);
    } else if (k == 0x5F) {
        keyed_ = 0;
        show("", 0);
    } else if (k == 0x5D) {
        show("SUBTOTALE", receipt_);
    } else if (k == 0x5C) {
        if (receipt_ > 0) {
            ++receipts_;
            save_counters();
        }
        show("TOTALE", receipt_);
        receipt_ = 0;
        keyed_ = 0;
    }
    return display_ != before;
}

void RegisterState::put_file(const std::string& name, const Bytes& bytes) {
    write_all(dir_ / name, bytes);
    if (name == "FATTURE.BIN") count_invoices();
}

std::optional<Bytes> RegisterState::file(const std::string& name) const {
    if (!plain_file_name(name) || !fs::is_regular_file(dir_ / name)) return std::nullopt;
    return read_all(dir_ / name);
}

}  // namespace ecrsim
