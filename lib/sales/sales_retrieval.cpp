// Sales retrieval: ecr_recv_vend_corrente and ecr_recv_vend_storico live
// here. Both clear the folder first, and again after any failure, so that
// the folder holds only the sales CSV files of a call that succeeded.
#include "sales/sales_retrieval.hpp"

#include <array>
#include <string>
#include <string_view>

#include "clock/oro_codec.hpp"
#include "cmd/command_exchange.hpp"
#include "cmd/setup_mode.hpp"
#include "frame/export_call.hpp"
#include "frame/paths.hpp"
#include "frame/result_codes.hpp"
#include "frame/trace.hpp"
#include "net/endpoints.hpp"
#include "net/resolve.hpp"
#include "net/tftp_client.hpp"
#include "net/transfer_observer.hpp"
#include "sales/sales_file.hpp"
#include "sys/files.hpp"
#include "tables/table_files.hpp"
#include "tables/table_formats.hpp"
#include "veltra.h"

namespace veltra {
namespace {

constexpr std::uint32_t kDaySeconds = 86400;

// The converter's failure as the retrievals report it: a header that does
// not fit its file says so, anything else is a CSV that could not be made.
std::int32_t conversion_result(std::int32_t converted) {
    if (converted == 0) return 0;
    return converted == ERR_INVALID_FILESIZE ? ERR_INVALID_FILESIZE : ERR_FILE_CREATION;
}

// Reads the summary and fetches and converts the day's file when it counts
// any sales: 1 when converted, 0 when there are none, else a failure.
std::int32_t convert_current(std::uint32_t addr, const std::string& summary,
                             const std::string& current, const char* dirname) {
    std::array<std::uint8_t, vend::kHeaderSize> s{};
    if (file_read_exact(summary.c_str(), s) != 0) return ERR_INVALID_FILESIZE;
    if (s[vend::kError] != 0) return ERR_REG_IN_ERRORE;
    if (s[vend::kNumRep] == 0 && get_u32(s, vend::kNumPlu) == 0) return 0;
    const std::int32_t result = ecr_tftp_get(addr, current.c_str());
    if (result != 0) return result;
    VendConversion done;
    const std::int32_t converted =
        conversion_result(ecr_conv_venduto(current.c_str(), dirname, done));
    if (converted != 0) return converted;
    // The day file is what the CSV files come from: one that counts no
    // records gives none, and so no sales, whatever the summary said.
    return done.files > 0 ? 1 : 0;
}

// Converts one archived day: 1 when its CSV files were written, 0 when its
// file counts no records, else a failure. The CSV names come from the date
// inside the file, so a file of another day, or of no valid day, is refused:
// two of them would write the same names and one day would replace another.
std::int32_t convert_day(const std::string& path, const char* dirname, const char* ddmmyy) {
    VendConversion done;
    const std::int32_t converted = conversion_result(ecr_conv_venduto(path.c_str(), dirname, done));
    if (converted != 0) return converted;
    char inside[kOroDdmmyySize];
    oro_to_ddmmyy(done.date, inside);
    if (std::string_view(inside) != ddmmyy) {
        ecr_trace("%s ecr_recv_vend_storico -- info : pathname='%s' date='%s' day='%s'\n",
                  ecr_trace_time(), path.c_str(), inside, ddmmyy);
        return ERR_REG_IN_ERRORE;
    }
    return done.files > 0 ? 1 : 0;
}

// A date of the range: valid, and of 2000..2099 (a negative year would pass
// ecr_oro_check but name no day of the register's calendar).
bool valid_day(std::int32_t day, std::int32_t month, std::int32_t year) {
    return year >= 0 && oro_check(day, month, year, 0, 0, 0) == 0;
}

}  // namespace

std::int32_t recv_vend_corrente(const char* hostname, const char* dirname, std::uint32_t poll_ms) {
    if (dirname == nullptr) return ECR_ERR_PARAMETRI;
    const std::string summary = ecr_temp_path(kSalesSummaryFile);
    const std::string current = ecr_temp_path(kCurrentSalesFile);
    sys::remove_file(summary.c_str());
    sys::remove_file(current.c_str());
    sales_csv_cleanup(dirname);

    std::int32_t result = 0;
    std::uint32_t addr = kNoAddress;
    std::int32_t in_setup = 0;
    if ((result = ecr_resolve_host(hostname, addr)) == 0 &&
        (result = ecr_check_ready(hostname, &in_setup)) == 0) {
        if (in_setup == 0) result = ecr_setup_mode(hostname, true);
        if (result == 0) result = ecr_send_cmd_txt(addr, kCmdVendCorr);
        if (result == 0) result = ecr_wait_idle(addr, poll_ms);
        if (result == 0) result = ecr_tftp_get(addr, summary.c_str());
        if (result == 0) result = convert_current(addr, summary, current, dirname);
        if (result < 0) {
            sales_csv_cleanup(dirname);  // no partial output remains
        } else if (in_setup == 0) {
            ecr_setup_mode(hostname, false);
        }
    }
    sys::remove_file(summary.c_str());
    sys::remove_file(current.c_str());
    return result;
}

std::int32_t recv_vend_storico(const char* hostname, const char* dirname, std::int32_t from_day,
                               std::int32_t from_month, std::int32_t from_year, std::int32_t to_day,
                               std::int32_t to_month, std::int32_t to_year) {
    if (dirname == nullptr) return ECR_ERR_PARAMETRI;
    // Cleared before the dates are looked at.
    sales_csv_cleanup(dirname);
    if (!valid_day(from_day, from_month, from_year) || !valid_day(to_day, to_month, to_year))
        return ECR_ERR_PARAMETRI;
    const std::uint32_t first = oro_decode(from_day, from_month, from_year, 0, 0, 0);
    const std::uint32_t last = oro_decode(to_day, to_month, to_year, 0, 0, 0);
    if (first > last) return ECR_ERR_PARAMETRI;

    std::uint32_t addr = kNoAddress;
    std::int32_t in_setup = 0;
    std::int32_t result = ecr_resolve_host(hostname, addr);
    if (result == 0) result = ecr_check_ready(hostname, &in_setup);
    if (result != 0) return result;
    if (in_setup == 0) result = ecr_setup_mode(hostname, true);
    const std::int64_t days = (std::int64_t{last} - first) / kDaySeconds + 1;
    if (result >= 0) notify_step({"days", 0, days});
    // Counted in 64 bits: the day after 31/12/99 must not wrap to 1970.
    for (std::uint64_t day = first; result >= 0 && day <= last; day += kDaySeconds) {
        char ddmmyy[kOroDdmmyySize];
        oro_to_ddmmyy(static_cast<std::uint32_t>(day), ddmmyy);
        const std::string path = ecr_temp_path(std::string("VEND") + ddmmyy + ".DAT");
        bool missing = false;
        const std::int32_t fetched = ecr_tftp_get(addr, path.c_str(), missing);
        char text[kResultTextSize];
        ecr_trace("%s ecr_recv_vend_storico -- info : pathname='%s' count='%d' esito='%s'\n",
                  ecr_trace_time(), path.c_str(), static_cast<int>(result),
                  ecr_err_name(fetched, text));
        if (fetched == 0) {
            const std::int32_t counted = convert_day(path, dirname, ddmmyy);
            result = counted < 0 ? counted : result + counted;
        } else if (!missing) {
            // Only "file not found" before any DATA means a day without
            // sales: a transfer that broke off must not read as one.
            result = fetched;
        }
        if (result >= 0)
            notify_step({"days", static_cast<std::int64_t>((day - first) / kDaySeconds) + 1, days});
    }
    if (result < 0) {
        sales_csv_cleanup(dirname);
    } else if (in_setup == 0) {
        ecr_setup_mode(hostname, false);
    }
    return result;
}

}  // namespace veltra

