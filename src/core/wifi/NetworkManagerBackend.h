#pragma once

#include "wifi/WifiBackend.h"

#include <chrono>
#include <cstdint>
#include <memory>

namespace corvane {

// Wi-Fi facts from a live copy of NetworkManager's devices and access points,
// which libnm keeps current from NetworkManager's signals on GLib's main
// context (Qt's event loop runs it). Reading it never waits: until the copy
// has arrived, and while NetworkManager or the system bus is gone, there is
// no interface; whenReady tells when a load under way has ended.
class NetworkManagerBackend final : public WifiBackend {
public:
    // An older scan than this asks NetworkManager for a fresh one, and a
    // request is repeated only once its scan has ended or this much later.
    static constexpr std::int64_t kScanMaxAgeMs = 30000;
    // A system bus that could not be reached (or was lost) is tried again on
    // use, at most this often: a retry timer would wake an idle agent.
    static constexpr std::chrono::seconds kReconnectInterval{1};
    // How long whenReady waits at most for a load under way.
    static constexpr std::chrono::milliseconds kLoadWait{1000};

    NetworkManagerBackend();
    ~NetworkManagerBackend() override;

    NetworkManagerBackend(const NetworkManagerBackend&) = delete;
    NetworkManagerBackend& operator=(const NetworkManagerBackend&) = delete;

    // The platform's one Wi-Fi client: every default scanner shares it.
    static std::shared_ptr<NetworkManagerBackend> shared();

    // Ready at once unless the model is being made or NetworkManager has just
    // come back and its objects are still being read.
    void whenReady(std::function<void()> ready) override;
    // Object paths of NetworkManager devices name the interfaces.
    std::optional<std::string> defaultInterface() override;
    WifiObservation currentAssociation(const std::string& interface) override;
    WifiScanResult scan(const std::string& interface) override;

private:
    struct Link;

    // Held by shared_ptr so that callbacks still in flight at destruction can
    // tell, through a weak_ptr, that it is gone.
    std::shared_ptr<Link> m_link;
};

} // namespace corvane
