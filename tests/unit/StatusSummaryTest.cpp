#include "shell/StatusSummary.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace corvane;

TEST(StatusSummary, SaysWhatIsMissingAndWhoAskedLast)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    using Signing = StatusSummary::Signing;
    const std::pair<StatusSummary::Facts, std::vector<std::string>> cases[] = {
        {{{{}, "port 12180 is used by another program"}, "Unknown", Signing{false, {}, "/k", {}, "no usable key", {}},
             "P", true, std::nullopt},
            {"Web pages cannot reach the agent: port 12180 is used by another program (trying again)",
                "Device ID: Unknown", "Reports go out unsigned: no usable key", "P", "VPN: active",
                "Last report served: none yet"}},
        {{{{"127.0.0.1:12180"}, {}}, "ID", Signing{false, "tpm", "/k", "not a key", {}, {}}, "P", false,
             StatusSummary::ServedReport{86400, "*"}},
            {"Web pages can reach the agent on 127.0.0.1:12180", "Device ID: ID",
                "Reports signed by this session (key in the TPM)", "Key file: /k", "Key fingerprint: Unknown", "P",
                "VPN: not active", "Last report served: 1970-01-02 00:00:00 +0000, to a caller without an Origin"}},
        {{{{"127.0.0.1:12180"}, {}}, "ID", Signing{true, "file", {}, "not a key", {}, "S"}, "P", false, std::nullopt},
            {"Web pages can reach the agent on 127.0.0.1:12180", "Device ID: ID",
                "Reports signed by the system signer (key in a file)", "Key fingerprint: Unknown", "S",
                "VPN: not active", "Last report served: none yet"}},
    };
    for (const auto& [facts, lines] : cases)
        EXPECT_EQ(StatusSummary::lines(facts), lines);
}
