// The veltra tool's test fixture: the commands run in process with their
// streams captured, against an ecrsim register on free ports.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "command_table.hpp"
#include "ecrsim_test.hpp"

namespace veltra::test {

using tool::Io;
using ToolJson = nlohmann::json;

struct ToolRun {
    int status = -1;
    std::string out, err;
    ToolJson json() const { return ToolJson::parse(out); }
};

struct Terminal {
    bool in = false;
    bool err = false;
    std::string input;
};

// A case named by its command words, "_" between them ("sales_range"); the
// tool's own level is "veltra".
inline std::string words_name(const std::vector<std::string>& words) {
    std::string name = "veltra";
    for (const std::string& w : words) name += "_" + w;
    return name;
}

inline ToolRun run_tool(const std::vector<std::string>& args, const Terminal& term = {}) {
    std::ostringstream out, err;
    std::istringstream in(term.input);
    Io io{out, err, in, term.in, term.err};
    ToolRun r;
    r.status = tool::run_tool(args, io);
    r.out = out.str();
    r.err = err.str();
    return r;
}

// Field k (0-based) of a ';'-separated line, as the library's CSV files
// have them: the tests' own reading, independent of the tool's.
inline std::string csv_field(const std::string& line, int k) {
    std::size_t at = 0;
    for (int i = 0; i < k; ++i) at = line.find(';', at) + 1;
    return line.substr(at, line.find(';', at) - at);
}

inline std::size_t count_lines(const std::string& path) {
    return read_lines(path).size();
}

class ToolOnEcrsim : public EcrsimTest {
protected:
    // The tool against the register, --host first.
    ToolRun veltra(std::vector<std::string> args, const Terminal& term = {}) {
        args.insert(args.begin(), {"--host", "127.0.0.1"});
        return run_tool(args, term);
    }
    // Marks records (1-based ids) of a table as changed on the register.
    void mark_changed(const std::string& file, std::size_t record_size, std::vector<int> ids) {
        ecrsim::Bytes table = *reg_->file(file);
        for (int id : ids) table[static_cast<std::size_t>(id - 1) * record_size] = 1;
        reg_->put_file(file, table);
    }

    EnvVar host_var_{"ECR_HOST", std::nullopt};
};

}  // namespace veltra::test