using namespace veltra;

extern "C" ECR_API int32_t ECR_CALL ecr_recv_vend_corrente(const char* hostname,
                                                           const char* dirname) {
    return export_call(
        ERR_FILE_CREATION,
        [&]() noexcept {
            ecr_trace("%s ecr_recv_vend_corrente -- begin: hostname='%s' dirname='%s'\n",
                      ecr_trace_time(), trace_text(hostname), trace_text(dirname));
        },
        [&] {
            try {
                return recv_vend_corrente(hostname, dirname, kVendCorrPollMs);
            } catch (...) {
                sales_csv_cleanup(dirname);  // a failure leaves no half-written day
                throw;
            }
        },
        [](std::int32_t result) noexcept {
            char text[kResultTextSize];
            ecr_trace("%s ecr_recv_vend_corrente -- end  : count='%s'\n", ecr_trace_time(),
                      ecr_err_name(result, text));
        });
}

extern "C" ECR_API int32_t ECR_CALL ecr_recv_vend_storico(const char* hostname, const char* dirname,
                                                          int32_t from_day, int32_t from_month,
                                                          int32_t from_year, int32_t to_day,
                                                          int32_t to_month, int32_t to_year) {
    return export_call(
        ERR_FILE_CREATION,
        [&]() noexcept {
            // The begin line has no closing quote after the second date.
            ecr_trace(
                "%s ecr_recv_vend_storico -- begin: hostname='%s' dirname='%s' from='%d/%d/%d' "
                "to='%d/%d/%d\n",
                ecr_trace_time(), trace_text(hostname), trace_text(dirname),
                static_cast<int>(from_day), static_cast<int>(from_month),
                static_cast<int>(from_year), static_cast<int>(to_day), static_cast<int>(to_month),
                static_cast<int>(to_year));
        },
        [&] {
            try {
                return recv_vend_storico(hostname, dirname, from_day, from_month, from_year, to_day,
                                         to_month, to_year);
            } catch (...) {
                sales_csv_cleanup(dirname);
                throw;
            }
        },
        [](std::int32_t result) noexcept {
            char text[kResultTextSize];
            ecr_trace("%s ecr_recv_vend_storico -- end  : count='%s'\n", ecr_trace_time(),
                      ecr_err_name(result, text));
        });
}
