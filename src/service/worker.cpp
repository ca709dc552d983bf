// The service's clock: the first update pass after the initial delay, then one
// each time the policy's period has been slept since the previous pass ended.
// A pass that falls due in the policy's quiet window waits for its end. A
// check (the control of `check`) gets a pass at the next tick.
#include <cstdint>
#include <ctime>

#include "orvane_config.h"
#include "report/report.h"
#include "report/status.h"
#include "service/service.h"
#include "update/policy.h"
#include "update/policy_schedule.h"
#include "update/update_pass.h"
#include "update/updater_trial.h"

namespace {

// Ticks of waiting between two readings of the policy: a minute.
constexpr std::uint32_t policy_reading_ticks = 60;

// Seconds after local midnight, now.
int local_second() {
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    return local == nullptr ? 0 : local->tm_hour * 3600 + local->tm_min * 60 + local->tm_sec;
}

}  // namespace

DWORD WINAPI update_worker(LPVOID) {
    bool first_pass = true;
    bool hold_said = false;  // the quiet window's hold of this pass is in the log
    std::uint32_t ticks_slept = 0;
    std::uint32_t ticks_since_reading = 0;
    Policy policy = policy_read();
    for (;;) {
        // A period of 0: no scheduled pass, only the wait for a stop or a check.
        const std::uint32_t period = policy_period_ticks(policy);
        const bool due = period != 0 && ticks_slept >= (first_pass ? ORVANE_INITIAL_DELAY_TICKS
                                                                   : period);
        // A check is answered within a tick, even in the initial delay or the
        // quiet window; an administrator asked for this pass.
        const bool requested = pass_requested.exchange(false);
        if (!requested && due && policy_quiet_seconds_left(policy, local_second()) > 0) {
            if (!hold_said) report(-1, -1, policy_quiet_message(policy).c_str());
            hold_said = true;
        } else if (requested || due) {
            hold_said = false;
            // Pass barrier: waits while a stop holds the lock.
            WaitForSingleObject(update_lock, INFINITE);
            ReleaseSemaphore(update_lock, 1, nullptr);
            // A stop that got the lock first has ended the service; a pass
            // begun now would be cut off when the process ends.
            if (service_running == 0) return 0;
            // Another process's pass is waited for, but not past a stop. A
            // requested pass updates the packages kept for manual passes too.
            run_update_pass(true, !requested);
            first_pass = false;
            // The next scheduled pass counts its period from the end of this one.
            ticks_slept = 0;
            // The new program is started by the supervisor; a stop that
            // came during the pass has ended the service already.
            if (updater_replaced()) {
                restart_service();
                return 0;
            }
            // The next pass is scheduled as the policy is now.
            policy = policy_read();
            ticks_since_reading = 0;
            const std::time_t next = policy_period_ticks(policy) * std::time_t{ORVANE_TICK_MS} / 1000;
            status_set_next_pass(next == 0 ? 0 : std::time(nullptr) + next);
        }
        Sleep(ORVANE_TICK_MS);
        if (ticks_slept < UINT32_MAX) ++ticks_slept;
        if (service_running == 0) return 0;
        // Read again after every minute of waiting: a change needs no restart.
        if (++ticks_since_reading >= policy_reading_ticks) {
            policy = policy_read();
            ticks_since_reading = 0;
        }
    }
}
