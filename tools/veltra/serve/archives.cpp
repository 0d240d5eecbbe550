// The archive store: archives compressed into the register's folder, read
// back whole before they count, and deleted by the retention rule.
#include "archives.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "gzip_file.hpp"
#include "internal.hpp"
#include "service_clock.hpp"

namespace veltra::tool::serve {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kDayMs = 24LL * 60 * 60 * 1000;

// Register names become folder and file names: only what the
// configuration allows (letters, digits, '-', '_').
void check_register_name(const std::string& name) {
    const bool ok =
        !name.empty() && name.size() <= 32 && std::all_of(name.begin(), name.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                   c == '-' || c == '_';
        });
    if (!ok) throw std::invalid_argument("not a register name: " + name);
}

std::string hex8(std::uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(v));
    return text;
}

}  // namespace

void ArchiveCheck::add(std::span<const std::uint8_t> piece) {
    const std::uint64_t at = size_;
    const std::uint64_t end = at + piece.size();
    if (at < kHeaderSize) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(end, kHeaderSize) - at);
        header_.append(reinterpret_cast<const char*>(piece.data()), n);
    }
    if (at < kArchiveBody) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(end, kArchiveBody) - at);
        crc_ = static_cast<std::uint32_t>(::crc32(crc_, piece.data(), static_cast<uInt>(n)));
    }
    // The last four bytes, wherever the pieces split them.
    for (std::uint64_t p = std::max<std::uint64_t>(at, kArchiveBody);
         p < std::min<std::uint64_t>(end, kArchiveSize); ++p)
        stored_[p - kArchiveBody] = piece[static_cast<std::size_t>(p - at)];
    size_ = end;
}

void ArchiveCheck::result(ArchiveInfo& out) const {
    out.plain_size = static_cast<std::int64_t>(size_);
    out.crc32 = static_cast<std::uint32_t>(stored_[0]) |
                (static_cast<std::uint32_t>(stored_[1]) << 8) |
                (static_cast<std::uint32_t>(stored_[2]) << 16) |
                (static_cast<std::uint32_t>(stored_[3]) << 24);
    // The header is split as ecr_dati_info splits it: up to its first NUL,
    // at most 511 characters.
    const std::string text = header_.substr(0, std::min<std::size_t>(header_.find('\0'), 511));
    std::array<char, kInfoAnswerSize> mod{};
    VarList vars{};
    ecr_parse_info(text.c_str(), mod, vars.data());
    out.version = vars[kInfoVersion] ? vars[kInfoVersion] : "";
    out.release = vars[kInfoReleaseName] ? vars[kInfoReleaseName] : "";
    out.good = false;
    if (size_ != kArchiveSize) {
        out.reason = "the archive is " + std::to_string(size_) + " bytes, not " +
                     std::to_string(kArchiveSize);
    } else if (crc_ != out.crc32) {
        out.reason = "the archive's CRC-32 is " + hex8(crc_) + " where its last four bytes say " +
                     hex8(out.crc32);
    } else {
        out.good = true;
        out.reason.clear();
    }
}

ArchiveStore::ArchiveStore(Journal& journal, fs::path root)
    : journal_(journal), root_(std::move(root)) {}

ArchiveInfo ArchiveStore::check_file(const fs::path& gz) {
    ArchiveInfo a;
    std::error_code ec;
    const auto size = fs::file_size(gz, ec);
    a.size = ec ? 0 : static_cast<std::int64_t>(size);
    ArchiveCheck check;
    try {
        gunzip_each(gz, kArchiveSize,
                    [&check](std::span<const std::uint8_t> piece) { check.add(piece); });
        check.result(a);
    } catch (const GzipError& e) {
        check.result(a);
        a.good = false;
        a.reason = e.what();
    }
    return a;
}

