#pragma once

#include "security/DeviceKey.h"
#include "security/KeyFile.h"
#include "security/TpmWorker.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The device's signing key, an EC P-256 key created the first time it is
// needed and kept across runs: inside the TPM when one is usable (the key file
// then holds only the TPM's wrapped blob), else in a PKCS#8 PEM file. An
// existing key is never replaced. Bound to the main thread; TPM commands run
// on a worker thread, and their results come back through the event loop.
class SecurityManager final : public QObject {
    Q_OBJECT

public:
    // Names the key file. It must never change: a new name means a new device identity.
    static constexpr std::string_view tag = // NOLINT(readability-identifier-naming): the name callers know
        "com.corvane.compliance.agent.device-key.signingKey";
    static constexpr std::chrono::seconds kTpmTimeout{5};
    static constexpr std::size_t kMostWaiting = 16;

    // Where a key made by this store goes. Tests and benchmarks of the file
    // store say inFile, so that no TPM is ever asked.
    enum class NewKeys { inTpmWhenUsable, inFile };

    // Keeps the key in $XDG_DATA_HOME/corvane/ (default ~/.local/share/corvane/).
    explicit SecurityManager(QObject* parent = nullptr);
    explicit SecurityManager(
        const std::filesystem::path& folder, NewKeys newKeys = NewKeys::inTpmWhenUsable, QObject* parent = nullptr);
    ~SecurityManager() override;

    // Finds the key, creating it when there is none (inside the TPM when one
    // is usable, else a file key, saying once why). `ready` runs on the main
    // thread: at once when nothing has to wait (a file key, a TPM key already
    // loaded), else later but within kTpmTimeout; with nullptr when there is
    // no usable key (the reason is logged).
    void withKey(std::function<void(DeviceKeyPtr)> ready);
    // Signs payload with key. `done` runs on the main thread: at once for a
    // file key, else within kTpmTimeout, with the Base64 DER ECDSA P-256
    // SHA-256 signature, or nullopt (the reason is logged). Identical payloads
    // in flight share one TPM signature. Returns false without calling done
    // when kMostWaiting signatures already wait for the TPM.
    bool sign(const DeviceKeyPtr& key, std::string payload, std::function<void(std::optional<std::string>)> done);

    const std::filesystem::path& keyPath() const;
    static std::filesystem::path defaultFolder();

private:
    using KeyReady = std::function<void(DeviceKeyPtr)>;
    using SignDone = std::function<void(std::optional<std::string>)>;
    // One signature the TPM is asked for, and the reports waiting for it,
    // which give up together, within kTpmTimeout of the first.
    struct SignJob {
        std::uint64_t ticket;
        TpmWorker::Job job;
        DeviceKeyPtr key;
        keycrypto::Digest digest;
        std::vector<SignDone> waiters;
        std::unique_ptr<QTimer> deadline;
    };
    enum class TpmStep { none, creating, loading };

    void readKey();
    void createKey();
    void createFileKey();
    void waitForTpm(TpmStep step);
    void keyCreated(TpmWorker::KeyResult result);
    void keyLoaded(const KeyFile::Identity& identity, TpmWorker::KeyResult result);
    DeviceKeyPtr remember(DeviceKeyPtr key, const KeyFile::Identity& identity);
    void finishLookup(const DeviceKeyPtr& key, const std::string& failure = {});
    void tpmSigned(std::uint64_t ticket, const TpmWorker::SignResult& result);
    void lookupTimedOut();
    void signTimedOut(std::uint64_t ticket);
    void tellWhyNoTpm(const std::string& reason);
    std::string lookupError(const std::string& reason) const;

    KeyFile m_keyFile;
    NewKeys m_newKeys;
    TpmWorker m_tpm;
    // The key, valid while the file keeps this identity: parsing or loading costs more than a stat.
    DeviceKeyPtr m_cachedKey;
    KeyFile::Identity m_cachedIdentity;
    std::vector<KeyReady> m_keyWaiters;
    TpmStep m_tpmStep = TpmStep::none; // a lookup waits for the TPM
    // The reports waiting for a lookup give up when it fires; the lookup goes on.
    QTimer m_lookupDeadline;
    std::vector<SignJob> m_signJobs;
    std::uint64_t m_lastTicket = 0;
    bool m_leftoversRemoved = false;
    bool m_toldWhyNoTpm = false;
};

} // namespace corvane
