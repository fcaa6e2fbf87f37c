// SHA-256 through OpenSSL's libcrypto, for the digests that name an update set and its disks.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace qf580 {

class Sha256 {
  public:
    Sha256();
    // The digest so far goes on in the copy, independently of this one.
    Sha256(const Sha256& other);
    Sha256& operator=(const Sha256&) = delete;
    // A digest moved from gives no digest.
    Sha256(Sha256&& other) noexcept;
    Sha256& operator=(Sha256&& other) noexcept;
    ~Sha256() = default;

    void Update(std::span<const std::uint8_t> bytes);
    // The digest of every byte given so far, in lower-case hex; the digest may go on after
    // it. Empty if the library failed at any step: no digest rather than a wrong one.
    std::string Hex() const;

  private:
    struct Free {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> context_;
    bool sound_ = false;
};

}  // namespace qf580
