#include "security/TpmWorker.h"

#include "text/Fallbacks.h"

#include <QMetaObject>
#include <QObject>

#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/encoder.h>
#include <openssl/err.h>
#include <openssl/provider.h>

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace corvane {

struct TpmWorker::Shared : std::enable_shared_from_this<Shared> {
    struct Work {
        Job job;
        bool cleanup; // frees a key: still done while the worker stops
        std::function<void(Shared&)> run;
    };

    // Runs work on the thread, starting it the first time. Refused (0) once
    // the worker stops, except frees, which are refused once the thread has ended.
    Job post(std::function<void(Shared&)> work, bool cleanup = false);
    // Hands a result to the receiver's thread, unless the receiver is gone.
    void deliver(std::function<void()> result);
    void run();

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<Work> jobs;
    Job lastJob = 0;
    QObject* receiver = nullptr;
    bool started = false;
    bool stopping = false;
    bool ended = false;
    bool busy = false;
    std::thread thread; // set once, when started; joined or detached by the owner alone

    // The thread's own: the tpm2 provider, in a library context of its own.
    OSSL_LIB_CTX* context = nullptr;
    OSSL_PROVIDER* provider = nullptr;
};

// A key inside the TPM. Its EVP_PKEY is used, and freed, on the TPM thread only:
// freeing it flushes the key from the TPM, which is a TPM command too.
class TpmKey {
public:
    TpmKey(EVP_PKEY* key, std::shared_ptr<TpmWorker::Shared> owner)
        : m_key(key)
        , m_owner(std::move(owner))
    {
    }
    ~TpmKey()
    {
        // Once the worker has stopped the key is left to the end of the
        // process, when the TPM's resource manager drops it with the connection.
        m_owner->post([key = m_key](TpmWorker::Shared&) { EVP_PKEY_free(key); }, true);
    }
    TpmKey(const TpmKey&) = delete;
    TpmKey& operator=(const TpmKey&) = delete;

    EVP_PKEY* get() const { return m_key; }

private:
    EVP_PKEY* m_key;
    std::shared_ptr<TpmWorker::Shared> m_owner;
};

namespace {

using KeyContext = OpenSslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using Encoder = OpenSslPtr<OSSL_ENCODER_CTX, OSSL_ENCODER_CTX_free>;
using Decoder = OpenSslPtr<OSSL_DECODER_CTX, OSSL_DECODER_CTX_free>;

constexpr const char* kTpmOnly = "provider=tpm2";
constexpr const char* kTctiVariable = "TPM2OPENSSL_TCTI"; // the provider's own
constexpr const char* kDevice = "/dev/tpmrm0";            // the kernel's resource manager
constexpr std::chrono::seconds kMostExitWait{1};

const char* tcti()
{
    const char* value = std::getenv(kTctiVariable);
    return value && value[0] ? value : nullptr;
}

// The first error OpenSSL queued (the rest only say where it went up), with
// the provider's detail, e.g. "cannot sign (tcti:IO failure)". Empties the queue.
std::string tpmReason()
{
    const char* data = nullptr;
    int flags = 0;
    const unsigned long code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags);
    const std::string text = (flags & ERR_TXT_STRING) && data ? data : ""; // before the queue is emptied
    ERR_clear_error();
    std::string_view detail = text;
    // The provider puts the TSS return code before its text: "655370 tcti:IO failure".
    while (!detail.empty() && (std::isdigit(static_cast<unsigned char>(detail.front())) || detail.front() == ' '))
        detail.remove_prefix(1);
    const char* reason = code == 0 ? nullptr : ERR_reason_error_string(code);
    if (reason && !detail.empty())
        return std::string(reason) + " (" + std::string(detail) + ")";
    if (reason || !detail.empty())
        return reason ? reason : std::string(detail);
    if (code == 0)
        return std::string(fallback::kUnknown);
    char described[256] = {};
    ERR_error_string_n(code, described, sizeof described);
    return described;
}

std::string providerReason()
{
    for (unsigned long code = 0; (code = ERR_peek_error()) != 0; ERR_get_error()) {
        if (ERR_GET_LIB(code) == ERR_LIB_DSO) {
            ERR_clear_error();
            return "OpenSSL's tpm2 provider is not installed (package tpm2-openssl)";
        }
        if (ERR_GET_LIB(code) != ERR_LIB_CRYPTO)
            break;
    }
    return "no TPM answers at " + std::string(tcti() ? tcti() : kDevice) + ": " + tpmReason();
}

// Loads the provider the first time a TPM is needed; a reason when no TPM can be used.
std::optional<std::string> openTpm(TpmWorker::Shared& shared)
{
    if (shared.provider)
        return std::nullopt;
    if (std::optional<std::string> reason = TpmWorker::unreachableReason())
        return reason;
    if (!shared.context)
        shared.context = OSSL_LIB_CTX_new();
    ERR_clear_error();
    shared.provider = shared.context ? OSSL_PROVIDER_load(shared.context, "tpm2") : nullptr;
    if (!shared.provider)
        return providerReason();
    return std::nullopt;
}

TpmWorker::KeyResult failed(std::string reason)
{
    return {nullptr, {}, {}, std::move(reason)};
}

// The key as a report needs it: a P-256 key with an uncompressed public point.
TpmWorker::KeyResult usableKey(TpmWorker::Shared& shared, EVP_PKEY* raw, std::string pem)
{
    auto key = std::make_shared<const TpmKey>(raw, shared.shared_from_this());
    if (!keycrypto::isP256(raw))
        return failed(std::string(keycrypto::kNotP256Reason));
    std::optional<std::string> publicKey = keycrypto::publicPointBase64(raw);
    if (!publicKey)
        return failed("the key has no P-256 public point");
    return {std::move(key), std::move(*publicKey), std::move(pem), {}};
}

TpmWorker::KeyResult makeKey(TpmWorker::Shared& shared)
{
    if (std::optional<std::string> reason = openTpm(shared))
        return failed(std::move(*reason));
    ERR_clear_error();
    const KeyContext context(EVP_PKEY_CTX_new_from_name(shared.context, "EC", kTpmOnly));
    char group[] = "P-256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0), OSSL_PARAM_END};
    EVP_PKEY* raw = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 || EVP_PKEY_CTX_set_params(context.get(), params) != 1
        || EVP_PKEY_generate(context.get(), &raw) != 1)
        return failed("the TPM cannot make a P-256 key: " + tpmReason());
    const Encoder encoder(OSSL_ENCODER_CTX_new_for_pkey(raw, EVP_PKEY_KEYPAIR, "PEM", "PrivateKeyInfo", kTpmOnly));
    unsigned char* data = nullptr;
    std::size_t size = 0;
    if (!encoder || OSSL_ENCODER_to_data(encoder.get(), &data, &size) != 1) {
        EVP_PKEY_free(raw); // on the TPM thread already
        return failed("the TPM's key cannot be written out: " + tpmReason());
    }
    std::string pem(reinterpret_cast<const char*>(data), size);
    OPENSSL_free(data);
    // Never store anything but the wrapped form: a plain private key would be a copyable one.
    if (!pem.starts_with(kTpmKeyPemBegin)) {
        OPENSSL_cleanse(pem.data(), pem.size());
        EVP_PKEY_free(raw);
        return failed("the tpm2 provider wrote no wrapped key");
    }
    return usableKey(shared, raw, std::move(pem));
}

