#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

// The administrator's origin policy: which web origins may read the report,
// whether callers without an Origin may, and whether only challenge-bound
// requests get one. Pure: text in, decisions out; only load() reads a file.
// The session agent and the system signer judge with the same code.
namespace corvane::policy {

// Why a status request gets no report: the HTTP status (403 or 400) and the {"error": ...} text.
struct Refusal {
    int status;
    std::string error;
};

class OriginPolicy {
public:
    static constexpr std::string_view kDefaultPath = "/etc/corvane/policy.conf";

    // No file: every request allowed.
    OriginPolicy();

    // The file's text; a policy whose problem() is set refuses every status request.
    static OriginPolicy parse(std::string_view text, std::string_view fileName);
    // Missing file: as OriginPolicy(). Unreadable (a directory, no permission, a link to
    // nothing, not a regular file, too large): refusing, with the reason.
    static OriginPolicy load(const std::filesystem::path& path);

    // origin: as the HTTP module took it ("*" for none); challenged: the request carried a nonce.
    // Allocates only to refuse.
    std::optional<Refusal> judge(std::string_view origin, bool challenged) const;

    // The status window's one line.
    std::string summary() const;
    // "" when usable, else "<file> line <n>: <problem>" or "<file>: <reason>".
    const std::string& problem() const { return m_problem; }
    // A file was there (readable or not).
    bool fromFile() const { return m_fromFile; }

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    // A file that is there but cannot be used.
    static OriginPolicy refused(std::string problem);
    bool matches(std::string_view origin) const;

    std::string m_problem;
    bool m_fromFile = false;
    bool m_anyOrigin = true;
    bool m_allowWithoutOrigin = true;
    bool m_requireChallenge = false;
    using Set = std::unordered_set<std::string, Hash, std::equal_to<>>;
    Set m_exact; // normalized origins
    // By scheme (http, https): what follows the "*" of a normalized wildcard, ".corp.example:8443".
    Set m_wildcards[2];
    std::size_t m_longestWildcard = 0;
    std::vector<std::string> m_patterns; // as normalized, in the file's order, each once
};

// CORVANE_POLICY_FILE when set (tests, a development copy), else kDefaultPath.
std::filesystem::path policyPath();

} // namespace corvane::policy
