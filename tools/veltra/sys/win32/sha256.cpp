// SHA-256 on Windows: the system's CNG provider.
#include "sys/sha256.hpp"

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <stdexcept>
#include <string>

namespace veltra::sys {
namespace {

void check(NTSTATUS status, const char* what) {
    if (status < 0) throw std::runtime_error(std::string("SHA-256: CNG ") + what + " failed");
}

}  // namespace

struct Sha256::State {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~State() {
        if (hash != nullptr) BCryptDestroyHash(hash);
        if (alg != nullptr) BCryptCloseAlgorithmProvider(alg, 0);
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    check(BCryptOpenAlgorithmProvider(&state_->alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0),
          "BCryptOpenAlgorithmProvider");
    // Since Windows 7 CNG keeps the hash object itself when given none.
    check(BCryptCreateHash(state_->alg, &state_->hash, nullptr, 0, nullptr, 0, 0),
          "BCryptCreateHash");
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const unsigned char> bytes) {
    // BCryptHashData takes a ULONG length: large inputs go in pieces.
    constexpr std::size_t kPiece = 1u << 30;
    while (!bytes.empty()) {
        const std::size_t n = bytes.size() < kPiece ? bytes.size() : kPiece;
        check(BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(n),
                             0),
              "BCryptHashData");
        bytes = bytes.subspan(n);
    }
}

Sha256Digest Sha256::finish() {
    Sha256Digest out{};
    check(BCryptFinishHash(state_->hash, out.data(), static_cast<ULONG>(out.size()), 0),
          "BCryptFinishHash");
    return out;
}

}  // namespace veltra::sys
