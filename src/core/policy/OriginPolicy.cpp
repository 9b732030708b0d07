#include "policy/OriginPolicy.h"

#include "bridge/Http.h"
#include "text/Text.h"
#include "text/Utf8.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace corvane::policy {
namespace {

constexpr std::string_view kAllowedOrigins = "allowed-origins";
constexpr std::string_view kAllowWithoutOrigin = "allow-without-origin";
constexpr std::string_view kRequireChallenge = "require-challenge";

constexpr std::string_view kUnusable = "this device's policy cannot be used: ";
constexpr std::string_view kNoOriginRefused =
    "this device's policy does not allow reports to callers without an Origin";
constexpr std::string_view kOriginRefused = "this device's policy does not allow reports to ";
constexpr std::string_view kChallengeRequired = "this device's policy allows only challenge-bound reports (?nonce=...)";

constexpr std::string_view kAnyPage = "Reports to any web page";
constexpr std::string_view kNoPage = "Reports to no web page";
constexpr std::string_view kOnlyTo = "Reports only to ";

// A policy is a few lines; anything much larger is not one, and is not read whole into memory.
constexpr std::size_t kLargestFile = 1 << 20;
// Quoted file text in a problem is cut here: the problem travels in every refusal.
constexpr std::size_t kLongestQuote = 64;

// DNS limits: a longer name resolves nowhere, so no page can be served from it.
constexpr std::size_t kLongestName = 253;
constexpr std::size_t kLongestLabel = 63;
// "https://" "*." name ":65535"
constexpr std::size_t kLongestOrigin = 8 + 2 + kLongestName + 6;

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && isSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool equalsIgnoringCase(std::string_view a, std::string_view lowerCase)
{
    if (a.size() != lowerCase.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (text::asciiLower(a[i]) != lowerCase[i])
            return false;
    }
    return true;
}

bool allDigits(std::string_view s)
{
    for (char c : s) {
        if (!isDigit(c))
            return false;
    }
    return !s.empty();
}

// A decimal number 0-255 written as a browser writes it: no leading zero.
bool isIpv4Part(std::string_view s)
{
    if (!allDigits(s) || s.size() > 3 || (s.size() > 1 && s[0] == '0'))
        return false;
    int value = 0;
    for (char c : s)
        value = value * 10 + (c - '0');
    return value <= 255;
}

// An origin or pattern as browsers serialize origins, written into a fixed
// buffer so that judging a request allocates nothing.
struct Origin {
    std::array<char, kLongestOrigin> text;
    std::size_t size = 0;
    std::size_t hostBegin = 0;
    std::size_t hostEnd = 0;
    bool https = false;
    int port = 0; // the scheme's default filled in
    bool wildcard = false;

    void append(std::string_view s)
    {
        std::memcpy(text.data() + size, s.data(), s.size());
        size += s.size();
    }
    std::string_view view() const { return {text.data(), size}; }
    std::string_view host() const { return {text.data() + hostBegin, hostEnd - hostBegin}; }
};

// Letters, digits and '-' in non-empty labels of at most 63, at most 253 in
// all; the last label not a number (a host ending in one is an IPv4 address
// to a browser, and isIpv4 judges those).
bool isDnsName(std::string_view name)
{
    if (name.empty() || name.size() > kLongestName)
        return false;
    std::size_t labelStart = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '.') {
            const std::size_t length = i - labelStart;
            if (length == 0 || length > kLongestLabel)
                return false;
            labelStart = i + 1;
            continue;
        }
        const char c = text::asciiLower(name[i]);
        if (!(c >= 'a' && c <= 'z') && !isDigit(c) && c != '-')
            return false;
    }
    const std::string_view last = name.substr(name.rfind('.') + 1);
    const bool hexNumber = last.size() >= 2 && last[0] == '0' && text::asciiLower(last[1]) == 'x'
        && last.substr(2).find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
    return !allDigits(last) && !hexNumber;
}

