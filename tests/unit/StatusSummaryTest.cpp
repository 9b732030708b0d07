#include "shell/StatusSummary.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace corvane;

TEST(StatusSummary, SaysWhatIsMissingAndWhoAskedLast)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    struct Case {
        StatusSummary::Facts facts;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {{{{}, "port 12180 is used by another program"}, "Unknown", std::nullopt, true, std::nullopt},
            {"Web pages cannot reach the agent: port 12180 is used by another program (trying again)",
                "Device ID: Unknown", "Key: none usable, so reports go out unsigned", "VPN: active",
                "Last report served: none yet"}},
        {{{{"127.0.0.1:12180"}, {}}, "ID", StatusSummary::Key{"tpm", "/k", "not a key"}, false,
             StatusSummary::ServedReport{86400, "*"}},
            {"Web pages can reach the agent on 127.0.0.1:12180", "Device ID: ID", "Key: tpm, /k",
                "Key fingerprint: Unknown", "VPN: not active",
                "Last report served: 1970-01-02 00:00:00 +0000, to a caller without an Origin"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(StatusSummary::lines(c.facts), c.lines);
}
