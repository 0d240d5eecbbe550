// `veltra fleet`: operations over a group of registers, asked of the shop's
// service, which alone drives its registers: a table pushed to the group,
// and a backup or the day's sales of each register. The command starts the
// operation, follows it to its end and prints one line per register.
#include <CLI/CLI.hpp>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "command_table.hpp"
#include "serve/config.hpp"
#include "serve/guard.hpp"
#include "serve/http_client.hpp"

namespace veltra::tool {
namespace {

using Json = nlohmann::json;

// Where the service is and how to be let in.
struct ServiceOption {
    std::string url = "http://127.0.0.1:8090";
    std::string token_file;
    std::string ca_file;
    std::string group;
    bool with_group = true;

    // without_group: the command names an operation, not a group.
    void declare(CLI::App& app, bool group_option = true) {
        with_group = group_option;
        if (with_group)
            app.add_option("--group", group, "the group of registers, as the service names it")
                ->required();
        app.add_option("--service", url,
                       "the shop's veltra serve (http://127.0.0.1:8090), or the chain's "
                       "central service for a group of many shops' registers");
        app.add_option("--token-file", token_file,
                       "file whose first line is the service's token, if it asks for one");
        app.add_option("--ca-file", ca_file,
                       "PEM file of the authority an https:// service's certificate must chain "
                       "to (default: the system's; on Windows always the machine's store)");
    }

    http::Client client() const {
        http::Endpoint where;
        std::string error;
        if (!http::parse_endpoint(url, where, error)) throw UsageError{"--service: " + error};
        if (!ca_file.empty()) {
            if (!where.tls) throw UsageError{"--ca-file goes with an https:// --service"};
#ifdef _WIN32
            throw UsageError{http::windows_trust_advice(ca_file, "--ca-file")};
#endif
        }
        if (with_group && !serve::valid_name(group))
            throw UsageError{"a group name has 1 to 32 letters, digits, '-' or '_': " + group};
        http::Client c(where, http::TlsOptions{ca_file});
        c.set_timeout(std::chrono::seconds(90));
        if (!token_file.empty()) {
            std::ifstream f(token_file);
            std::string token;
            if (!std::getline(f, token)) throw UsageError{"cannot read " + token_file};
            while (!token.empty() && (token.back() == '\r' || token.back() == ' '))
                token.pop_back();
            c.set_bearer_token(token);
        }
        return c;
    }
};

// The answer's JSON, or the service's refusal as the command's failure.
std::optional<Json> answered(Context& ctx, const std::optional<http::Client::Result>& r,
                             const http::Client& c, const std::string& url) {
    if (!r) {
        ctx.err() << "veltra: the service at " << url << " did not answer (" << c.last_error()
                  << ")\n";
        return std::nullopt;
    }
    Json j = Json::parse(r->body, nullptr, false);
    if (r->status >= 300 || j.is_discarded()) {
        std::string message = r->body;
        if (!j.is_discarded() && j.contains("error") && j["error"].is_object())
            message = j["error"].value("message", r->body);
        ctx.err() << "veltra: the service refused (" << r->status << "): " << message << "\n";
        return std::nullopt;
    }
    return j;
}

// Follows the operation to its end, then prints it; its last summary in
// *last when asked.
int follow(Context& ctx, http::Client& c, const ServiceOption& s, Json op, Json* last = nullptr) {
    while (op.value("state", "") == "running") {
        const auto r = c.get("/api/v1/fleet/" + op["id"].get<std::string>() + "?wait=30");
        auto next = answered(ctx, r, c, s.url);
        if (!next) return kExitFailure;
        op = std::move(*next);
    }
    if (last != nullptr) *last = op;
    int unknown = 0, bad = 0;
    for (const Json& step : op["registers"]) {
        const std::string state = step.value("state", "");
        unknown += state == "unknown";
        bad += state != "applied" && state != "succeeded" && state != "unknown";
    }
    if (ctx.json) {
        ctx.emit(op);
    } else {
        ctx.out() << op.value("kind", "") << " over group " << op.value("group", "") << ": "
                  << op.value("state", "") << " (" << op.value("id", "") << ")\n";
        for (const Json& step : op["registers"]) {
            ctx.out() << "  " << step.value("register", "") << "  ";
            // Over a chain, the register's shop.
            if (step.contains("shop")) ctx.out() << "shop " << step.value("shop", "") << "  ";
            ctx.out() << (step.value("canary", false) ? "canary  " : "") << step.value("state", "");
            if (step.contains("job")) ctx.out() << "  job " << step["job"].get<std::string>();
            if (step.contains("error") && step["error"].is_object())
                ctx.out() << "  " << step["error"].value("message", "");
            ctx.out() << "\n";
        }
        std::string counts;
        for (const auto& [state, n] : op["counts"].items())
            counts += (counts.empty() ? "" : ", ") + std::to_string(n.get<int>()) + " " + state;
        ctx.out() << counts << "\n";
        if (op.contains("reason")) ctx.out() << op["reason"].get<std::string>() << "\n";
    }
    if (bad > 0 || op.value("state", "") != "done") return kExitFailure;
    return unknown > 0 ? kExitUnknown : kExitOk;
}

struct FleetTablesPut {
    std::string table;
    std::string csv;
    int canary = 0;
    bool stop_on_failure = false;
    bool allow_reset = false;
    bool yes = false;
    ServiceOption service;

