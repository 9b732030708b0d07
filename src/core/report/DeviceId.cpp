#include "report/DeviceId.h"

#include "text/Fallbacks.h"

#include <systemd/sd-id128.h>

#include <cstring>

namespace corvane {

namespace {

// Our application ID, made once at random. It must never change: every
// receiver that already knows a machine knows it by the ID derived from this.
// (Spelled out: SD_ID128_MAKE is a C compound literal, which C++ lacks.)
constexpr sd_id128_t kAppId = {
    {0xf5, 0x78, 0x6f, 0x5d, 0x1f, 0xf6, 0x48, 0x23, 0xa3, 0xc5, 0x26, 0xc5, 0x62, 0x19, 0x24, 0xab}};

} // namespace

std::string DeviceId::read()
{
    sd_id128_t id;
    if (sd_id128_get_machine_app_specific(kAppId, &id) < 0)
        return std::string(fallback::kUnknown);
    Bytes bytes;
    static_assert(sizeof(id.bytes) == sizeof(bytes));
    std::memcpy(bytes.data(), id.bytes, bytes.size());
    return format(bytes);
}

std::string DeviceId::format(const Bytes& bytes)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0F];
    }
    return text;
}

} // namespace corvane
