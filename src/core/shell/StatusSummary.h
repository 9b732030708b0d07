#pragma once

#include "bridge/Reachability.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

class CorvaneBridge;
class LocalReports;
class SignerRelay;

// The few facts a person or a helpdesk asks about first, above the Wi-Fi
// diagnostic in the status window.
class StatusSummary final : public QObject {
    Q_OBJECT

public:
    // Who signs the reports, and with what.
    struct Signing {
        bool systemSigner = false; // the system signer, not this session
        std::string storage;       // "file" or "tpm"; empty: no usable key, or no answer
        std::string path;          // the session's key file
        std::string publicKey;     // Base64 of the uncompressed point
        std::string problem;       // why reports go out unsigned
        std::string policy;        // what the signer's policy allows; empty: the session's applies
    };
    struct ServedReport {
        std::int64_t timestamp;
        std::string origin;
    };
    struct Facts {
        Reachability reachability;
        std::string deviceId;
        Signing signing;
        std::string policy; // what the administrator's policy allows, in one line
        bool vpnActive = false;
        std::optional<ServedReport> lastReport;
    };

    // Keeps the last report the bridge serves from now on.
    StatusSummary(CorvaneBridge& bridge, LocalReports& local, SignerRelay& relay, QObject* parent = nullptr);

    // The lines, now or, when the key or the signer has to be waited for, later.
    void gather(std::function<void(std::vector<std::string>)> done);

    static std::vector<std::string> lines(const Facts& facts);
    static std::string reachabilityLine(const Reachability& reachability);
    // "SHA-256 " and the digest of the public key's bytes in groups of four hex digits.
    static std::optional<std::string> fingerprint(std::string_view publicKeyBase64);

private:
    void signing(std::function<void(Signing)> ready);

    CorvaneBridge& m_bridge;
    LocalReports& m_local;
    SignerRelay& m_relay;
    std::optional<ServedReport> m_lastReport;
};

} // namespace corvane
