#include "report/StatusReport.h"

#include "json/JsonWriter.h"
#include "text/Fallbacks.h"

#include <chrono>

namespace corvane::statusreport {
namespace {

nlohmann::json connectedNetwork(const std::optional<WifiNetwork>& current)
{
    if (!current)
        return {{"ssid", fallback::kNoInterface}, {"bssid", fallback::kNoAddress}};
    return {{"ssid", current->ssid}, {"bssid", current->bssid}};
}

nlohmann::json nearbyNetworks(const std::vector<WifiNetwork>& nearby)
{
    nlohmann::json list = nlohmann::json::array();
    for (const WifiNetwork& network : nearby) {
        list.push_back({
            {"ssid", network.ssid},
            {"bssid", network.bssid},
            {"rssi", network.signalStrength},
            {"channel", network.channel},
        });
    }
    return list;
}

} // namespace

nlohmann::json build(const Facts& facts)
{
    nlohmann::json report = {
        {"timestamp", facts.timestamp},
        {"device_id", facts.deviceId},
        {"connected_network", connectedNetwork(facts.current)},
        {"nearby_networks", nearbyNetworks(facts.nearby)},
        {"vpn_active", facts.vpnActive},
    };
    if (facts.challenge) {
        report["nonce"] = facts.challenge->nonce;
        report["origin"] = facts.challenge->origin;
    }
    return report;
}

std::optional<std::string> signedPayload(const nlohmann::json& report)
{
    if (!report.contains(kSignatureKey) && !report.contains(kPublicKeyKey))
        return json::writeCompact(report);
    nlohmann::json data = report;
    data.erase(kSignatureKey);
    data.erase(kPublicKeyKey);
    return json::writeCompact(data);
}

std::int64_t currentTimestamp()
{
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace corvane::statusreport
