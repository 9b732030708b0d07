#pragma once

#include "bridge/Http.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace corvane {

// What a status request gets from whoever makes the reports.
struct ReportAnswer {
    int status = 200;                    // 200, or 400, 403, 503 with an {"error": ...} document
    std::optional<std::string> document; // none: the report could not be written (the bare 500)
    std::optional<int> retryAfterSeconds;
    std::optional<std::int64_t> timestamp; // a report's time, for the status window
};

// Makes the answer to a status request: in this process, from the facts and
// a key of its own, or by asking the system signer.
class ReportSource {
public:
    using Done = std::function<void(ReportAnswer)>;

    virtual ~ReportSource() = default;
    // Calls done once, on the main thread: at once, or later without holding
    // up the event loop meanwhile.
    virtual void answer(const http::Request& request, Done done) = 0;
};

} // namespace corvane