    void declare(CLI::App& app) {
        app.add_option("TABLE", table, "reparti, plu or clienti")
            ->required()
            ->check(CLI::IsMember({"reparti", "plu", "clienti"}));
        app.add_option("CSV", csv, "the table as CSV, as `tables get` writes it")->required();
        service.declare(app);
        app.add_option("--canary", canary,
                       "the group's first N registers take the table first, one at a time; "
                       "the first that does not stops the push")
            ->check(CLI::Range(0, 1000));
        app.add_flag("--stop-on-failure", stop_on_failure,
                     "one register after another, stopping at the first that does not take it");
        app.add_flag("--allow-reset", allow_reset,
                     "let records the CSV does not name be reset to their defaults");
        app.add_flag("--yes", yes, "do not ask for confirmation");
        app.footer(
            "Every register of the group is compared first; if any would refuse the table as a\n"
            "single upload would, nothing is uploaded. Exit status 0 when every register took\n"
            "it, 3 when some verdict is unknown, 1 otherwise.");
    }
    int run(Context& ctx) {
        std::ifstream f(csv, std::ios::binary);
        if (!f) throw UsageError{"cannot read " + csv};
        std::ostringstream body;
        body << f.rdbuf();
        http::Client c = service.client();
        if (!ctx.confirm(yes,
                         "Upload " + csv + " to the " + table + " table of every register of " +
                             "group " + service.group + "?",
                         "fleet tables put")) {
            ctx.err() << "veltra: not confirmed, nothing uploaded\n";
            return kExitFailure;
        }
        std::string target = "/api/v1/groups/" + service.group + "/tables/" + table +
                             "?confirm=1&canary=" + std::to_string(canary);
        if (stop_on_failure) target += "&stop_on_failure=1";
        if (allow_reset) target += "&allow_reset=1";
        const auto r = c.put(target, body.str(), "text/csv", {{serve::kRequestHeader, "1"}});
        auto op = answered(ctx, r, c, service.url);
        return op ? follow(ctx, c, service, std::move(*op)) : kExitFailure;
    }
};

// A read of every register of the group: "backup" or "sales/today".
template <const char* kPath>
struct FleetRead {
    ServiceOption service;
    void declare(CLI::App& app) { service.declare(app); }
    int run(Context& ctx) {
        http::Client c = service.client();
        const auto r = c.post("/api/v1/groups/" + service.group + "/" + kPath, "", "",
                              {{serve::kRequestHeader, "1"}});
        auto op = answered(ctx, r, c, service.url);
        return op ? follow(ctx, c, service, std::move(*op)) : kExitFailure;
    }
};

// Stops a table push and follows it to its end.
struct FleetCancel {
    std::string id;
    ServiceOption service;

    void declare(CLI::App& app) {
        app.add_option("OPERATION", id, "the push's id, as `fleet` printed it (fleet-...)")
            ->required();
        service.declare(app, false);
        app.footer(
            "Registers the push has not started on stay untouched; an upload already running\n"
            "ends with its verdict; over a chain, uploads still waiting for their shop are taken\n"
            "back. Exit status 0 once the push has stopped (3 when some verdict is unknown).");
    }
    int run(Context& ctx) {
        if (id.empty() || id.size() > 64 ||
            id.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") != std::string::npos)
            throw UsageError{"not an operation's id: " + id};
        http::Client c = service.client();
        const auto r =
            c.post("/api/v1/fleet/" + id + "/cancel", "", "", {{serve::kRequestHeader, "1"}});
        auto op = answered(ctx, r, c, service.url);
        if (!op) return kExitFailure;
        Json last;
        const int status = follow(ctx, c, service, std::move(*op), &last);
        if (!last.contains("cancelled_by")) return status;
        return status == kExitUnknown ? kExitUnknown : kExitOk;
    }
};

constexpr char kBackupPath[] = "backup";
constexpr char kSalesTodayPath[] = "sales/today";

}  // namespace

std::vector<Command> fleet_commands() {
    std::vector<Command> c;
    c.push_back(command<FleetTablesPut>(
        {"fleet", "tables", "put"},
        "push a table to every register of a group: compared first, then canaries, then the rest",
        "the service's PUT /api/v1/groups/{g}/tables/{table}",
        "veltra fleet tables put plu plu.csv --group shops --canary 1 --stop-on-failure"));
    c.push_back(command<FleetRead<kBackupPath>>(
        {"fleet", "backup"}, "a backup of every register of a group, kept in the service's store",
        "the service's POST /api/v1/groups/{g}/backup", "veltra fleet backup --group shops"));
    c.push_back(command<FleetRead<kSalesTodayPath>>(
        {"fleet", "sales-today"},
        "the day's sales of every register of a group, kept in the service's sales history",
        "the service's POST /api/v1/groups/{g}/sales/today",
        "veltra fleet sales-today --group shops --json"));
    c.push_back(command<FleetCancel>(
        {"fleet", "cancel"}, "stop a table push: registers it has not started on stay untouched",
        "the service's POST /api/v1/fleet/{id}/cancel",
        "veltra fleet cancel fleet-3-1765440000000"));
    return c;
}

}  // namespace veltra::tool
