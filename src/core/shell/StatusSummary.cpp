#include "shell/StatusSummary.h"

#include "bridge/CorvaneBridge.h"
#include "bridge/Http.h"
#include "text/Fallbacks.h"

#include <QByteArray>
#include <QCryptographicHash>

#include <ctime>
#include <utility>

namespace corvane {
namespace {

constexpr std::size_t kPublicPointSize = 65;
constexpr int kFingerprintGroup = 4;

// The key as the key store hands it out (later, when it is in a TPM).
void withKey(SecurityManager& security, std::function<void(std::optional<StatusSummary::Key>)> ready)
{
    security.withKey([ready = std::move(ready), path = security.keyPath().string()](const DeviceKeyPtr& key) {
        if (!key) {
            ready(std::nullopt);
            return;
        }
        ready(StatusSummary::Key{std::string(keyStorageName(key->storage())), path, key->publicKey()});
    });
}

// Local time with its offset, so that it can be set beside a server's log.
std::string localTime(std::int64_t timestamp)
{
    const std::time_t time = static_cast<std::time_t>(timestamp);
    std::tm parts{};
    char text[64] = {};
    if (!::localtime_r(&time, &parts) || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &parts) == 0)
        return std::to_string(timestamp);
    return text;
}

} // namespace

StatusSummary::StatusSummary(CorvaneBridge& bridge, QObject* parent)
    : QObject(parent)
    , m_bridge(bridge)
{
    connect(&bridge, &CorvaneBridge::reportServed, this, [this](qint64 timestamp, const QString& origin) {
        m_lastReport = ServedReport{timestamp, origin.toStdString()};
    });
}

void StatusSummary::gather(std::function<void(std::vector<std::string>)> done)
{
    Facts facts{m_bridge.reachability(), m_bridge.probes().getDeviceID(), std::nullopt, m_bridge.probes().isVPNActive(),
        m_lastReport};
    withKey(m_bridge.security(), [facts = std::move(facts), done = std::move(done)](std::optional<Key> key) mutable {
        facts.key = std::move(key);
        done(lines(facts));
    });
}

std::vector<std::string> StatusSummary::lines(const Facts& facts)
{
    std::vector<std::string> lines{reachabilityLine(facts.reachability), "Device ID: " + facts.deviceId};
    if (facts.key) {
        lines.push_back("Key: " + facts.key->storage + ", " + facts.key->path);
        lines.push_back(
            "Key fingerprint: " + fingerprint(facts.key->publicKey).value_or(std::string(fallback::kUnknown)));
    } else {
        lines.emplace_back("Key: none usable, so reports go out unsigned");
    }
    lines.emplace_back(facts.vpnActive ? "VPN: active" : "VPN: not active");
    std::string last = "Last report served: ";
    if (!facts.lastReport)
        last += "none yet";
    else if (facts.lastReport->origin == http::kAnyOrigin)
        last += localTime(facts.lastReport->timestamp) + ", to a caller without an Origin";
    else
        last += localTime(facts.lastReport->timestamp) + ", to " + facts.lastReport->origin;
    lines.push_back(std::move(last));
    return lines;
}

std::string StatusSummary::reachabilityLine(const Reachability& reachability)
{
    if (!reachability.serving())
        return "Web pages cannot reach the agent: " + reachability.problem + " (trying again)";
    std::string line = "Web pages can reach the agent on ";
    for (std::size_t i = 0; i < reachability.addresses.size(); ++i)
        line += (i == 0 ? "" : " and ") + reachability.addresses[i];
    return line;
}

std::optional<std::string> StatusSummary::fingerprint(std::string_view publicKeyBase64)
{
    const auto decoded = QByteArray::fromBase64Encoding(
        QByteArray(publicKeyBase64.data(), static_cast<qsizetype>(publicKeyBase64.size())),
        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || (*decoded).size() != kPublicPointSize)
        return std::nullopt;
    const QByteArray hex = QCryptographicHash::hash(*decoded, QCryptographicHash::Sha256).toHex();
    std::string text = "SHA-256";
    for (qsizetype i = 0; i < hex.size(); i += kFingerprintGroup)
        text += ' ' + hex.mid(i, kFingerprintGroup).toStdString();
    return text;
}

} // namespace corvane
