// The member conversions, each a member layout run through apply_moves.
// Short layouts and parameters go through images (the largest is the
// 384096-byte bitmap file); record files go record by record.
#include "backup/conversions.hpp"

#include <cstdio>
#include <string>
#include <vector>

#include "backup/archive.hpp"
#include "backup/member_layouts.hpp"
#include "frame/paths.hpp"
#include "sys/files.hpp"
#include "tables/table_files.hpp"
#include "tables/table_formats.hpp"

namespace veltra {
namespace {

constexpr const char* kTmpNames[] = {"REPARTI.BIN", "CLIENTI.BIN", "PLU.BIN"};

std::string tmp_name(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return std::string(name.substr(0, dot)) + ".TMP";
}

// One image file converted whole, record by record; an input that is not
// there in the expected size is read as zeros.
int convert_image(const MemberLayout& layout, std::string_view dirname, bool to_full) {
    const std::size_t in_rec = to_full ? layout.small_record : layout.full_record;
    const std::size_t out_rec = to_full ? layout.full_record : layout.small_record;
    const std::size_t records = layout.full_records;
    std::vector<std::uint8_t> in(in_rec * records, 0);
    if (ecr_dati_read_member(layout.file, dirname, in) != 0) std::fill(in.begin(), in.end(), 0);
    std::vector<std::uint8_t> out(out_rec * records, 0);
    const std::span<const std::uint8_t> src(in);
    const std::span<std::uint8_t> dst(out);
    for (std::size_t i = 0; i < records; ++i)
        apply_moves(layout.moves, to_full, src.subspan(i * in_rec, in_rec),
                    dst.subspan(i * out_rec, out_rec));
    return ecr_dati_write_member(layout.file, dirname, out);
}

int convert_short(std::string_view dirname, bool to_full) {
    int result = 0;
    for (const MemberLayout* layout : {&kShortIntestazione, &kShortCortesia, &kShortBitmap})
        if (convert_image(*layout, dirname, to_full) != 0) result = -1;
    return result;
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
        if (table_read_rec(fresh, i, to) != 0 || table_read_rec(old, i, from) != 0) {
            old.close();
            fresh.close();
            return give_back(tmp, bin);
        }
        apply_moves(layout.moves, true, from, to);
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

int ecr_dati_expand_short(std::string_view dirname) {
    return convert_short(dirname, true);
}

int ecr_dati_reduce_short(std::string_view dirname) {
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
    prog_param_defaults(image);
    std::vector<std::uint8_t> old(layout.small_size());
    if (ecr_dati_read_member(layout.file, dirname, old) == 0)
        apply_moves(layout.moves, true, old, image);
    return ecr_dati_write_member(layout.file, dirname, image);
}

int ecr_dati_make_tav_min(std::string_view dirname) {
    constexpr std::size_t kTables = 200, kTableRecord = 64;
    const std::string path = member_path(dirname, "TAV_MIN.BIN");
    TableFile table = table_create(
        path.c_str(), kTables, kTableRecord, [](std::size_t i, std::span<std::uint8_t> rec) {
            char name[kTableRecord];
            std::snprintf(name, sizeof name, "TAVOLO %d", static_cast<int>(i + 1));
            text_to_field(name, rec);
        });
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
