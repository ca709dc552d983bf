// The policy's schedule: the period in ticks and the daily quiet window.
#include <gtest/gtest.h>

#include <utility>

#include "orvane_config.h"
#include "update/policy_schedule.h"

TEST(PolicySchedule, PeriodIsSixtyTicksAMinuteAndTheDefaultKeepsTheBuiltInterval) {
    auto ticks_of = [](int minutes, bool valid = true) {
        Policy policy;
        policy.valid = valid;
        policy.check_period_minutes = minutes;
        return policy_period_ticks(policy);
    };
    EXPECT_EQ(policy_period_ticks(Policy{}), ORVANE_PASS_INTERVAL_TICKS);
    EXPECT_EQ(ticks_of(90, false), ORVANE_PASS_INTERVAL_TICKS);
    const std::pair<int, std::uint32_t> rows[] = {
        {0, 0}, {1, 3600}, {61, 3660}, {43200, 2592000}, {43201, 2592000}};
    for (auto [minutes, ticks] : rows)
        EXPECT_EQ(ticks_of(minutes), ticks) << minutes;
}

TEST(PolicySchedule, QuietWindowHoldsPassesDueInItAcrossMidnight) {
    Policy night;
    night.quiet_window = true;
    night.quiet_start_minute = 22 * 60 + 30;
    night.quiet_duration_minutes = 9 * 60;
    EXPECT_EQ(policy_quiet_message(night), "Updates suppressed by policy until 07:30.");
    // Seconds after midnight when a pass falls due, and what is left of the window.
    const std::pair<int, int> rows[] = {{81000, 32400}, {10800, 16200}, {26999, 1},
                                        {27000, 0},     {43200, 0},     {80999, 0}};
    for (auto [now, left] : rows) EXPECT_EQ(policy_quiet_seconds_left(night, now), left) << now;
    night.valid = false;  // a policy that is not valid holds nothing
    EXPECT_EQ(policy_quiet_seconds_left(night, 10800), 0);
}
