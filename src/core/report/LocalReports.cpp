#include "report/LocalReports.h"

#include "json/JsonWriter.h"
#include "log/Log.h"

#include <QPointer>

#include <utility>

namespace corvane {
namespace {

constexpr std::string_view kTooManyWaiting = "too many reports wait for their signature";
constexpr std::string_view kNoKey = "no usable device key; the log says why";
// Asked of the system signer for its public key, which enrolment needs.
constexpr std::string_view kKeyPath = "/key";
// A refused origin is named in the log at most this often; a page that asks
// again and again must not flood it.
constexpr std::chrono::hours kRefusalLogInterval{1};
constexpr std::size_t kMostRefusalsTold = 1024;

ReportAnswer served(const statusreport::Report& report)
{
    return {200, statusreport::servedDocument(report), std::nullopt, report.facts.timestamp};
}

} // namespace

ReportServices ReportServices::createDefault()
{
    return {
        std::make_unique<WifiScanner>(),
        std::make_unique<SecurityManager>(),
        HostProbes::createDefault(),
    };
}

LocalReports::LocalReports(ReportServices services, Signer signer, QObject* parent)
    : QObject(parent)
    , m_services(std::move(services))
    , m_signer(signer)
{
}

LocalReports::~LocalReports() = default;

void LocalReports::answer(const http::Request& request, Done done)
{
    if (m_signer == Signer::system && request.path == kKeyPath)
        keyAnswer(std::move(done));
    else
        report(request, true, std::move(done));
}

void LocalReports::answerUnsigned(const http::Request& request, Done done)
{
    report(request, false, std::move(done));
}

void LocalReports::report(const http::Request& request, bool sign, Done done)
{
    if (std::optional<policy::Refusal> refusal = m_policy.judge(request.origin, request.nonce.has_value())) {
        tellRefusal(request.origin, refusal->error);
        done({refusal->status, http::errorDocument(refusal->error), std::nullopt, std::nullopt});
        return;
    }
    std::optional<statusreport::Challenge> challenge;
    if (request.nonce)
        challenge = statusreport::Challenge{*request.nonce, request.origin, std::nullopt, std::nullopt};
    // Just after a start the Wi-Fi facts may still be loading.
    m_services.scanner->whenReady(
        [self = QPointer(this), challenge = std::move(challenge), sign, done = std::move(done)]() mutable {
            if (!self)
                return;
            self->buildStatusReport(std::move(challenge), sign,
                [done = std::move(done)](const std::optional<statusreport::Report>& report) {
                    if (report)
                        done(served(*report));
                    else
                        done({503, http::errorDocument(kTooManyWaiting), 1, std::nullopt});
                });
        });
}

void LocalReports::buildStatusReport(std::optional<statusreport::Challenge> challenge, bool sign,
    std::function<void(std::optional<statusreport::Report>)> done)
{
    statusreport::Report report;
    statusreport::Facts& facts = report.facts;
    facts.nearby = m_services.scanner->scanNetworks();
    facts.current = m_services.scanner->currentNetwork();
    facts.deviceId = m_services.probes->getDeviceID();
    facts.timestamp = statusreport::currentTimestamp();
    facts.vpnActive = m_services.probes->isVPNActive();
    facts.challenge = std::move(challenge);
    if (!sign) {
        done(std::move(report));
        return;
    }

    SecurityManager& security = *m_services.security;
    security.withKey([&security, signer = m_signer, report = std::move(report), done = std::move(done)](
                         const DeviceKeyPtr& key) mutable {
        // A portal that asked with a challenge also learns how the key is kept and who holds it, under the signature.
        if (key && report.facts.challenge) {
            report.facts.challenge->keyStorage = keyStorageName(key->storage());
            report.facts.challenge->signer = signerName(signer);
        }
        const std::optional<std::string> payload = statusreport::signedPayload(report.facts);
        if (!key || !payload) {
            done(std::move(report));
            return;
        }
        auto signedReport = std::make_shared<statusreport::Report>(std::move(report));
        if (!security.sign(key, *payload, [key, signedReport, done](std::optional<std::string> signature) {
                if (signature) {
                    signedReport->signature = std::move(signature);
                    signedReport->publicKey = key->publicKey();
                }
                done(std::move(*signedReport));
            }))
            done(std::nullopt);
    });
}

void LocalReports::tellRefusal(const std::string& origin, const std::string& why)
{
    const auto now = std::chrono::steady_clock::now();
    if (m_refusalsTold.size() >= kMostRefusalsTold)
        std::erase_if(m_refusalsTold, [now](const auto& told) { return now - told.second >= kRefusalLogInterval; });
    const auto told = m_refusalsTold.find(origin);
    if (told != m_refusalsTold.end() && now - told->second < kRefusalLogInterval)
        return;
    // Full of origins named within the hour: the rest stay quiet until it is over.
    if (told == m_refusalsTold.end() && m_refusalsTold.size() >= kMostRefusalsTold)
        return;
    m_refusalsTold[origin] = now;
    logLine("Report refused: " + why);
}

void LocalReports::keyAnswer(Done done)
{
    const std::string deviceId = m_services.probes->getDeviceID();
    // The policy it applies, for the status window: the session's own copy may be newer than the signer's.
    m_services.security->withKey(
        [deviceId, policy = m_policy.summary(), done = std::move(done)](const DeviceKeyPtr& key) {
            if (!key) {
                done({503, http::errorDocument(kNoKey), std::nullopt, std::nullopt});
                return;
            }
            const nlohmann::json document = {
                {"device_id", deviceId},
                {"key_storage", keyStorageName(key->storage())},
                {"policy", policy},
                {"public_key", key->publicKey()},
            };
            done({200, json::writeCompact(document), std::nullopt, std::nullopt});
        });
}

} // namespace corvane
