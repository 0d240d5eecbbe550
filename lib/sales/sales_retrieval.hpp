// The day's sales and past days' sales fetched from the register as CSV:
// ecr_recv_vend_corrente and ecr_recv_vend_storico work through these.
#pragma once

#include <cstdint>

namespace veltra {

// Between polls of the register after "VENDCORR".
inline constexpr std::uint32_t kVendCorrPollMs = 5000;

// The register's names of the current day's sales files.
inline constexpr const char* kSalesSummaryFile = "ART_VENDUTI.BIN";
inline constexpr const char* kCurrentSalesFile = "VENDCORR.DAT";

// ecr_recv_vend_corrente with the poll interval as a parameter.
std::int32_t recv_vend_corrente(const char* hostname, const char* dirname, std::uint32_t poll_ms);

// ecr_recv_vend_storico: dates are day, month and two-digit year.
std::int32_t recv_vend_storico(const char* hostname, const char* dirname, std::int32_t from_day,
                               std::int32_t from_month, std::int32_t from_year, std::int32_t to_day,
                               std::int32_t to_month, std::int32_t to_year);

}  // namespace veltra
