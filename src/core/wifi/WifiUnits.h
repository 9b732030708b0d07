#pragma once

#include <cstdint>
#include <optional>

namespace corvane::wifiunits {

// NetworkManager reports signal only as a 0-100 quality, made from dBm by
// clamping to [-100, -40]; this inverts that mapping: 100 gives -40, 0 gives -100.
std::int64_t dbmFromQuality(std::int64_t quality);

// The channel number of a centre frequency in MHz (2.4, 5 and 6 GHz bands),
// or none for a frequency outside them.
std::optional<std::int64_t> channelFromFrequency(std::int64_t megahertz);

} // namespace corvane::wifiunits
