#pragma once

#include "security/KeyFile.h"
#include "security/OpenSslPtr.h"

#include <openssl/evp.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// The device's signing key: an EC P-256 key in a PKCS#8 PEM file, created the
// first time it is needed and kept across runs. Bound to the main thread.
class SecurityManager {
public:
    using PrivateKey = OpenSslPtr<EVP_PKEY, EVP_PKEY_free>;

    // Names the key file. It must never change: a new name means a new device identity.
    static constexpr std::string_view tag = // NOLINT(readability-identifier-naming): the name callers know
        "com.corvane.compliance.agent.device-key.signingKey";

    // Keeps the key in $XDG_DATA_HOME/corvane/ (default ~/.local/share/corvane/).
    SecurityManager();
    // Keeps the key in the given folder.
    explicit SecurityManager(const std::filesystem::path& folder);

    SecurityManager(const SecurityManager&) = delete;
    SecurityManager& operator=(const SecurityManager&) = delete;

    // Base64 of the DER ECDSA P-256/SHA-256 signature over the message bytes.
    std::optional<std::string> sign(std::string_view message);
    // Base64 of the 65-byte uncompressed public point.
    std::optional<std::string> publicKeyBase64();

    // The stored key, created only when there is no key file; empty when there is no usable key.
    PrivateKey getOrCreatePrivateKey();
    // A new stored key; when another process stored one first, that one. Empty on failure.
    PrivateKey createPrivateKey();

    const std::filesystem::path& keyPath() const;
    static std::filesystem::path defaultFolder();

private:
    PrivateKey loadPrivateKey();
    PrivateKey remember(PrivateKey key, const KeyFile::Identity& identity);
    PrivateKey cachedCopy() const;
    void forget();
    void logLookupError(const std::string& reason) const;

    KeyFile m_keyFile;
    // The parsed key, valid while the file keeps this identity: parsing costs more than a stat.
    PrivateKey m_cachedKey;
    KeyFile::Identity m_cachedIdentity;
    std::optional<std::string> m_cachedPublicKey; // of m_cachedKey
    bool m_leftoversRemoved = false;
};

} // namespace corvane
