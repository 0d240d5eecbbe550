// Answers of the raw channel and key messages.
#include "line_channel.hpp"

namespace ecrsim {
namespace {

constexpr std::size_t kKeyMessage = 8;  // "XX"202F

bool hex_upper(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

bool key_at(std::string_view s, std::size_t i) {
    return s.size() - i >= kKeyMessage && s[i] == '"' && hex_upper(s[i + 1]) &&
           hex_upper(s[i + 2]) && s.substr(i + 3, 5) == "\"202F";
}

}  // namespace

LineAnswer LineScript::next() {
    if (queue_.empty()) return {LineAnswer::Kind::Bytes, default_};
    LineAnswer a = queue_.front();
    queue_.pop_front();
    return a;
}

bool LineScript::take_close() {
    if (queue_.empty() || queue_.front().kind != LineAnswer::Kind::Close) return false;
    queue_.pop_front();
    return true;
}

std::vector<std::string> KeyParser::feed(std::string_view bytes) {
    std::string s = carry_;
    s.append(bytes);
    std::vector<std::string> keys;
    std::size_t i = 0;
    while (i + kKeyMessage <= s.size()) {
        if (key_at(s, i)) {
            keys.push_back(s.substr(i + 1, 2));
            i += kKeyMessage;
        } else {
            ++i;
        }
    }
    carry_ = s.substr(i);
    if (carry_.size() >= kKeyMessage) carry_ = carry_.substr(carry_.size() - (kKeyMessage - 1));
    return keys;
}

}  // namespace ecrsim
