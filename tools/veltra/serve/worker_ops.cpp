// The worker's operations. The service names every file and folder (after
// the job's id, inside the worker's directory); the register's answers go
// back as the tool's --json result objects, handed over as objects.
#include "worker_ops.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "command_functions.hpp"
#include "failure.hpp"
#include "internal.hpp"
#include "key_table.hpp"
#include "tool_context.hpp"
#include "veltra.h"
#include "verdict.hpp"
#include "worker_protocol.hpp"

namespace veltra::tool::serve {
namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// The day's sales are polled every second after "VENDCORR", not every 5 s
// as ecr_recv_vend_corrente does, so that an HTTP answer does not wait
// seconds longer than the register needs.
constexpr std::uint32_t kSalesPollMs = 1000;

// A line at most every 100 ms per transfer, and one when each starts.
constexpr auto kProgressEvery = std::chrono::milliseconds(100);

// Which transfers a job's progress counts.
enum class Counted {
    kFiles,    // all but the command files
    kMembers,  // the twelve member files of an archive
    kPuts,     // files sent, but the command files
};

bool is_member(const std::string& name) {
    for (const Member& m : kMembers)
        if (name == m.name) return true;
    return false;
}

// What the job's transfers have moved, written as progress lines: the
// transfers counted, the current file, and the bytes of all of them
// against total (null when not known before).
class ProgressLines {
public:
    ProgressLines(Counted counted, std::int64_t total) : counted_(counted), total_(total) {
        set_transfer_observer(&ProgressLines::observe, this);
    }
    ~ProgressLines() { set_transfer_observer(nullptr, nullptr); }
    ProgressLines(const ProgressLines&) = delete;
    ProgressLines& operator=(const ProgressLines&) = delete;

    int transfers() const { return transfers_; }

private:
    static void observe(void* self, const TransferProgress& p) {
        static_cast<ProgressLines*>(self)->update(p);
    }
    bool counts(const TransferProgress& p) const {
        const std::string name(ecr_base_name(std::string_view(p.pathname)));
        if (name == "COMMAND.TXT") return false;
        switch (counted_) {
            case Counted::kFiles:
                return true;
            case Counted::kMembers:
                return is_member(name);
            case Counted::kPuts:
                return p.put;
        }
        return false;
    }
    void update(const TransferProgress& p) {
        const auto now = Clock::now();
        const bool first = p.done == 0;
        if (first) counting_ = counts(p);
        if (!counting_) return;
        if (first) {
            earlier_ += current_;
            current_ = 0;
            ++transfers_;
            file_ = std::string(ecr_base_name(std::string_view(p.pathname)));
            file_total_ = p.total;
            if (file_total_ < 0) {
                for (const Member& m : kMembers)
                    if (file_ == m.name) file_total_ = m.size;
            }
        }
        current_ = p.done;
        const bool last = file_total_ >= 0 && p.done >= file_total_;
        if (!first && !last && now - last_ < kProgressEvery) return;
        last_ = now;
        Json j = {{"transfers", transfers_},
                  {"file", file_},
                  {"file_done", p.done},
                  {"file_total", file_total_ >= 0 ? Json(file_total_) : Json(nullptr)},
                  {"done", earlier_ + current_},
                  {"total", total_ >= 0 ? Json(total_) : Json(nullptr)}};
        std::cout << kProgressMark << j.dump() << std::endl;
    }

