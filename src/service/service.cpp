// The service as the service manager sees it: start-up, status reports, the
// control handler and the orderly stop that never cuts an update pass in half.
#include "service/service.h"

#include <mutex>

#include "orvane_config.h"
#include "service/entry.h"
#include "update/package_update.h"
#include "update/update_pass.h"

SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stop_event = nullptr;
std::atomic<DWORD> service_state{0};
std::atomic<DWORD> service_running{0};
HANDLE worker_thread = nullptr;
std::atomic<DWORD> service_exit_code{0};
std::atomic<bool> pass_requested{false};

namespace {

constexpr DWORD start_wait_hint_ms = 3000;
constexpr DWORD worker_wait_hint_ms = 1000;
constexpr DWORD stop_wait_hint_ms = 3000;
// While a pass finishes, a new check point comes well within each wait hint.
constexpr DWORD stop_progress_ms = stop_wait_hint_ms / 2;
// Exit code of a start that could not get its event or its worker when the
// system gave no reason (ERROR_NOT_ENOUGH_MEMORY).
constexpr DWORD start_failure_code = 8;

// Set by the first request of the stop. A later one (a failed status report,
// a second control, the worker's restart) changes nothing: above all it does
// not signal the event, which the service thread closes once signalled.
std::atomic<bool> stop_claimed{false};
std::atomic<DWORD> end_win32_code{0};

// Keeps the reports of a stopping service in order: its check points only
// rise, and nothing follows stopped. Guards stop_check_point.
std::mutex stop_reports;
DWORD stop_check_point = 0;

// Asks the service thread for the orderly stop and returns at once: a
// control handler must not wait for a pass.
void request_end(DWORD win32_exit_code, DWORD specific_exit_code) {
    if (stop_claimed.exchange(true)) return;
    end_win32_code = win32_exit_code;
    service_exit_code = specific_exit_code;
    service_running = 0;
    update_stop_requested = 1;
    // There is none yet only while the service thread itself starts up; it
    // then does not wait for one.
    if (stop_event != nullptr) SetEvent(stop_event);
}

// A start that cannot go on ends as stopped, with the reason, so that the
// manager does not show it pending for ever.
void fail_start() {
    DWORD code = GetLastError();
    request_end(code != NO_ERROR ? code : start_failure_code, 0);
}

// Waits for handle while the manager sees the stop make progress.
void wait_reporting_progress(HANDLE handle) {
    while (WaitForSingleObject(handle, stop_progress_ms) == WAIT_TIMEOUT) {
        std::lock_guard lock(stop_reports);
        report_status(SERVICE_STOP_PENDING, NO_ERROR, 0, ++stop_check_point, stop_wait_hint_ms);
    }
}

// The orderly stop, on the service thread: a pass that holds the lock is
// finished first, then the worker, which begins none once the service no
// longer runs, is let through the lock to its end: the process may end as
// soon as stopped is reported, and nothing of the worker may still run then
// (the state file's next pass, the policy's reading). Stopped is reported
// under the lock, so no pass begins before the end.
void finish_stop() {
    wait_reporting_progress(update_lock);
    if (worker_thread != nullptr) {
        ReleaseSemaphore(update_lock, 1, nullptr);
        wait_reporting_progress(worker_thread);
        wait_reporting_progress(update_lock);
    }
    {
        std::lock_guard lock(stop_reports);
        service_state = SERVICE_STOPPED;
        report_status(SERVICE_STOPPED, end_win32_code, service_exit_code, 0, 0);
    }
    ReleaseSemaphore(update_lock, 1, nullptr);
}

void begin_stop() {
    {
        std::lock_guard lock(stop_reports);
        if (stop_claimed) return;  // under way, reported already
        service_state = SERVICE_STOP_PENDING;
        report_status(SERVICE_STOP_PENDING, NO_ERROR, 0, ++stop_check_point, stop_wait_hint_ms);
    }
    stop_service();
}

void report_current_state() {
    std::lock_guard lock(stop_reports);
    DWORD state = service_state;
    if (state == SERVICE_STOPPED) return;
    if (state == SERVICE_STOP_PENDING)
        report_status(state, NO_ERROR, 0, stop_check_point, stop_wait_hint_ms);
    else
        report_status(state, NO_ERROR, 0, 0, 0);
}

}  // namespace

int report_status(DWORD state, DWORD win32_exit_code, DWORD specific_exit_code,
                  DWORD check_point, DWORD wait_hint) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_START_PENDING
            ? 0
            : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
    status.dwWin32ExitCode =
        specific_exit_code != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : win32_exit_code;
    status.dwServiceSpecificExitCode = specific_exit_code;
    status.dwCheckPoint = check_point;
    status.dwWaitHint = wait_hint;
    BOOL reported = SetServiceStatus(status_handle, &status);
    if (reported) return reported;
    // The manager no longer hears us: end in order.
    stop_service();
    return 0;
}

void stop_service() { request_end(NO_ERROR, 0); }

// Stopped with an exit code of its own: the Windows service manager takes it
// for a failure and restarts the service (its failure actions apply to such
// ends too), systemd restarts the unit for the process's exit status.
void restart_service() { request_end(NO_ERROR, ORVANE_RESTART_EXIT_CODE); }

// Returns at once: the stop itself runs on the service thread, a requested
// pass on the worker. Preshutdown, which Windows sends first at a shutdown and
// then waits for, is a stop too.
DWORD WINAPI control_handler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
        case SERVICE_CONTROL_PRESHUTDOWN:
            begin_stop();
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            report_current_state();
            return NO_ERROR;
        case service_control_check:
            // The worker begins the pass; a stopping service begins none.
            if (!stop_claimed) pass_requested = true;
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

int start_worker() {
    // Raised before the thread exists: a worker that read the flag before it
    // was raised would end at its first tick and the service would never update.
    service_running = 1;
    DWORD thread_id = 0;
    worker_thread = CreateThread(nullptr, 0, update_worker, nullptr, 0, &thread_id);
    if (worker_thread == nullptr) {
        service_running = 0;
        return 0;
    }
    return 1;
}

void WINAPI service_main(DWORD, LPSTR*) {
    // Each run of the service has its own orderly stop.
    stop_claimed = false;
    stop_check_point = 0;
    update_stop_requested = 0;
    pass_requested = false;
    status_handle = RegisterServiceCtrlHandlerExA(service_name, control_handler, nullptr);
    if (status_handle == nullptr) return;
    if (report_status(SERVICE_START_PENDING, NO_ERROR, 0, 1, start_wait_hint_ms)) {
        stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (stop_event == nullptr) {
            fail_start();
        } else if (report_status(SERVICE_START_PENDING, NO_ERROR, 0, 2, worker_wait_hint_ms)) {
            if (!start_worker()) {
                fail_start();
            } else {
                service_state = SERVICE_RUNNING;
                report_status(SERVICE_RUNNING, NO_ERROR, 0, 0, 0);
            }
        }
    }
    // Every road to here has either asked for the stop already (a failed
    // report or start) or waits for a request. The event is signalled by the
    // one request that claimed the stop, so once it is, nobody signals it again.
    if (stop_event != nullptr) {
        WaitForSingleObject(stop_event, INFINITE);
        CloseHandle(stop_event);
        stop_event = nullptr;
    }
    finish_stop();
}
