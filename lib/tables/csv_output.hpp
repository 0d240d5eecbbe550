// A CSV file being written as text (CR LF line ends on Windows, LF
// elsewhere, from the same code). Unless kept, it is deleted when the
// object goes, so a failed or empty export leaves no file behind.
#pragma once

#include <cstdio>
#include <string>

namespace veltra {

class CsvOutput {
public:
    explicit CsvOutput(const char* path);
    ~CsvOutput();
    CsvOutput(const CsvOutput&) = delete;
    CsvOutput& operator=(const CsvOutput&) = delete;

    explicit operator bool() const { return file_ != nullptr; }
    std::FILE* get() const { return file_; }

    // Closes the file and keeps it: false when writing it failed (the file
    // is then deleted).
    bool keep();

private:
    std::FILE* file_ = nullptr;
    std::string path_;
};

}  // namespace veltra
