// Default records and field helpers of the table layouts.
#include "tables/table_formats.hpp"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "tables/table_files.hpp"

namespace veltra {

std::size_t field_text_length(std::span<const std::uint8_t> r, std::size_t at, std::size_t width) {
    const void* nul = std::memchr(r.data() + at, 0, width);
    return nul == nullptr
               ? width
               : static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - (r.data() + at));
}

void reparto_default(std::size_t index, std::span<std::uint8_t> record) {
    char name[32];
    const int n = std::snprintf(name, sizeof name, "REPARTO %u", static_cast<unsigned>(index + 1));
    text_to_field(std::string_view(name, static_cast<std::size_t>(n)),
                  record.subspan(reparto::kDescr, reparto::kDescrWidth));
}

void plu_default(std::size_t index, std::span<std::uint8_t> record) {
    char name[32];
    const int n = std::snprintf(name, sizeof name, "PLU %u", static_cast<unsigned>(index + 1));
    text_to_field(std::string_view(name, static_cast<std::size_t>(n)),
                  record.subspan(plu::kDescr, plu::kDescrWidth));
    record[plu::kFlags] |= 0x03;
}

}  // namespace veltra
