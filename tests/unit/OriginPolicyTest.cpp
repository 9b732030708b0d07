#include "policy/OriginPolicy.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

using corvane::policy::OriginPolicy;

namespace {

const std::string kRefused = "403 this device's policy does not allow reports to ";
const std::string kNoOrigin = "403 this device's policy does not allow reports to callers without an Origin";
const std::string kNoNonce = "400 this device's policy allows only challenge-bound reports (?nonce=...)";
const std::string kUnusable = "403 this device's policy cannot be used: ";

std::string decision(const OriginPolicy& policy, std::string_view origin, bool challenged = false)
{
    const auto refusal = policy.judge(origin, challenged);
    return refusal ? std::to_string(refusal->status) + " " + refusal->error : "allowed";
}

// The policy of a file holding text; "<missing>", "<directory>", "<link loop>" and "<link to nothing>" stand for
// no file, a folder and links in its place.
OriginPolicy loaded(std::string_view text, std::string& file)
{
    file = testing::TempDir() + "policy-" + std::to_string(::getpid()) + ".conf";
    std::filesystem::remove_all(file);
    if (text == "<directory>")
        std::filesystem::create_directory(file);
    else if (text.starts_with("<link"))
        std::filesystem::create_symlink(text == "<link loop>" ? file : file + ".gone", file);
    else if (text != "<missing>")
        std::ofstream(file, std::ios::binary) << text;
    OriginPolicy policy = OriginPolicy::load(file);
    std::filesystem::remove_all(file);
    return policy;
}

enum Match { yes, no, bad };

} // namespace

TEST(OriginPolicy, RequestOriginsAgainstPatterns)
{
    const std::tuple<std::string, std::string, Match> cases[] = {
        {"https://a.example", "https://a.example", yes},
        {"https://a.example", "https://a.example:443", yes},
        {"http://a.example:80", "http://a.example", yes},
        {"https://a.example", "https://a.example:8443", no},
        {"https://a.example:8443", "https://a.example:8443", yes},
        {"HTTPS://A.Example", "hTTps://a.EXAMPLE", yes},
        {"https://a.example", "http://a.example", no},
        {"https://corp.example", "https://corp.example.evil", no},
        {"https://corp.example", "https://evilcorp.example", no},
        {"https://*.corp.example", "https://A.b.Corp.example:443", yes},
        {"https://*.corp.example", "https://corp.example", no},
        {"https://*.corp.example", "https://evilcorp.example", no},
        {"https://*.corp.example", "https://a.corp.example.evil", no},
        {"https://*.corp.example", "https://a.corp.example:8443", no},
        {"https://*.corp.example:8443", "https://a.corp.example:8443", yes},
        {"https://a.example", "https://a.example/path", no},
        {"https://a.example", "https://user@a.example", no},
        {"https://a.example", "null", no},
        {"*", "null", yes},
        {"https://xn--bcher-kva.example", "https://xn--bcher-kva.example", yes},
        {"https://xn--bcher-kva.example", "https://bücher.example", no},
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080", yes},
        {"http://[0:0::1]", "http://[::1]", yes},
        {"https://[2001:DB8::1]", "https://[2001:db8:0:0:0:0:0:1]:443", yes},
        {"http://[::1]", "http://[::2]", no},
        {"https://a.example/", "", bad},
        {"https://a.example?q", "", bad},
        {"https://user@a.example", "", bad},
        {"https://a.*.example", "", bad},
        {"*.a.example", "", bad},
        {"https://bücher.example", "", bad},
        {"https://", "", bad},
        {"https://a..example", "", bad},
        {"https://a.example:0", "", bad},
        {"https://a.example:65536", "", bad},
        {"ftp://a.example", "", bad},
        {"https://010.0.0.1", "", bad},
        {std::string("http://[::1\0]", 13), "", bad},
    };
    for (const auto& [pattern, origin, match] : cases) {
        SCOPED_TRACE(pattern + " <- " + origin);
        const OriginPolicy policy = OriginPolicy::parse("allowed-origins = " + pattern, "p");
        EXPECT_EQ(policy.problem(), match == bad ? "p line 1: \"" + pattern + "\" is not an origin pattern" : "");
        if (match != bad) {
            EXPECT_EQ(decision(policy, origin), match == yes ? "allowed" : kRefused + origin);
        }
    }
}

