// The schedules: the set in use with each one's next run and the recent
// runs, and the set replaced through the API (kept in the journal) or
// given back to the configuration file's.
#include <sstream>

#include "routes.hpp"
#include "schedules.hpp"

namespace veltra::tool::serve {
namespace {

// The set a body holds: {"schedules": [{...}, ...]} as JSON, or text with
// one "schedule ..." line each, as in the configuration file. Nothing, with
// error set, when any of it is wrong.
std::optional<std::vector<Schedule>> schedules_of(const http::Request& req, std::string& error) {
    std::vector<Schedule> set;
    const std::string type = req.get_header_value("Content-Type");
    if (type.rfind("application/json", 0) == 0) {
        const Json body = Json::parse(req.body, nullptr, false);
        if (!body.is_object() || !body.contains("schedules") || !body["schedules"].is_array()) {
            error = "the body is {\"schedules\": [...]}";
            return std::nullopt;
        }
        for (const Json& item : body["schedules"]) {
            Schedule s;
            if (!schedule_from_json(item, s, error)) {
                error = "schedule " + std::to_string(set.size() + 1) + ": " + error;
                return std::nullopt;
            }
            set.push_back(s);
        }
        return set;
    }
    std::istringstream in(req.body);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = line.substr(0, line.find('#'));
        const std::size_t a = line.find_first_not_of(" \t\r");
        if (a == std::string::npos) continue;
        line = line.substr(a, line.find_last_not_of(" \t\r") - a + 1);
        Schedule s;
        constexpr std::string_view word = "schedule ";
        if (line.rfind(word, 0) != 0) {
            error =
                "line " + std::to_string(number) + ": a line is \"schedule NAME HH:MM KIND ...\"";
            return std::nullopt;
        }
        if (!parse_schedule(line.substr(word.size()), s, error)) {
            error = "line " + std::to_string(number) + ": " + error;
            return std::nullopt;
        }
        set.push_back(s);
    }
    return set;
}

bool confirmed_here(const http::Request& req, http::Response& res) {
    if (req.get_param_value("confirm") == "1") return true;
    send_error(res, 400, "this call changes the service's schedules: add confirm=1");
    return false;
}

}  // namespace

void Routes::schedule_routes() {
    server_.get("/api/v1/schedules", [this](const http::Request&, http::Response& res) {
        send_json(res, 200, scheduler_->describe());
    });
    // Everything is checked before anything changes.
    server_.put("/api/v1/schedules", [this](const http::Request& req, http::Response& res) {
        if (!confirmed_here(req, res)) return;
        std::string error;
        auto set = schedules_of(req, error);
        if (!set || !scheduler_->replace(std::move(*set), error)) {
            send_error(res, 400, error);
            return;
        }
        send_json(res, 200, scheduler_->describe());
    });
    server_.del("/api/v1/schedules", [this](const http::Request& req, http::Response& res) {
        if (!confirmed_here(req, res)) return;
        scheduler_->use_config();
        send_json(res, 200, scheduler_->describe());
    });
}

}  // namespace veltra::tool::serve
