// The register's release identity, and installing a release file on it.
#pragma once

#include <cstdint>
#include <span>

#include "net/resolve.hpp"

namespace veltra {

// What a register reports of its release: texts that point into the
// library-wide INFO buffers, valid until the next INFO reading.
struct RegisterRelease {
    std::uint32_t addr_be = kNoAddress;
    const char* name = "";         // info variable 21
    const char* versione = "";     // info variable 0
    const char* tipo_bitmap = "";  // info variable 1
};

// Resolves the register and reads its info variables. Returns 0 with
// `out` filled, or the failure of resolution or the exchange with the three
// texts empty.
std::int32_t ecr_rel_query_cassa(const char* hostname, RegisterRelease& out);

// True when a release name can name the work copy and the remote file: not
// empty, no path separator, drive colon or control character, not "." or "..".
bool release_name_usable(const char* name);

// The update behind ecr_rel_update, with its result.
std::int32_t ecr_rel_install(const char* filename, const char* hostname);

}  // namespace veltra
