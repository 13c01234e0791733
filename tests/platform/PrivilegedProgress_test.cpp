// The root helper's progress lines as the launcher reads them: counts in
// range or nothing.

#include "PrivilegedRequests.h"

#include <gtest/gtest.h>

#include <string>

using privileged::CopyProgress;

TEST(PrivilegedProgress, OnlyWholeLinesOfPlainCountsWithinTheirTotalsAreRead)
{
    using namespace std::string_literals;
    const struct {
        std::string line;
        std::optional<CopyProgress> read;
    } cases[] = {
        {"progress\t3\t100\t10\t1000", CopyProgress{3, 100, 10, 1000}},
        {"progress\t0\t0\t0\t0", CopyProgress{}},
        {"progress\t0\t0\t0\t999999999999999999", CopyProgress{0, 0, 0, 999999999999999999ULL}},
        {"progress\t0\t0\t0\t9999999999999999999", std::nullopt},  // more digits than a count may have
        {"progress\t0\t0\t0\t18446744073709551617", std::nullopt}, // beyond 64 bits
        {"progress\t11\t0\t10\t0", std::nullopt},                  // more files done than there are
        {"progress\t1\t1001\t10\t1000", std::nullopt},             // more bytes done than there are
        {"progress\t-1\t0\t10\t0", std::nullopt},
        {"progress\t+1\t0\t10\t0", std::nullopt},
        {"progress\t01\t0\t10\t0", std::nullopt},
        {"progress\t 1\t0\t10\t0", std::nullopt},
        {"progress\t1e3\t0\t10000\t0", std::nullopt},
        {"progress\t\t0\t10\t0", std::nullopt},
        {"progress\t1\t0\t10", std::nullopt},
        {"progress\t1\t0\t10\t0\t/home/user/secret", std::nullopt},
        {"progress\t1\t0\t10\t0\r", std::nullopt},
        {"progress\t1\t0\t10\0\t0"s, std::nullopt},
        {"Progress\t1\t0\t10\t0", std::nullopt},
        {"ok\t0\t", std::nullopt},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.line);
        EXPECT_EQ(privileged::parseProgressLine(test.line), test.read);
    }
    const CopyProgress sent{20000, 123456789012, 20000, 123456789012};
    EXPECT_EQ(privileged::parseProgressLine(privileged::progressLine(sent)), sent);
}
