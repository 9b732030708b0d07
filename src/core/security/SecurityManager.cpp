#include "security/SecurityManager.h"

#include "log/Log.h"
#include "text/Fallbacks.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>
#include <vector>

namespace corvane {
namespace {

using Bio = OpenSslPtr<BIO, BIO_free>;
using DigestContext = OpenSslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;

// Fetched once: looking SHA-256 up by name costs about as much as a sixth of
// a signature.
const EVP_MD* sha256()
{
    static EVP_MD* const digest = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return digest;
}

constexpr std::string_view kKeyFileExtension = ".pem";
constexpr std::size_t kPublicPointSize = 65;
constexpr unsigned char kUncompressedPoint = 0x04;
constexpr std::string_view kNotP256Reason = "Not an EC P-256 private key";

struct ParsedKey {
    SecurityManager::PrivateKey key;
    std::string reason;
};

// The most recent OpenSSL error as text, or "Unknown"; leaves the queue empty.
std::string openSslReason()
{
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0)
        return std::string(fallback::kUnknown);
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

std::string systemReason(int error)
{
    return error == 0 ? std::string(fallback::kUnknown) : std::system_category().message(error);
}

std::string base64(const unsigned char* bytes, std::size_t size)
{
    const std::size_t length = 4 * ((size + 2) / 3);
    std::string text(length + 1, '\0'); // EVP_EncodeBlock adds a NUL
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes, static_cast<int>(size));
    text.resize(length);
    return text;
}

// An encrypted key must not make OpenSSL ask for a passphrase on the terminal.
int refusePassphrase(char*, int, int, void*)
{
    return -1;
}

bool isP256(EVP_PKEY* key)
{
    char group[64] = {};
    std::size_t length = 0;
    return EVP_PKEY_is_a(key, "EC") == 1 && EVP_PKEY_get_group_name(key, group, sizeof group, &length) == 1
        && std::string_view(group, length) == SN_X9_62_prime256v1;
}

ParsedKey parsePrivateKey(std::string_view pem)
{
    const Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    SecurityManager::PrivateKey key(
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, refusePassphrase, nullptr) : nullptr);
    if (!key)
        return {nullptr, openSslReason()};
    if (!isP256(key.get()))
        return {nullptr, std::string(kNotP256Reason)};
    return {std::move(key), {}};
}

std::optional<std::filesystem::path> homeFolder()
{
    if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        return std::filesystem::path(home);
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir && entry->pw_dir[0] == '/')
        return std::filesystem::path(entry->pw_dir);
    return std::nullopt;
}

void logGenerationError(const std::string& reason)
{
    logLine("Key generation error: " + reason);
}

} // namespace

SecurityManager::SecurityManager()
    : SecurityManager(defaultFolder())
{
}

SecurityManager::SecurityManager(const std::filesystem::path& folder)
    : m_keyFile(folder / (std::string(tag) + std::string(kKeyFileExtension)))
{
}

std::filesystem::path SecurityManager::defaultFolder()
{
    // A relative XDG_DATA_HOME is to be ignored, as the XDG base directory rules say.
    if (const char* dataHome = std::getenv("XDG_DATA_HOME"); dataHome && dataHome[0] == '/')
        return std::filesystem::path(dataHome) / "corvane";
    if (const std::optional<std::filesystem::path> home = homeFolder())
        return *home / ".local" / "share" / "corvane";
    return {}; // nowhere to keep a key: creating it fails and says so
}

const std::filesystem::path& SecurityManager::keyPath() const
{
    return m_keyFile.path();
}

std::optional<std::string> SecurityManager::sign(std::string_view message)
{
    const PrivateKey key = getOrCreatePrivateKey();
    if (!key) {
        logLine("Failed to retrieve or create private key.");
        return std::nullopt;
    }
    static const unsigned char kNoBytes = 0;
    const auto* bytes = message.empty() ? &kNoBytes : reinterpret_cast<const unsigned char*>(message.data());
    std::vector<unsigned char> signature(static_cast<std::size_t>(EVP_PKEY_get_size(key.get())));
    std::size_t length = signature.size();
    const DigestContext context(EVP_MD_CTX_new());
    if (!context || !sha256() || EVP_DigestSignInit(context.get(), nullptr, sha256(), nullptr, key.get()) != 1
        || EVP_DigestSign(context.get(), signature.data(), &length, bytes, message.size()) != 1) {
        logLine("Signing error: " + openSslReason());
        return std::nullopt;
    }
    return base64(signature.data(), length);
}

