// The comparison behind `tables put`.
#include "table_compare.hpp"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "internal.hpp"
#include "veltra.h"

namespace veltra::tool {
namespace {

bool same_values(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    return std::equal(a.begin() + kChangeMark + 1, a.end(), b.begin() + kChangeMark + 1);
}

std::int32_t read_table(const std::string& path, const TableFormat& format,
                        std::vector<std::uint8_t>& bytes) {
    bytes.assign(static_cast<std::size_t>(format.file_size()), 0);
    return file_read_exact(path.c_str(), bytes) == 0 ? 0 : ERR_INVALID_FILESIZE;
}

}  // namespace

TableChanges compare_tables(std::span<const std::uint8_t> current,
                            std::span<const std::uint8_t> uploaded,
                            std::span<const std::uint8_t> defaults, std::size_t record_size,
                            const std::vector<bool>& named) {
    TableChanges c;
    const std::size_t records = std::min(current.size(), uploaded.size()) / record_size;
    for (std::size_t i = 0; i < records; ++i) {
        const auto cur = current.subspan(i * record_size, record_size);
        const auto up = uploaded.subspan(i * record_size, record_size);
        if (same_values(cur, up)) {
            ++c.unchanged;
        } else if (defaults.size() >= (i + 1) * record_size && !(i < named.size() && named[i]) &&
                   same_values(up, defaults.subspan(i * record_size, record_size))) {
            ++c.reset;
            c.reset_records.push_back(i + 1);
        } else {
            ++c.changed;
        }
    }
    return c;
}

std::int32_t compare_upload(const TableFormat& format, UploadRule rule, bool articles,
                            const std::string& current_path, const std::string& csv_path,
                            const std::string& work_dir, TableChanges& changes) {
    namespace fs = std::filesystem;
    if (!fs::is_regular_file(csv_path)) return ERR_FILE_NOT_FOUND;
    std::vector<std::uint8_t> current, uploaded, defaults;
    if (const std::int32_t r = read_table(current_path, format, current); r != 0) return r;
    const std::string built = (fs::path(work_dir) / kBuiltTableFile).string();
    std::int32_t applied = 0;
    CsvLineReport lines;
    if (rule == UploadRule::kRebuilt) {
        const RebuiltTable kind = articles ? RebuiltTable::kPlu : RebuiltTable::kReparti;
        applied = build_table_from_csv(kind, csv_path.c_str(), built.c_str(), &lines);
        if (applied < 0) return applied;
        // The defaults are what a CSV without lines builds.
        const std::string empty_csv = (fs::path(work_dir) / "empty.csv").string();
        const std::string default_table = (fs::path(work_dir) / "default.bin").string();
        if (file_write_exact(empty_csv.c_str(), {}) != 0) return ERR_FILE_CREATION;
        const std::int32_t d = build_table_from_csv(kind, empty_csv.c_str(), default_table.c_str());
        if (d < 0) return d;
        if (read_table(default_table, format, defaults) != 0) return ERR_FILE_CREATION;
    } else {
        if (file_write_exact(built.c_str(), current) != 0) return ERR_FILE_CREATION;
        applied = merge_clienti_csv(csv_path.c_str(), built.c_str(), &lines);
        if (applied < 0) return applied;
    }
    if (read_table(built, format, uploaded) != 0) return ERR_FILE_CREATION;
    changes = compare_tables(current, uploaded, defaults, format.record_size, lines.named);
    changes.applied = applied;
    changes.lines = std::move(lines);
    // Departments and articles keep their text at the same place.
    static_assert(reparto::kDescr == plu::kDescr && reparto::kDescrWidth == plu::kDescrWidth);
    for (const std::size_t id : changes.reset_records) {
        if (changes.reset_names.size() == CsvLineReport::kListed) break;
        const auto rec = std::span<const std::uint8_t>(current).subspan(
            (id - 1) * format.record_size, format.record_size);
        const std::size_t len = field_text_length(rec, reparto::kDescr, reparto::kDescrWidth);
        changes.reset_names.emplace_back(rec.begin() + reparto::kDescr,
                                         rec.begin() + reparto::kDescr + len);
    }
    return 0;
}

}  // namespace veltra::tool
