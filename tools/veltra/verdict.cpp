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

}  // namespace veltra::tool
