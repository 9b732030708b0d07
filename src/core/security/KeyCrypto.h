#pragma once

#include "security/OpenSslPtr.h"

#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// What file keys and TPM keys share: the wire forms of signatures and public
// keys, and the text of OpenSSL's errors.
namespace corvane::keycrypto {

using PrivateKey = OpenSslPtr<EVP_PKEY, EVP_PKEY_free>;
using Digest = std::array<unsigned char, 32>;

inline constexpr std::string_view kNotP256Reason = "Not an EC P-256 private key";

// The library context of file keys: OpenSSL's default provider only. The
// system's openssl.cnf may activate the tpm2 provider for every program; a
// file key must never go through it, nor wait for a TPM.
OSSL_LIB_CTX* fileContext();

// The most recent OpenSSL error as text, or "Unknown"; leaves the queue empty.
std::string openSslReason();
// An errno value as text, or "Unknown" for 0.
std::string systemReason(int error);

std::string base64(const unsigned char* bytes, std::size_t size);
bool isP256(EVP_PKEY* key);
// Base64 of the 65-byte uncompressed public point; none when the key has no such point.
std::optional<std::string> publicPointBase64(EVP_PKEY* key);
std::optional<Digest> sha256(std::string_view message);

} // namespace corvane::keycrypto
