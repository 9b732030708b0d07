#pragma once

#include <openssl/evp.h>

#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace corvane::verify {

// A P-256 public key, made from the 65-byte uncompressed point that reports carry.
class EcdsaP256Key {
public:
    // Empty unless the bytes are 0x04 || X || Y and the point lies on P-256.
    static std::optional<EcdsaP256Key> fromUncompressedPoint(std::span<const unsigned char> point);

    // Whether the bytes are a strict DER SEQUENCE of two INTEGERs, as ECDSA signatures are written.
    static bool isDerSignature(std::span<const unsigned char> der);

    // ECDSA with SHA-256 over the message; false for any signature that does not verify.
    bool verify(std::span<const unsigned char> derSignature, std::string_view message) const;

private:
    struct Free {
        void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
    };
    explicit EcdsaP256Key(EVP_PKEY* key)
        : m_key(key)
    {
    }

    std::unique_ptr<EVP_PKEY, Free> m_key;
};

} // namespace corvane::verify
