// Command and answer files, and ecr_command, the exported door to them.
#include "cmd/command_exchange.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include "cmd/info_vars.hpp"
#include "frame/export_call.hpp"
#include "frame/file_handle.hpp"
#include "frame/paths.hpp"
#include "frame/result_codes.hpp"
#include "frame/trace.hpp"
#include "net/endpoints.hpp"
#include "net/resolve.hpp"
#include "net/tftp_client.hpp"
#include "sys/clock.hpp"
#include "sys/files.hpp"
#include "veltra.h"

extern "C" ECR_DATA const char* const ecr_files_list[] = {
    "LOG.BIN",       "INTESTAZIONE.BIN", "IVA.BIN",     "REPARTI.BIN", "VAL.BIN",
    "OPERATORI.BIN", "CORTESIA.BIN",     "LOGO.BIN",    "BITMAP.BIN",  "PROG_PARAM.BIN",
    "PLU.BIN",       "CLIENTI.BIN",      "FATTURE.BIN", "TAV_MIN.BIN", nullptr};

namespace veltra {
namespace {

constexpr std::uint32_t kResetWaitMs = 1000;
constexpr std::uint32_t kPluWaitMs = 5000;

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// A put of a register file by request 6, with its checks.
std::int32_t put_register_file(std::uint32_t addr, const char* filename) {
    if (!ecr_file_allowed(filename)) return ERR_INVALID_FILENAME;
    const std::int32_t size = ecr_file_size(filename);
    if (size == -1) return ERR_FILE_NOT_FOUND;
    if (size == 0) return ERR_INVALID_FILESIZE;
    std::int32_t result = ecr_tftp_put(addr, filename);
    // The register loads articles for a while after a new PLU.BIN.
    if (result == 0 && std::strcmp(ecr_base_name(filename), "PLU.BIN") == 0) {
        result = ecr_wait_idle(addr, kPluWaitMs);
    }
    return result;
}

std::int32_t command_then_wait(std::uint32_t addr, const char* command) {
    const std::int32_t result = ecr_send_cmd_txt(addr, command);
    return result == 0 ? ecr_wait_idle(addr, kResetWaitMs) : result;
}

std::int32_t run_request(std::uint32_t addr, const char* filename, std::int32_t request,
                         std::span<char> answer) {
    switch (request) {
        case 0:
            return ecr_recv_info_txt(addr, answer);
        case 1:
            return ecr_send_cmd_txt(addr, kCmdSetupOn);
        case 2:
            return ecr_send_cmd_txt(addr, kCmdSetupOff);
        case 3:
            return command_then_wait(addr, kCmdAzzDati);
        case 4:
            return command_then_wait(addr, kCmdAzzFat);
        case 5:
            return command_then_wait(addr, kCmdAzzVenCorr);
        case 6:
            return put_register_file(addr, filename);
        case 7:
            if (!ecr_file_allowed(filename)) return ERR_INVALID_FILENAME;
            return ecr_tftp_get(addr, filename);
        case 8:
            return ecr_send_cmd_txt(addr, kCmdAzzFis);
        case 9:
            return command_then_wait(addr, kCmdAzzVenArch);
        default:
            return ERR_INVALID_REQUEST_ID;
    }
}

}  // namespace

std::int32_t ecr_send_cmd_txt(std::uint32_t addr_be, std::string_view command) {
    return ecr_send_cmd_in(addr_be, ecr_temp_path(kCommandFile), command, kNoDeadline);
}

std::int32_t ecr_send_cmd_in(std::uint32_t addr_be, const std::string& path,
                             std::string_view command, std::uint64_t deadline_ms) {
    const std::string text(command);
    ecr_trace("%s ecr_send_cmd_txt: command='%s'\n", ecr_trace_time(), text.c_str());
    {
        File file(std::fopen(path.c_str(), "wb"));
        if (!file) return ERR_FILE_CREATION;
        const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
        if (!close_file(file) || !written) {
            sys::remove_file(path.c_str());
            return ERR_FILE_CREATION;
        }
    }
    const std::int32_t result = ecr_tftp_put_until(addr_be, path.c_str(), deadline_ms);
    sys::remove_file(path.c_str());
    return result;
}

namespace {

// The first line of the fetched answer file (at most limit characters, its
// line end kept if one was read), then the file is deleted.
std::string first_line(const std::string& path, std::size_t limit) {
    std::string line;
    if (File file{std::fopen(path.c_str(), "rb")}) {
        for (int c = 0; line.size() < limit && (c = std::fgetc(file.get())) != EOF;) {
            line.push_back(static_cast<char>(c));
            if (c == '\n') break;
        }
    }
    sys::remove_file(path.c_str());
    return line;
}

}  // namespace

std::int32_t ecr_recv_info_txt(std::uint32_t addr_be, std::span<char> answer) {
    std::memset(answer.data(), 0, answer.size());
    std::int32_t result = ecr_send_cmd_txt(addr_be, kCmdInfo);
    if (result != 0) return result;
    const std::string path = ecr_temp_path(kResponseFile);
    result = ecr_tftp_get(addr_be, path.c_str());
    if (result != 0) return result;
    // The line read keeps room for its terminator: at most size - 2 characters.
    if (answer.size() >= 3) {
        const std::string line = first_line(path, answer.size() - 2);
        std::memcpy(answer.data(), line.data(), line.size());
    } else {
        sys::remove_file(path.c_str());
    }
    return 0;
}

std::int32_t ecr_query_info(std::uint32_t addr_be, const std::string& folder,
                            std::uint64_t deadline_ms, std::string& answer) {
    answer.clear();
    // Joined with the platform's separator: the register is asked for the
    // file by the name after the last one.
    std::int32_t result =
        ecr_send_cmd_in(addr_be, path_in_dir(folder, kCommandFile), kCmdInfo, deadline_ms);
    if (result != 0) return result;
    const std::string path = path_in_dir(folder, kResponseFile);
    bool missing = false;
    result = ecr_tftp_get_until(addr_be, path.c_str(), deadline_ms, missing);
    if (result != 0) return result;
    answer = first_line(path, kInfoAnswerSize - 2);
    return 0;
}

std::int32_t ecr_wait_idle(std::uint32_t addr_be, std::uint32_t interval_ms,
                           std::uint32_t limit_ms) {
    const std::uint64_t give_up = sys::monotonic_ms() + limit_ms;
    for (;;) {
        sys::sleep_ms(interval_ms);
        VarList vars{};
        const std::int32_t result = ecr_read_info(addr_be, vars);
        if (result != 0) return result;
        if (info_number(vars[kInfoBusy]) == 0) return 0;
        if (sys::monotonic_ms() >= give_up) return ERR_TIMEOUT;
    }
}

bool ecr_file_allowed(std::string_view path) {
    const std::string_view base = ecr_base_name(path);
    for (const char* const* name = ecr_files_list; *name != nullptr; ++name) {
        if (equal_ignoring_case(base, *name)) return true;
    }
    return false;
}

}  // namespace veltra

