// SHA-256 from the platform (OpenSSL on POSIX, CNG on Windows), for the
// journal's audit chain and the hash of a job's request. Not part of the
// shared library.
#pragma once

#include <array>
#include <memory>
#include <span>
#include <string_view>

namespace veltra::sys {

using Sha256Digest = std::array<unsigned char, 32>;

// A running hash: update with the input in any pieces, then finish once.
// Throws std::runtime_error when the platform's hash fails.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::span<const unsigned char> bytes);
    void update(std::string_view text);
    Sha256Digest finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

inline void Sha256::update(std::string_view text) {
    update({reinterpret_cast<const unsigned char*>(text.data()), text.size()});
}

inline Sha256Digest sha256(std::span<const unsigned char> bytes) {
    Sha256 h;
    h.update(bytes);
    return h.finish();
}

inline Sha256Digest sha256(std::string_view text) {
    Sha256 h;
    h.update(text);
    return h.finish();
}

}  // namespace veltra::sys
