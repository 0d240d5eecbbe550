// The four backup operations behind their exports; the exports add only the
// trace lines and the catch of a failed allocation.
#pragma once

#include <cstdint>

namespace veltra {

std::int32_t dati_save(const char* filename, const char* hostname);
std::int32_t dati_restore(const char* filename, const char* hostname);
std::int32_t dati_extract(const char* filename, const char* dirname);
std::int32_t dati_info(const char* filename, char* info_org, char* info_mod, char** var_list);

}  // namespace veltra
