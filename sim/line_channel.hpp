// The register's raw text channel as logic: which answer goes back for a
// piece of text, and which key messages ("XX"202F) a stream carries.
#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "faults.hpp"

namespace ecrsim {

// Answers in script order, then the default answer for every piece.
class LineScript {
public:
    explicit LineScript(std::string default_answer) : default_(std::move(default_answer)) {}
    void set_default(std::string answer) { default_ = std::move(answer); }
    const std::string& default_answer() const { return default_; }
    void push(const std::vector<LineAnswer>& answers) {
        queue_.insert(queue_.end(), answers.begin(), answers.end());
    }
    void clear() { queue_.clear(); }
    LineAnswer next();
    // A scripted drop of the connection next in line, taken off the script;
    // false, and the script untouched, when the next answer is another.
    bool take_close();
    std::size_t pending() const { return queue_.size(); }

private:
    std::string default_;
    std::deque<LineAnswer> queue_;
};

// Finds complete key messages in a stream. carry holds the tail of earlier
// reads that may begin a message (never more than a message's length).
class KeyParser {
public:
    std::vector<std::string> feed(std::string_view bytes);

private:
    std::string carry_;
};

}  // namespace ecrsim
