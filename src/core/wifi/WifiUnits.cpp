#include "wifi/WifiUnits.h"

#include <algorithm>

namespace corvane::wifiunits {

std::int64_t dbmFromQuality(std::int64_t quality)
{
    const std::int64_t q = std::clamp<std::int64_t>(quality, 0, 100);
    // round(0.6 * q) in integers; 6q is even, so no value lies halfway.
    return (6 * q + 5) / 10 - 100;
}

std::optional<std::int64_t> channelFromFrequency(std::int64_t f)
{
    if (f >= 2412 && f <= 2472)
        return (f - 2407) / 5;
    if (f == 2484)
        return 14;
    if (f > 5000 && f <= 5925)
        return (f - 5000) / 5;
    if (f >= 5955 && f <= 7115)
        return (f - 5950) / 5;
    return std::nullopt;
}

} // namespace corvane::wifiunits
