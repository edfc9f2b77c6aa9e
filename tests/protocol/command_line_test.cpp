#include "support/support.h"

using namespace TestSupport;

TEST(CommandLine, NoArgumentsPrintsUsageAndExitsWithTwo) {
    auto result = run(gelatin(), {});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("usage:\n  gelatin list  <folder> [--recursive]\n", 0), 0u);
}
