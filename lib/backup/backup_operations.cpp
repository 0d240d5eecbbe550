// ecr_dati_save, ecr_dati_restore, ecr_dati_extract and ecr_dati_info: a
// register's twelve data files into one archive and back. Member files are
// staged in the temporary directory and cleaned from it on the way out.
#include "backup/backup_operations.hpp"

#include <cstring>
#include <string>

#include "backup/archive.hpp"
#include "backup/conversions.hpp"
#include "cmd/info_vars.hpp"
#include "cmd/setup_mode.hpp"
#include "frame/export_call.hpp"
#include "frame/paths.hpp"
#include "frame/result_codes.hpp"
#include "frame/trace.hpp"
#include "net/resolve.hpp"
#include "veltra.h"

namespace veltra {
namespace {

constexpr int kRequestPut = 6;
constexpr int kRequestGet = 7;

// What empty entries of a caller's var_list point at.
char g_no_value[1] = {'\0'};

bool short_layout(const char* bitmap_type) {
    return bitmap_type != nullptr && bitmap_type[0] == 'S';
}

// Fetches every member into dirname and checks each size against its row.
std::int32_t fetch_members(const char* hostname, const std::string& dirname, bool old) {
    for (const Member& m : kMembers) {
        if (old && std::strcmp(m.name, "TAV_MIN.BIN") == 0) continue;
        const std::string path = member_path(dirname, m.name);
        const std::int32_t result = ecr_command(hostname, path.c_str(), kRequestGet, nullptr, 0);
        if (result != 0) return result;
        if (!member_size_accepted(m, ecr_file_size(path.c_str()))) return ERR_INVALID_FILESIZE;
    }
    return 0;
}

// Brings fetched members to the archive's layout. An old-layout member that
// does not convert keeps a size other than its archive size, which the
// archive writer refuses; a short-layout member that does not convert ends
// the save here.
std::int32_t convert_fetched(const std::string& dirname, bool old, bool is_short) {
    if (old) {
        ecr_dati_upgrade_reparti(dirname);
        ecr_dati_upgrade_prog_param(dirname);
        ecr_dati_upgrade_clienti(dirname);
        ecr_dati_upgrade_plu(dirname);
        ecr_dati_make_tav_min(dirname);
    }
    return is_short ? ecr_dati_expand_short(dirname) : 0;
}

}  // namespace

std::int32_t dati_save(const char* filename, const char* hostname) {
    if (filename == nullptr || filename[0] == '\0') return ECR_ERR_PARAMETRI;
    char info_org[kInfoAnswerSize];
    char info_mod[kInfoAnswerSize];
    VarList vars{};
    std::int32_t result = ecr_get_info(hostname, info_org, info_mod, vars.data());
    if (result != 0) return result;
    const int generation = ecr_info_generation(vars);
    if (generation == 1) return ECR_ERR_DATI_CASSA_NOT_SUPP;
    const bool old = generation == 0;
    const bool is_short = short_layout(vars[kInfoBitmapType]);

    std::int32_t in_setup = 0;
    result = ecr_check_ready(hostname, &in_setup);
    if (result != 0) return result;
    if (in_setup == 0) result = ecr_setup_mode(hostname, true);

    const std::string temp = ecr_temp_dir();
    ecr_dati_clean_dir(temp);
    // A .TMP left by a broken upgrade would make the next one refuse its
    // rename and keep the old layout.
    ecr_dati_remove_tmp(temp);
    if (result == 0) result = fetch_members(hostname, temp, old);
    // Leaves setup mode also when the register was in it before.
    if (result == 0 || result == ERR_INVALID_FILESIZE) ecr_setup_mode(hostname, false);
    if (result == 0) result = convert_fetched(temp, old, is_short);
    if (result == 0) result = ecr_dati_write_archive(filename, info_org, temp);
    ecr_dati_clean_dir(temp);
    ecr_dati_remove_tmp(temp);
    return result;
}

std::int32_t dati_restore(const char* filename, const char* hostname) {
    const std::string temp = ecr_temp_dir();
    std::int32_t result = ecr_dati_extract(filename, temp.c_str());
    if (result != 0) return result;

    std::uint32_t addr = kNoAddress;
    VarList vars{};
    result = ecr_resolve_host(hostname, addr);
    if (result == 0) result = ecr_read_info(addr, vars);
    bool is_short = false;
    if (result == 0) {
        if (ecr_info_generation(vars) != 2) result = ECR_ERR_DATI_CASSA_NOT_SUPP;
        // The list is the library's shared copy: read it before the next exchange.
        is_short = short_layout(vars[kInfoBitmapType]);
    }
    // Reduced before the register hears of the restore, so that a member
    // that does not reduce leaves it as it was.
    if (result == 0 && is_short) result = ecr_dati_reduce_short(temp);
    if (result == 0) {
        std::int32_t in_setup = 0;
        result = ecr_check_ready(hostname, &in_setup);
        if (result == 0) {
            if (in_setup == 0) result = ecr_setup_mode(hostname, true);
            for (const Member& m : kMembers) {
                if (result != 0) break;
                const std::string path = member_path(temp, m.name);
                result = ecr_command(hostname, path.c_str(), kRequestPut, nullptr, 0);
            }
            if (result == 0) result = ecr_setup_mode(hostname, false);
        }
    }
    ecr_dati_clean_dir(temp);
    return result;
}

std::int32_t dati_extract(const char* filename, const char* dirname) {
    if (filename == nullptr || dirname == nullptr) return ECR_ERR_PARAMETRI;
    const bool clean = ecr_dati_clean_dir(dirname);
    File archive;
    std::int32_t result = ecr_dati_file_valid(filename, archive);
    if (result != 0) return result;
    // Old files that stay (a folder that is not writable, a name taken by a
    // folder) are not written over: some new members beside old ones would
    // pass for one extraction.
    if (!clean) return ERR_FILE_CREATION;
    result = ecr_dati_unpack_members(archive.get(), dirname);
    archive.reset();
    if (result != 0) ecr_dati_clean_dir(dirname);
    return result;
}

std::int32_t dati_info(const char* filename, char* info_org, char* info_mod, char** var_list) {
    if (info_org != nullptr) info_org[0] = '\0';
    if (info_mod != nullptr) info_mod[0] = '\0';
    if (var_list != nullptr)
        for (std::size_t i = 0; i < kInfoVars; ++i) var_list[i] = g_no_value;
    if (info_org == nullptr || filename == nullptr) return ECR_ERR_PARAMETRI;

    File archive;
    std::int32_t result = ecr_dati_file_valid(filename, archive);
    if (result != 0) return result;
    if (std::fread(info_org, 1, kHeaderSize, archive.get()) != kHeaderSize) {
        info_org[0] = '\0';
        return ECR_ERR_DATI_FILE_NOT_VALID;
    }
    info_org[kHeaderSize] = '\0';
    archive.reset();
    // info_mod holds 513 bytes: a header of 512 characters is split as its
    // first 511, never written past the buffer.
    if (info_mod != nullptr && var_list != nullptr)
        ecr_parse_info(info_org, std::span<char>(info_mod, kInfoAnswerSize), var_list);
    return 0;
}

}  // namespace veltra

