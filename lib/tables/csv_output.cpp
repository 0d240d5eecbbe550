// CSV files written as text.
#include "tables/csv_output.hpp"

#include "sys/files.hpp"

namespace veltra {

CsvOutput::CsvOutput(const char* path) : path_(path) {
    file_ = std::fopen(path, "w");
    if (file_ != nullptr) std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
}

CsvOutput::~CsvOutput() {
    if (file_ != nullptr) {
        std::fclose(file_);
        sys::remove_file(path_.c_str());
    }
}

bool CsvOutput::keep() {
    if (file_ == nullptr) return false;
    const bool ok = std::ferror(file_) == 0 && std::fclose(file_) == 0;
    file_ = nullptr;
    if (!ok) sys::remove_file(path_.c_str());
    return ok;
}

}  // namespace veltra
