#pragma once

#include "security/KeyCrypto.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace corvane {

class TpmKey;

enum class KeyStorage { file, tpm };

// The value of "key_storage": how this agent says its key is kept.
constexpr std::string_view keyStorageName(KeyStorage storage)
{
    return storage == KeyStorage::tpm ? "tpm" : "file";
}

// The device key as one report uses it. Its public key and every signature
// made with it come from this very key, even if the key file changes meanwhile.
class DeviceKey {
public:
    DeviceKey(keycrypto::PrivateKey fileKey, std::string publicKey)
        : m_fileKey(std::move(fileKey))
        , m_publicKey(std::move(publicKey))
    {
    }
    DeviceKey(std::shared_ptr<const TpmKey> tpmKey, std::string publicKey)
        : m_tpmKey(std::move(tpmKey))
        , m_publicKey(std::move(publicKey))
    {
    }

    KeyStorage storage() const { return m_tpmKey ? KeyStorage::tpm : KeyStorage::file; }
    // Base64 of the 65-byte uncompressed public point.
    const std::string& publicKey() const { return m_publicKey; }

    EVP_PKEY* fileKey() const { return m_fileKey.get(); }
    const std::shared_ptr<const TpmKey>& tpmKey() const { return m_tpmKey; }

private:
    keycrypto::PrivateKey m_fileKey;
    std::shared_ptr<const TpmKey> m_tpmKey;
    std::string m_publicKey;
};

using DeviceKeyPtr = std::shared_ptr<const DeviceKey>;

} // namespace corvane
