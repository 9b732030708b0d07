#pragma once

#include <filesystem>

namespace corvane {

// corvane-signer --show-key: asks the running signer for its device ID and
// public key (it makes its key then if it has none) and prints them, with the
// key's fingerprint and storage, as text or as one JSON object. Returns the
// exit status: 0, 1 when the signer answered with an error, 2 when it could
// not be reached.
int showKey(const std::filesystem::path& socket, bool json);

} // namespace corvane
