// SHA-256 through OpenSSL's libcrypto (EVP, which uses the processor's SHA instructions), for
// the digests that name an update set and its disks. The library's own declarations stay in
// the source file: whoever takes a digest does not take in libcrypto's headers with it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

// libcrypto's digest context, known here only by name.
struct evp_md_ctx_st;

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
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> context_;
    bool sound_ = false;
};

}  // namespace qf580