std::string ArchiveStore::free_name(const std::string& register_name, std::int64_t time_ms) const {
    const LocalTime t = local_time(time_ms);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    const std::string stem = register_name + "-" + stamp;
    for (int n = 1;; ++n) {
        const std::string name = stem + (n == 1 ? "" : "-" + std::to_string(n)) + ".dat.gz";
        std::error_code ec;
        if (!fs::exists(root_ / register_name / name, ec) && !ec &&
            !journal_.find_archive(register_name, name))
            return name;
    }
}

ArchiveInfo ArchiveStore::keep(const std::string& register_name, const fs::path& plain,
                               const std::string& job_id, std::int64_t time_ms) {
    check_register_name(register_name);
    const std::lock_guard lock(mutex_);
    const fs::path dir = root_ / register_name;
    std::error_code ec;
    fs::create_directories(dir, ec);
    const std::string name = free_name(register_name, time_ms);
    const fs::path gz = dir / name;
    ArchiveInfo a;
    if (ec) {
        a.reason = "cannot make the folder " + dir.string() + ": " + ec.message();
    } else {
        try {
            gzip_file(plain, gz, kLevel);
            // What counts is what was written: the file as it reads back.
            a = check_file(gz);
        } catch (const GzipError& e) {
            a.reason = e.what();
        }
    }
    a.register_name = register_name;
    a.name = name;
    a.job_id = job_id;
    a.time_ms = time_ms;
    // A bad archive is no use to restore: its file goes at once, its row
    // and reason stay listed.
    if (!a.good) {
        fs::remove(gz, ec);
        a.size = 0;
    }
    try {
        journal_.add_archive(a);
    } catch (...) {
        fs::remove(gz, ec);
        throw;
    }
    return a;
}

std::vector<ArchiveInfo> ArchiveStore::list(const std::string& register_name) const {
    return journal_.archives(register_name);
}

std::optional<ArchiveInfo> ArchiveStore::find(const std::string& register_name,
                                              const std::string& name) const {
    std::optional<ArchiveInfo> a = journal_.find_archive(register_name, name);
    if (!a || a->deleted_ms != 0) return std::nullopt;
    return a;
}

std::optional<ArchiveInfo> ArchiveStore::newest_good(const std::string& register_name) const {
    for (ArchiveInfo& a : list(register_name))
        if (a.good) return std::move(a);
    return std::nullopt;
}

std::vector<std::string> ArchiveStore::retain(const std::string& register_name,
                                              const Retention& rule, std::int64_t now_ms) {
    check_register_name(register_name);
    std::vector<std::string> deleted;
    if (rule.count <= 0 && rule.days <= 0) return deleted;
    const std::lock_guard lock(mutex_);
    const std::vector<ArchiveInfo> all = list(register_name);
    const auto newest = std::find_if(all.begin(), all.end(), [](const auto& a) { return a.good; });
    int good_seen = 0;
    for (const ArchiveInfo& a : all) {
        bool kept = false;
        if (a.good) {
            ++good_seen;
            const bool by_count = rule.count > 0 && good_seen <= rule.count;
            const bool by_days = rule.days > 0 && now_ms - a.time_ms < rule.days * kDayMs;
            kept = by_count || by_days || good_seen == 1;
        } else {
            // A failure since the last good archive stays listed, so that a
            // register whose backups fail shows why; older ones are history.
            kept = newest == all.end() || a.time_ms > newest->time_ms;
        }
        if (kept) continue;
        // The row goes first: the catalogue never lists a file that is gone.
        if (!journal_.delete_archive(register_name, a.name, now_ms)) continue;
        std::error_code ec;
        fs::remove(root_ / register_name / a.name, ec);
        deleted.push_back(a.name);
    }
    return deleted;
}

std::optional<fs::path> ArchiveStore::path_of(const std::string& register_name,
                                              const std::string& name) const {
    const std::optional<ArchiveInfo> a = find(register_name, name);
    if (!a || !a->good) return std::nullopt;
    return root_ / register_name / a->name;
}

}  // namespace veltra::tool::serve
