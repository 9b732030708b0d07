#pragma once

#include <string_view>

// The texts that stand in for a fact the platform did not give. Reports,
// the console check and portals compare against them, so each is written once.
namespace corvane::fallback {

// No name: a scanned network, the device ID, an error without a description.
inline constexpr std::string_view kUnknown = "Unknown";
// The Wi-Fi interface is joined to no network (or its name is withheld).
inline constexpr std::string_view kNotConnected = "Not Connected";
// No hardware address.
inline constexpr std::string_view kNoAddress = "00:00:00:00:00:00";
// The report's joined network when the machine has no Wi-Fi interface.
inline constexpr std::string_view kNoInterface = "None";

} // namespace corvane::fallback
