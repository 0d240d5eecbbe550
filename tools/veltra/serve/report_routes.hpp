// The sales reports' routes, the same on a shop's service (its registers'
// history) and on a chain's central service (every shop's): a report as
// JSON or a CSV for Excel, and the workbook of a range.
#pragma once

#include <filesystem>
#include <functional>

#include "http.hpp"

namespace veltra::tool::serve {

class SalesHistory;

// Whether the caller may ask; answers the refusal itself when not.
using RouteCheck = std::function<bool(const http::Request&, http::Response&)>;

// history outlives the server; a workbook is written in files_dir on its
// way out.
void add_report_routes(http::Server& server, SalesHistory& history,
                       const std::filesystem::path& files_dir, RouteCheck allowed);

}  // namespace veltra::tool::serve
