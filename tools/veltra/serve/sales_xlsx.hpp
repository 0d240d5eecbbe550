// A sales report as an Excel workbook: a sheet a grouping, amounts as
// numbers in euros, a totals row and a chart of the days.
#pragma once

#include <filesystem>
#include <string>

#include "sales_report.hpp"

namespace veltra::tool::serve {

// False when this build has no XLSX writer.
bool sales_xlsx_available();

// Writes the workbook to file, whole or not at all (a temporary file
// renamed into place). False with error set on any failure.
bool write_sales_xlsx(const SalesReportSet& reports, const std::filesystem::path& file,
                      std::string& error);

}  // namespace veltra::tool::serve