using namespace veltra;

extern "C" ECR_API int32_t ECR_CALL ecr_dati_save(const char* filename, const char* hostname) {
    return export_call(
        ERR_FILE_CREATION,
        [&]() noexcept {
            ecr_trace("%s ecr_dati_save -- begin: filename='%s' hostname='%s'\n", ecr_trace_time(),
                      trace_text(filename), trace_text(hostname));
        },
        [&] { return dati_save(filename, hostname); },
        [](std::int32_t result) noexcept { trace_end("ecr_dati_save", result); });
}

extern "C" ECR_API int32_t ECR_CALL ecr_dati_restore(const char* filename, const char* hostname) {
    return export_call(
        ERR_FILE_CREATION,
        [&]() noexcept {
            ecr_trace("%s ecr_dati_restore -- begin: filename='%s' hostname='%s'\n",
                      ecr_trace_time(), trace_text(filename), trace_text(hostname));
        },
        [&] { return dati_restore(filename, hostname); },
        [](std::int32_t result) noexcept { trace_end("ecr_dati_restore", result); });
}

extern "C" ECR_API int32_t ECR_CALL ecr_dati_extract(const char* filename, const char* dirname) {
    return export_call(
        ERR_FILE_CREATION,
        [&]() noexcept {
            ecr_trace("%s ecr_dati_extract -- begin: filename='%s' dirname='%s'\n",
                      ecr_trace_time(), trace_text(filename), trace_text(dirname));
        },
        [&] { return dati_extract(filename, dirname); },
        [](std::int32_t result) noexcept { trace_end("ecr_dati_extract", result); });
}

extern "C" ECR_API int32_t ECR_CALL ecr_dati_info(const char* filename, char* info_org,
                                                  char* info_mod, char** var_list) {
    return export_call(
        ECR_ERR_DATI_FILE_NOT_VALID,
        [&]() noexcept {
            ecr_trace(
                "%s ecr_dati_info -- begin: filename='%s' info_org='%08X' info_mod='%08X' "
                "var_list='%08X'\n",
                ecr_trace_time(), trace_text(filename), trace_addr(info_org), trace_addr(info_mod),
                trace_addr(var_list));
        },
        [&] { return dati_info(filename, info_org, info_mod, var_list); },
        [&](std::int32_t result) noexcept {
            char text[kResultTextSize];
            ecr_trace("%s ecr_dati_info -- end  : esito='%s' info_org='%s'\n", ecr_trace_time(),
                      ecr_err_name(result, text), trace_text(info_org));
        });
}
