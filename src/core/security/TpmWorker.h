#pragma once

#include "security/KeyCrypto.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QObject;

namespace corvane {

class TpmKey;

// The TPM, reached through OpenSSL's tpm2 provider on a thread of its own, one
// command at a time: a TPM takes tens to hundreds of milliseconds per command,
// or may not answer at all, and the event loop must never wait for it.
// Results come back on the receiver's thread through its event loop.
class TpmWorker {
public:
    struct KeyResult {
        std::shared_ptr<const TpmKey> key; // empty on failure
        std::string publicKey;             // Base64 of the uncompressed point
        std::string pem;                   // a new key's wrapped form ("TSS2 PRIVATE KEY")
        std::string reason;                // why there is no key
    };
    struct SignResult {
        std::optional<std::string> signature; // Base64 of the DER signature
        std::string reason;
    };
    using Job = std::uint64_t;

    explicit TpmWorker(QObject* receiver);
    // Waits a second at most, for keys to be flushed from the TPM: a command
    // that hangs is left to the end of the process.
    ~TpmWorker();

    TpmWorker(const TpmWorker&) = delete;
    TpmWorker& operator=(const TpmWorker&) = delete;

    // A new P-256 key inside the TPM. A failure means no TPM is usable for the device key.
    Job createKey(std::function<void(KeyResult)> done);
    Job loadKey(std::string pem, std::function<void(KeyResult)> done);
    Job sign(std::shared_ptr<const TpmKey> key, const keycrypto::Digest& digest, std::function<void(SignResult)> done);
    // Drops a job the thread has not started.
    void cancel(Job job);

    // Why no TPM can be used, when that is plain without talking to one: the
    // agent then never loads the provider.
    static std::optional<std::string> unreachableReason();

    // The thread's state, shared with the TPM keys it made.
    struct Shared;

private:
    Job post(std::function<void(Shared&)> work);

    std::shared_ptr<Shared> m_shared;
};

// A wrapped blob starts with this line: the private key lives in the TPM.
inline constexpr std::string_view kTpmKeyPemBegin = "-----BEGIN TSS2 PRIVATE KEY-----";

} // namespace corvane
