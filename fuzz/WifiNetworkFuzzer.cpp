// Decoding a Wi-Fi record from any JSON must give a record or an error, and
// a decoded record must survive encoding and decoding unchanged.
#include "Check.h"
#include "wifi/WifiNetwork.h"

#include <cstdint>
#include <tuple>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const nlohmann::json document = nlohmann::json::parse(data, data + size, nullptr, false);
    if (document.is_discarded())
        return 0;
    const auto decoded = corvane::WifiNetwork::decode(document);
    const auto* network = std::get_if<corvane::WifiNetwork>(&decoded);
    if (!network)
        return 0;
    const auto again = corvane::WifiNetwork::decode(network->encode());
    const auto* copy = std::get_if<corvane::WifiNetwork>(&again);
    check(copy
        && std::tie(copy->ssid, copy->bssid, copy->signalStrength, copy->channel)
            == std::tie(network->ssid, network->bssid, network->signalStrength, network->channel));
    return 0;
}