bool isIpv4(std::string_view host)
{
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = host.find('.');
        if ((dot == std::string_view::npos) != (part == 3))
            return false;
        if (!isIpv4Part(host.substr(0, dot)))
            return false;
        host.remove_prefix(dot == std::string_view::npos ? host.size() : dot + 1);
    }
    return true;
}

// The bracketed address as browsers write it: lower-case hex without leading
// zeros, the first longest run of two or more zero pieces as "::".
bool appendIpv6(std::string_view inner, Origin& out)
{
    char address[64];
    // inet_pton would stop at a NUL and take what comes before it.
    if (inner.empty() || inner.size() >= sizeof address
        || inner.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos)
        return false;
    std::memcpy(address, inner.data(), inner.size());
    address[inner.size()] = '\0';
    std::uint8_t bytes[16];
    if (::inet_pton(AF_INET6, address, bytes) != 1)
        return false;

    int pieces[8];
    for (int i = 0; i < 8; ++i)
        pieces[i] = bytes[2 * i] << 8 | bytes[2 * i + 1];
    int compressAt = -1;
    int longest = 1;
    for (int i = 0; i < 8;) {
        int run = 0;
        while (i + run < 8 && pieces[i + run] == 0)
            ++run;
        if (run > longest) {
            longest = run;
            compressAt = i;
        }
        i += run > 0 ? run : 1;
    }

    out.append("[");
    for (int i = 0; i < 8; ++i) {
        if (i == compressAt) {
            out.append(i == 0 ? "::" : ":");
            i += longest - 1;
            continue;
        }
        char hex[4];
        const auto written = std::to_chars(hex, hex + sizeof hex, pieces[i], 16);
        out.append({hex, static_cast<std::size_t>(written.ptr - hex)});
        if (i != 7)
            out.append(":");
    }
    out.append("]");
    return true;
}

// scheme://host[:port] and nothing else, normalized; wildcards ("*." before
// a DNS name) only when reading a pattern.
std::optional<Origin> parseOrigin(std::string_view s, bool pattern)
{
    const std::size_t separator = s.find("://");
    if (separator == std::string_view::npos)
        return std::nullopt;
    Origin origin;
    const std::string_view scheme = s.substr(0, separator);
    if (equalsIgnoringCase(scheme, "https"))
        origin.https = true;
    else if (!equalsIgnoringCase(scheme, "http"))
        return std::nullopt;
    const int defaultPort = origin.https ? 443 : 80;

    std::string_view rest = s.substr(separator + 3);
    std::string_view host;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        host = rest.substr(0, close + 1);
    } else {
        host = rest.substr(0, rest.find(':'));
    }
    rest.remove_prefix(host.size());

    origin.port = defaultPort;
    if (!rest.empty()) {
        const std::string_view digits = rest.substr(1);
        if (rest[0] != ':' || !allDigits(digits))
            return std::nullopt;
        int port = 0;
        for (char c : digits) {
            port = port * 10 + (c - '0');
            if (port > 65535)
                return std::nullopt;
        }
        if (port == 0)
            return std::nullopt;
        origin.port = port;
    }

    origin.append(origin.https ? "https://" : "http://");
    origin.hostBegin = origin.size;
    if (!host.empty() && host[0] == '[') {
        if (!appendIpv6(host.substr(1, host.size() - 2), origin))
            return std::nullopt;
    } else {
        if (pattern && host.starts_with("*.")) {
            origin.wildcard = true;
            origin.append("*.");
            host.remove_prefix(2);
            // Room for one label before it, or the pattern could never match.
            if (!isDnsName(host) || host.size() > kLongestName - 2)
                return std::nullopt;
        } else if (!isDnsName(host) && !isIpv4(host)) {
            return std::nullopt;
        }
        for (char c : host)
            origin.text[origin.size++] = text::asciiLower(c);
    }
    origin.hostEnd = origin.size;

    if (origin.port != defaultPort) {
        char port[6] = {':'};
        const auto written = std::to_chars(port + 1, port + sizeof port, origin.port);
        origin.append({port, static_cast<std::size_t>(written.ptr - port)});
    }
    return origin;
}