TpmWorker::KeyResult readKey(TpmWorker::Shared& shared, const std::string& pem)
{
    if (std::optional<std::string> reason = openTpm(shared))
        return failed(std::move(*reason));
    ERR_clear_error();
    EVP_PKEY* raw = nullptr;
    const Decoder decoder(
        OSSL_DECODER_CTX_new_for_pkey(&raw, "PEM", nullptr, "EC", EVP_PKEY_KEYPAIR, shared.context, kTpmOnly));
    const auto* bytes = reinterpret_cast<const unsigned char*>(pem.data());
    std::size_t size = pem.size();
    if (!decoder || OSSL_DECODER_from_data(decoder.get(), &bytes, &size) != 1 || !raw)
        return failed(tpmReason());
    return usableKey(shared, raw, {});
}

TpmWorker::SignResult signDigest(TpmWorker::Shared& shared, const TpmKey& key, const keycrypto::Digest& digest)
{
    ERR_clear_error();
    const KeyContext context(EVP_PKEY_CTX_new_from_pkey(shared.context, key.get(), kTpmOnly));
    char name[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_SIGNATURE_PARAM_DIGEST, name, 0), OSSL_PARAM_END};
    std::size_t length = 0;
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 || EVP_PKEY_CTX_set_params(context.get(), params) != 1
        || EVP_PKEY_sign(context.get(), nullptr, &length, digest.data(), digest.size()) != 1)
        return {std::nullopt, tpmReason()};
    std::vector<unsigned char> signature(length);
    if (EVP_PKEY_sign(context.get(), signature.data(), &length, digest.data(), digest.size()) != 1)
        return {std::nullopt, tpmReason()};
    return {keycrypto::base64(signature.data(), length), {}};
}

} // namespace

