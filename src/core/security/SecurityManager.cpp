#include "security/SecurityManager.h"

namespace corvane {

SecurityManager::SecurityManager() = default;

std::optional<std::string> SecurityManager::sign(std::string_view)
{
    return std::nullopt;
}

std::optional<std::string> SecurityManager::publicKeyBase64()
{
    return std::nullopt;
}

} // namespace corvane
