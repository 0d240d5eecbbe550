// Fingerprints and the rules that settle a change whose answer was lost.
#include "verdict.hpp"

#include <array>
#include <charconv>

#include "command_table.hpp"
#include "failure.hpp"
#include "internal.hpp"
#include "veltra.h"

namespace veltra::tool {
namespace {

// Positions of the INFO answer besides those the library itself reads.
constexpr std::size_t kInfoReceipts = 5;  // NUM_SCONTR
constexpr std::size_t kInfoClosures = 6;  // NUM_AZZ
constexpr std::size_t kInfoDayTotal = 7;  // TOT_GIORNO
constexpr std::size_t kInfoInvoices = 8;  // NUM_FATT

std::optional<std::int64_t> counter(const std::string& text) {
    std::int64_t v = 0;
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, v);
    if (text.empty() || ec != std::errc() || p != end) return std::nullopt;
    return v;
}

nlohmann::json counter_json(const std::optional<std::int64_t>& v) {
    return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
}

// The parts of a fingerprint a register command may move.
enum class Field { receipts, closures, day_total, invoices, setup };

const char* field_name(Field f) {
    switch (f) {
        case Field::receipts:
            return "NUM_SCONTR";
        case Field::closures:
            return "NUM_AZZ";
        case Field::day_total:
            return "TOT_GIORNO";
        case Field::invoices:
            return "NUM_FATT";
        case Field::setup:
            return "SETUP";
    }
    return "";
}

std::optional<std::int64_t> value(const Fingerprint& fp, Field f) {
    switch (f) {
        case Field::receipts:
            return fp.receipts;
        case Field::closures:
            return fp.closures;
        case Field::day_total:
            return fp.day_total;
        case Field::invoices:
            return fp.invoices;
        case Field::setup:
            return fp.setup ? 1 : 0;
    }
    return std::nullopt;
}

constexpr Field kFields[] = {Field::receipts, Field::closures, Field::day_total, Field::invoices,
                             Field::setup};

// How a command moves one field: up by one, or to a set value.
struct Move {
    Field field;
    bool count_up;  // else set to `to`
    std::int64_t to = 0;
};

struct CommandRule {
    std::int32_t request;
    const char* text;
    std::array<std::optional<Move>, 2> moves;
    const char* rule;  // the rule in words
};

// What each register command moves in the INFO answer. AZZVEN_ARCH deletes
// the daily archives, which INFO does not count: its lost answer stays
// unknown.
const CommandRule kCommandRules[] = {
    {1, "SETUP 1", {Move{Field::setup, false, 1}}, "SETUP goes to 1"},
    {2, "SETUP 0", {Move{Field::setup, false, 0}}, "SETUP goes to 0"},
    {3,
     "AZZDATI",
     {Move{Field::day_total, false, 0}, Move{Field::invoices, false, 0}},
     "TOT_GIORNO and NUM_FATT go to 0"},
    {4, "AZZFAT", {Move{Field::invoices, false, 0}}, "NUM_FATT goes to 0"},
    {5, "AZZVEN_CORR", {Move{Field::day_total, false, 0}}, "TOT_GIORNO goes to 0"},
    {8, "AZZFIS", {Move{Field::closures, true}}, "NUM_AZZ goes up by one"},
    {9, "AZZVEN_ARCH", {}, "nothing the INFO answer shows moves"},
};

nlohmann::json reading_json(const Reading& r) {
    if (r.fingerprint) return r.fingerprint->to_json();
    return {{"unreadable", result_label(r.failure)}};
}

nlohmann::json before_json(const std::optional<Fingerprint>& before) {
    return before ? before->to_json() : nlohmann::json(nullptr);
}

Decision unknown(std::string reason, nlohmann::json evidence) {
    return {Verdict::unknown, std::move(reason), std::move(evidence)};
}

// A key code's value: two upper-case hexadecimal digits, as the keypad
// sends them; -1 for anything else.
int key_value(const std::string& code) {
    if (code.size() != 2) return -1;
    int v = 0;
    for (char c : code) {
        const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}

// Cents as the register's display writes them: 1250 is "12,50".
std::string amount_text(std::int64_t cents) {
    return std::to_string(cents / 100) + "," + (cents % 100 < 10 ? "0" : "") +
           std::to_string(cents % 100);
}

std::string trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

// What the keys leave on the display, in words; empty when the codes do
// not tell it.
std::string expected_display(const KeyEffect& e) {
    if (!e.label.empty()) return e.label;
    if (e.shown_amount) return amount_text(*e.shown_amount);
    return "";
}

// Whether the display's text is what the keys leave: the label first, or
// the amount last (after a department's name, or alone).
bool display_shows(const std::string& display, const KeyEffect& e) {
    const std::string t = trimmed(display);
    if (!e.label.empty()) return t == e.label || t.rfind(e.label + " ", 0) == 0;
    if (!e.shown_amount) return false;
    const std::string a = amount_text(*e.shown_amount);
    return t == a || (t.size() > a.size() && t.compare(t.size() - a.size(), a.size(), a) == 0 &&
                      t[t.size() - a.size() - 1] == ' ');
}

}  // namespace

nlohmann::json Fingerprint::to_json() const {
    return {{"NUM_SCONTR", counter_json(receipts)},
            {"NUM_AZZ", counter_json(closures)},
            {"TOT_GIORNO", counter_json(day_total)},
            {"NUM_FATT", counter_json(invoices)},
            {"SETUP", setup ? 1 : 0},
            {"NOME_REL", release},
            {"VERSIONE", version}};
}

Fingerprint fingerprint_of(const std::string& info_answer) {
    const nlohmann::json fields = info_fields(info_answer);
    auto at = [&](std::size_t i) -> std::string {
        return i < fields.size() ? fields[i]["value"].get<std::string>() : "";
    };
    Fingerprint fp;
    fp.receipts = counter(at(kInfoReceipts));
    fp.closures = counter(at(kInfoClosures));
    fp.day_total = counter(at(kInfoDayTotal));
    fp.invoices = counter(at(kInfoInvoices));
    fp.setup = at(kInfoSetupFlag) == "1";
    fp.release = at(kInfoReleaseName);
    fp.version = at(kInfoVersion);
    return fp;
}

std::int32_t read_fingerprint(const char* host, Fingerprint& out) {
    std::array<char, ECR_INFO_BUFSIZE> answer{};
    const std::int32_t r = ecr_get_info(host, answer.data(), nullptr, nullptr);
    if (r != 0) return r;
    out = fingerprint_of(answer.data());
    return 0;
}

const char* verdict_name(Verdict v) {
    switch (v) {
        case Verdict::applied:
            return "applied";
        case Verdict::not_applied:
            return "not_applied";
        case Verdict::unknown:
            return "unknown";
    }
    return "unknown";
}

Decision decide_acknowledged(const std::optional<Fingerprint>& before, const Reading& after) {
    return {Verdict::applied,
            "the register acknowledged it",
            {{"answer", "acknowledged"},
             {"before", before_json(before)},
             {"after", reading_json(after)}}};
}

Decision decide_command(std::int32_t request, const std::optional<Fingerprint>& before,
                        const Reading& after) {
    const CommandRule* rule = nullptr;
    for (const CommandRule& r : kCommandRules)
        if (r.request == request) rule = &r;
    nlohmann::json evidence = {{"answer", "lost"},
                               {"rule", rule ? rule->rule : "no rule"},
                               {"before", before_json(before)},
                               {"after", reading_json(after)}};
    if (!rule) return unknown("no rule settles this request", std::move(evidence));
    const std::string what = rule->text;
    if (!after.fingerprint)
        return unknown("the answer to " + what + " was lost and the register cannot be read (" +
                           result_label(after.failure) + ")",
                       std::move(evidence));
    if (!before)
        return unknown("the register could not be read before " + what + ": nothing to compare",
                       std::move(evidence));
    const Fingerprint& a = *after.fingerprint;
    int movable = 0, moved = 0;
    nlohmann::json changes = nlohmann::json::object();
    for (const auto& m : rule->moves) {
        if (!m) continue;
        const auto b = value(*before, m->field);
        const auto now = value(a, m->field);
        changes[field_name(m->field)] = {{"before", counter_json(b)}, {"after", counter_json(now)}};
        if (!b || !now) continue;
        const std::int64_t expected = m->count_up ? *b + 1 : m->to;
        if (!m->count_up && *b == m->to) continue;  // already where the command puts it
        ++movable;
        if (*now == expected) ++moved;
    }
    evidence["changes"] = changes;
    if (rule->moves[0] == std::nullopt)
        return unknown(what + " moves nothing the INFO answer shows", std::move(evidence));
    if (movable == 0)
        return unknown(
            "the register already showed what " + what + " leaves: nothing tells whether it ran",
            std::move(evidence));
    if (moved == movable)
        return {Verdict::applied, "the answer was lost, but " + std::string(rule->rule),
                std::move(evidence)};
    bool still = true;
    for (Field f : kFields) still = still && value(*before, f) == value(a, f);
    if (still)
        return {Verdict::not_applied, "the answer was lost and nothing " + what + " moves moved",
                std::move(evidence)};
    return unknown("the register's counters moved otherwise than " + what + " moves them",
                   std::move(evidence));
}

Decision decide_table(const std::string& table, std::int32_t read_failure, std::size_t records,
                      std::size_t differing) {
    nlohmann::json evidence = {{"answer", "lost"}, {"table", table}};
    if (read_failure != 0) {
        evidence["read_back"] = {{"unreadable", result_label(read_failure)}};
        return unknown("the answer was lost and the " + table + " table cannot be read back (" +
                           result_label(read_failure) + ")",
                       std::move(evidence));
    }
    evidence["read_back"] = {{"records", records}, {"differing", differing}};
    if (differing == 0)
        return {Verdict::applied,
                "the answer was lost, but the read-back of the " + table +
                    " table equals what was sent",
                std::move(evidence)};
    return {Verdict::not_applied,
            "the answer was lost and " + std::to_string(differing) + " records of the " + table +
                " table differ from what was sent",
            std::move(evidence)};
}

Decision decide_release(const std::string& name, const std::string& version,
                        const std::optional<Fingerprint>& before, const Reading& after) {
    nlohmann::json evidence = {{"answer", "lost"},
                               {"offered", {{"NOME_REL", name}, {"VERSIONE", version}}},
                               {"before", before_json(before)},
                               {"after", reading_json(after)}};
    const std::string offered = name + " " + version;
    if (!after.fingerprint)
        return unknown("the answer was lost and the register cannot be read (" +
                           result_label(after.failure) + ")",
                       std::move(evidence));
    auto runs = [&](const Fingerprint& f) { return f.release == name && f.version == version; };
    if (before && runs(*before))
        return unknown("the register already ran " + offered + ": nothing tells whether it ran",
                       std::move(evidence));
    if (runs(*after.fingerprint))
        return {Verdict::applied, "the answer was lost, but the register reports " + offered,
                std::move(evidence)};
    return {Verdict::not_applied,
            "the register reports " + after.fingerprint->release + " " +
                after.fingerprint->version + ", not " + offered,
            std::move(evidence)};
}

Decision decide_restore(const std::vector<RestoredFile>& files) {
    nlohmann::json read_back = nlohmann::json::object();
    std::vector<std::string> unreadable, differing;
    for (const RestoredFile& f : files) {
        if (f.read_failure != 0) {
            read_back[f.name] = result_label(f.read_failure);
            unreadable.push_back(f.name);
        } else {
            read_back[f.name] = f.equal ? "equal" : "differs";
            if (!f.equal) differing.push_back(f.name);
        }
    }
    nlohmann::json evidence = {{"answer", "lost"}, {"read_back", read_back}};
    if (files.empty() || !unreadable.empty())
        return unknown("the answer was lost and " +
                           (files.empty() ? std::string("no file") : unreadable.front()) +
                           " cannot be read back",
                       std::move(evidence));
    if (differing.empty())
        return {Verdict::applied,
                "the answer was lost, but every file read back equals the archive's",
                std::move(evidence)};
    return {Verdict::not_applied,
            "the answer was lost and " + std::to_string(differing.size()) + " of " +
                std::to_string(files.size()) + " files differ from the archive's (" +
                differing.front() + " first)",
            std::move(evidence)};
}

KeyEffect key_effect(const std::vector<std::string>& codes) {
    KeyEffect e;
    std::int64_t keyed = 0;
    bool open = false;  // an item of these keys is on the receipt
    for (const std::string& code : codes) {
        const int k = key_value(code);
        e.label.clear();
        e.shown_amount.reset();
        if (k >= 0 && k <= 9) {  // the amount stays below 10 million, as the keys take it
            if (keyed < 100000000) keyed = keyed * 10 + k;
            e.shown_amount = keyed;
        } else if (k == 0x0A) {  // "00"
            if (keyed < 1000000) keyed *= 100;
            e.shown_amount = keyed;
        } else if (k >= 0x0C && k <= 0x20) {  // REPARTO 1 to 21
            ++e.items;
            open = true;
            if (keyed > 0) {
                if (e.amount) *e.amount += keyed;
                e.shown_amount = keyed;
            } else {
                e.amount.reset();  // the department's preset price, which the keys do not tell
            }
            keyed = 0;
        } else if (k == 0x5F) {  // C
            keyed = 0;
        } else if (k == 0x5D) {  // SBTL
            e.label = "SUBTOTALE";
        } else if (k == 0x5C) {  // TOTALE
            if (open) ++e.receipts;
            open = false;
            keyed = 0;
            e.label = "TOTALE";
        } else if (e.unmodelled.empty()) {
            e.unmodelled = code;
        }
    }
    return e;
}

Decision decide_keys(const std::vector<std::string>& codes,
                     const std::optional<Fingerprint>& before, const Reading& after,
                     const std::optional<std::string>& display) {
    const KeyEffect e = key_effect(codes);
    const std::string shows = expected_display(e);
    nlohmann::json evidence = {
        {"answer", "none"},
        {"keys", codes},
        {"expected",
         {{"receipts", e.receipts},
          {"TOT_GIORNO", counter_json(e.amount)},
          {"display", shows.empty() ? nlohmann::json(nullptr) : nlohmann::json(shows)}}},
        {"before", before_json(before)},
        {"after", reading_json(after)},
        {"display", display ? nlohmann::json(*display) : nlohmann::json(nullptr)}};
    if (codes.empty()) return unknown("no keys were sent", std::move(evidence));
    if (!e.unmodelled.empty())
        return unknown("key " + e.unmodelled + " does what no counter or display here tells",
                       std::move(evidence));
    if (!after.fingerprint)
        return unknown(
            "the register cannot be read after the keys (" + result_label(after.failure) + ")",
            std::move(evidence));
    if (!before)
        return unknown("the register could not be read before the keys: nothing to compare",
                       std::move(evidence));
    const Fingerprint& a = *after.fingerprint;
    evidence["changes"] = {
        {"NUM_SCONTR",
         {{"before", counter_json(before->receipts)}, {"after", counter_json(a.receipts)}}},
        {"TOT_GIORNO",
         {{"before", counter_json(before->day_total)}, {"after", counter_json(a.day_total)}}}};
    std::optional<std::int64_t> receipts, total;  // how far each moved
    if (before->receipts && a.receipts) receipts = *a.receipts - *before->receipts;
    if (before->day_total && a.day_total) total = *a.day_total - *before->day_total;
    const bool display_tells = display && !shows.empty();
    const bool shown = display_tells && display_shows(*display, e);
    const bool still = receipts == 0 && total == 0;
    if (e.receipts > 0 && receipts == e.receipts && total &&
        (e.amount ? *total == *e.amount : *total > 0))
        return {Verdict::applied,
                "NUM_SCONTR went up by " + std::to_string(e.receipts) + " and TOT_GIORNO by " +
                    amount_text(*total) + ", as the keys' sale moves them",
                std::move(evidence)};
    if (e.receipts == 0 && shown)
        return {Verdict::applied, "the display shows " + shows + ", as the keys leave it",
                std::move(evidence)};
    if (still && !shown && (e.receipts > 0 || display_tells))
        return {Verdict::not_applied,
                std::string("nothing moved") +
                    (display_tells ? " and the display does not show " + shows : "") +
                    (e.receipts > 0 ? ": the keys' receipt was not counted" : ""),
                std::move(evidence)};
    if (still && shown)
        return unknown("no counter moved, yet the display shows " + shows, std::move(evidence));
    if (e.receipts == 0)
        return unknown(std::string("the keys close no receipt, so only the display tells, and ") +
                           (!display        ? "it was not read"
                            : shows.empty() ? "nothing the keys leave on it is known"
                                            : "it does not show " + shows),
                       std::move(evidence));
    if (!receipts || !total)
        return unknown("the register does not give NUM_SCONTR and TOT_GIORNO as numbers",
                       std::move(evidence));
    return unknown("the register's counters moved otherwise than the keys' sale moves them",
                   std::move(evidence));
}

}  // namespace veltra::tool
