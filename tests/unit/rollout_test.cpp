// The share a staged rollout gives over time, and when it reaches a bucket.
#include <gtest/gtest.h>

#include "update/rollout.h"

TEST(Rollout, ShareGrowsByWholePeriodsToEveryMachineAndOpensOnceItExceedsTheBucket) {
    const Rollout staged{10, 15, 2};
    EXPECT_EQ(rollout_share(staged, 0, 7199) + rollout_share(staged, 0, 7200) +
              rollout_share(staged, 1000, 7200LL * 1000000), 10 + 25 + 100);
    EXPECT_EQ(rollout_opens_at(staged, 1000, 25), 1000 + 2 * 7200);  // 25 does not exceed 25
}
