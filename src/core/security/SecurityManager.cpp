#include "security/SecurityManager.h"

#include "io/FileIo.h"
#include "log/Log.h"

#include <QTimer>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

namespace corvane {
namespace {

using namespace keycrypto;
using Bio = OpenSslPtr<BIO, BIO_free>;
using DigestContext = OpenSslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;

constexpr std::string_view kKeyFileExtension = ".pem";
constexpr std::string_view kNoKeyLine = "Failed to retrieve or create private key.";

struct ParsedKey {
    DeviceKeyPtr key;
    std::string reason;
};

// An encrypted key must not make OpenSSL ask for a passphrase on the terminal.
int refusePassphrase(char*, int, int, void*)
{
    return -1;
}

DeviceKeyPtr fileDeviceKey(PrivateKey key)
{
    std::optional<std::string> publicKey = publicPointBase64(key.get());
    return publicKey ? std::make_shared<const DeviceKey>(std::move(key), std::move(*publicKey)) : nullptr;
}

ParsedKey parseFileKey(std::string_view pem)
{
    ERR_clear_error();
    const Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    PrivateKey key(bio
            ? PEM_read_bio_PrivateKey_ex(bio.get(), nullptr, refusePassphrase, nullptr, fileContext(), nullptr)
            : nullptr);
    if (!key)
        return {nullptr, openSslReason()};
    if (!isP256(key.get()))
        return {nullptr, std::string(kNotP256Reason)};
    DeviceKeyPtr deviceKey = fileDeviceKey(std::move(key));
    if (!deviceKey)
        return {nullptr, std::string(kNotP256Reason)};
    return {std::move(deviceKey), {}};
}

std::optional<std::string> signWithFileKey(EVP_PKEY* key, std::string_view message)
{
    ERR_clear_error();
    static const unsigned char kNoBytes = 0;
    const auto* bytes = message.empty() ? &kNoBytes : reinterpret_cast<const unsigned char*>(message.data());
    std::vector<unsigned char> signature(static_cast<std::size_t>(EVP_PKEY_get_size(key)));
    std::size_t length = signature.size();
    const DigestContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestSignInit_ex(context.get(), nullptr, "SHA256", fileContext(), nullptr, key, nullptr) != 1
        || EVP_DigestSign(context.get(), signature.data(), &length, bytes, message.size()) != 1) {
        logLine("Signing error: " + openSslReason());
        return std::nullopt;
    }
    return base64(signature.data(), length);
}

std::string generationError(const std::string& reason)
{
    return "Key generation error: " + reason;
}

std::string tpmSilence()
{
    return "the TPM did not answer within " + std::to_string(SecurityManager::kTpmTimeout.count()) + " s";
}

} // namespace

SecurityManager::SecurityManager(QObject* parent)
    : SecurityManager(defaultFolder(), NewKeys::inTpmWhenUsable, parent)
{
}

SecurityManager::SecurityManager(const std::filesystem::path& folder, NewKeys newKeys, QObject* parent)
    : QObject(parent)
    , m_keyFile(folder / (std::string(tag) + std::string(kKeyFileExtension)))
    , m_newKeys(newKeys)
    , m_tpm(this)
{
    m_lookupDeadline.setSingleShot(true);
    m_lookupDeadline.setInterval(kTpmTimeout);
    connect(&m_lookupDeadline, &QTimer::timeout, this, &SecurityManager::lookupTimedOut);
}

SecurityManager::~SecurityManager() = default;

std::filesystem::path SecurityManager::defaultFolder()
{
    const std::filesystem::path dataHome = io::xdgFolder("XDG_DATA_HOME", ".local/share");
    // Nowhere to keep a key: creating it fails and says so.
    return dataHome.empty() ? dataHome : dataHome / "corvane";
}

const std::filesystem::path& SecurityManager::keyPath() const
{
    return m_keyFile.path();
}

void SecurityManager::withKey(std::function<void(DeviceKeyPtr)> ready)
{
    if (m_tpmStep != TpmStep::none) {
        m_keyWaiters.push_back(std::move(ready));
        if (!m_lookupDeadline.isActive()) // the first to wait since the last gave up
            m_lookupDeadline.start();
        return;
    }
    if (!m_leftoversRemoved) {
        m_keyFile.removeLeftovers();
        m_leftoversRemoved = true;
    }
    const KeyFile::Status status = m_keyFile.status();
    if (status.error == 0 && m_cachedKey && status.identity == m_cachedIdentity) {
        ready(m_cachedKey);
        return;
    }
    m_cachedKey.reset();
    m_keyWaiters.push_back(std::move(ready));
    if (status.error == ENOENT)
        createKey();
    else if (status.error != 0)
        finishLookup(nullptr, lookupError(systemReason(status.error)));
    else
        readKey();
}

