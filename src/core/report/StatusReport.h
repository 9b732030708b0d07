#pragma once

#include "wifi/WifiNetwork.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane::statusreport {

inline constexpr const char* kSignatureKey = "signature";
inline constexpr const char* kPublicKeyKey = "public_key";

// A page's fresh challenge and the origin that asked with it; both are signed
// with the facts, so a report cannot be replayed or passed off by another site.
struct Challenge {
    std::string nonce;
    std::string origin;
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

// The report's five data members, and "nonce" and "origin" for a challenge.
nlohmann::json build(const Facts& facts);

// The exact bytes that get signed: the data members written compactly.
// Works on a served document too, since "signature" and "public_key" are left out.
std::optional<std::string> signedPayload(const nlohmann::json& report);

// Seconds since 1970, truncated toward zero.
std::int64_t currentTimestamp();

} // namespace corvane::statusreport
