// The schedule of the policy: the period in ticks and the quiet window.
#include "update/policy_schedule.h"

#include <cstdio>

#include "orvane_config.h"

namespace {

constexpr int shortest_period_minutes = 60;
constexpr int longest_period_minutes = 43200;
constexpr int longest_quiet_minutes = 960;
constexpr int day_minutes = 24 * 60;
constexpr std::uint32_t ticks_per_minute = 60;

// The window's start and length in minutes; a length of 0 is no window.
// Kept within bounds here too: the window is read at every tick of a wait.
void quiet_window(const Policy& policy, int* start, int* length) {
    *start = 0;
    *length = 0;
    if (!policy.valid || !policy.quiet_window) return;
    *start = ((policy.quiet_start_minute % day_minutes) + day_minutes) % day_minutes;
    *length = policy.quiet_duration_minutes < 0 ? 0
              : policy.quiet_duration_minutes > longest_quiet_minutes
                  ? longest_quiet_minutes
                  : policy.quiet_duration_minutes;
}

}  // namespace

std::uint32_t policy_period_ticks(const Policy& policy) {
    const int minutes = policy.check_period_minutes;
    // Without a period the build's own interval holds (the same four hours
    // in the product; short in a test build).
    if (!policy.valid || !policy.check_period_given || minutes < 0)
        return ORVANE_PASS_INTERVAL_TICKS;
    if (minutes == 0) return 0;
    const int clamped = minutes < shortest_period_minutes  ? shortest_period_minutes
                        : minutes > longest_period_minutes ? longest_period_minutes
                                                           : minutes;
    return static_cast<std::uint32_t>(clamped) * ticks_per_minute;
}

int policy_quiet_seconds_left(const Policy& policy, int now_second) {
    int start = 0;
    int length = 0;
    quiet_window(policy, &start, &length);
    if (length == 0) return 0;
    const int day_seconds = day_minutes * 60;
    const int now = ((now_second % day_seconds) + day_seconds) % day_seconds;
    // Seconds since the window began, across midnight when it began yesterday.
    const int into = (now - start * 60 + day_seconds) % day_seconds;
    return into < length * 60 ? length * 60 - into : 0;
}

std::string policy_quiet_message(const Policy& policy) {
    int start = 0;
    int length = 0;
    quiet_window(policy, &start, &length);
    const int end = (start + length) % day_minutes;
    char text[64];
    std::snprintf(text, sizeof text, "Updates suppressed by policy until %02d:%02d.", end / 60,
                  end % 60);
    return text;
}
