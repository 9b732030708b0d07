#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace corvane {

// The identifier this machine shows in reports: derived from the machine ID
// for this application alone, so the machine ID itself never leaves the host.
class DeviceId {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    // The same text on every call on this machine, or "Unknown" when the
    // machine has no usable machine ID.
    static std::string read();

    // Upper-case 8-4-4-4-12 form.
    static std::string format(const Bytes& bytes);
};

} // namespace corvane
