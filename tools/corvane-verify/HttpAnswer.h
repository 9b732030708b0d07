#pragma once

#include <string>
#include <string_view>

namespace corvane::verify {

// The report document inside what the tool was given: either the bare JSON,
// or a whole HTTP answer as `curl -i` or the agent writes it.
struct ReportText {
    std::string_view document; // valid only while the input lives
    std::string problem;       // empty when a document was found
};

ReportText reportText(std::string_view input);

} // namespace corvane::verify
