// A sales report as JSON: euros beside the exact cents, texts in UTF-8.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "sales_report.hpp"

namespace veltra::tool::serve {

nlohmann::json report_json(const SalesReport& report);

std::string report_by_name(ReportBy by);
std::optional<ReportBy> report_by_of(const std::string& name);

}  // namespace veltra::tool::serve
