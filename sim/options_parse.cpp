// Parsing of the ecrsim command line.
#include "options_parse.hpp"

#include <charconv>

#include "register_state.hpp"

namespace ecrsim {
namespace {

bool to_int(const std::string& text, int lo, int hi, int& v) {
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    return ec == std::errc() && p == text.data() + text.size() && v >= lo && v <= hi;
}

bool port(const std::string& text, std::uint16_t& out) {
    int v = 0;
    if (!to_int(text, 0, 65535, v)) return false;
    out = static_cast<std::uint16_t>(v);
    return true;
}

}  // namespace

bool parse_program_options(const std::vector<std::string>& args, ProgramOptions& out,
                           std::string& error) {
    Options& o = out.options;
    bool have_state = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            out.help = true;
            return true;
        }
        if (a == "--keep-busy") {
            out.keep_busy = true;
            continue;
        }
        if (a == "--no-seed") {
            o.seed = false;
            continue;
        }
        if (a == "--serial") {
            out.serial = true;
            if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) out.serial_path = args[++i];
            continue;
        }
        if (a == "--serial-echo") {
            out.serial_echo = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            error = "missing value after " + a;
            return false;
        }
        const std::string& v = args[++i];
        int n = 0;
        bool ok = true;
        if (a == "--address")
            o.address = v;
        else if (a == "--state")
            o.state_dir = v, have_state = true;
        else if (a == "--tftp-port")
            ok = port(v, o.tftp_port);
        else if (a == "--line-port")
            ok = port(v, o.line_port);
        else if (a == "--keyboard-port")
            ok = port(v, o.keyboard_port);
        else if (a == "--matricola")
            o.matricola = v, ok = valid_matricola(v);
        else if (a == "--seed-releases")
            out.release_dir = v, ok = !v.empty();
        else if (a == "--history")
            ok = to_int(v, 0, kMaxHistoryDays, o.history_days);
        else if (a == "--busy-ms")
            ok = to_int(v, 0, 3600000, o.busy_ms);
        else if (a == "--retransmit-ms")
            ok = to_int(v, 10, 60000, o.retransmit_ms);
        else if (a == "--linger-ms")
            ok = to_int(v, 0, 600000, o.linger_ms);
        else if (a == "--max-transfers") {
            ok = to_int(v, 1, 100000, n);
            if (ok) o.max_transfers = static_cast<std::size_t>(n);
        } else if (a == "--bitmap") {
            ok = v == "L" || v == "S";
            if (ok) o.layout.bitmap = v[0];
        } else if (a == "--generation") {
            auto g = parse_generation(v);
            ok = g.has_value();
            if (ok) o.layout.generation = *g;
        } else if (a == "--fault") {
            auto f = parse_tftp_fault(v);
            ok = f.has_value();
            if (ok) out.faults.push_back(*f);
        } else if (a == "--line-answers") {
            auto l = parse_line_answers(v);
            ok = l.has_value();
            if (ok) out.line_answers.insert(out.line_answers.end(), l->begin(), l->end());
        } else if (a == "--naks") {
            ok = to_int(v, 0, 100000, n);
            for (int k = 0; ok && k < n; ++k)
                out.line_answers.push_back({LineAnswer::Kind::Bytes, "\x15"});
        } else {
            error = "unknown option " + a;
            return false;
        }
        if (!ok) {
            error = "bad value '" + v + "' for " + a;
            return false;
        }
    }
    if (!have_state && !out.serial) {
        error = "--state DIR is required";
        return false;
    }
    return true;
}

}  // namespace ecrsim