// File text in a problem: quoted, and cut (on a character boundary) when long.
std::string quoted(std::string_view s)
{
    if (s.size() <= kLongestQuote)
        return "\"" + std::string(s) + "\"";
    std::size_t cut = kLongestQuote;
    while (cut > 0 && (static_cast<std::uint8_t>(s[cut]) & 0xC0) == 0x80)
        --cut;
    return "\"" + std::string(s.substr(0, cut)) + "...\"";
}

// Fixed English texts: strerror follows the locale the application set.
std::string reason(int error)
{
    switch (error) {
    case EACCES:
    case EPERM: return "permission denied";
    case ENOTDIR: return "a part of its path is not a directory";
    case ELOOP: return "too many levels of symbolic links";
    default: {
        const char* name = ::strerrorname_np(error);
        return std::string("cannot be read (") + (name ? name : std::to_string(error).c_str()) + ")";
    }
    }
}

} // namespace

OriginPolicy::OriginPolicy() = default;

OriginPolicy OriginPolicy::refused(std::string problem)
{
    OriginPolicy policy;
    policy.m_fromFile = true;
    policy.m_anyOrigin = false;
    policy.m_problem = std::move(problem);
    return policy;
}

OriginPolicy OriginPolicy::parse(std::string_view text, std::string_view fileName)
{
    OriginPolicy policy;
    policy.m_fromFile = true;
    // Never open by accident: a file without the key allows no web origin.
    policy.m_anyOrigin = false;
    auto refusing = [&](std::size_t line, const std::string& problem) {
        return refused(std::string(fileName) + " line " + std::to_string(line) + ": " + problem);
    };

    if (text.starts_with(kBom))
        text.remove_prefix(kBom.size());

    bool seenOrigins = false;
    bool seenWithoutOrigin = false;
    bool seenChallenge = false;
    std::size_t lineNumber = 0;
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;

        if (!utf8::isValid(line))
            return refusing(lineNumber, "not UTF-8 text");
        line = trim(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            return refusing(lineNumber, "no \"=\" (expected key = value)");
        const std::string_view key = trim(line.substr(0, equals));
        const std::string_view value = trim(line.substr(equals + 1));

        bool* seen = key == kAllowedOrigins ? &seenOrigins
            : key == kAllowWithoutOrigin    ? &seenWithoutOrigin
            : key == kRequireChallenge      ? &seenChallenge
                                            : nullptr;
        if (key.empty())
            return refusing(lineNumber, "no key before \"=\"");
        if (!seen)
            return refusing(lineNumber, "unknown key " + quoted(key));
        if (*seen)
            return refusing(lineNumber, std::string(key) + " given twice");
        *seen = true;

        if (key != kAllowedOrigins) {
            if (value != "true" && value != "false")
                return refusing(lineNumber, quoted(value) + " is not true or false");
            (key == kAllowWithoutOrigin ? policy.m_allowWithoutOrigin : policy.m_requireChallenge) = value == "true";
            continue;
        }

        for (std::size_t from = 0; from < value.size();) {
            while (from < value.size() && isSpace(value[from]))
                ++from;
            std::size_t to = from;
            while (to < value.size() && !isSpace(value[to]))
                ++to;
            const std::string_view token = value.substr(from, to - from);
            from = to;
            if (token.empty())
                continue;
            if (token == "*") {
                policy.m_anyOrigin = true;
                continue;
            }
            const std::optional<Origin> origin = parseOrigin(token, true);
            if (!origin)
                return refusing(lineNumber, quoted(token) + " is not an origin pattern");
            const std::string_view normalized = origin->view();
            const std::string_view tail = normalized.substr(origin->hostBegin + 1);
            const bool added = origin->wildcard ? policy.m_wildcards[origin->https].emplace(tail).second
                                                : policy.m_exact.emplace(normalized).second;
            if (added)
                policy.m_patterns.emplace_back(normalized);
            if (origin->wildcard)
                policy.m_longestWildcard = std::max(policy.m_longestWildcard, tail.size());
        }
    }
    return policy;
}

