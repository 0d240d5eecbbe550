// Whether a change reached the register: its fingerprint read before the
// change and again after a lost answer, and the rule of each kind of change.
// A verdict is never taken from silence: a register that cannot be read
// leaves it unknown. The command line settles its lost answers with it; the
// service keeps each verdict and its evidence with its job.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace veltra::tool {

// What the INFO answer tells of the register's state. A counter the answer
// lacks, or does not give as a number, is empty.
struct Fingerprint {
    std::optional<std::int64_t> receipts;   // NUM_SCONTR, receipts of the day
    std::optional<std::int64_t> closures;   // NUM_AZZ, closures (Z) ever
    std::optional<std::int64_t> day_total;  // TOT_GIORNO, cents
    std::optional<std::int64_t> invoices;   // NUM_FATT
    bool setup = false;
    std::string release;  // NOME_REL
    std::string version;  // VERSIONE

    nlohmann::json to_json() const;
};

// Splits an INFO answer line into a fingerprint (the fields by position, as
// the library reads them).
Fingerprint fingerprint_of(const std::string& info_answer);

// Reads the fingerprint through the library (ecr_get_info): 0, or the
// library's failure.
std::int32_t read_fingerprint(const char* host, Fingerprint& out);

// The exit statuses of a change, for its --help.
inline constexpr const char* kVerdictHelp =
    "Exit status: 0 applied, 1 not applied, 2 usage error, 3 unknown. When the\n"
    "register's answer is lost the register is read again and the change is\n"
    "settled from what it shows, never from the silence: applied, not applied,\n"
    "or unknown when it cannot be read or shows nothing that tells. The verdict\n"
    "and its evidence (before and after values) are printed, and with --json\n"
    "given as \"verdict\", \"reason\" and \"evidence\".";

enum class Verdict { applied, not_applied, unknown };

// "applied", "not_applied", "unknown".
const char* verdict_name(Verdict v);

struct Decision {
    Verdict verdict = Verdict::unknown;
    std::string reason;       // one sentence a person reads
    nlohmann::json evidence;  // the before and after values that decided it
};

// A fingerprint read again after the change, or the failure that kept it.
struct Reading {
    std::optional<Fingerprint> fingerprint;
    std::int32_t failure = 0;
};

// A change the register acknowledged: applied on that answer, with what the
// register shows after it (if it could be read) as evidence.
Decision decide_acknowledged(const std::optional<Fingerprint>& before, const Reading& after);

// An ecr_command request (1-5, 8, 9) whose answer was lost: applied when the
// counter it moves moved as it moves it, not_applied when nothing it could
// move did, unknown otherwise (the register unreadable, a counter that moved
// some other way, or a command that moves nothing INFO shows).
Decision decide_command(std::int32_t request, const std::optional<Fingerprint>& before,
                        const Reading& after);

// A table upload whose answer was lost, from the read-back of the table:
// applied when it holds what was sent, not_applied when it does not;
// read_failure (the read-back's failure, 0 when it was read) makes it unknown.
// differing: records of the read-back that differ from what was sent (the
// change mark of each record aside).
Decision decide_table(const std::string& table, std::int32_t read_failure, std::size_t records,
                      std::size_t differing);

// A release update whose answer was lost: applied when the register reports
// the offered release and version, not_applied when it reports another,
// unknown when it cannot be read or already ran the offered one before.
Decision decide_release(const std::string& name, const std::string& version,
                        const std::optional<Fingerprint>& before, const Reading& after);

// One file of a restore, read back from the register after a lost answer.
struct RestoredFile {
    std::string name;
    std::int32_t read_failure = 0;  // the read-back's failure, 0 when read
    bool equal = false;             // the read-back equals the archive's file
};

// A restore whose answer was lost: applied when every file read back equals
// the archive's, not_applied when one differs, unknown when one cannot be
// read.
Decision decide_restore(const std::vector<RestoredFile>& files);

// What key codes ("00".."FF", as the keypad sends them) do, as far as the
// codes alone tell: digits key an amount in cents ("0A" is "00"), a
// department key ("0C".."20") sells it as one item, TOTALE ("5C") closes a
// receipt that holds an item, C ("5F") clears, SBTL ("5D") shows the
// subtotal.
struct KeyEffect {
    int items = 0;     // department keys pressed
    int receipts = 0;  // receipts closed after an item of these keys
    // Cents the items add; empty when a department sells its preset price.
    std::optional<std::int64_t> amount = 0;
    // The first code whose effect is not modelled; empty when all are.
    std::string unmodelled;
    // What the display shows after the last key, when the codes tell it: a
    // label it begins with ("TOTALE", "SUBTOTALE") or an amount it ends with.
    std::string label;
    std::optional<std::int64_t> shown_amount;
};
KeyEffect key_effect(const std::vector<std::string>& codes);

// Keys sent on the raw channel, which never answers key presses: settled
// from the fingerprints before and after (and the display's text after, when
// it was read). Applied when NUM_SCONTR went up by the receipts the keys
// close and TOT_GIORNO by their amount, or, for keys that close no receipt,
// when the display shows their result; not_applied when nothing moved and
// the display (if read) does not show it; unknown when the register cannot
// be read, a key is not modelled, or nothing tells.
Decision decide_keys(const std::vector<std::string>& codes,
                     const std::optional<Fingerprint>& before, const Reading& after,
                     const std::optional<std::string>& display = std::nullopt);

}  // namespace veltra::tool
