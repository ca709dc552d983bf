// Rollout fields of a trusted comment, and the share and opening time they give.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "update/rollout.h"

TEST(Rollout, FieldsAreTakenOnceEachAndWithinTheirRanges) {
    struct Row { const char* comment; bool taken; int percent, widen_percent, widen_hours; };
    for (const Row& row : {Row{"timestamp:1\tfile:a.zip", true, 100, 0, 0},
                           Row{"file:rollout:5\trollout:007\twiden:100/87600", true, 7, 100, 87600},
                           Row{"rollout:101"}, Row{"rollout:"}, Row{"rollout: 5"}, Row{"rollout:-1"},
                           Row{"rollout:5\trollout:5"}, Row{"widen:5/0"}, Row{"widen:5/87601"},
                           Row{"widen:5"}, Row{"widen:5/1/2"}, Row{"widen:101/1"}}) {
        Rollout rollout;
        ASSERT_EQ(rollout_parse(row.comment, std::strlen(row.comment), &rollout), row.taken) << row.comment;
        if (row.taken)
            EXPECT_EQ((std::vector<int>{rollout.percent, rollout.widen_percent, rollout.widen_hours}),
                      (std::vector<int>{row.percent, row.widen_percent, row.widen_hours}));
    }
}

TEST(Rollout, ShareWidensByWholePeriodsAndOpensOnceItExceedsTheBucket) {
    const Rollout staged{10, 15, 2};
    const std::uint64_t at = 1000000000;
    EXPECT_EQ(rollout_share(staged, at, at + 7199), 10);
    EXPECT_EQ(rollout_share(staged, at, at + 7200), 25);
    EXPECT_EQ(rollout_share(staged, at, at - 99999), 10);  // signed ahead of the clock
    EXPECT_EQ(rollout_share(staged, at, at + 7200LL * 1000000), 100);
    EXPECT_EQ(rollout_share({0, 50, 1}, at, at + 99 * 3600), 0);  // halted
    EXPECT_EQ(rollout_opens_at(staged, at, 24), at + 7200);
    EXPECT_EQ(rollout_opens_at(staged, at, 25), at + 2 * 7200);  // 25 does not exceed 25
    EXPECT_EQ(rollout_opens_at({10, 0, 0}, at, 50) + rollout_opens_at({0, 10, 1}, at, 50), 0);
}
