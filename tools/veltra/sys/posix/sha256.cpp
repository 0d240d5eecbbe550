// SHA-256 on POSIX: OpenSSL's EVP digest.
#include "sys/sha256.hpp"

#include <openssl/evp.h>

#include <stdexcept>

namespace veltra::sys {

struct Sha256::State {
    struct Free {
        void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> ctx{EVP_MD_CTX_new()};
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    if (!state_->ctx || EVP_DigestInit_ex(state_->ctx.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256: OpenSSL cannot start a digest");
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const unsigned char> bytes) {
    if (EVP_DigestUpdate(state_->ctx.get(), bytes.data(), bytes.size()) != 1)
        throw std::runtime_error("SHA-256: OpenSSL refused the input");
}

Sha256Digest Sha256::finish() {
    Sha256Digest out{};
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(state_->ctx.get(), out.data(), &size) != 1 || size != out.size())
        throw std::runtime_error("SHA-256: OpenSSL cannot finish the digest");
    return out;
}

}  // namespace veltra::sys
