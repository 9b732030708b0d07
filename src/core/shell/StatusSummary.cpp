#include "shell/StatusSummary.h"

#include "bridge/CorvaneBridge.h"
#include "bridge/Http.h"
#include "report/LocalReports.h"
#include "report/SignerRelay.h"
#include "text/Fallbacks.h"

#include <QByteArray>
#include <QCryptographicHash>

#include <nlohmann/json.hpp>

#include <ctime>
#include <utility>

namespace corvane {
namespace {

constexpr std::size_t kPublicPointSize = 65;
constexpr int kFingerprintGroup = 4;

constexpr std::string_view kSignerSilent = "the system signer does not answer";

std::string storageWords(std::string_view storage)
{
    return storage == keyStorageName(KeyStorage::tpm) ? "the TPM" : "a file";
}

// The signer's {"device_id", "key_storage", "policy", "public_key"}, read strictly.
StatusSummary::Signing signerKey(const SignerClient::Result& result)
{
    StatusSummary::Signing signing{true, {}, {}, {}, std::string(kSignerSilent), {}};
    if (!result.answer || result.answer->status != 200) {
        signing.problem +=
            result.answer ? " (status " + std::to_string(result.answer->status) + ")" : " (" + result.failure + ")";
        return signing;
    }
    const nlohmann::json key = nlohmann::json::parse(result.answer->body, nullptr, false);
    if (key.is_object() && key.value("key_storage", nlohmann::json()).is_string()
        && key.value("public_key", nlohmann::json()).is_string()) {
        signing.storage = key["key_storage"].get<std::string>();
        signing.publicKey = key["public_key"].get<std::string>();
        signing.problem.clear();
        if (key.value("policy", nlohmann::json()).is_string())
            signing.policy = key["policy"].get<std::string>();
    }
    return signing;
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

StatusSummary::StatusSummary(CorvaneBridge& bridge, LocalReports& local, SignerRelay& relay, QObject* parent)
    : QObject(parent)
    , m_bridge(bridge)
    , m_local(local)
    , m_relay(relay)
{
    connect(&bridge, &CorvaneBridge::reportServed, this, [this](qint64 timestamp, const QString& origin) {
        m_lastReport = ServedReport{timestamp, origin.toStdString()};
    });
}

void StatusSummary::gather(std::function<void(std::vector<std::string>)> done)
{
    Facts facts{m_bridge.reachability(), m_local.probes().getDeviceID(), {}, m_local.policy().summary(),
        m_local.probes().isVPNActive(), m_lastReport};
    signing([facts = std::move(facts), done = std::move(done)](Signing signing) mutable {
        facts.signing = std::move(signing);
        done(lines(facts));
    });
}

void StatusSummary::signing(std::function<void(Signing)> ready)
{
    // With the signer installed, asking the session's own store would make a key no report uses.
    if (m_relay.signerInstalled()) {
        m_relay.client().ask("/key", std::nullopt,
            [ready = std::move(ready)](const SignerClient::Result& result) { ready(signerKey(result)); });
        return;
    }
    SecurityManager& security = m_local.security();
    security.withKey([ready = std::move(ready), path = security.keyPath().string()](const DeviceKeyPtr& key) {
        if (!key)
            ready({false, {}, path, {}, "no usable key", {}});
        else
            ready({false, std::string(keyStorageName(key->storage())), path, key->publicKey(), {}, {}});
    });
}

std::vector<std::string> StatusSummary::lines(const Facts& facts)
{
    const Signing& signing = facts.signing;
    std::vector<std::string> lines{reachabilityLine(facts.reachability), "Device ID: " + facts.deviceId};
    if (signing.storage.empty()) {
        lines.push_back("Reports go out unsigned: " + signing.problem);
    } else {
        lines.push_back(std::string("Reports signed by ")
            + (signing.systemSigner ? "the system signer" : "this session") + " (key in "
            + storageWords(signing.storage) + ")");
        if (!signing.systemSigner)
            lines.push_back("Key file: " + signing.path);
        lines.push_back("Key fingerprint: " + fingerprint(signing.publicKey).value_or(std::string(fallback::kUnknown)));
    }
    // With the system signer, the policy it applies; the session's own copy may be newer.
    lines.push_back(signing.policy.empty() ? facts.policy : signing.policy);
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
