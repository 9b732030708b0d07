#include "Base64.h"

#include <openssl/evp.h>

#include <string>

namespace corvane::verify {

std::optional<std::vector<unsigned char>> decodeBase64(std::string_view text)
{
    if (text.empty() || text.size() % 4 != 0 || text.size() > 1u << 20)
        return std::nullopt;
    const int length = static_cast<int>(text.size());
    std::vector<unsigned char> bytes(text.size() / 4 * 3);
    const int decoded = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()), length);
    if (decoded < 0)
        return std::nullopt;
    // EVP_DecodeBlock counts the padding as zero bytes.
    std::size_t padding = 0;
    while (padding < 2 && text[text.size() - 1 - padding] == '=')
        ++padding;
    if (static_cast<std::size_t>(decoded) < padding)
        return std::nullopt;
    bytes.resize(static_cast<std::size_t>(decoded) - padding);

    // Encoding again catches what EVP_DecodeBlock tolerates (blanks, stray bits).
    std::string again(text.size() + 1, '\0');
    const int encoded =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(again.data()), bytes.data(), static_cast<int>(bytes.size()));
    again.resize(static_cast<std::size_t>(encoded));
    if (again != text)
        return std::nullopt;
    return bytes;
}

} // namespace corvane::verify
