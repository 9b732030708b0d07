#pragma once

#include "wifi/WifiCodingError.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace corvane {

// One Wi-Fi network as the survey hands it out: the joined one or one seen
// by a scan.
struct WifiNetwork {
    std::string ssid;
    std::string bssid;
    std::int64_t signalStrength = 0; // dBm, larger is stronger
    std::int64_t channel = 0;        // 0 when unknown

    // The keys of the encoded form, in writing and reading order. Each key's
    // text is its name; no key has an integer value.
    enum class CodingKeys { ssid, bssid, signalStrength, channel };

    static std::string_view stringValue(CodingKeys key);
    // Case-sensitive, whole text.
    static std::optional<CodingKeys> codingKey(std::string_view text);
    static std::optional<CodingKeys> codingKey(int intValue);
    static std::optional<int> intValue(CodingKeys key);

    // A JSON object with exactly the four keys.
    nlohmann::json encode() const;
    // Every key is required and must hold its type; other keys are ignored.
    static std::variant<WifiNetwork, WifiCodingError> decode(const nlohmann::json& object);
};

} // namespace corvane
