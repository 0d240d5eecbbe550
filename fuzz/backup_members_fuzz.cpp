// The member conversions and the per-member step of an extraction, on
// members in memory. Byte 0 picks the work, byte 1 the member (or record),
// the rest fills the input image (zeros beyond it):
//   0 short to full and back, 1 full to short and back: both directions
//     settle after one round trip, the full bitmaps hold width 80 and at
//     most 400 rows, images of another size are refused untouched;
//   2 one old record upgraded: the same whatever the target held before;
//   3 PROG_PARAM.BIN upgraded (428 bytes, or another size: the defaults
//     alone) and a TAV_MIN.BIN record;
//   4 a member written whole into a folder and its CSV made, as the
//     extraction does (PLU.BIN, 6.4 MB, is left to the table converter's
//     own target).
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "backup/archive.hpp"
#include "backup/conversions.hpp"
#include "backup/member_layouts.hpp"
#include "frame/paths.hpp"
#include "fuzz_work_dir.hpp"
#include "tables/table_formats.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using veltra::MemberLayout;

using veltra::fuzz::work_dir;

void check(bool ok) {
    if (!ok) std::abort();
}

// The input laid over a zero image of size bytes.
void fill(Bytes& image, std::size_t size, std::span<const std::uint8_t> body) {
    image.assign(size, 0);
    std::copy_n(body.begin(), std::min(body.size(), size), image.begin());
}

const MemberLayout* const kShort[] = {&veltra::kShortIntestazione, &veltra::kShortCortesia,
                                      &veltra::kShortBitmap};
const MemberLayout* const kOld[] = {&veltra::kOldReparti, &veltra::kOldClienti, &veltra::kOldPlu};

Bytes convert(const MemberLayout& layout, bool to_full, const Bytes& in) {
    Bytes out(to_full ? layout.full_size() : layout.small_size(), 0xA5);
    check(veltra::convert_short_image(layout, to_full, in, out) == 0);
    return out;
}

// A full image: every bitmap has width 80 and at most 400 rows.
void check_full(const MemberLayout& layout, const Bytes& full) {
    if (&layout != &veltra::kShortBitmap) return;
    for (std::size_t at = 0; at < full.size(); at += layout.full_record) {
        const std::span<const std::uint8_t> rec(full.data() + at, layout.full_record);
        check(veltra::get_u32(rec, 0) == 80 && veltra::get_u32(rec, 4) <= veltra::kBitmapRows);
    }
}

void short_round_trip(const MemberLayout& layout, bool from_full,
                      std::span<const std::uint8_t> body) {
    static Bytes in;
    fill(in, from_full ? layout.full_size() : layout.small_size(), body);
    // One round trip cuts texts and drops rows beyond the count; a second
    // changes nothing.
    const bool to_other = !from_full;
    const Bytes other = convert(layout, to_other, in);
    const Bytes once = convert(layout, from_full, other);
    const Bytes again = convert(layout, to_other, once);
    check(convert(layout, from_full, again) == once);
    check_full(layout, from_full ? once : other);

    // Images of another size are refused and the target left alone.
    in.push_back(0);
    Bytes out(from_full ? layout.small_size() : layout.full_size(), 0x5A);
    check(veltra::convert_short_image(layout, to_other, in, out) == -1);
    check(std::all_of(out.begin(), out.end(), [](std::uint8_t c) { return c == 0x5A; }));
}

void upgrade_record(const MemberLayout& layout, std::size_t index,
                    std::span<const std::uint8_t> body) {
    Bytes old;
    fill(old, layout.small_record, body);
    Bytes a(layout.full_record, 0xFF), b(layout.full_record, 0);
    veltra::upgrade_record(layout, index, old, a);
    veltra::upgrade_record(layout, index, old, b);
    check(a == b);
}

void prog_param(std::span<const std::uint8_t> body, std::size_t table) {
    const std::size_t old_size = veltra::kOldProgParam.small_size();
    Bytes old(body.begin(),
              body.begin() + static_cast<std::ptrdiff_t>(std::min(body.size(), old_size)));
    Bytes image(veltra::kOldProgParam.full_size(), 0xEE), defaults(image.size());
    veltra::upgrade_prog_param_image(old, image);
    veltra::prog_param_defaults(defaults);
    if (old.size() != old_size) check(image == defaults);
    // Fields that no old offset names keep their defaults.
    check(image[148] == 1 && std::all_of(image.begin() + 151, image.begin() + 251,
                                         [](std::uint8_t c) { return c == 0xFF; }));

    std::array<std::uint8_t, 64> record;
    record.fill(0x77);
    veltra::tav_min_record(table, record);
    const std::string name = "TAVOLO " + std::to_string(table + 1);
    check(std::string_view(reinterpret_cast<const char*>(record.data())) == name);
    check(std::all_of(record.begin() + static_cast<std::ptrdiff_t>(name.size()), record.end(),
                      [](std::uint8_t c) { return c == 0; }));
}

void extract_member(const veltra::Member& m, std::span<const std::uint8_t> body) {
    static Bytes image;
    fill(image, m.size, body);
    const std::string& dir = work_dir();
    check(veltra::ecr_dati_write_member(m.name, dir, image) == 0);
    check(veltra::ecr_file_size(veltra::member_path(dir, m.name).c_str()) ==
          static_cast<std::int32_t>(m.size));
    // A member of its archive size always converts.
    const std::int32_t rows = veltra::ecr_dati_member_csv(m, dir);
    check(rows >= 0);
    if (m.csv == nullptr)
        check(rows == 0);
    else
        check(rows == 0 || veltra::ecr_file_size(veltra::member_path(dir, m.csv).c_str()) > 0);
    check(veltra::ecr_dati_clean_dir(dir));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const unsigned work = data[0] % 5, pick = data[1];
    const std::span<const std::uint8_t> body(data + 2, size - 2);
    switch (work) {
        case 0:
        case 1:
            short_round_trip(*kShort[pick % 3], work == 1, body);
            break;
        case 2: {
            const MemberLayout& layout = *kOld[pick % 3];
            upgrade_record(layout, (pick / 3) % layout.small_records, body);
            break;
        }
        case 3:
            prog_param(body, pick % 200);
            break;
        case 4: {
            // Every member but PLU.BIN.
            std::size_t m = pick % (veltra::kMemberCount - 1);
            if (std::string_view(veltra::kMembers[m].name) == "PLU.BIN")
                m = veltra::kMemberCount - 1;
            extract_member(veltra::kMembers[m], body);
            break;
        }
    }
    return 0;
}
