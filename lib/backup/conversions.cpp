// The member conversions, each a member layout run through apply_moves.
// Short layouts and parameters go through images (the largest is the
// 384096-byte bitmap file); record files go record by record.
#include "backup/conversions.hpp"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "backup/archive.hpp"
#include "backup/member_layouts.hpp"
#include "frame/paths.hpp"
#include "frame/result_codes.hpp"
#include "sys/files.hpp"
#include "tables/table_files.hpp"
#include "tables/table_formats.hpp"
#include "veltra.h"

namespace veltra {
namespace {

constexpr const char* kTmpNames[] = {"REPARTI.BIN", "CLIENTI.BIN", "PLU.BIN"};

std::string tmp_name(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return std::string(name.substr(0, dot)) + ".TMP";
}

// One member converted whole, or left as it is with the reason.
std::int32_t convert_member(const MemberLayout& layout, std::string_view dirname, bool to_full) {
    const std::uint32_t in_size = to_full ? layout.small_size() : layout.full_size();
    const std::uint32_t out_size = to_full ? layout.full_size() : layout.small_size();
    const std::int32_t size = ecr_file_size(member_path(dirname, layout.file).c_str());
    if (to_full && size == static_cast<std::int32_t>(out_size)) return 0;
    std::vector<std::uint8_t> in(in_size);
    if (size != static_cast<std::int32_t>(in_size) ||
        ecr_dati_read_member(layout.file, dirname, in) != 0)
        return ERR_INVALID_FILESIZE;
    std::vector<std::uint8_t> out(out_size);
    if (convert_short_image(layout, to_full, in, out) != 0) return ERR_INVALID_FILESIZE;
    return ecr_dati_write_member(layout.file, dirname, out) == 0 ? 0 : ERR_FILE_CREATION;
}

std::int32_t convert_short(std::string_view dirname, bool to_full) {
    for (const MemberLayout* layout : {&kShortIntestazione, &kShortCortesia, &kShortBitmap}) {
        const std::int32_t result = convert_member(*layout, dirname, to_full);
        if (result != 0) return result;
    }
    return 0;
}

// Gives the old file back its name after a failed upgrade, so that the
// member is plainly not in the current layout rather than made of defaults.
int give_back(const std::string& tmp, const std::string& bin) {
    sys::remove_file(bin.c_str());
    sys::rename_file(tmp.c_str(), bin.c_str(), true);
    return -1;
}

int upgrade_records(const MemberLayout& layout, std::string_view dirname) {
    const std::string bin = member_path(dirname, layout.file);
    const std::int32_t size = ecr_file_size(bin.c_str());
    if (size == static_cast<std::int32_t>(layout.full_size())) return 0;
    if (size != static_cast<std::int32_t>(layout.small_size())) return -1;
    if (ecr_dati_move_to_tmp(layout.file, dirname) != 0) return -1;
    const std::string tmp = member_path(dirname, tmp_name(layout.file));

    TableFile fresh =
        table_create(bin.c_str(), layout.full_records, layout.full_record, layout.full_default);
    if (!fresh) return give_back(tmp, bin);
    TableFile old = table_open(tmp.c_str());
    if (!old) {
        fresh.close();
        return give_back(tmp, bin);
    }
    std::uint8_t old_rec[kMaxRecordSize];
    std::uint8_t new_rec[kMaxRecordSize];
    const std::span<std::uint8_t> from(old_rec, layout.small_record);
    const std::span<std::uint8_t> to(new_rec, layout.full_record);
    for (std::size_t i = 0; i < layout.small_records; ++i) {
        if (table_read_rec(old, i, from) != 0) {
            old.close();
            fresh.close();
            return give_back(tmp, bin);
        }
        upgrade_record(layout, i, from, to);
        if (table_write_rec(fresh, i, to) != 0) {
            old.close();
            fresh.close();
            return give_back(tmp, bin);
        }
    }
    old.close();
    if (!fresh.close()) return give_back(tmp, bin);
    sys::remove_file(tmp.c_str());
    return 0;
}

}  // namespace

int convert_short_image(const MemberLayout& layout, bool to_full, std::span<const std::uint8_t> in,
                        std::span<std::uint8_t> out) {
    const std::size_t in_rec = to_full ? layout.small_record : layout.full_record;
    const std::size_t out_rec = to_full ? layout.full_record : layout.small_record;
    const std::size_t records = layout.full_records;
    if (in.size() != in_rec * records || out.size() != out_rec * records) return -1;
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    for (std::size_t i = 0; i < records; ++i)
        apply_moves(layout.moves, to_full, in.subspan(i * in_rec, in_rec),
                    out.subspan(i * out_rec, out_rec));
    return 0;
}

void upgrade_record(const MemberLayout& layout, std::size_t index,
                    std::span<const std::uint8_t> old_rec, std::span<std::uint8_t> new_rec) {
    std::fill(new_rec.begin(), new_rec.end(), std::uint8_t{0});
    if (layout.full_default != nullptr) layout.full_default(index, new_rec);
    apply_moves(layout.moves, true, old_rec, new_rec);
}

void upgrade_prog_param_image(std::span<const std::uint8_t> old, std::span<std::uint8_t> image) {
    prog_param_defaults(image);
    if (old.size() == kOldProgParam.small_size())
        apply_moves(kOldProgParam.moves, true, old, image);
}

void tav_min_record(std::size_t index, std::span<std::uint8_t> record) {
    char name[16];
    std::snprintf(name, sizeof name, "TAVOLO %d", static_cast<int>(index + 1));
    text_to_field(name, record);
}

std::int32_t ecr_dati_expand_short(std::string_view dirname) {
    return convert_short(dirname, true);
}

std::int32_t ecr_dati_reduce_short(std::string_view dirname) {
    return convert_short(dirname, false);
}

int ecr_dati_upgrade_reparti(std::string_view dirname) {
    return upgrade_records(kOldReparti, dirname);
}

int ecr_dati_upgrade_clienti(std::string_view dirname) {
    return upgrade_records(kOldClienti, dirname);
}

int ecr_dati_upgrade_plu(std::string_view dirname) {
    return upgrade_records(kOldPlu, dirname);
}

int ecr_dati_upgrade_prog_param(std::string_view dirname) {
    const MemberLayout& layout = kOldProgParam;
    const std::string bin = member_path(dirname, layout.file);
    if (ecr_file_size(bin.c_str()) == static_cast<std::int32_t>(layout.full_size())) return 0;
    std::vector<std::uint8_t> image(layout.full_size());
    std::vector<std::uint8_t> old(layout.small_size());
    if (ecr_dati_read_member(layout.file, dirname, old) != 0) old.clear();
    upgrade_prog_param_image(old, image);
    return ecr_dati_write_member(layout.file, dirname, image);
}

int ecr_dati_make_tav_min(std::string_view dirname) {
    constexpr std::size_t kTables = 200, kTableRecord = 64;
    const std::string path = member_path(dirname, "TAV_MIN.BIN");
    TableFile table = table_create(path.c_str(), kTables, kTableRecord, tav_min_record);
    if (!table) return -1;
    return table.close() ? 0 : -1;
}

int ecr_dati_move_to_tmp(std::string_view name, std::string_view dirname) {
    const std::string from = member_path(dirname, name);
    const std::string to = member_path(dirname, tmp_name(name));
    return sys::rename_file(from.c_str(), to.c_str(), false) ? 0 : -1;
}

void ecr_dati_remove_tmp(std::string_view dirname) {
    for (const char* name : kTmpNames)
        sys::remove_file(member_path(dirname, tmp_name(name)).c_str());
}

}  // namespace veltra
