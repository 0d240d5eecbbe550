// `veltra keys`: key presses sent on the raw channel as the keypad sends
// them, and the verdict on whether the register took them. Key presses get
// no answer, so the fingerprint before and after settles every one.
#include <CLI/CLI.hpp>
#include <cctype>
#include <chrono>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "command_table.hpp"
#include "internal.hpp"
#include "key_table.hpp"
#include "veltra.h"
#include "verdict.hpp"

namespace veltra::tool {
namespace {

// The register works through the keys as it reads them: a sale may show in
// INFO a moment after the last key went out, so a verdict short of applied
// is read again a few times before it stands.
constexpr int kAfterReads = 5;
constexpr auto kAfterPause = std::chrono::milliseconds(300);

std::string upper(const std::string& s) {
    std::string out;
    for (unsigned char c : s) out += static_cast<char>(std::toupper(c));
    return out;
}

// A key given on the command line: its code ("5C"), a digit or "00", or a
// keypad key's name or caption ("TOTALE", "REPARTO 2", "SBTL", "C").
std::string key_code_of(const std::string& word) {
    const std::string w = upper(word);
    for (const delpad::KeySpec& k : delpad::key_table()) {
        if (upper(k.name) == w || upper(k.caption) == w) return k.code;
        if (k.family == delpad::KeyFamily::digit && w.size() == 1 && k.caption[0] == w[0])
            return k.code;
    }
    const bool hex = w.size() == 2 && std::isxdigit(static_cast<unsigned char>(w[0])) &&
                     std::isxdigit(static_cast<unsigned char>(w[1]));
    if (hex) return w;
    throw UsageError{"not a key: " + word +
                     " (a code such as 5C, a digit, 00, or a key such as TOTALE or 'REPARTO 2')"};
}

Reading read_after(const char* host) {
    Reading after;
    if (Fingerprint fp; (after.failure = read_fingerprint(host, fp)) == 0) after.fingerprint = fp;
    return after;
}

struct Keys {
    std::vector<std::string> words;

    void declare(CLI::App& app) {
        app.add_option("KEY", words,
                       "keys in order: codes (0C), digits, 00, or key names (TOTALE, 'REPARTO 2')")
            ->required();
        app.footer(std::string(kVerdictHelp) +
                   "\nKey presses get no answer: the keys are always settled from INFO. They are\n"
                   "applied when NUM_SCONTR went up by the receipts they close (TOTALE after a\n"
                   "department key) and TOT_GIORNO by their amount, not applied when neither\n"
                   "moved. Keys that close no receipt are unknown: only the display tells, and\n"
                   "the command does not read it.");
    }
    int run(Context& ctx) {
        std::vector<std::string> codes;
        std::string messages;
        for (const std::string& w : words) {
            codes.push_back(key_code_of(w));
            messages += delpad::key_message(codes.back());
        }
        std::optional<Fingerprint> before;
        if (Fingerprint fp; read_fingerprint(ctx.host(), fp) == 0) before = fp;
        const std::int32_t sock = ecr_conn_xonxoff_ntw(ctx.host());
        if (sock < 0) return ctx.finish("ecr_conn_xonxoff_ntw", sock, false, "", {{"keys", codes}});
        // All keys in one write: the register reads them as one stream.
        const sys::TcpIo io = sys::tcp_send(
            sock,
            std::span(reinterpret_cast<const std::uint8_t*>(messages.data()), messages.size()));
        const std::int32_t r = io.status == sys::TcpStatus::kDone ? 0 : ERR_CONNECT_CLOSED;
        // The connection stays open until the register has been read again:
        // closing it at once may drop keys the register has not read yet.
        Reading after = read_after(ctx.host());
        Decision d = decide_keys(codes, before, after);
        for (int i = 1; i < kAfterReads && d.verdict != Verdict::applied && after.fingerprint;
             ++i) {
            std::this_thread::sleep_for(kAfterPause);
            after = read_after(ctx.host());
            d = decide_keys(codes, before, after);
        }
        ecr_disc_xonxoff_ntw(sock);
        d.evidence["sent"] = {{"keys", codes.size()}, {"bytes", io.bytes}};
        return ctx.finish_change("ecr_conn_xonxoff_ntw", r, false,
                                 std::to_string(codes.size()) + " keys sent to " + ctx.host_label(),
                                 {{"keys", codes}}, d);
    }
};

}  // namespace

std::vector<Command> keys_commands() {
    return {
        command<Keys>({"keys"},
                      "press keys on the register over its line port, as the keypad does, and "
                      "tell from INFO whether they sold",
                      "ecr_get_info, ecr_conn_xonxoff_ntw, ecr_disc_xonxoff_ntw",
                      "veltra --host 192.168.1.20 keys 1 2 5 0 'REPARTO 2' TOTALE"),
    };
}

}  // namespace veltra::tool
