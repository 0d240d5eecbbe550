// Invoice download: ecr_recv_fatture lives here. One CSV line per occupied
// record of FATTURE.BIN, the document type by name and its time as text.
#include "tables/invoices.hpp"

#include <array>
#include <cstdio>
#include <string>

#include "clock/oro_codec.hpp"
#include "cmd/setup_mode.hpp"
#include "frame/export_call.hpp"
#include "frame/paths.hpp"
#include "frame/result_codes.hpp"
#include "frame/trace.hpp"
#include "sys/files.hpp"
#include "tables/csv_output.hpp"
#include "tables/table_files.hpp"
#include "tables/table_formats.hpp"
#include "veltra.h"

namespace veltra {

const char* fattura_tipo_text(unsigned code) {
    static char text[8];
    switch (code) {
        case 0xA0:
            return "fattura_gestionale";
        case 0xA1:
            return "ricevuta_fiscale";
        case 0xA3:
            return "fattura_con_scontr";
        case 0xA4:
            return "fattura_mensile";
        case 0xA2:
        case 0xA5:
            return "";
        default:
            std::snprintf(text, sizeof text, "0x%02X", code & 0xFFu);
            return text;
    }
}

std::int32_t convert_fatture_csv(const char* filename_bin, const char* filename_csv) {
    if (ecr_file_size(filename_bin) != kFatture.file_size()) return ERR_INVALID_FILESIZE;
    CsvOutput out(filename_csv);
    if (!out) return ERR_FILE_CREATION;
    TableFile table = table_open(filename_bin);
    if (!table) return ERR_FILE_NOT_FOUND;
    if (!out.format("%s;%s;%s;%s;%s;%s;%s;%s\n", "id_fattura", "tipo_fattura", "id_cliente",
                    "data_tempo", "importo", "imponibile", "imposta", "credito")) {
        return ERR_FILE_CREATION;
    }
    std::array<std::uint8_t, 64> rec{};
    std::int32_t rows = 0;
    for (std::size_t n = 1; n <= kFatture.records; ++n) {
        if (table.read_rec(n - 1, rec) != 0) return ERR_FILE_NOT_FOUND;
        // Type 0 marks a free slot.
        if (rec[fattura::kTipo] == 0) continue;
        char when[32];
        oro_to_datetime_text(get_u32(rec, fattura::kDataTempo), when);
        if (!out.format("%d;%s;%d;%s;%d;%d;%d;%d\n", static_cast<int>(n),
                        fattura_tipo_text(rec[fattura::kTipo]),
                        static_cast<int>(get_u16(rec, fattura::kCliente)), when,
                        static_cast<int>(get_i32(rec, fattura::kImporto)),
                        static_cast<int>(get_i32(rec, fattura::kImponibile)),
                        static_cast<int>(get_i32(rec, fattura::kImposta)),
                        static_cast<int>(get_i32(rec, fattura::kCredito)))) {
            return ERR_FILE_CREATION;
        }
        ++rows;
    }
    table.close();
    if (rows == 0) return 0;
    return out.keep() ? rows : ERR_FILE_CREATION;
}

}  // namespace veltra

using namespace veltra;

extern "C" ECR_API int32_t ECR_CALL ecr_recv_fatture(const char* hostname, const char* filename) {
    return export_call(
        ERR_FILE_CREATION,
        [&]() noexcept {
            ecr_trace("%s ecr_recv_fatture -- begin: hostname='%s' filename='%s'\n",
                      ecr_trace_time(), trace_text(hostname), trace_text(filename));
        },
        [&] {
            const std::string table = ecr_temp_path(kFatture.file);
            sys::remove_file(trace_text(filename));
            sys::remove_file(table.c_str());
            std::int32_t keep = 1;
            std::int32_t result = ecr_get_table(hostname, table.c_str(), &keep);
            if (result == 0) result = convert_fatture_csv(table.c_str(), trace_text(filename));
            sys::remove_file(table.c_str());
            return result;
        },
        [](std::int32_t result) noexcept { trace_end_numrec("ecr_recv_fatture", result); });
}