    Counted counted_;
    std::int64_t total_;
    bool counting_ = false;
    int transfers_ = 0;
    std::string file_;
    std::int64_t file_total_ = -1;
    std::int64_t earlier_ = 0;
    std::int64_t current_ = 0;
    Clock::time_point last_{};
};

// The members' bytes, what a save fetches and a restore sends in the full layout.
std::int64_t members_total() {
    std::int64_t total = 0;
    for (const Member& m : kMembers) total += m.size;
    return total;
}

Json answer(const char* function, std::int32_t code, bool counted, Json extra = Json::object()) {
    Json result = result_object(function, code, counted);
    if (code < 0) result["meaning"] = result_meaning(code);
    for (auto& [key, value] : extra.items()) result[key] = value;
    const std::string err = code < 0 ? failure_line(function, code, "") : std::string();
    return {{"status", code < 0 ? 1 : 0}, {"result", std::move(result)}, {"err", err}};
}

// A command of the tool run with a context of its own: its --json object is
// the answer's result, its stderr the answer's err; what it would print on
// stdout goes nowhere. A change's fingerprint before it is written as a
// kBeforeMark line as soon as it is read.
Json run_command(const Json& request, const std::function<int(Context&)>& command) {
    std::ostringstream err;
    std::ostream discard(nullptr);
    std::istringstream in;
    Io io{discard, err, in, false, false};
    Context ctx(io);
    ctx.host_option = request.at("host").get<std::string>();
    ctx.json = true;
    ctx.quiet = true;
    Json result = nullptr;
    ctx.result_sink = &result;
    ctx.on_before = [](const Fingerprint& fp) {
        std::cout << kBeforeMark << fp.to_json().dump() << std::endl;
    };
    int status = kExitOk;
    try {
        status = command(ctx);
    } catch (const UsageError& e) {
        err << "veltra: " << e.message << "\n";
        status = kExitUsage;
    }
    return {{"status", status}, {"result", std::move(result)}, {"err", err.str()}};
}

// Key codes on the raw channel, one message per key, the way the keypad
// sends them. The host is resolved as every library call resolves it.
Json send_keys(const std::string& host, const std::vector<std::string>& codes) {
    std::uint32_t addr = 0;
    if (ecr_resolve_host(host.c_str(), addr) != 0)
        return {
            {"status", 1}, {"result", {{"sent", 0}}}, {"err", "host name not resolved: " + host}};
    sys::TcpStream s;
    if (s.connect(addr, veltra::line_port(), 0) != 0)
        return {{"status", 1}, {"result", {{"sent", 0}}}, {"err", "connection failed"}};
    int sent = 0;
    for (const std::string& code : codes) {
        const std::string m = delpad::key_message(code);
        if (s.send(std::span(reinterpret_cast<const std::uint8_t*>(m.data()), m.size())).status !=
            sys::TcpStatus::kDone)
            return {{"status", 1}, {"result", {{"sent", sent}}}, {"err", "connection closed"}};
        ++sent;
    }
    return {{"status", 0}, {"result", {{"sent", sent}}}, {"err", ""}};
}

// A confirmed upload or its dry run, one job: one download, the comparison
// and the service's refusal rules, then (not on a dry run) the upload and
// its verdict. A refusal, a dry run's included, answers status 2 with the
// comparison as its result.
Json put_table(const Json& request) {
    TablesPutOptions o;
    o.table = request.at("table").get<std::string>();
    o.csv = request.at("file").get<std::string>();
    o.dry_run = request.value("dry_run", false);
    o.allow_reset = request.value("allow_reset", false);
    o.refuse = [&o](const Json& comparison) {
        return upload_refusal(o.table, comparison, o.allow_reset || o.dry_run);
    };
    Json a = run_command(request, [&o](Context& ctx) { return tables_put(ctx, o); });
    Json& result = a["result"];
    if (!result.is_object() || !result.contains("refused")) return a;
    if (result["refused"].is_string()) {
        a["status"] = kExitUsage;
        a["err"] = result["refused"];
    } else {
        result.erase("refused");
    }
    return a;
}

std::optional<std::int64_t> counter_of(const Json& j, const char* key) {
    if (!j.contains(key) || !j[key].is_number_integer()) return std::nullopt;
    return j[key].get<std::int64_t>();
}

// A fingerprint as Fingerprint::to_json wrote it; empty for null.
std::optional<Fingerprint> fingerprint_from_json(const Json& j) {
    if (!j.is_object()) return std::nullopt;
    Fingerprint fp;
    fp.receipts = counter_of(j, "NUM_SCONTR");
    fp.closures = counter_of(j, "NUM_AZZ");
    fp.day_total = counter_of(j, "TOT_GIORNO");
    fp.invoices = counter_of(j, "NUM_FATT");
    fp.setup = j.value("SETUP", 0) != 0;
    fp.release = j.value("NOME_REL", "");
    fp.version = j.value("VERSIONE", "");
    return fp;
}

Reading read_again(const std::string& host) {
    Reading r;
    if (Fingerprint fp; (r.failure = read_fingerprint(host.c_str(), fp)) == 0) r.fingerprint = fp;
    return r;
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The verdict on a job's change, from the register read again now: kind and
// request are the job's, before its fingerprint read before the change.
Decision decide_again(const std::string& host, const std::string& kind, const Json& request,
                      const std::optional<Fingerprint>& before) {
    if (starts_with(kind, "command ")) {
        const auto number = register_command_request(kind.substr(8));
        if (!number) throw std::invalid_argument("no register command in kind: " + kind);
        return decide_command(*number, before, read_again(host));
    }
    if (starts_with(kind, "tables put ")) {
        return verify_table(host.c_str(), kind.substr(11), request.at("file").get<std::string>());
    }
    if (kind == "backup restore") {
        return decide_restore(
            read_back_restore(host.c_str(), request.at("file").get<std::string>()));
    }
    if (kind == "release update") {
        char name[ECR_REL_TEXT_BUFSIZE] = {};
        char version[ECR_REL_TEXT_BUFSIZE] = {};
        char bitmap[ECR_REL_BITMAP_BUFSIZE] = {};
        const std::string file = request.at("file").get<std::string>();
        if (const std::int32_t r = ecr_rel_info_file(file.c_str(), name, version, bitmap); r != 0)
            return {Verdict::unknown,
                    "the release file sent cannot be read (" + result_label(r) + ")",
                    {{"file_sent", result_label(r)}}};
        return decide_release(name, version, before, read_again(host));
    }
    if (kind == "keys") {
        // Keys move nothing a fingerprint tells apart from other keys.
        const Reading after = read_again(host);
        return {Verdict::unknown,
                "nothing the register shows tells whether the keys were taken",
                {{"before", before ? before->to_json() : Json(nullptr)},
                 {"after", after.fingerprint ? after.fingerprint->to_json()
                                             : Json{{"unreadable", result_label(after.failure)}}}}};
    }
    throw std::invalid_argument("no verdict for a job of kind " + kind);
}

Json verify(const Json& request) {
    const Decision d =
        decide_again(request.at("host").get<std::string>(), request.at("kind").get<std::string>(),
                     request.value("request", Json::object()),
                     fingerprint_from_json(request.value("before", Json(nullptr))));
    int status = kExitUnknown;
    if (d.verdict == Verdict::applied) status = kExitOk;
    if (d.verdict == Verdict::not_applied) status = kExitFailure;
    return {
        {"status", status},
        {"result",
         {{"verdict", verdict_name(d.verdict)}, {"reason", d.reason}, {"evidence", d.evidence}}},
        {"err", ""}};
}

Json release_show(const std::string& host) {
    char name[ECR_REL_TEXT_BUFSIZE] = {};
    char version[ECR_REL_TEXT_BUFSIZE] = {};
    char bitmap[ECR_REL_BITMAP_BUFSIZE] = {};
    const std::int32_t code = ecr_rel_info_cassa(host.c_str(), name, version, bitmap);
    return answer("ecr_rel_info_cassa", code, false,
                  {{"release", name}, {"version", version}, {"bitmap_type", bitmap}});
}

// The command checks the file on its own first, so that nothing reaches
// the register for a file that is no release. The answer keeps the
// release's names as release show gives them.
Json release_update(const Json& request) {
    const std::string file = request.at("file").get<std::string>();
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    ProgressLines progress(Counted::kPuts, ec ? -1 : static_cast<std::int64_t>(size));
    Json a = run_command(request,
                         [&file](Context& ctx) { return veltra::tool::release_update(ctx, file); });
    Json& result = a["result"];
    if (result.is_object() && result.contains("name")) {
        result["release"] = result["name"];
        result["bitmap_type"] = result.value("bitmap", "");
    }
    return a;
}

}  // namespace

std::string upload_refusal(const std::string& table, const Json& c, bool allow_reset) {
    const long bad = c.value("bad_lines", 0L);
    std::string lines;  // "2-80, 83 (line 2: why)": runs of line numbers, the first reason
    if (bad > 0 && !c["bad_line_list"].empty()) {
        const Json& list = c["bad_line_list"];
        for (std::size_t i = 0; i < list.size();) {
            std::size_t j = i;
            while (j + 1 < list.size() &&
                   list[j + 1].value("line", 0L) == list[j].value("line", 0L) + 1)
                ++j;
            if (!lines.empty()) lines += ", ";
            lines += std::to_string(list[i].value("line", 0L));
            if (j > i) lines += "-" + std::to_string(list[j].value("line", 0L));
            i = j + 1;
        }
        if (static_cast<std::size_t>(bad) > list.size()) lines += ", ...";
        lines += " (line " + std::to_string(list[0].value("line", 0L)) + ": " +
                 list[0].value("reason", "") + ")";
    }
    if (c.value("applied", 0) <= 0) {
        return "no line of the CSV applies to the " + table + " table: nothing uploaded" +
               (bad > 0 ? "; lines that do not parse: " + lines : "");
    }
    if (bad > 0) {
        return std::to_string(bad) + (bad == 1 ? " line" : " lines") +
               " of the CSV do not parse: " + lines + "; nothing uploaded";
    }
    const long reset = c.value("reset", 0L);
    if (reset > 0 && !allow_reset) {
        std::string records;
        for (const Json& rec : c["reset_list"]) {
            if (!records.empty()) records += ", ";
            records += std::to_string(rec.value("id", 0L)) + " " + rec.value("descr", "");
        }
        if (static_cast<std::size_t>(reset) > c["reset_list"].size()) records += ", ...";
        return "the upload would reset " + std::to_string(reset) + " " + table +
               " records to their defaults (" + records +
               "): nothing uploaded; add allow_reset=1 to reset them";
    }
    return "";
}

namespace {

Json run_named_op(const Json& request) {
    const std::string op = request.at("op").get<std::string>();
    const std::string host = request.at("host").get<std::string>();
    if (op == "sales-today") {
        ProgressLines progress(Counted::kFiles, -1);
        const std::string dir = request.at("dir").get<std::string>();
        return answer("ecr_recv_vend_corrente",
                      recv_vend_corrente(host.c_str(), dir.c_str(), kSalesPollMs), true);
    }
    if (op == "sales-range") {
        const std::string dir = request.at("dir").get<std::string>();
        const auto from = request.at("from").get<std::vector<std::int32_t>>();
        const auto to = request.at("to").get<std::vector<std::int32_t>>();
        if (from.size() != 3 || to.size() != 3) throw std::invalid_argument("from, to: [d, m, y]");
        ProgressLines progress(Counted::kFiles, -1);
        const std::int32_t code = ecr_recv_vend_storico(host.c_str(), dir.c_str(), from[0], from[1],
                                                        from[2], to[0], to[1], to[2]);
        return answer("ecr_recv_vend_storico", code, true);
    }
    if (op == "backup-save") {
        ProgressLines progress(Counted::kMembers, members_total());
        const std::string file = request.at("file").get<std::string>();
        return answer("ecr_dati_save", ecr_dati_save(file.c_str(), host.c_str()), false);
    }
    if (op == "backup-restore") {
        ProgressLines progress(Counted::kMembers, members_total());
        const std::string file = request.at("file").get<std::string>();
        return run_command(request, [&file](Context& ctx) { return backup_restore(ctx, file); });
    }
    if (op == "setup-restore") {
        std::int32_t in_setup = 0;
        std::int32_t code = ecr_check_ready(host.c_str(), &in_setup);
        if (code == 0 && in_setup != 0) code = ecr_setup_mode(host.c_str(), false);
        return answer("ecr_command", code, false, {{"was_in_setup", in_setup != 0}});
    }
    if (op == "release-show") return release_show(host);
    if (op == "release-update") return release_update(request);
    if (op == "status") return run_command(request, status_command);
    if (op == "command") {
        const std::string name = request.at("name").get<std::string>();
        if (!register_command_request(name))
            throw std::invalid_argument("no register command " + name);
        return run_command(request, [&name](Context& ctx) { return register_command(ctx, name); });
    }
    if (op == "tables-get") {
        const std::string table = request.at("table").get<std::string>();
        const std::string file = request.at("file").get<std::string>();
        const bool changed = request.value("changed", false);
        return run_command(request,
                           [&](Context& ctx) { return tables_get(ctx, table, file, changed); });
    }
    if (op == "tables-put") return put_table(request);
    if (op == "invoices-get") {
        const std::string file = request.at("file").get<std::string>();
        return run_command(request, [&file](Context& ctx) { return invoices_get(ctx, file); });
    }
    if (op == "keys") {
        // Key presses get no answer: whether they were taken is read from
        // the register's counters after them, never assumed from the send.
        // Keys that sell nothing (a keypad's single presses) move no counter:
        // the register is not read around them, which would double the
        // traffic of every press for nothing.
        const auto codes = request.at("keys").get<std::vector<std::string>>();
        if (key_effect(codes).items == 0) {
            Json answer = send_keys(host, codes);
            if (answer.value("status", 1) != 0) return answer;
            answer["result"]["verdict"] = "unknown";
            answer["result"]["reason"] =
                "keys that sell nothing move no counter of the register: its display shows them";
            answer["result"]["evidence"] = {{"keys", codes}};
            return answer;
        }
        std::optional<Fingerprint> before;
        run_command(request, [&before](Context& ctx) {
            before = ctx.read_before();
            return kExitOk;
        });
        Json answer = send_keys(host, codes);
        if (answer.value("status", 1) != 0) return answer;
        const Decision d = decide_keys(codes, before, read_again(host));
        answer["result"]["verdict"] = verdict_name(d.verdict);
        answer["result"]["reason"] = d.reason;
        answer["result"]["evidence"] = d.evidence;
        return answer;
    }
    if (op == "verify") return verify(request);
    throw std::invalid_argument("unknown op: " + op);
}

}  // namespace

Json run_op(const Json& request) {
    try {
        return run_named_op(request);
    } catch (const UsageError& e) {
        throw std::invalid_argument(e.message);
    }
}

}  // namespace veltra::tool::serve
