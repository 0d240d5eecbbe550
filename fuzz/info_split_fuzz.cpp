// The INFO split over any answer text: every entry must be a readable text
// inside the split copy or an empty text, and the count at least 1.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cmd/info_vars.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The answer as the library holds it: one text, at most 512 characters.
    std::string answer(reinterpret_cast<const char*>(data), size);
    answer = answer.substr(0, std::min(std::strlen(answer.c_str()), veltra::kInfoAnswerSize - 1));
    std::vector<char> info_mod(answer.size() + 2);
    veltra::VarList vars{};
    const int count = veltra::ecr_parse_info(answer.c_str(), info_mod, vars.data());
    if (count < 1) std::abort();
    for (char* v : vars) {
        if (v == nullptr) std::abort();
        const bool inside = v >= info_mod.data() && v < info_mod.data() + info_mod.size();
        if (!inside && v[0] != '\0') std::abort();
        (void)std::strlen(v);
        (void)veltra::info_number(v);
    }
    (void)veltra::ecr_info_generation(vars);
    return 0;
}
