// The info variable list and the status functions: ecr_get_info,
// ecr_get_status and ecr_get_status_new live here.
#include "cmd/info_vars.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "cmd/command_exchange.hpp"
#include "frame/export_call.hpp"
#include "frame/result_codes.hpp"
#include "frame/trace.hpp"
#include "net/resolve.hpp"
#include "sys/env.hpp"
#include "veltra.h"

namespace veltra {

static_assert(kInfoAnswerSize == ECR_INFO_BUFSIZE && kInfoVars == ECR_INFO_VARS &&
              kStatusTextSize == ECR_STATUS_BUFSIZE);

namespace {

// What empty entries point at. Writable, since the list hands out char*.
char g_empty[1] = {'\0'};

// The last INFO answer and its split copy, shared by the whole library.
char g_info_org[kInfoAnswerSize];
char g_info_mod[kInfoAnswerSize + 2];

void clear_list(char** var_list) {
    for (std::size_t i = 0; i < kInfoVars; ++i) var_list[i] = g_empty;
}

bool is_blank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

char first_char(const char* value) {
    return value != nullptr ? value[0] : '\0';
}

}  // namespace

int ecr_parse_info(const char* answer, std::span<char> info_mod, char** var_list) {
    const bool trace_inf = sys::env_present("ECR_TRCINF");
    if (trace_inf) ecr_trace("inf -- input='%s'\n", answer);
    if (info_mod.size() < 2) {
        // No room for a copy: every entry is empty, inside the caller's buffer when it has one.
        clear_list(var_list);
        if (!info_mod.empty()) {
            info_mod[0] = '\0';
            for (std::size_t i = 0; i < kInfoVars; ++i) var_list[i] = info_mod.data();
        }
        return 0;
    }

    // Copy, cut to what the buffer holds with the "," and the terminator.
    std::size_t len = std::strlen(answer);
    if (len > info_mod.size() - 2) len = info_mod.size() - 2;
    std::memcpy(info_mod.data(), answer, len);
    info_mod[len] = ',';
    info_mod[len + 1] = '\0';
    // Empty entries point at a terminator of info_mod itself, never at a
    // byte the library shares between calls.
    for (std::size_t i = 0; i < kInfoVars; ++i) var_list[i] = info_mod.data() + len + 1;

    int count = 0;
    char* field = info_mod.data();
    for (std::size_t i = 0; i <= len; ++i) {
        if (info_mod[i] != ',') continue;
        info_mod[i] = '\0';
        if (static_cast<std::size_t>(count) < kInfoVars) {
            char* eq = std::strchr(field, '=');
            var_list[count] = eq != nullptr ? eq + 1 : info_mod.data() + i;
        }
        ++count;
        field = info_mod.data() + i + 1;
    }

    if (trace_inf) {
        ecr_trace("inf -- count='%d'\n", count);
        for (std::size_t i = 0; i < kInfoVars; ++i) {
            ecr_trace("inf -- var [%2d]='%s'\n", static_cast<int>(i), var_list[i]);
        }
    }
    return count;
}

std::int32_t ecr_read_info(std::uint32_t addr_be, VarList& var_list) {
    const std::int32_t result = ecr_recv_info_txt(addr_be, g_info_org);
    if (result == 0) ecr_parse_info(g_info_org, g_info_mod, var_list.data());
    return result;
}

std::int32_t info_number(const char* value) {
    if (value == nullptr) return 0;
    while (is_blank(*value)) ++value;
    errno = 0;
    const long long n = std::strtoll(value, nullptr, 10);
    if (n > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (n < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(n);
}

int ecr_info_generation(const VarList& var_list) {
    if (first_char(var_list[kInfoReleaseName]) != '\0') return 2;
    const char* version = var_list[kInfoVersion] != nullptr ? var_list[kInfoVersion] : "";
    return std::strncmp(version, "V1.", 3) == 0 ? 0 : 1;
}

std::int32_t ecr_eval_status(const char* hostname, std::uint32_t& addr_be, VarList& var_list,
                             std::int32_t& hst_conn, std::int32_t& sco_fis) {
    hst_conn = 0;
    sco_fis = 0;
    clear_list(var_list.data());
    std::int32_t result = ecr_resolve_host(hostname, addr_be);
    if (result != 0) return result;
    result = ecr_read_info(addr_be, var_list);
    if (result != 0) return result;

    const char letter = first_char(var_list[kInfoStateLetter]);
    const std::int32_t operating = info_number(var_list[kInfoOperating]);
    const std::int32_t busy = info_number(var_list[kInfoBusy]);
    const std::int32_t setup = info_number(var_list[kInfoSetupFlag]);
    hst_conn = info_number(var_list[kInfoHostConn]);

    if (operating == 0) return setup == 0 ? ERR_REG_IN_ERRORE : ERR_REG_NON_DISP;
    if ((letter == 'I' || letter == 'V') && busy == 0) {
        if (letter == 'V') sco_fis = 1;
        return 0;
    }
    return ERR_REG_NON_DISP;
}

}  // namespace veltra

using namespace veltra;

extern "C" ECR_API int32_t ECR_CALL ecr_get_info(const char* hostname, char* info_org,
                                                 char* info_mod, char** var_list) {
    return export_call(
        ERR_SOCKET_OPEN,
        [&]() noexcept {
            ecr_trace(
                "%s ecr_get_info -- begin: hostname='%s' info_org='0x%08X' info_mod='0x%08X' "
                "var_list='0x%08X'\n",
                ecr_trace_time(), trace_text(hostname), trace_addr(info_org), trace_addr(info_mod),
                trace_addr(var_list));
        },
        [&] {
            // Empty entries point at a terminator in the caller's own buffers:
            // info_mod's first byte, else info_org's last.
            char* empty = nullptr;
            if (info_org != nullptr) {
                info_org[0] = '\0';
                info_org[kInfoAnswerSize - 1] = '\0';
                empty = info_org + kInfoAnswerSize - 1;
            }
            if (info_mod != nullptr) {
                info_mod[0] = '\0';
                empty = info_mod;
            }
            if (var_list != nullptr && empty != nullptr) {
                for (std::size_t i = 0; i < kInfoVars; ++i) var_list[i] = empty;
            }
            if (info_org == nullptr) return static_cast<std::int32_t>(ECR_ERR_PARAMETRI);
            std::uint32_t addr = kNoAddress;
            std::int32_t result = ecr_resolve_host(hostname, addr);
            if (result == 0) {
                result = ecr_recv_info_txt(addr, std::span<char>(info_org, kInfoAnswerSize));
            }
            if (result == 0 && info_mod != nullptr && var_list != nullptr) {
                ecr_parse_info(info_org, std::span<char>(info_mod, kInfoAnswerSize), var_list);
            }
            return result;
        },
        [&](std::int32_t result) noexcept {
            char text[kResultTextSize];
            ecr_trace("%s ecr_get_info -- end  : esito='%s' info_org='%s'\n", ecr_trace_time(),
                      ecr_err_name(result, text), trace_text(info_org));
        });
}

extern "C" ECR_API int32_t ECR_CALL ecr_get_status(const char* hostname, int32_t* hst_conn,
                                                   int32_t* sco_fis) {
    std::int32_t own_conn = 0;
    std::int32_t own_fis = 0;
    std::int32_t& conn = hst_conn != nullptr ? *hst_conn : own_conn;
    std::int32_t& fis = sco_fis != nullptr ? *sco_fis : own_fis;
    return export_call(
        ERR_SOCKET_OPEN,
        [&]() noexcept {
            ecr_trace(
                "%s ecr_get_status -- begin: hostname='%s' hst_conn='0x%08X' sco_fis='0x%08X'\n",
                ecr_trace_time(), trace_text(hostname), trace_addr(hst_conn), trace_addr(sco_fis));
        },
        [&] {
            std::uint32_t addr = kNoAddress;
            VarList vars{};
            return ecr_eval_status(hostname, addr, vars, conn, fis);
        },
        [&](std::int32_t result) noexcept {
            char text[kResultTextSize];
            ecr_trace("%s ecr_get_status -- end  : esito='%s' hst_conn='%d' sco_fis='%d'\n",
                      ecr_trace_time(), ecr_err_name(result, text), static_cast<int>(conn),
                      static_cast<int>(fis));
        });
}

extern "C" ECR_API int32_t ECR_CALL ecr_get_status_new(const char* hostname, char* stato,
                                                       char* hst_conn) {
    char own_stato[kStatusTextSize] = {};
    char own_conn[kStatusTextSize] = {};
    char* st = stato != nullptr ? stato : own_stato;
    char* hc = hst_conn != nullptr ? hst_conn : own_conn;
    st[0] = st[1] = '\0';
    hc[0] = hc[1] = '\0';
    return export_call(
        ERR_SOCKET_OPEN,
        [&]() noexcept {
            ecr_trace(
                "%s ecr_get_status_new -- begin: hostname='%s' stato='0x%08X' hst_conn='0x%08X'\n",
                ecr_trace_time(), trace_text(hostname), trace_addr(stato), trace_addr(hst_conn));
        },
        [&] {
            std::uint32_t addr = kNoAddress;
            VarList vars{};
            std::int32_t result = ecr_resolve_host(hostname, addr);
            if (result == 0) result = ecr_read_info(addr, vars);
            if (result != 0) return result;
            const std::int32_t operating = info_number(vars[kInfoOperating]);
            const std::int32_t busy = info_number(vars[kInfoBusy]);
            const std::int32_t setup = info_number(vars[kInfoSetupFlag]);
            if (operating == 0) {
                st[0] = setup == 0 ? 'E' : 'S';
            } else if (busy != 0) {
                st[0] = 'C';
            } else {
                st[0] = vars[kInfoStateLetter][0];
            }
            hc[0] = info_number(vars[kInfoHostConn]) != 0 ? 'S' : 'N';
            return result;
        },
        [&](std::int32_t result) noexcept {
            char text[kResultTextSize];
            ecr_trace("%s ecr_get_status_new -- end  : esito='%s' stato='%s' hst_conn='%s'\n",
                      ecr_trace_time(), ecr_err_name(result, text), st, hc);
        });
}
