#pragma once

#include "bridge/ReportSource.h"
#include "policy/OriginPolicy.h"
#include "report/HostProbes.h"
#include "report/StatusReport.h"
#include "security/SecurityManager.h"
#include "wifi/WifiScanner.h"

#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace corvane {

// What a report is made from. Tests and benchmarks hand in their own.
struct ReportServices {
    std::unique_ptr<WifiScanner> scanner;
    std::unique_ptr<SecurityManager> security;
    std::unique_ptr<HostProbes> probes;

    static ReportServices createDefault();
};

// Reports made in this process: the facts as they are now, signed with the
// key this process keeps, for the callers the administrator's policy allows. The session agent makes them when no
// system signer is installed; the system signer makes them for every caller.
class LocalReports final : public QObject, public ReportSource {
    Q_OBJECT

public:
    // Who signs, as a challenge-bound report says under its signature.
    enum class Signer { session, system };

    LocalReports(ReportServices services, Signer signer, QObject* parent = nullptr);
    ~LocalReports() override;

    void answer(const http::Request& request, Done done) override;
    // The same report, never signed: the system signer should have signed it and could not.
    void answerUnsigned(const http::Request& request, Done done);

    // The report's facts as they are now, signed when `sign` and the key
    // store can; `done` runs once the signature is there (at once with a
    // file key), with nullopt when too many reports wait for the TPM already.
    void buildStatusReport(std::optional<statusreport::Challenge> challenge, bool sign,
        std::function<void(std::optional<statusreport::Report>)> done);

    void setPolicy(policy::OriginPolicy policy) { m_policy = std::move(policy); }
    const policy::OriginPolicy& policy() const { return m_policy; }
    SecurityManager& security() { return *m_services.security; }
    HostProbes& probes() { return *m_services.probes; }

private:
    void report(const http::Request& request, bool sign, Done done);
    void keyAnswer(Done done);
    void tellRefusal(const std::string& origin, const std::string& why);

    ReportServices m_services;
    Signer m_signer;
    policy::OriginPolicy m_policy;
    // When each refused origin was last named in the log.
    std::unordered_map<std::string, std::chrono::steady_clock::time_point> m_refusalsTold;
};

// The value of "signer".
constexpr std::string_view signerName(LocalReports::Signer signer)
{
    return signer == LocalReports::Signer::system ? "system" : "session";
}

} // namespace corvane
