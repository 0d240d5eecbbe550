// Reports over the sales history: JSON, a CSV for Excel, a workbook. They
// read the database, so they run off the server's threads.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "report_routes.hpp"
#include "routes.hpp"
#include "sales_export.hpp"
#include "sales_history.hpp"
#include "sales_report_json.hpp"
#include "sales_xlsx.hpp"

namespace veltra::tool::serve {
namespace {

// A range longer than this is a mistake, not a report.
constexpr std::int32_t kMaxYears = 10;

// The query's from, to and registers; false with the answer sent when
// they do not read.
bool read_query(const http::Request& req, http::Response& res, ReportQuery& q) {
    const std::string from = req.get_param_value("from");
    const std::string to = req.get_param_value("to");
    q.from = parse_report_day(from, '-');
    q.to = parse_report_day(to, '-');
    if (q.from == 0 || q.to == 0) {
        send_error(
            res, 400,
            "from and to are dates DD-MM-YY: \"" + (q.from == 0 ? from : to).substr(0, 32) + "\"");
        return false;
    }
    if (q.from > q.to) {
        send_error(res, 400, "from is after to");
        return false;
    }
    if (q.to - q.from > kMaxYears * 10000) {
        send_error(res, 400, "a report covers at most " + std::to_string(kMaxYears) + " years");
        return false;
    }
    std::stringstream names(req.get_param_value("register"));
    for (std::string name; std::getline(names, name, ',');)
        if (!name.empty()) q.registers.push_back(name);
    return true;
}

std::string file_stem(const ReportQuery& q) {
    return "vendite_" + iso_day(q.from) + "_" + iso_day(q.to);
}

}  // namespace

void add_report_routes(http::Server& server, SalesHistory& history,
                       const std::filesystem::path& files_dir, RouteCheck allowed) {
    SalesHistory* const history_ = &history;
    server.get(R"(/api/v1/reports/sales)", [&server, history_, allowed](const http::Request& req,
                                                                        http::Response& res) {
        if (!allowed(req, res)) return;
        ReportQuery q;
        if (!read_query(req, res, q)) return;
        const std::string by = req.has_param("by") ? req.get_param_value("by") : "day";
        const std::optional<ReportBy> grouping = report_by_of(by);
        if (!grouping) {
            send_error(res, 400,
                       "by is day, department, article or register: \"" + by.substr(0, 32) + "\"");
            return;
        }
        q.by = *grouping;
        if (req.has_param("top")) {
            const std::string top = req.get_param_value("top");
            if (top.empty() || top.size() > 5 ||
                top.find_first_not_of("0123456789") != std::string::npos) {
                send_error(res, 400, "top is a number of groups, 0 for all");
                return;
            }
            q.top = std::stoi(top);
        }
        const std::string format = req.get_param_value("format");
        if (!format.empty() && format != "json" && format != "excel-csv") {
            send_error(res, 400, "format is json or excel-csv");
            return;
        }
        const http::Reply reply = res.defer();
        server.run_blocking([history_, reply, q, format] {
            http::Response out = reply.response();
            try {
                const SalesReport report = history_->report(q);
                if (format == "excel-csv") {
                    std::ostringstream csv;
                    write_excel_csv(report, csv);
                    out.status = 200;
                    out.set_header("Content-Disposition", "attachment; filename=\"" + file_stem(q) +
                                                              "_" + report_by_name(q.by) +
                                                              ".csv\"");
                    out.set_content(csv.str(), "text/csv; charset=utf-8");
                } else {
                    send_json(out, 200, report_json(report));
                }
            } catch (const UnknownRegister& e) {
                send_error(out, 404, e.what());
            } catch (const std::exception& e) {
                send_error(out, 500, std::string("the sales history cannot answer: ") + e.what());
            }
            reply.send(std::move(out));
        });
    });
    server.get(R"(/api/v1/reports/sales\.xlsx)", [&server, history_, files_dir, allowed](
                                                     const http::Request& req,
                                                     http::Response& res) {
        if (!allowed(req, res)) return;
        if (!sales_xlsx_available()) {
            send_error(res, 501,
                       "this veltra was built without XLSX (libxlsxwriter); use "
                       "format=excel-csv");
            return;
        }
        ReportQuery q;
        if (!read_query(req, res, q)) return;
        const http::Reply reply = res.defer();
        server.run_blocking([history_, files_dir, reply, q] {
            http::Response out = reply.response();
            static std::atomic<unsigned> counter{0};
            const std::filesystem::path file =
                files_dir / ("report-" + std::to_string(++counter) + "-" + file_stem(q) + ".xlsx");
            try {
                const SalesReportSet set = history_->report_set(q.from, q.to, q.registers);
                std::string error;
                if (!write_sales_xlsx(set, file, error)) {
                    send_error(out, 500, "cannot write the workbook: " + error);
                } else {
                    std::ifstream f(file, std::ios::binary);
                    std::string bytes(std::istreambuf_iterator<char>(f), {});
                    out.status = 200;
                    out.set_header("Content-Disposition",
                                   "attachment; filename=\"" + file_stem(q) + ".xlsx\"");
                    out.set_content(
                        std::move(bytes),
                        "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet");
                }
            } catch (const UnknownRegister& e) {
                send_error(out, 404, e.what());
            } catch (const std::exception& e) {
                send_error(out, 500, std::string("the sales history cannot answer: ") + e.what());
            }
            std::error_code ec;
            std::filesystem::remove(file, ec);
            reply.send(std::move(out));
        });
    });
}

void Routes::report_routes() {
    if (history_ == nullptr) return;
    add_report_routes(server_, *history_, std::filesystem::path(config_.state_dir) / "files",
                      [](const http::Request&, http::Response&) { return true; });
}

}  // namespace veltra::tool::serve
