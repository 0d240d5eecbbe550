// Setup-mode framing of table transfers, built on the exported status and
// command functions (each call writes its own trace lines).
#include "cmd/setup_mode.hpp"

#include "veltra.h"

namespace veltra {

std::int32_t ecr_check_ready(const char* hostname, std::int32_t* in_setup) {
    if (in_setup != nullptr) *in_setup = 0;
    char stato[2];
    char hst_conn[2];
    const std::int32_t result = ecr_get_status_new(hostname, stato, hst_conn);
    if (result != 0) return result;
    if (stato[0] == 'S') {
        if (in_setup != nullptr) *in_setup = 1;
        return 0;
    }
    if (stato[0] == 'I' && hst_conn[0] == 'N') return 0;
    return ERR_REG_NON_DISP;
}

std::int32_t ecr_setup_mode(const char* hostname, bool on) {
    return ecr_command(hostname, "", on ? 1 : 2, nullptr, 0);
}

namespace {

// Checks readiness and enters setup mode unless the register is in it;
// in_setup tells which.
std::int32_t enter_setup(const char* hostname, std::int32_t& in_setup) {
    const std::int32_t result = ecr_check_ready(hostname, &in_setup);
    if (result != 0 || in_setup != 0) return result;
    return ecr_setup_mode(hostname, true);
}

}  // namespace

std::int32_t ecr_put_table(const char* hostname, const char* pathname) {
    std::int32_t in_setup = 0;
    std::int32_t result = enter_setup(hostname, in_setup);
    if (result != 0) return result;
    // A failed put leaves the register in setup mode.
    result = ecr_command(hostname, pathname, 6, nullptr, 0);
    if (result != 0) return result;
    return in_setup == 0 ? ecr_setup_mode(hostname, false) : 0;
}

std::int32_t ecr_get_table(const char* hostname, const char* pathname, std::int32_t* keep) {
    std::int32_t in_setup = 0;
    std::int32_t result = enter_setup(hostname, in_setup);
    if (result != 0) return result;
    result = ecr_command(hostname, pathname, 7, nullptr, 0);
    if (result != 0) return result;
    if (keep != nullptr && *keep == 0) {
        *keep = in_setup;
    } else if (in_setup == 0) {
        // A download does not fail for a register left in setup mode.
        ecr_setup_mode(hostname, false);
    }
    return 0;
}

}  // namespace veltra