void SecurityManager::readKey()
{
    KeyFile::Contents contents = m_keyFile.read();
    // Even a file gone since the stat is not recreated here: that path could loop on a dangling link.
    if (contents.error != 0) {
        finishLookup(nullptr, lookupError(systemReason(contents.error)));
        return;
    }
    if (std::string_view(contents.bytes).starts_with(kTpmKeyPemBegin)) {
        const KeyFile::Identity identity = contents.identity;
        m_tpm.loadKey(
            std::move(contents.bytes), [this, identity](auto result) { keyLoaded(identity, std::move(result)); });
        waitForTpm(TpmStep::loading);
        return;
    }
    ParsedKey parsed = parseFileKey(contents.bytes);
    OPENSSL_cleanse(contents.bytes.data(), contents.bytes.size());
    if (!parsed.key)
        finishLookup(nullptr, lookupError(parsed.reason));
    else
        finishLookup(remember(std::move(parsed.key), contents.identity));
}

void SecurityManager::createKey()
{
    if (m_newKeys == NewKeys::inTpmWhenUsable) {
        const std::optional<std::string> unusable = TpmWorker::unreachableReason();
        if (!unusable) {
            m_tpm.createKey([this](auto result) { keyCreated(std::move(result)); });
            waitForTpm(TpmStep::creating);
            return;
        }
        tellWhyNoTpm(*unusable);
    }
    createFileKey();
}

void SecurityManager::createFileKey()
{
    ERR_clear_error();
    PrivateKey key(EVP_PKEY_Q_keygen(fileContext(), nullptr, "EC", "P-256"));
    // Secure memory, wiped when freed: the PEM text is the private key.
    const Bio pem(BIO_new(BIO_s_secmem()));
    if (!key || !pem || PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        finishLookup(nullptr, generationError(openSslReason()));
        return;
    }
    char* text = nullptr;
    const long size = BIO_get_mem_data(pem.get(), &text);
    DeviceKeyPtr deviceKey = fileDeviceKey(std::move(key));
    if (!deviceKey) {
        finishLookup(nullptr, generationError(std::string(kNotP256Reason)));
        return;
    }
    const KeyFile::Status stored = m_keyFile.publish(std::string_view(text, static_cast<std::size_t>(size)));
    if (stored.error == EEXIST)
        readKey(); // another process stored its key first; it is the device's key
    else if (stored.error != 0)
        finishLookup(nullptr, generationError(systemReason(stored.error)));
    else
        finishLookup(remember(std::move(deviceKey), stored.identity));
}

void SecurityManager::keyCreated(TpmWorker::KeyResult result)
{
    m_tpmStep = TpmStep::none;
    if (!result.key) {
        tellWhyNoTpm(result.reason);
        createFileKey();
        return;
    }
    const KeyFile::Status stored = m_keyFile.publish(result.pem);
    if (stored.error == EEXIST)
        readKey();
    else if (stored.error != 0)
        finishLookup(nullptr, generationError(systemReason(stored.error)));
    else
        finishLookup(remember(
            std::make_shared<const DeviceKey>(std::move(result.key), std::move(result.publicKey)), stored.identity));
}

void SecurityManager::keyLoaded(const KeyFile::Identity& identity, TpmWorker::KeyResult result)
{
    m_tpmStep = TpmStep::none;
    if (!result.key)
        finishLookup(nullptr, lookupError(result.reason));
    else
        finishLookup(
            remember(std::make_shared<const DeviceKey>(std::move(result.key), std::move(result.publicKey)), identity));
}

// A lookup is never given up when its reports stop waiting: the key it makes
// or loads serves the next report.
void SecurityManager::waitForTpm(TpmStep step)
{
    m_tpmStep = step;
    if (!m_lookupDeadline.isActive())
        m_lookupDeadline.start();
}

DeviceKeyPtr SecurityManager::remember(DeviceKeyPtr key, const KeyFile::Identity& identity)
{
    m_cachedKey = std::move(key);
    m_cachedIdentity = identity;
    return m_cachedKey;
}

