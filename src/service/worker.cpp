// The service's clock: the first update pass after the initial delay, then one
// each time the pass interval has been slept since the previous pass ended.
#include "orvane_config.h"
#include "service/service.h"
#include "update/update_pass.h"
#include "update/updater_trial.h"

DWORD WINAPI update_worker(LPVOID) {
    for (DWORD tick = 0; tick < ORVANE_INITIAL_DELAY_TICKS; ++tick) {
        Sleep(ORVANE_TICK_MS);
        if (service_running == 0) return 0;
    }

    bool first_pass = true;
    DWORD ticks_slept = 0;
    for (;;) {
        if (first_pass || ticks_slept >= ORVANE_PASS_INTERVAL_TICKS) {
            ticks_slept = 0;
            // Pass barrier: waits while a stop holds the lock.
            WaitForSingleObject(update_lock, INFINITE);
            ReleaseSemaphore(update_lock, 1, nullptr);
            // A stop that got the lock first has ended the service; a pass
            // begun now would be cut off when the process ends.
            if (service_running == 0) return 0;
            // Another process's pass is waited for, but not past a stop.
            run_update_pass(true, true);
            first_pass = false;
            // The new program is started by the supervisor; a stop that
            // came during the pass has ended the service already.
            if (updater_replaced()) {
                restart_service();
                return 0;
            }
        }
        Sleep(ORVANE_TICK_MS);
        ++ticks_slept;
        if (service_running == 0) return 0;
    }
}
