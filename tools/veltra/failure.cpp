// Failure lines and their hints.
#include "failure.hpp"

#include "internal.hpp"
#include "veltra.h"

namespace veltra::tool {
namespace {

struct Meaning {
    std::int32_t code;
    const char* name;
    const char* text;
};

#define VELTRA_TOOL_MEANING(name, value, meaning) {value, #name, meaning},
constexpr Meaning kMeanings[] = {ECR_RESULT_MAP(VELTRA_TOOL_MEANING)};
#undef VELTRA_TOOL_MEANING

const Meaning* find(std::int32_t code) {
    for (const Meaning& m : kMeanings) {
        if (m.code == code) return &m;
    }
    return nullptr;
}

// Which TFTP port the library uses, as the user can change it.
std::string tftp_port_text() {
    const auto set = sys::env_get(kTftpPortVariable);
    if (!set)
        return std::string(kTftpPortVariable) + " is not set: port " + std::to_string(kTftpPort);
    return std::string(kTftpPortVariable) + " is " + *set;
}

}  // namespace

const char* result_meaning(std::int32_t code) {
    const Meaning* m = find(code);
    return m != nullptr ? m->text : "";
}

std::string result_label(std::int32_t code) {
    if (code >= 0) return "OK";
    const Meaning* m = find(code);
    return m != nullptr ? m->name : std::to_string(code);
}

std::string failure_hint(std::int32_t code, const std::string& host_label) {
    switch (code) {
        case ERR_TIMEOUT:
        case ERR_TRANSFER_FAILED:
            return "is the register at " + host_label + " on? " + tftp_port_text();
        case ERR_HOSTNAME_NON_RISOLTO:
            return "is " + host_label + " known to the name service? give --host or ECR_HOST";
        case ERR_INVALID_IP_ADDRESS:
            return host_label + " is not a usable address";
        case ERR_REG_NON_DISP:
            return "the register is busy, in setup mode or serving another host; try again when "
                   "it is idle";
        case ERR_REG_IN_ERRORE:
            return "clear the error on the register first";
        case ERR_INVALID_FILENAME:
            return "the register's files are LOG.BIN, INTESTAZIONE.BIN, IVA.BIN, REPARTI.BIN, "
                   "VAL.BIN, OPERATORI.BIN, CORTESIA.BIN, LOGO.BIN, BITMAP.BIN, PROG_PARAM.BIN, "
                   "PLU.BIN, CLIENTI.BIN, FATTURE.BIN, TAV_MIN.BIN";
        default:
            return "";
    }
}

std::string failure_line(const char* function, std::int32_t code, const std::string& hint) {
    std::string line = std::string("veltra: ") + function + ": " + result_label(code) + " (" +
                       std::to_string(code) + ")";
    const char* meaning = result_meaning(code);
    if (*meaning != '\0') line += std::string(": ") + meaning;
    if (!hint.empty()) line += " (" + hint + ")";
    return line;
}

}  // namespace veltra::tool