TEST(OriginPolicy, UnusableFilesRefuseEveryRequest)
{
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"allowed_origin = https://a.example", "line 1: unknown key \"allowed_origin\""},
        {"# ours\n\nallowed-origins = https://a.example/path",
            "line 3: \"https://a.example/path\" is not an origin pattern"},
        {"allowed-origins = https://a.example:0123456789012345678901234567890123456789012345678901234567890",
            "line 1: \"https://a.example:0123456789012345678901234567890123456789012345...\" is not an origin pattern"},
        {"require-challenge = yes", "line 1: \"yes\" is not true or false"},
        {"allowed-origins = *\nallowed-origins = https://a.example", "line 2: allowed-origins given twice"},
        {"allowed-origins https://a.example", "line 1: no \"=\" (expected key = value)"},
        {" = true", "line 1: no key before \"=\""},
        {"allowed-origins = *\n# caf\xE9", "line 2: not UTF-8 text"},
        {"<directory>", ": is a directory"},
        {"<link loop>", ": too many levels of symbolic links"},
        {"<link to nothing>", ": a link to a missing file"},
    };
    for (const auto& [text, problem] : cases) {
        SCOPED_TRACE(text);
        std::string file;
        const OriginPolicy policy = loaded(text, file);
        const std::string expected = file + (problem[0] == ':' ? "" : " ") + std::string(problem);
        EXPECT_EQ(policy.problem(), expected);
        EXPECT_EQ(policy.summary(), "Reports to no web page: " + expected);
        EXPECT_EQ(decision(policy, "*", true), kUnusable + expected);
        EXPECT_TRUE(policy.fromFile());
    }
}

TEST(OriginPolicy, UsableFilesDecideInOrder)
{
    const std::tuple<std::string, std::string, bool, std::string, std::string> cases[] = {
        {"<missing>", "https://a.example", false, "allowed", "Reports to any web page"},
        {"", "https://a.example", true, kRefused + "https://a.example", "Reports to no web page"},
        {"# nothing\n   # here\n\n", "*", false, "allowed", "Reports to no web page"},
        {"\xEF\xBB\xBF allowed-origins = HTTPS://A.Example:443 https://*.B.example # ours\r\n", "https://a.example",
            false, "allowed", "Reports only to https://a.example and https://*.b.example"},
        {"allowed-origins = http://[0::1]:80 https://a.example http://[::1] https://*.b.example", "http://[::1]", false,
            "allowed", "Reports only to http://[::1], https://a.example and https://*.b.example"},
        {"allowed-origins = https://a.example *", "null", false, "allowed", "Reports to any web page"},
        {"allow-without-origin = false\nallowed-origins = *", "*", true, kNoOrigin, "Reports to any web page"},
        {"require-challenge = true\nallowed-origins = https://a.example", "https://a.example", false, kNoNonce,
            "Reports only to https://a.example"},
        {"require-challenge = true", "https://a.example", false, kRefused + "https://a.example",
            "Reports to no web page"},
        {"require-challenge = true", "*", false, kNoNonce, "Reports to no web page"},
        {"require-challenge = true\nallow-without-origin = true", "*", true, "allowed", "Reports to no web page"},
    };
    for (const auto& [text, origin, challenged, expected, summary] : cases) {
        SCOPED_TRACE(text + " <- " + origin);
        std::string file;
        const OriginPolicy policy = loaded(text, file);
        EXPECT_EQ(policy.problem(), "");
        EXPECT_EQ(decision(policy, origin, challenged), expected);
        EXPECT_EQ(policy.summary(), summary);
        EXPECT_EQ(policy.fromFile(), text != "<missing>");
    }
}
