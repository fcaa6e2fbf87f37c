#include "transfer/Sha256.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <utility>

namespace qf580 {

void Sha256::Free::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

namespace {

// libcrypto reads the system's openssl.cnf on first use unless told not to; what it chooses
// there (providers, policies for keys and TLS) means nothing to a digest of a file, and
// reading it cost every run a file's worth of system calls. Nor does it need to tidy up at
// the process's exit, which the system does: its global state stays reachable until then.
void StartLibrary() {
    static const bool started =
        OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    static_cast<void>(started);
}

}  // namespace

Sha256::Sha256() : context_((StartLibrary(), EVP_MD_CTX_new())) {
    sound_ = context_ && EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) == 1;
}

Sha256::Sha256(const Sha256& other) : context_(EVP_MD_CTX_new()) {
    sound_ =
        other.sound_ && context_ && EVP_MD_CTX_copy_ex(context_.get(), other.context_.get()) == 1;
}

Sha256::Sha256(Sha256&& other) noexcept
    : context_(std::move(other.context_)), sound_(std::exchange(other.sound_, false)) {}

Sha256& Sha256::operator=(Sha256&& other) noexcept {
    context_ = std::move(other.context_);
    sound_ = std::exchange(other.sound_, false);
    return *this;
}

void Sha256::Update(std::span<const std::uint8_t> bytes) {
    if (sound_ && !bytes.empty()) {
        sound_ = EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) == 1;
    }
}

std::string Sha256::Hex() const {
    // Finished on a copy, so that this one can take more bytes.
    const Sha256 copy(*this);
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    if (!copy.sound_ || EVP_DigestFinal_ex(copy.context_.get(), digest.data(), &size) != 1) {
        return {};
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * size);
    for (unsigned int i = 0; i < size; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0x0F];
    }
    return hex;
}

}  // namespace qf580