TpmWorker::Job TpmWorker::Shared::post(std::function<void(Shared&)> work, bool cleanup)
{
    std::function<void(Shared&)> refused; // freed after the lock: it may hold a TpmKey
    std::lock_guard lock(mutex);
    if ((stopping && (!cleanup || !started)) || ended) {
        refused = std::move(work);
        return 0;
    }
    if (!started) {
        thread = std::thread([self = shared_from_this()] { self->run(); });
        started = true;
    }
    jobs.push_back({++lastJob, cleanup, std::move(work)});
    wake.notify_one();
    return lastJob;
}

void TpmWorker::Shared::deliver(std::function<void()> result)
{
    std::function<void()> undelivered = std::move(result); // freed after the lock, as above
    std::lock_guard lock(mutex);
    if (receiver)
        QMetaObject::invokeMethod(receiver, std::move(undelivered), Qt::QueuedConnection);
}

void TpmWorker::Shared::run()
{
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || !jobs.empty(); });
        if (jobs.empty()) {
            ended = true;
            idle.notify_all();
            // The provider stays loaded: the process is ending.
            return;
        }
        std::function<void(Shared&)> work = std::move(jobs.front().run);
        jobs.pop_front();
        busy = true;
        lock.unlock();
        work(*this);
        work = nullptr;
        lock.lock();
        busy = false;
    }
}

TpmWorker::TpmWorker(QObject* receiver)
    : m_shared(std::make_shared<Shared>())
{
    m_shared->receiver = receiver;
}

TpmWorker::~TpmWorker()
{
    std::vector<std::function<void(Shared&)>> dropped;
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->receiver = nullptr;
        auto& jobs = m_shared->jobs;
        for (auto work = jobs.begin(); work != jobs.end();) {
            if (work->cleanup) {
                ++work;
            } else {
                dropped.push_back(std::move(work->run));
                work = jobs.erase(work);
            }
        }
    }
    // Dropped outside the lock and before stopping, so that the keys they hold are still freed.
    dropped.clear();
    std::unique_lock lock(m_shared->mutex);
    m_shared->stopping = true;
    m_shared->wake.notify_all();
    if (!m_shared->started)
        return;
    // Keys are flushed from the TPM for a moment; a command that hangs must not keep the agent from exiting.
    const bool finished =
        m_shared->idle.wait_for(lock, kMostExitWait, [this] { return m_shared->jobs.empty() && !m_shared->busy; });
    lock.unlock();
    if (finished)
        m_shared->thread.join();
    else
        m_shared->thread.detach();
}

TpmWorker::Job TpmWorker::post(std::function<void(Shared&)> work)
{
    return m_shared->post(std::move(work));
}

TpmWorker::Job TpmWorker::createKey(std::function<void(KeyResult)> done)
{
    return post([done = std::move(done)](Shared& shared) mutable {
        shared.deliver([done = std::move(done), result = makeKey(shared)]() mutable { done(std::move(result)); });
    });
}

TpmWorker::Job TpmWorker::loadKey(std::string pem, std::function<void(KeyResult)> done)
{
    return post([pem = std::move(pem), done = std::move(done)](Shared& shared) mutable {
        KeyResult result = readKey(shared, pem);
        OPENSSL_cleanse(pem.data(), pem.size());
        shared.deliver([done = std::move(done), result = std::move(result)]() mutable { done(std::move(result)); });
    });
}

TpmWorker::Job TpmWorker::sign(
    std::shared_ptr<const TpmKey> key, const keycrypto::Digest& digest, std::function<void(SignResult)> done)
{
    return post([key = std::move(key), digest, done = std::move(done)](Shared& shared) mutable {
        SignResult result = signDigest(shared, *key, digest);
        shared.deliver([done = std::move(done), result = std::move(result)]() mutable { done(std::move(result)); });
    });
}

void TpmWorker::cancel(Job job)
{
    std::function<void(Shared&)> cancelled; // freed after the lock, as above
    std::lock_guard lock(m_shared->mutex);
    for (auto it = m_shared->jobs.begin(); it != m_shared->jobs.end(); ++it) {
        if (it->job == job) {
            cancelled = std::move(it->run);
            m_shared->jobs.erase(it);
            return;
        }
    }
}

std::optional<std::string> TpmWorker::unreachableReason()
{
    if (tcti())
        return std::nullopt; // the provider's own choice: only trying it tells
    if (::access(kDevice, R_OK | W_OK) == 0)
        return std::nullopt;
    const int error = errno;
    if (error == ENOENT)
        return std::string(kDevice) + " does not exist";
    if (error == EACCES || error == EPERM)
        return std::string(kDevice) + " is not accessible to this user (" + keycrypto::systemReason(error) + ")";
    return std::string(kDevice) + ": " + keycrypto::systemReason(error);
}

} // namespace corvane
