// Reports as the API and `veltra sales report --json` answer them.
#include "sales_report_json.hpp"

#include "sales_history.hpp"

namespace veltra::tool::serve {
namespace {

using Json = nlohmann::json;

// Euros for people and programs that want a number, and the cents that
// add up exactly.
void put_totals(Json& j, const SalesTotals& t) {
    j["amount"] = static_cast<double>(t.amount) / 100.0;
    j["amount_cents"] = t.amount;
    j["quantity"] = t.quantity;
    j["discount_cents"] = t.discount;
    j["returns_cents"] = t.returns;
    j["returns_quantity"] = t.returns_quantity;
}

Json totals_json(const SalesTotals& t) {
    Json j = Json::object();
    put_totals(j, t);
    return j;
}

Json row_json(ReportBy by, const ReportRow& r) {
    Json j = Json::object();
    switch (by) {
        case ReportBy::day:
            j["day"] = iso_day(r.day);
            j["registers"] = r.count;
            break;
        case ReportBy::register_name:
            j["register"] = r.register_name;
            j["days"] = r.count;
            break;
        case ReportBy::department:
        case ReportBy::article:
            j[by == ReportBy::department ? "department" : "article"] = r.number;
            if (by == ReportBy::article) j["ean"] = r.ean;
            j["descr"] = r.descr;
            if (by == ReportBy::article) j["department"] = r.department;
            j["vat_descr"] = r.vat_descr;
            j["vat_percent"] = static_cast<double>(r.vat_rate) / 100.0;
            break;
    }
    put_totals(j, r.totals);
    return j;
}

}  // namespace

std::string report_by_name(ReportBy by) {
    switch (by) {
        case ReportBy::day:
            return "day";
        case ReportBy::department:
            return "department";
        case ReportBy::article:
            return "article";
        case ReportBy::register_name:
            return "register";
    }
    return "day";
}

std::optional<ReportBy> report_by_of(const std::string& name) {
    for (ReportBy by :
         {ReportBy::day, ReportBy::department, ReportBy::article, ReportBy::register_name})
        if (report_by_name(by) == name) return by;
    return std::nullopt;
}

Json report_json(const SalesReport& r) {
    Json groups = Json::array();
    for (const ReportRow& row : r.rows) groups.push_back(row_json(r.by, row));
    return Json{{"from", iso_day(r.from)},
                {"to", iso_day(r.to)},
                {"by", report_by_name(r.by)},
                {"registers", r.registers},
                {"days", r.days},
                {"groups", std::move(groups)},
                {"total", totals_json(r.total)},
                {"articles_total", totals_json(r.articles_total)}};
}

}  // namespace veltra::tool::serve
