#pragma once

#include "wifi/WifiBackend.h"

#include <QDBusConnection>
#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>

namespace corvane {

// Wi-Fi facts from NetworkManager on the system bus. Every call is synchronous
// and waits at most callTimeoutMs; once NetworkManager proves absent or hung,
// the operation stops asking and gives its fallback, so the agent never waits
// on it for long.
class NetworkManagerBackend final : public WifiBackend {
public:
    static constexpr int callTimeoutMs = 2000;
    // An older scan than this asks NetworkManager for a fresh one.
    static constexpr std::int64_t scanMaxAgeMs = 30000;
    // After a call timed out, NetworkManager is left alone this long, so that
    // a report waits for one timeout at most.
    static constexpr int quietAfterTimeoutMs = 3000;
    static constexpr int reconnectIntervalMs = 1000;

    NetworkManagerBackend();
    ~NetworkManagerBackend() override;

    NetworkManagerBackend(const NetworkManagerBackend&) = delete;
    NetworkManagerBackend& operator=(const NetworkManagerBackend&) = delete;

    // The platform's one Wi-Fi client: every default scanner shares it.
    static std::shared_ptr<NetworkManagerBackend> shared();

    // Object paths of NetworkManager devices name the interfaces.
    std::optional<std::string> defaultInterface() override;
    WifiObservation currentAssociation(const std::string& interface) override;
    WifiScanResult scan(const std::string& interface) override;

private:
    // The system bus, connected again when the connection was lost or never made.
    QDBusConnection bus();

    QString m_connectionName;
    QDBusConnection m_bus;
    std::chrono::steady_clock::time_point m_quietUntil;
    std::chrono::steady_clock::time_point m_nextReconnect;
};

} // namespace corvane
