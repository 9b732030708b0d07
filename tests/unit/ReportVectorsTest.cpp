// The shared table of report vectors through corvane-verify's checks; the page
// module and the Python package read the same table, so all three agree.
#include "Files.h"
#include "ReportVerifier.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

TEST(ReportVectors, EachGetsItsVerdictAndCode)
{
    const nlohmann::json table = nlohmann::json::parse(corvane::testfiles::read(CORVANE_REPORT_VECTORS));
    const corvane::verify::Expectations expected{table["nonce"], table["origin"], table["max_age"], table["now"], {}};
    nlohmann::json vectors = table["vectors"];
    ASSERT_FALSE(vectors.empty());
    // The very deep one is built here, not kept in the file.
    nlohmann::json deep = table["deep"];
    const std::size_t depth = deep["depth"];
    deep["report"] = deep["before"].get<std::string>() + std::string(depth, '[') + std::string(depth, ']')
        + deep["after"].get<std::string>();
    vectors.push_back(deep);
    for (const nlohmann::json& vector : vectors) {
        const auto verdict = corvane::verify::verifyReport(vector["report"].get<std::string>(), expected);
        EXPECT_EQ(verdict.valid ? "valid" : "invalid: " + verdict.reason, vector["verdict"]) << vector["name"];
        EXPECT_EQ(verdict.valid ? nlohmann::json() : nlohmann::json(verdict.code), vector["code"]) << vector["name"];
    }
}
