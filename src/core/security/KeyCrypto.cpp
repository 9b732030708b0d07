#include "security/KeyCrypto.h"

#include "text/Fallbacks.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/provider.h>

#include <system_error>

namespace corvane::keycrypto {
namespace {

constexpr std::size_t kPublicPointSize = 65;
constexpr unsigned char kUncompressedPoint = 0x04;

} // namespace

OSSL_LIB_CTX* fileContext()
{
    // Kept for the life of the process; its provider stays loaded with it.
    static OSSL_LIB_CTX* const context = [] {
        OSSL_LIB_CTX* created = OSSL_LIB_CTX_new();
        if (created)
            OSSL_PROVIDER_load(created, "default");
        return created;
    }();
    return context;
}

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

bool isP256(EVP_PKEY* key)
{
    char group[64] = {};
    std::size_t length = 0;
    return EVP_PKEY_is_a(key, "EC") == 1 && EVP_PKEY_get_group_name(key, group, sizeof group, &length) == 1
        && std::string_view(group, length) == SN_X9_62_prime256v1;
}

std::optional<std::string> publicPointBase64(EVP_PKEY* key)
{
    // "pub" rather than the encoded public key: the tpm2 provider knows only this name.
    unsigned char point[kPublicPointSize] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &length) != 1
        || length != kPublicPointSize || point[0] != kUncompressedPoint) {
        ERR_clear_error();
        return std::nullopt;
    }
    return base64(point, length);
}

std::optional<Digest> sha256(std::string_view message)
{
    // Fetched once: looking SHA-256 up by name costs about as much as a sixth of a signature.
    static EVP_MD* const digest = EVP_MD_fetch(fileContext(), "SHA256", nullptr);
    Digest out{};
    unsigned int length = 0;
    if (!digest || EVP_Digest(message.data(), message.size(), out.data(), &length, digest, nullptr) != 1
        || length != out.size()) {
        ERR_clear_error();
        return std::nullopt;
    }
    return out;
}

} // namespace corvane::keycrypto
