#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// The device's signing key: found or created on demand, kept across runs.
class SecurityManager {
public:
    SecurityManager();

    // Base64 of the DER ECDSA P-256/SHA-256 signature over the message bytes.
    std::optional<std::string> sign(std::string_view message);
    // Base64 of the 65-byte uncompressed public point.
    std::optional<std::string> publicKeyBase64();
};

} // namespace corvane
