// Groups of registers and the operations over them: a table pushed to
// every register of a group, and a backup or the day's sales of each.
#include "fleet_routes.hpp"
#include "routes.hpp"

namespace veltra::tool::serve {
namespace {

// The request's group; nullptr when there is none of that name (answered 404).
const Group* find_group(const std::vector<Group>& groups, const http::Request& req,
                        http::Response& res) {
    const std::string name = req.matches[1].str();
    for (const Group& g : groups)
        if (g.name == name) return &g;
    send_error(res, 404, "unknown group: " + name);
    return nullptr;
}

// A whole number from 0 to high in a query; nullopt when it is not one.
std::optional<int> query_number(const std::string& text, int high) {
    if (text.empty()) return 0;
    if (text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int n = std::stoi(text);
    return n <= high ? std::optional(n) : std::nullopt;
}

}  // namespace

void add_fleet_routes(http::Server& server, Fleet& fleet, const std::vector<Group>& groups,
                      FleetRouteAccess access) {
    server.get("/api/v1/groups", [&groups, access](const http::Request& req, http::Response& res) {
        if (!access.allowed(req, res)) return;
        Json list = Json::array();
        for (const Group& g : groups) list.push_back({{"id", g.name}, {"registers", g.registers}});
        send_json(res, 200, {{"groups", list}});
    });

    // The group's answer to an operation started: 202 and where to follow it.
    const auto started = [](http::Response& res, const Json& op) {
        res.set_header("Location", "/api/v1/fleet/" + op["id"].get<std::string>());
        send_json(res, 202, op);
    };

    server.put(
        R"(/api/v1/groups/([^/]+)/tables/(reparti|plu|clienti))",
        [&fleet, &groups, access, started](const http::Request& req, http::Response& res) {
            if (!access.allowed(req, res)) return;
            const Group* g = find_group(groups, req, res);
            if (g == nullptr) return;
            if (req.get_param_value("confirm") != "1") {
                send_error(res, 400, "this call changes the registers: add confirm=1");
                return;
            }
            if (!Routes::csv_body(req, res)) return;
            const auto canary = query_number(req.get_param_value("canary"), 1000);
            if (!canary) {
                send_error(res, 400, "canary is a number of registers");
                return;
            }
            TablePush push;
            push.table = req.matches[2].str();
            push.csv = req.body;
            push.canary = *canary;
            push.stop_on_failure = req.get_param_value("stop_on_failure") == "1";
            push.allow_reset = req.get_param_value("allow_reset") == "1";
            started(res, fleet.push_table(g->name, g->registers, std::move(push), access.who(req)));
        });

    server.post(R"(/api/v1/groups/([^/]+)/(backup|sales/today))",
                [&fleet, &groups, access, started](const http::Request& req, http::Response& res) {
                    if (!access.allowed(req, res)) return;
                    const Group* g = find_group(groups, req, res);
                    if (g == nullptr) return;
                    const std::string kind =
                        req.matches[2].str() == "backup" ? "backup" : "sales today";
                    started(res, fleet.read_each(g->name, g->registers, kind, access.who(req)));
                });

    server.get("/api/v1/fleet", [&fleet, access](const http::Request& req, http::Response& res) {
        if (!access.allowed(req, res)) return;
        send_json(res, 200, fleet.list());
    });

    // ?wait=S: the answer comes once the operation has ended, or after S
    // seconds (at most 60) with it still running.
    server.get(R"(/api/v1/fleet/([^/]+))",
               [&fleet, access](const http::Request& req, http::Response& res) {
                   if (!access.allowed(req, res)) return;
                   const auto wait = query_number(req.get_param_value("wait"), 60);
                   if (!wait) {
                       send_error(res, 400, "wait is a number of seconds, at most 60");
                       return;
                   }
                   const std::string id = req.matches[1].str();
                   if (fleet.describe(id).is_null()) {
                       send_error(res, 404, "unknown operation: " + id);
                       return;
                   }
                   if (*wait == 0) {
                       send_json(res, 200, fleet.describe(id));
                       return;
                   }
                   const http::Reply reply = res.defer();
                   const auto send = [&fleet, reply, id] {
                       http::Response out;
                       send_json(out, 200, fleet.describe(id));
                       reply.send(std::move(out));
                   };
                   reply.on_timeout(std::chrono::seconds(*wait), send);
                   fleet.when_ended(id, send);
               });

    // Stops a table push: registers it has not started on stay untouched.
    server.post(R"(/api/v1/fleet/([^/]+)/cancel)",
                [&fleet, access](const http::Request& req, http::Response& res) {
                    if (!access.allowed(req, res)) return;
                    const std::string id = req.matches[1].str();
                    switch (fleet.cancel(id, access.who(req))) {
                        case Fleet::Cancel::unknown:
                            send_error(res, 404, "unknown operation: " + id);
                            return;
                        case Fleet::Cancel::ended:
                            send_error(res, 409, "operation " + id + " has ended");
                            return;
                        case Fleet::Cancel::not_a_push:
                            send_error(res, 409,
                                       "only a table push is cancelled: a backup or the day's "
                                       "sales of each register changes nothing");
                            return;
                        case Fleet::Cancel::asked:
                            send_json(res, 202, fleet.describe(id));
                            return;
                    }
                });
}

void Routes::group_routes() {
    if (fleet_ == nullptr) return;
    add_fleet_routes(server_, *fleet_, config_.groups,
                     {[](const http::Request&, http::Response&) { return true; },
                      [this](const http::Request&) {
                          return config_.token.empty() ? "local" : config_.token_name;
                      }});
}

}  // namespace veltra::tool::serve
