// What the page and its keypad use: the page, the key table, key presses,
// and the displays as server-sent events.
#include <optional>

#include "keypad_api.hpp"
#include "page.hpp"
#include "routes.hpp"

namespace veltra::tool::serve {
namespace {

constexpr std::size_t kMaxKeysBody = 16u << 10;
constexpr std::size_t kMaxKeys = 64;

}  // namespace

void Routes::page_routes() {
    server_.get("/", [](const http::Request&, http::Response& res) {
        res.set_content(page_html(), "text/html; charset=utf-8");
    });
    server_.get("/api/v1/keypad", [](const http::Request&, http::Response& res) {
        send_json(res, 200, keypad_json());
    });
}

void Routes::keypad_routes() {
    server_.post(R"(/api/v1/registers/([^/]+)/keys)",
                 [this](const http::Request& req, http::Response& res) {
                     Register* r = find_register(req, res);
                     if (r == nullptr) return;
                     post_keys(req, res, *r);
                 });

    server_.get(R"(/api/v1/registers/([^/]+)/display)",
                [this](const http::Request& req, http::Response& res) {
                    Register* r = find_register(req, res);
                    if (r == nullptr) return;
                    stream_display(res, {r}, false);
                });
    // Every register's display on one stream, each event naming its
    // register: a browser's tabs share it (see the page).
    server_.get("/api/v1/display", [this](const http::Request&, http::Response& res) {
        std::vector<Register*> all;
        for (auto& [name, r] : registers_) all.push_back(&r);
        stream_display(res, all, true);
    });
}

// The displays as server-sent events: one event per new text, and a
// comment now and then to keep a quiet line open. The stream costs no
// thread; each register's watch writes to it.
void Routes::stream_display(http::Response& res, const std::vector<Register*>& regs, bool named) {
    res.set_header("X-Accel-Buffering", "no");
    const http::Stream out = res.stream("text/event-stream");
    for (Register* r : regs) {
        auto last = std::make_shared<std::string>();
        const std::string name = r->config.name;
        r->display->watch(
            [out, last, name, named](const std::string& text, bool connected, bool beat) {
                Json j = {{"text", text}, {"connected", connected}};
                if (named) j["register"] = name;
                std::string event = "event: display\ndata: " + j.dump() + "\n\n";
                if (event == *last) {
                    if (!beat) return true;
                    event = ": still here\n\n";
                } else {
                    *last = event;
                }
                return out.write(std::move(event));
            });
    }
}

void Routes::post_keys(const http::Request& req, http::Response& res, Register& r) {
    if (req.body.size() > kMaxKeysBody) {
        send_error(res, 413, "body too large");
        return;
    }
    Json body;
    try {
        body = Json::parse(req.body);
    } catch (const std::exception&) {
        send_error(res, 400, "the body is not JSON: {\"keys\": [\"1\", \"TOTALE\"]}");
        return;
    }
    if (!body.is_object() || !body.contains("keys") || !body["keys"].is_array() ||
        body["keys"].empty() || body["keys"].size() > kMaxKeys) {
        send_error(res, 400, "keys: a list of 1 to 64 key names");
        return;
    }
    std::vector<std::string> codes;
    for (const Json& k : body["keys"]) {
        const auto code = k.is_string() ? key_code(k.get<std::string>()) : std::nullopt;
        if (!code) {
            send_error(res, 400, "unknown key: " + k.dump());
            return;
        }
        codes.push_back(*code);
    }
    auto job = op_job(r, "keys", "keys", false);
    job->request["keys"] = codes;
    change(req, res, r, job);
}

}  // namespace veltra::tool::serve