OriginPolicy OriginPolicy::load(const std::filesystem::path& path)
{
    const std::string name = path.string();
    auto refusing = [&](const std::string& why) { return refused(name + ": " + why); };

    // Non-blocking: a FIFO put in the file's place must not hold the caller.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        struct stat link;
        if (error != ENOENT)
            return refusing(reason(error));
        // A link whose file went away is a policy lost, not one never made.
        if (::lstat(path.c_str(), &link) == 0)
            return refusing("a link to a missing file");
        return OriginPolicy();
    }

    struct stat status;
    std::string text;
    std::string why;
    if (::fstat(fd, &status) != 0)
        why = reason(errno);
    else if (S_ISDIR(status.st_mode))
        why = "is a directory";
    else if (!S_ISREG(status.st_mode))
        why = "is not a regular file";
    else if (static_cast<std::size_t>(status.st_size) > kLargestFile)
        why = "is larger than 1 MiB";
    while (why.empty()) {
        char buffer[8192];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            why = reason(errno);
        else if (n == 0)
            break;
        else if (text.append(buffer, static_cast<std::size_t>(n)).size() > kLargestFile)
            why = "is larger than 1 MiB"; // it grew while read
    }
    ::close(fd);
    return why.empty() ? parse(text, name) : refusing(why);
}

std::optional<Refusal> OriginPolicy::judge(std::string_view origin, bool challenged) const
{
    if (!m_problem.empty())
        return Refusal{403, std::string(kUnusable) + m_problem};
    if (origin == http::kAnyOrigin) {
        if (!m_allowWithoutOrigin)
            return Refusal{403, std::string(kNoOriginRefused)};
    } else if (!m_anyOrigin && !matches(origin)) {
        return Refusal{403, std::string(kOriginRefused) + std::string(origin)};
    }
    if (m_requireChallenge && !challenged)
        return Refusal{400, std::string(kChallengeRequired)};
    return std::nullopt;
}

bool OriginPolicy::matches(std::string_view origin) const
{
    const std::optional<Origin> parsed = parseOrigin(origin, false);
    if (!parsed)
        return false;
    if (m_exact.find(parsed->view()) != m_exact.end())
        return true;
    // Each tail of the host from one of its dots, with the port as normalized after it, up to the
    // longest wildcard: a few lookups whatever the number of patterns. A dot never starts a host,
    // so the suffix itself is never a tail; an address never has a tail a wildcard ends in.
    const Set& tails = m_wildcards[parsed->https];
    const std::string_view text = parsed->view();
    for (std::size_t dot = parsed->hostEnd; dot-- > parsed->hostBegin && text.size() - dot <= m_longestWildcard;) {
        if (text[dot] == '.' && tails.find(text.substr(dot)) != tails.end())
            return true;
    }
    return false;
}

std::string OriginPolicy::summary() const
{
    if (!m_problem.empty())
        return std::string(kNoPage) + ": " + m_problem;
    if (m_anyOrigin)
        return std::string(kAnyPage);
    if (m_patterns.empty())
        return std::string(kNoPage);
    std::string line(kOnlyTo);
    for (std::size_t i = 0; i < m_patterns.size(); ++i) {
        if (i > 0)
            line += i + 1 == m_patterns.size() ? " and " : ", ";
        line += m_patterns[i];
    }
    return line;
}

std::filesystem::path policyPath()
{
    const char* file = std::getenv("CORVANE_POLICY_FILE");
    return file && *file ? std::filesystem::path(file) : std::filesystem::path(OriginPolicy::kDefaultPath);
}

} // namespace corvane::policy
