// Names of the result codes: one table, indexed by (-code - 1), generated
// from ECR_RESULT_MAP so that the names cannot drift from the enum.
#include "frame/result_codes.hpp"

#include <cstdio>
#include <iterator>
#include <string_view>

#include "veltra.h"

namespace veltra {
namespace {

#define ECR_RESULT_NAME_ITEM(name, value, meaning) #name,
constexpr const char* kNames[] = {ECR_RESULT_MAP(ECR_RESULT_NAME_ITEM)};
#undef ECR_RESULT_NAME_ITEM

constexpr std::int32_t kCount = static_cast<std::int32_t>(std::size(kNames));

// The table is dense: entry i names the code -(i + 1).
#define ECR_RESULT_CHECK_ITEM(name, value, meaning)                                    \
    static_assert((value) < 0 && -(value) <= kCount &&                                 \
                      std::string_view(kNames[-(value)-1]) == std::string_view(#name), \
                  "result list out of order at " #name);
ECR_RESULT_MAP(ECR_RESULT_CHECK_ITEM)
#undef ECR_RESULT_CHECK_ITEM

}  // namespace

const char* result_name(std::int32_t code) {
    if (code >= 0 || code < -kCount) return nullptr;
    return kNames[-code - 1];
}

char* ecr_err_name(std::int32_t code, char* buf) {
    if (const char* name = result_name(code)) {
        std::snprintf(buf, kResultTextSize, "%s", name);
    } else {
        std::snprintf(buf, kResultTextSize, "%d", static_cast<int>(code));
    }
    return buf;
}

}  // namespace veltra