void SecurityManager::finishLookup(const DeviceKeyPtr& key, const std::string& failure)
{
    m_tpmStep = TpmStep::none;
    m_lookupDeadline.stop();
    std::vector<KeyReady> waiters;
    waiters.swap(m_keyWaiters);
    for (const KeyReady& ready : waiters) {
        if (!key) {
            logLine(failure);
            logLine(kNoKeyLine);
        }
        ready(key);
    }
}

bool SecurityManager::sign(
    const DeviceKeyPtr& key, std::string payload, std::function<void(std::optional<std::string>)> done)
{
    if (!key) {
        logLine(kNoKeyLine);
        done(std::nullopt);
        return true;
    }
    if (key->storage() == KeyStorage::file) {
        done(signWithFileKey(key->fileKey(), payload));
        return true;
    }
    const std::optional<Digest> digest = sha256(payload);
    if (!digest) {
        logLine("Signing error: " + openSslReason());
        done(std::nullopt);
        return true;
    }
    auto job = std::find_if(m_signJobs.begin(), m_signJobs.end(),
        [&](const SignJob& each) { return each.key->tpmKey() == key->tpmKey() && each.digest == *digest; });
    if (job == m_signJobs.end()) {
        if (m_signJobs.size() >= kMostWaiting)
            return false;
        const std::uint64_t ticket = ++m_lastTicket;
        auto deadline = std::make_unique<QTimer>();
        deadline->setSingleShot(true);
        connect(deadline.get(), &QTimer::timeout, this, [this, ticket] { signTimedOut(ticket); });
        deadline->start(kTpmTimeout);
        const TpmWorker::Job work =
            m_tpm.sign(key->tpmKey(), *digest, [this, ticket](const auto& result) { tpmSigned(ticket, result); });
        m_signJobs.push_back(SignJob{ticket, work, key, *digest, {}, std::move(deadline)});
        job = std::prev(m_signJobs.end());
    }
    job->waiters.push_back(std::move(done));
    return true;
}

void SecurityManager::tpmSigned(std::uint64_t ticket, const TpmWorker::SignResult& result)
{
    const auto job = std::find_if(
        m_signJobs.begin(), m_signJobs.end(), [ticket](const SignJob& each) { return each.ticket == ticket; });
    if (job == m_signJobs.end())
        return; // every report that waited for it has given up
    const SignJob finished = std::move(*job);
    m_signJobs.erase(job);
    // A key the TPM cannot sign with is looked up again by the next report,
    // which then says why (the TPM was cleared, or is gone).
    if (!result.signature && m_cachedKey == finished.key)
        m_cachedKey.reset();
    for (const SignDone& done : finished.waiters) {
        if (!result.signature)
            logLine("Signing error: " + result.reason);
        done(result.signature);
    }
}

void SecurityManager::lookupTimedOut()
{
    const std::string failure =
        m_tpmStep == TpmStep::creating ? generationError(tpmSilence()) : lookupError(tpmSilence());
    std::vector<KeyReady> waiters;
    waiters.swap(m_keyWaiters);
    for (const KeyReady& ready : waiters) {
        logLine(failure);
        logLine(kNoKeyLine);
        ready(nullptr);
    }
}

void SecurityManager::signTimedOut(std::uint64_t ticket)
{
    const auto job = std::find_if(
        m_signJobs.begin(), m_signJobs.end(), [ticket](const SignJob& each) { return each.ticket == ticket; });
    if (job == m_signJobs.end())
        return;
    SignJob expired = std::move(*job);
    m_signJobs.erase(job);
    // It no longer counts, and goes if the TPM has not started it.
    m_tpm.cancel(expired.job);
    expired.deadline.release()->deleteLater(); // the timer calling this
    for (const SignDone& done : expired.waiters) {
        logLine("Signing error: " + tpmSilence());
        done(std::nullopt);
    }
}

void SecurityManager::tellWhyNoTpm(const std::string& reason)
{
    if (m_toldWhyNoTpm)
        return;
    m_toldWhyNoTpm = true;
    logLine("No usable TPM, the device key is kept in a file: " + reason);
}

std::string SecurityManager::lookupError(const std::string& reason) const
{
    return "Key lookup error: " + m_keyFile.path().string() + ": " + reason;
}

} // namespace corvane
