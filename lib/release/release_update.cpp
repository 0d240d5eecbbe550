// A register's release identity, and the update: check the file and the
// register, make the work copy, enter setup mode and put the release.
#include "release/release_update.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "cmd/command_exchange.hpp"
#include "cmd/info_vars.hpp"
#include "cmd/setup_mode.hpp"
#include "frame/export_call.hpp"
#include "frame/paths.hpp"
#include "frame/trace.hpp"
#include "net/tftp_client.hpp"
#include "release/release_file.hpp"
#include "sys/files.hpp"
#include "tables/table_files.hpp"
#include "veltra.h"

namespace veltra {
namespace {

// Removes the work copy on every way out of the update.
class WorkCopy {
public:
    explicit WorkCopy(std::string path) : path_(std::move(path)) {}
    ~WorkCopy() {
        if (made_) sys::remove_file(path_.c_str());
    }
    WorkCopy(const WorkCopy&) = delete;
    WorkCopy& operator=(const WorkCopy&) = delete;
    const char* path() const { return path_.c_str(); }
    // From the first write on, the file is ours to remove.
    void made() { made_ = true; }

private:
    std::string path_;
    bool made_ = false;
};

// Reads the checked release into memory and makes the work copy of it. The
// bytes must still be the release that was checked: a file replaced in
// between is not sent.
std::int32_t make_work_copy(const char* filename, const ReleaseIdentity& checked, WorkCopy& copy) {
    const std::int32_t size = ecr_file_size(filename);
    if (size <= 0) return ERR_FILE_CREATION;
    std::vector<std::uint8_t> image(static_cast<std::size_t>(size));
    if (file_read_exact(filename, image) != 0) return ERR_FILE_CREATION;
    ReleaseIdentity again;
    if (ecr_rel_check_image(image, again) != 0 || !(again == checked))
        return ECR_ERR_REL_FILE_NOT_VALID;
    copy.made();
    return file_write_exact(copy.path(), image) == 0 ? 0 : ERR_FILE_CREATION;
}

}  // namespace

std::int32_t ecr_rel_query_cassa(const char* hostname, RegisterRelease& out) {
    out = {};
    std::uint32_t addr = kNoAddress;
    std::int32_t result = ecr_resolve_host(hostname, addr);
    if (result != 0) return result;
    VarList vars{};
    result = ecr_read_info(addr, vars);
    if (result != 0) return result;
    out.addr_be = addr;
    out.name = vars[kInfoReleaseName];
    out.versione = vars[kInfoVersion];
    out.tipo_bitmap = vars[kInfoBitmapType];
    return 0;
}

bool release_name_usable(const char* name) {
    if (name == nullptr || name[0] == '\0') return false;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    for (const char* p = name; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 32 || c == '/' || c == '\\' || c == ':') return false;
    }
    return true;
}

std::int32_t ecr_rel_install(const char* filename, const char* hostname) {
    char name[kReleaseTextBuf];
    char versione[kReleaseTextBuf];
    char tipo_bitmap[kBitmapTypeBuf];
    std::int32_t result = ecr_rel_info_file(filename, name, versione, tipo_bitmap);
    if (result != 0) return result;
    const ReleaseIdentity checked{name, versione, tipo_bitmap};

    RegisterRelease reg;
    result = ecr_rel_query_cassa(hostname, reg);
    if (result != 0) return result;
    if (reg.name[0] == '\0' || reg.versione[0] == '\0' || reg.tipo_bitmap[0] == '\0')
        return ECR_ERR_REL_CASSA_NOT_SUPP;
    // Only the release name must agree; another version or bitmap type of
    // the same release is what an update brings.
    if (std::strcmp(name, reg.name) != 0) return ECR_ERR_REL_FILE_NOT_CASSA;
    const std::uint32_t addr = reg.addr_be;  // reg's texts end with the next INFO

    // The name becomes a file name here and on the register, where NAME.BIN
    // must not land on one of the register's own files.
    if (!release_name_usable(name)) return ERR_FILE_CREATION;
    if (ecr_file_allowed(std::string(name) + ".BIN")) return ECR_ERR_REL_FILE_NOT_VALID;
    WorkCopy copy(ecr_temp_path(std::string(name) + ".BIN"));
    result = make_work_copy(filename, checked, copy);
    if (result != 0) return result;

    std::int32_t in_setup = 0;
    result = ecr_check_ready(hostname, &in_setup);
    if (result != 0) return result;
    if (in_setup == 0) {
        result = ecr_setup_mode(hostname, true);
        if (result != 0) return result;
    }
    // Not through ecr_command: a release is not one of the register files.
    // The register stays in setup mode afterwards, whatever the put gave.
    return ecr_tftp_put(addr, copy.path());
}

}  // namespace veltra

using namespace veltra;

extern "C" ECR_API int32_t ECR_CALL ecr_rel_info_cassa(const char* hostname, char* name,
                                                       char* versione, char* tipo_bitmap) {
    return export_call(
        ERR_FILE_CREATION,
        [&]() noexcept {
            ecr_trace(
                "%s ecr_rel_info_cassa -- begin: hostname='%s' name='%08X' versione='%08X' "
                "tipo_bitmap='%08X'\n",
                ecr_trace_time(), trace_text(hostname), trace_addr(name), trace_addr(versione),
                trace_addr(tipo_bitmap));
            for (char* out : {name, versione, tipo_bitmap})
                if (out != nullptr) out[0] = '\0';
        },
        [&]() -> std::int32_t {
            if (name == nullptr || versione == nullptr || tipo_bitmap == nullptr)
                return ECR_ERR_PARAMETRI;
            RegisterRelease reg;
            const std::int32_t result = ecr_rel_query_cassa(hostname, reg);
            if (result != 0) return result;
            // The register's texts are cut to the buffers' sizes.
            copy_text_cut(reg.name, name, kReleaseTextBuf);
            copy_text_cut(reg.versione, versione, kReleaseTextBuf);
            copy_text_cut(reg.tipo_bitmap, tipo_bitmap, kBitmapTypeBuf);
            return 0;
        },
        [&](std::int32_t result) noexcept {
            char text[kResultTextSize];
            ecr_trace(
                "%s ecr_rel_info_cassa -- end  : esito='%s' name='%s' versione='%s' "
                "tipo_bitmap='%s'\n",
                ecr_trace_time(), ecr_err_name(result, text), trace_text(name),
                trace_text(versione), trace_text(tipo_bitmap));
        });
}

extern "C" ECR_API int32_t ECR_CALL ecr_rel_update(const char* filename, const char* hostname) {
    return export_call(
        ERR_FILE_CREATION,
        [&]() noexcept {
            ecr_trace("%s ecr_rel_update -- begin: filename='%s' hostname='%s'\n", ecr_trace_time(),
                      trace_text(filename), trace_text(hostname));
        },
        [&] { return ecr_rel_install(filename, hostname); },
        [](std::int32_t result) noexcept { trace_end("ecr_rel_update", result); });
}
