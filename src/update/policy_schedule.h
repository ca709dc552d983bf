// When the service's scheduled passes fall, as the machine's policy has it:
// the period between them and the daily quiet window. Decided from the
// policy and the local time alone, so the worker only counts ticks.
#pragma once

#include <cstdint>
#include <string>

#include "update/policy.h"

// Ticks from the end of one scheduled pass to the beginning of the next, a
// minute being 60 ticks; the default period keeps the built interval. 0: no
// scheduled passes. A policy that is not valid schedules as the build does.
std::uint32_t policy_period_ticks(const Policy& policy);

// Seconds from `now_second` (after local midnight) until the quiet window
// ends; 0 when that moment lies outside it, or there is no window.
int policy_quiet_seconds_left(const Policy& policy, int now_second);

// The message of a scheduled pass held by the quiet window, with its end in
// local time: "Updates suppressed by policy until 07:30."
std::string policy_quiet_message(const Policy& policy);
