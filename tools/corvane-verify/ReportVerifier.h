#pragma once

#include <string>
#include <string_view>

namespace corvane::verify {

struct Verdict {
    bool valid = false;
    std::string reason; // why not, when not valid
};

// Checks a served report document (JSON text): its "signature" must be an
// ECDSA P-256/SHA-256 signature, by the key in its "public_key", over the
// payload the agent signs.
Verdict verifyReport(std::string_view document);

} // namespace corvane::verify
