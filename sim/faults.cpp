// Parsing of fault texts from the command line.
#include "faults.hpp"

#include <charconv>
#include <sstream>

namespace ecrsim {
namespace {

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, sep)) parts.push_back(part);
    if (!text.empty() && text.back() == sep) parts.emplace_back();
    return parts;
}

std::optional<int> number(const std::string& text) {
    int v = 0;
    const auto* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, v);
    if (ec != std::errc() || p != end || v < 0) return std::nullopt;
    return v;
}

std::optional<FaultKind> kind_of(const std::string& word) {
    if (word == "drop") return FaultKind::Drop;
    if (word == "dup") return FaultKind::Duplicate;
    if (word == "delay") return FaultKind::Delay;
    if (word == "port") return FaultKind::OtherPort;
    if (word == "addr") return FaultKind::OtherAddress;
    if (word == "short") return FaultKind::Short;
    if (word == "garbage") return FaultKind::Garbage;
    return std::nullopt;
}

std::optional<TftpFault> parse_body(const std::vector<std::string>& p) {
    TftpFault f;
    if (p.size() == 1 && p[0] == "silent") {
        f.kind = FaultKind::Silent;
        f.direction = Direction::In;
        return f;
    }
    if (p.size() == 3 && p[0] == "error") {
        auto nth = number(p[1]);
        auto code = number(p[2]);
        if (!nth || !code || *nth == 0 || *code > 0xFFFF) return std::nullopt;
        f.kind = FaultKind::Error;
        f.direction = Direction::In;
        f.nth = *nth;
        f.code = static_cast<std::uint16_t>(*code);
        return f;
    }
    if (p.size() < 3) return std::nullopt;
    auto kind = kind_of(p[0]);
    auto nth = number(p[2]);
    if (!kind || !nth || *nth == 0 || (p[1] != "in" && p[1] != "out")) return std::nullopt;
    f.kind = *kind;
    f.direction = p[1] == "in" ? Direction::In : Direction::Out;
    f.nth = *nth;
    if (f.kind == FaultKind::Delay) {
        auto ms = p.size() == 4 ? number(p[3]) : std::nullopt;
        if (!ms) return std::nullopt;
        f.delay_ms = *ms;
    } else if (p.size() != 3) {
        return std::nullopt;
    }
    return f;
}

std::optional<std::string> hex_bytes(const std::string& text) {
    if (text.empty()) return std::nullopt;
    std::string out;
    for (const std::string& pair : split(text, 'x')) {
        unsigned v = 0;
        auto [p, ec] = std::from_chars(pair.data(), pair.data() + pair.size(), v, 16);
        if (pair.size() != 2 || ec != std::errc() || p != pair.data() + 2) return std::nullopt;
        out.push_back(static_cast<char>(v));
    }
    return out;
}

}  // namespace

std::optional<TftpFault> parse_tftp_fault(const std::string& text) {
    std::string body = text;
    std::string file;
    if (auto at = text.find('@'); at != std::string::npos) {
        body = text.substr(0, at);
        file = text.substr(at + 1);
    }
    int skip = 0;
    if (auto hash = file.find('#'); hash != std::string::npos) {
        auto nth = number(file.substr(hash + 1));
        if (!nth || *nth == 0) return std::nullopt;
        skip = *nth - 1;
        file.resize(hash);
    }
    if (text.find('@') != std::string::npos && file.empty()) return std::nullopt;
    auto f = parse_body(split(body, ':'));
    if (f) f->file = file, f->skip = skip;
    return f;
}

std::optional<std::vector<LineAnswer>> parse_line_answers(const std::string& text) {
    std::vector<LineAnswer> answers;
    for (const std::string& word : split(text, ',')) {
        LineAnswer a;
        if (word == "silence") {
            a.kind = LineAnswer::Kind::Silence;
        } else if (word == "close") {
            a.kind = LineAnswer::Kind::Close;
        } else if (word == "stall") {
            a.kind = LineAnswer::Kind::Stall;
        } else {
            auto bytes = hex_bytes(word);
            if (!bytes) return std::nullopt;
            a.bytes = *bytes;
        }
        answers.push_back(a);
    }
    if (answers.empty()) return std::nullopt;
    return answers;
}

std::string describe(const TftpFault& f) {
    static const char* const names[] = {"drop", "dup",  "delay", "error",  "silent",
                                        "port", "addr", "short", "garbage"};
    std::string s = names[static_cast<int>(f.kind)];
    s += f.direction == Direction::In ? " in #" : " out #";
    s += std::to_string(f.nth);
    if (f.kind == FaultKind::Delay) s += " by " + std::to_string(f.delay_ms) + " ms";
    if (f.kind == FaultKind::Error) s += " code " + std::to_string(f.code);
    if (!f.file.empty()) s += " of " + f.file;
    if (f.skip > 0) s += " (transfer " + std::to_string(f.skip + 1) + ")";
    return s;
}

}  // namespace ecrsim
