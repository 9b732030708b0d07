#pragma once

#include "wifi/WifiNetwork.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::statusreport {

inline constexpr const char* kSignatureKey = "signature";
inline constexpr const char* kPublicKeyKey = "public_key";

// A page's fresh challenge and the origin that asked with it; both are signed
// with the facts, so a report cannot be replayed or passed off by another site.
struct Challenge {
    std::string nonce;
    std::string origin;
    // How the signing key is kept ("tpm" or "file"), the agent's own statement;
    // none when there is no usable key.
    std::optional<std::string_view> keyStorage;
    // Who signs: "system" (the system signer) or "session" (the person's own
    // agent); none when there is no usable key.
    std::optional<std::string_view> signer;
};

// The five facts of one report, as gathered, and the challenge if one came.
struct Facts {
    std::vector<WifiNetwork> nearby;
    std::optional<WifiNetwork> current;
    std::string deviceId;
    std::int64_t timestamp = 0;
    bool vpnActive = false;
    std::optional<Challenge> challenge;
};

// A report as served: its facts and, when the key store could sign them,
// the signature and the public key that verifies it.
struct Report {
    Facts facts;
    std::optional<std::string> signature;
    std::optional<std::string> publicKey;
};

// The exact bytes that get signed: the data members ("nonce", "origin",
// "key_storage" and "signer" too, for a challenge) compact, keys sorted at every level, UTF-8 written as
// itself, quotes, backslashes and control characters escaped as JSON
// requires, and every "/" as "\/". Written directly, without a JSON tree,
// since every report pays for it. None when a text is not UTF-8.
std::optional<std::string> signedPayload(const Facts& facts);

// The served document: every member, sorted, indented, "/" as "\/".
std::optional<std::string> servedDocument(const Report& report);

// The same signed bytes rebuilt from a served document, as a verifier does:
// every member but "signature" and "public_key".
std::optional<std::string> signedPayload(const nlohmann::json& served);

// Seconds since 1970, truncated toward zero.
std::int64_t currentTimestamp();

} // namespace corvane::statusreport