std::optional<std::string> SecurityManager::publicKeyBase64()
{
    const PrivateKey key = getOrCreatePrivateKey();
    if (!key)
        return std::nullopt;
    // The export of the key the file still holds is the one made last time.
    const bool cachedKey = key.get() == m_cachedKey.get();
    if (cachedKey && m_cachedPublicKey)
        return m_cachedPublicKey;
    unsigned char point[kPublicPointSize] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point, sizeof point, &length)
            != 1
        || length != kPublicPointSize || point[0] != kUncompressedPoint) {
        ERR_clear_error();
        return std::nullopt;
    }
    std::string exported = base64(point, length);
    if (cachedKey)
        m_cachedPublicKey = exported;
    return exported;
}

SecurityManager::PrivateKey SecurityManager::getOrCreatePrivateKey()
{
    if (!m_leftoversRemoved) {
        m_keyFile.removeLeftovers();
        m_leftoversRemoved = true;
    }
    ERR_clear_error();
    const KeyFile::Status status = m_keyFile.status();
    if (status.error == ENOENT) {
        forget();
        return createPrivateKey();
    }
    if (status.error != 0) {
        forget();
        logLookupError(systemReason(status.error));
        return nullptr;
    }
    if (m_cachedKey && status.identity == m_cachedIdentity)
        return cachedCopy();
    return loadPrivateKey();
}

SecurityManager::PrivateKey SecurityManager::createPrivateKey()
{
    ERR_clear_error();
    PrivateKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    // Secure memory, wiped when freed: the PEM text is the private key.
    const Bio pem(BIO_new(BIO_s_secmem()));
    if (!key || !pem || PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        logGenerationError(openSslReason());
        return nullptr;
    }
    char* text = nullptr;
    const long size = BIO_get_mem_data(pem.get(), &text);
    const KeyFile::Status stored = m_keyFile.publish(std::string_view(text, static_cast<std::size_t>(size)));
    if (stored.error == EEXIST)
        return loadPrivateKey(); // another process stored its key first; it is the device's key
    if (stored.error != 0) {
        logGenerationError(systemReason(stored.error));
        return nullptr;
    }
    return remember(std::move(key), stored.identity);
}

SecurityManager::PrivateKey SecurityManager::loadPrivateKey()
{
    forget();
    KeyFile::Contents contents = m_keyFile.read();
    // Even a file gone since the stat is not recreated here: that path could loop on a dangling link.
    if (contents.error != 0) {
        logLookupError(systemReason(contents.error));
        return nullptr;
    }
    ParsedKey parsed = parsePrivateKey(contents.bytes);
    OPENSSL_cleanse(contents.bytes.data(), contents.bytes.size());
    if (!parsed.key) {
        logLookupError(parsed.reason);
        return nullptr;
    }
    return remember(std::move(parsed.key), contents.identity);
}

SecurityManager::PrivateKey SecurityManager::remember(PrivateKey key, const KeyFile::Identity& identity)
{
    forget();
    m_cachedKey = std::move(key);
    m_cachedIdentity = identity;
    return cachedCopy();
}

SecurityManager::PrivateKey SecurityManager::cachedCopy() const
{
    EVP_PKEY_up_ref(m_cachedKey.get());
    return PrivateKey(m_cachedKey.get());
}

void SecurityManager::forget()
{
    m_cachedKey.reset();
    m_cachedPublicKey.reset();
}

void SecurityManager::logLookupError(const std::string& reason) const
{
    logLine("Key lookup error: " + m_keyFile.path().string() + ": " + reason);
}

} // namespace corvane
