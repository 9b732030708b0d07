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
    nlohmann::json vectors = table["vectors"], deep = table["deep"];
    ASSERT_FALSE(vectors.empty());
    // The very deep one is built here, not kept in the file.
    const std::string open(deep["depth"].get<std::size_t>(), '[');
    deep["report"] =
        deep["before"].get<std::string>() + open + std::string(open.size(), ']') + deep["after"].get<std::string>();
    vectors.push_back(deep);
    for (const nlohmann::json& vector : vectors) {
        const auto verdict = corvane::verify::verifyReport(vector["report"].get<std::string>(), expected);
        EXPECT_EQ(verdict.valid ? "valid" : "invalid: " + verdict.reason, vector["verdict"]) << vector["name"];
        EXPECT_EQ(verdict.valid ? nlohmann::json() : nlohmann::json(verdict.code), vector["code"]) << vector["name"];
    }
}
