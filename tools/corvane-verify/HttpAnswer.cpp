#include "HttpAnswer.h"

namespace corvane::verify {

ReportText reportText(std::string_view input)
{
    if (!input.starts_with("HTTP/"))
        return {input, {}};

    const std::string_view statusLine = input.substr(0, input.find_first_of("\r\n"));
    const std::size_t space = statusLine.find(' ');
    const bool ok = space != std::string_view::npos && statusLine.substr(space + 1, 3) == "200"
        && (statusLine.size() == space + 4 || statusLine[space + 4] == ' ');
    if (!ok)
        return {{}, "the answer is not \"200 OK\" but \"" + std::string(statusLine) + "\""};

    // CRLF from the wire; bare LF when someone saved the answer through an editor.
    for (const std::string_view end : {std::string_view("\r\n\r\n"), std::string_view("\n\n")}) {
        const std::size_t at = input.find(end);
        if (at != std::string_view::npos)
            return {input.substr(at + end.size()), {}};
    }
    return {{}, "the HTTP answer has no body"};
}

} // namespace corvane::verify
