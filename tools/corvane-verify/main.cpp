// corvane-verify: checks a Corvane agent's status report.
#include "AgentClient.h"
#include "HttpAnswer.h"
#include "ReportVerifier.h"

#include "bridge/Http.h"
#include "report/StatusReport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr int kValid = 0;
constexpr int kInvalid = 1;
constexpr int kTrouble = 2;
constexpr std::chrono::seconds kFetchTimeout{10};
// A century: keeps now - max-age far from overflowing.
constexpr std::int64_t kMaxMaxAge = 100LL * 366 * 24 * 3600;
// Far above any report (the agent's are a few KiB); keeps /dev/zero from taking all memory.
constexpr std::size_t kMaxInput = 16u << 20;

constexpr std::string_view kUsage =
    "usage: corvane-verify [--nonce N] [--origin O] [--max-age SECONDS] [--public-key KEY]\n"
    "                      [FILE | - | --fetch]\n";
constexpr std::string_view kHelp = "Checks a Corvane agent's status report: its signature and, when asked, the\n"
                                   "challenge it answers and its age.\n"
                                   "Reads the report (the JSON document, or a whole HTTP answer) from FILE,\n"
                                   "from standard input (no argument or -), or from the running agent (--fetch).\n"
                                   "\n"
                                   "  --nonce N          the report's \"nonce\" must be N (16 to 128 characters of\n"
                                   "                     A-Z a-z 0-9 - _); with --fetch the agent is asked for it\n"
                                   "                     with GET /?nonce=N\n"
                                   "  --origin O         the report's \"origin\" must be O, exactly (for example\n"
                                   "                     https://portal.example); --fetch sends no Origin, so\n"
                                   "                     the agent answers \"*\"\n"
                                   "  --max-age SECONDS  the report's \"timestamp\" must be at most SECONDS old\n"
                                   "                     and at most 60 s ahead of this machine's clock\n"
                                   "  --public-key KEY   the report's \"public_key\" must be KEY, exactly (the\n"
                                   "                     Base64 text corvane-signer --show-key prints)\n"
                                   "  --fetch            asks the agent on 127.0.0.1:12180 (gives up after 10 s)\n"
                                   "  -h, --help         prints this help and exits 0\n"
                                   "\n"
                                   "Prints \"valid\" and exits 0 when the signature and every check given hold,\n"
                                   "or \"invalid: \" and the reason and exits 1; exits 2 when no report could be\n"
                                   "read or the arguments are wrong.\n";

int usageError(std::string_view problem)
{
    std::cerr << "corvane-verify: " << problem << '\n' << kUsage;
    return kTrouble;
}

int trouble(std::string_view problem)
{
    std::cerr << "corvane-verify: " << problem << '\n';
    return kTrouble;
}

// Everything up to the end, or why it could not be read. read(2), not iostreams:
// a filebuf throws on a directory, and std::cin turns a read error into an end.
std::string readAll(int descriptor, std::string& text)
{
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return std::strerror(errno);
        if (count == 0)
            return {};
        if (text.size() + static_cast<std::size_t>(count) > kMaxInput)
            return "larger than 16 MiB, which no report is";
        text.append(buffer, static_cast<std::size_t>(count));
    }
}

std::optional<std::int64_t> seconds(std::string_view text)
{
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0 || value > kMaxMaxAge)
        return std::nullopt;
    return value;
}

// The agent's own rule, so the tool never asks with a nonce the agent would refuse;
// a space, '&' or '#' would cut the parameter short, so it must come back whole.
bool isNonce(std::string_view value)
{
    const corvane::http::NonceParameter found =
        corvane::http::extractNonce("GET /?nonce=" + std::string(value) + " HTTP/1.1\r\n");
    return found.problem.empty() && found.nonce == value;
}

int judge(std::string_view input, const corvane::verify::Expectations& expected)
{
    const corvane::verify::ReportText text = corvane::verify::reportText(input);
    const corvane::verify::Verdict verdict =
        text.problem.empty() ? corvane::verify::verifyReport(text.document, expected) : corvane::verify::Verdict{};
    if (verdict.valid) {
        std::cout << "valid\n";
        return kValid;
    }
    std::cout << "invalid: " << (text.problem.empty() ? verdict.reason : text.problem) << '\n';
    return kInvalid;
}

} // namespace

int main(int argc, char** argv)
{
    corvane::verify::Expectations expected;
    std::optional<std::string_view> source;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::cout << kUsage << kHelp;
            return kValid;
        }
        if (argument == "--nonce" || argument == "--origin" || argument == "--max-age" || argument == "--public-key") {
            if (i + 1 == argc)
                return usageError(std::string(argument) + " needs a value");
            const std::string_view value = argv[++i];
            if (argument == "--nonce") {
                if (!isNonce(value))
                    return usageError("--nonce takes 16 to 128 characters of A-Z a-z 0-9 - _");
                expected.nonce = std::string(value);
            } else if (argument == "--origin") {
                expected.origin = std::string(value);
            } else if (argument == "--public-key") {
                expected.publicKey = std::string(value);
            } else if (!(expected.maxAge = seconds(value))) {
                return usageError("--max-age takes a whole number of seconds");
            }
        } else if (argument.starts_with("-") && argument != "-" && argument != "--fetch") {
            return usageError("unknown option " + std::string(argument));
        } else if (source) {
            return usageError("too many arguments");
        } else {
            source = argument;
        }
    }
    expected.now = corvane::statusreport::currentTimestamp();

    std::string input;
    const std::string_view from = source.value_or("-");
    if (from == "--fetch") {
        const std::string target = expected.nonce ? "/?nonce=" + *expected.nonce : "/";
        corvane::verify::FetchResult fetched = corvane::verify::fetchFromAgent(kFetchTimeout, target);
        if (!fetched.error.empty())
            return trouble(fetched.error);
        input = std::move(fetched.answer);
    } else {
        const bool standardInput = from == "-";
        const std::string name = standardInput ? "standard input" : std::string(from);
        const int descriptor = standardInput ? STDIN_FILENO : ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        const std::string problem = descriptor < 0 ? std::strerror(errno) : readAll(descriptor, input);
        if (!standardInput && descriptor >= 0)
            ::close(descriptor);
        if (!problem.empty())
            return trouble("cannot read " + name + ": " + problem);
    }
    return judge(input, expected);
}
