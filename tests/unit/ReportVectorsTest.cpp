// The shared table of report vectors through corvane-verify's checks; the page
// module and the reference portal read the same table, so all three agree.
#include "Files.h"
#include "ReportVerifier.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

TEST(ReportVectors, EachGetsItsVerdict)
{
    const nlohmann::json table = nlohmann::json::parse(corvane::testfiles::read(CORVANE_REPORT_VECTORS));
    const corvane::verify::Expectations expected{table["nonce"], table["origin"], table["max_age"], table["now"]};
    ASSERT_FALSE(table["vectors"].empty());
    for (const nlohmann::json& vector : table["vectors"]) {
        const auto verdict = corvane::verify::verifyReport(vector["report"].get<std::string>(), expected);
        EXPECT_EQ(verdict.valid ? "valid" : "invalid: " + verdict.reason, vector["verdict"]) << vector["name"];
    }
}
