#include "EcdsaP256Key.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/params.h>

namespace corvane::verify {
namespace {

template <auto FreeFunction>
struct OpenSslFree {
    template <typename T>
    void operator()(T* object) const noexcept
    {
        FreeFunction(object);
    }
};
template <typename T, auto FreeFunction>
using Owned = std::unique_ptr<T, OpenSslFree<FreeFunction>>;

constexpr std::size_t kPointSize = 65;

} // namespace

std::optional<EcdsaP256Key> EcdsaP256Key::fromUncompressedPoint(std::span<const unsigned char> point)
{
    // Only the uncompressed form: OpenSSL would also take a compressed point.
    if (point.size() != kPointSize || point[0] != 0x04)
        return std::nullopt;

    char group[] = "prime256v1";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(
            OSSL_PKEY_PARAM_PUB_KEY, const_cast<unsigned char*>(point.data()), point.size()),
        OSSL_PARAM_construct_end(),
    };
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!context || EVP_PKEY_fromdata_init(context.get()) != 1
        || EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_PUBLIC_KEY, const_cast<OSSL_PARAM*>(params)) != 1)
        return std::nullopt;
    EcdsaP256Key key(raw);

    // Loading decodes the point; the explicit check also rejects the point at infinity and friends.
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> check(EVP_PKEY_CTX_new_from_pkey(nullptr, raw, nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) != 1)
        return std::nullopt;
    return key;
}

bool EcdsaP256Key::isDerSignature(std::span<const unsigned char> der)
{
    const unsigned char* cursor = der.data();
    Owned<ECDSA_SIG, ECDSA_SIG_free> signature(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size())));
    if (!signature || cursor != der.data() + der.size())
        return false;
    // BER that is not DER (long lengths, padded integers) decodes too; only the canonical bytes count.
    unsigned char* again = nullptr;
    const int length = i2d_ECDSA_SIG(signature.get(), &again);
    const bool canonical = length == static_cast<int>(der.size()) && std::equal(der.begin(), der.end(), again);
    OPENSSL_free(again);
    return canonical;
}

bool EcdsaP256Key::verify(std::span<const unsigned char> derSignature, std::string_view message) const
{
    Owned<EVP_MD_CTX, EVP_MD_CTX_free> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, m_key.get()) != 1)
        return false;
    // 1 is the only "valid"; 0 is a wrong signature, below 0 a malformed one.
    return EVP_DigestVerify(context.get(), derSignature.data(), derSignature.size(),
               reinterpret_cast<const unsigned char*>(message.data()), message.size())
        == 1;
}

} // namespace corvane::verify
