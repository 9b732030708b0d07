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

// The five facts of one report, as gathered.
struct Facts {
    std::vector<WifiNetwork> nearby;
    std::optional<WifiNetwork> current;
    std::string deviceId;
    std::int64_t timestamp = 0;
    bool vpnActive = false;
};

// The report's five data members.
nlohmann::json build(const Facts& facts);

// The exact bytes that get signed: the five data members written compactly.
// Works on a served document too, since "signature" and "public_key" are left out.
std::optional<std::string> signedPayload(const nlohmann::json& report);

// Seconds since 1970, truncated toward zero.
std::int64_t currentTimestamp();

} // namespace corvane::statusreport
