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

// The few facts a person or a helpdesk asks about first, above the Wi-Fi
// diagnostic in the status window.
class StatusSummary final : public QObject {
    Q_OBJECT

public:
    struct Key {
        std::string storage; // "file" or "tpm"
        std::string path;
        std::string publicKey; // Base64 of the uncompressed point
    };
    struct ServedReport {
        std::int64_t timestamp;
        std::string origin;
    };
    struct Facts {
        Reachability reachability;
        std::string deviceId;
        std::optional<Key> key; // none when there is no usable key
        bool vpnActive = false;
        std::optional<ServedReport> lastReport;
    };

    // Keeps the last report the bridge serves from now on.
    explicit StatusSummary(CorvaneBridge& bridge, QObject* parent = nullptr);

    // The lines, now or, when the key has to be waited for, later.
    void gather(std::function<void(std::vector<std::string>)> done);

    static std::vector<std::string> lines(const Facts& facts);
    static std::string reachabilityLine(const Reachability& reachability);
    // "SHA-256 " and the digest of the public key's bytes in groups of four hex digits.
    static std::optional<std::string> fingerprint(std::string_view publicKeyBase64);

private:
    CorvaneBridge& m_bridge;
    std::optional<ServedReport> m_lastReport;
};

} // namespace corvane
