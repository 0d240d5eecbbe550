// The CSV line reader of the uploads and the record builders of the three
// tables over any file: fields stay inside the line, records inside their size.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "tables/table_formats.hpp"
#include "tables/table_upload.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the table; the rest is the CSV file.
    const unsigned kind = data[0] % 3;
    std::FILE* in = ::fmemopen(const_cast<std::uint8_t*>(data + 1), size - 1, "rb");
    if (in == nullptr) return 0;
    const veltra::TableFormat& format = kind == 0   ? veltra::kReparti
                                        : kind == 1 ? veltra::kPlu
                                                    : veltra::kClienti;
    const std::size_t fields = kind == 0 ? 12 : kind == 1 ? 7 : 6;
    std::vector<std::string_view> slots(fields);
    std::vector<std::uint8_t> rec(format.record_size);
    veltra::CsvReader reader(in);
    for (int lines = 0, count; lines < 100000 && (count = reader.read_fields(slots)) != -1;
         ++lines) {
        // A field is a piece of one line: no separator, no line end.
        for (const std::string_view f : slots)
            if (f.find_first_of(";\n") != std::string_view::npos) std::abort();
        if (static_cast<std::size_t>(count) != fields) continue;
        (void)veltra::csv_number(slots[0]);
        if (kind == 0) veltra::apply_reparto_fields(slots, rec);
        if (kind == 1) veltra::apply_plu_fields(slots, rec);
        if (kind == 2) veltra::apply_cliente_fields(slots, rec);
    }
    std::fclose(in);
    return 0;
}
