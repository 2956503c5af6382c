#include <gtest/gtest.h>
#include <sys/types.h>
#include <time.h>

#include <limits>

// The 32-bit builds stand in for the ARM target: they are worth running only
// while they keep its types.
TEST(BuildTarget, ThirtyTwoBitBuildsKeepTheTargetTypes) {
    EXPECT_EQ(sizeof(off_t), 8u);  // log files may pass 2 GiB
    if (sizeof(void*) != 4) GTEST_SKIP() << "64-bit build";
    EXPECT_EQ(sizeof(time_t), 4u);
    EXPECT_FALSE(std::numeric_limits<char>::is_signed);
}
