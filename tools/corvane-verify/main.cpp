// corvane-verify: checks the signature of a Corvane agent's status report.
#include "AgentClient.h"
#include "HttpAnswer.h"
#include "ReportVerifier.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>

namespace {

constexpr int kValid = 0;
constexpr int kInvalid = 1;
constexpr int kTrouble = 2;
constexpr std::chrono::seconds kFetchTimeout{10};

constexpr std::string_view kUsage = "usage: corvane-verify [FILE | - | --fetch]\n";
constexpr std::string_view kHelp = "Checks the signature of a Corvane agent's status report.\n"
                                   "Reads the report (the JSON document, or a whole HTTP answer) from FILE,\n"
                                   "from standard input (no argument or -), or from the running agent (--fetch).\n"
                                   "Prints \"valid\" and exits 0, or \"invalid: \" and the reason and exits 1;\n"
                                   "exits 2 when no report could be read.\n";

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

bool readAll(std::istream& in, std::string& text)
{
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

int judge(std::string_view input)
{
    const corvane::verify::ReportText text = corvane::verify::reportText(input);
    const corvane::verify::Verdict verdict = text.problem.empty() ? corvane::verify::verifyReport(text.document)
                                                                  : corvane::verify::Verdict{false, text.problem};
    if (verdict.valid) {
        std::cout << "valid\n";
        return kValid;
    }
    std::cout << "invalid: " << verdict.reason << '\n';
    return kInvalid;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 2)
        return usageError("too many arguments");
    const std::string_view argument = argc == 2 ? argv[1] : "-";

    std::string input;
    if (argument == "--help" || argument == "-h") {
        std::cout << kUsage << kHelp;
        return kValid;
    }
    if (argument == "--fetch") {
        corvane::verify::FetchResult fetched = corvane::verify::fetchFromAgent(kFetchTimeout);
        if (!fetched.error.empty())
            return trouble(fetched.error);
        input = std::move(fetched.answer);
    } else if (argument == "-") {
        if (!readAll(std::cin, input))
            return trouble("cannot read standard input");
    } else if (argument.starts_with("-")) {
        return usageError("unknown option " + std::string(argument));
    } else {
        errno = 0;
        std::ifstream file(std::string(argument), std::ios::binary);
        if (!file || !readAll(file, input))
            return trouble(
                "cannot read " + std::string(argument) + (errno ? ": " + std::string(std::strerror(errno)) : ""));
    }
    return judge(input);
}