using namespace veltra;

extern "C" ECR_API int32_t ECR_CALL ecr_command(const char* hostname, const char* filename,
                                                int32_t request, char* rspptr, int32_t rsplen) {
    // Without a usable caller's buffer the answer goes to one of our own; a
    // buffer of one byte still receives the empty text.
    char own[kInfoAnswerSize];
    own[0] = '\0';
    std::span<char> answer(own, sizeof own);
    return export_call(
        ERR_SOCKET_OPEN,
        [&]() noexcept {
            ecr_trace(
                "%s ecr_command -- begin: hostname='%s' filename='%s' request='%d' "
                "rspptr='0x%08X' rsplen='%d'\n",
                ecr_trace_time(), trace_text(hostname), trace_text(filename),
                static_cast<int>(request), trace_addr(rspptr), static_cast<int>(rsplen));
        },
        [&] {
            if (rspptr != nullptr && rsplen >= 2)
                answer = std::span<char>(rspptr, static_cast<std::size_t>(rsplen));
            answer[0] = '\0';
            if (rspptr != nullptr && rsplen == 1) rspptr[0] = '\0';
            std::uint32_t addr = kNoAddress;
            const std::int32_t result = ecr_resolve_host(hostname, addr);
            return result != 0 ? result : run_request(addr, trace_text(filename), request, answer);
        },
        [&](std::int32_t result) noexcept {
            char text[kResultTextSize];
            ecr_trace("%s ecr_command -- end  : esito='%s' rspptr='%s'\n", ecr_trace_time(),
                      ecr_err_name(result, text), answer.data());
        });
}
