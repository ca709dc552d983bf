// The service as the service manager sees it: start-up, status reports, the
// control handler and the orderly stop that never cuts an update pass in half.
#include "service/service.h"

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

namespace {

constexpr DWORD start_wait_hint_ms = 3000;
constexpr DWORD worker_wait_hint_ms = 1000;
constexpr DWORD stop_wait_hint_ms = 3000;
// Exit code of a start that could not get its event or its worker when the
// system gave no reason (ERROR_NOT_ENOUGH_MEMORY).
constexpr DWORD start_failure_code = 8;

// Set by the first run of the stop. A later run (after a failed status
// report, on this thread or another) must neither wait again for the lock
// the first run holds nor signal the event after the service closed it.
std::atomic<bool> stop_claimed{false};

void end_service(DWORD win32_exit_code, DWORD specific_exit_code) {
    if (stop_claimed.exchange(true)) return;
    service_exit_code = specific_exit_code;
    service_running = 0;
    update_stop_requested = 1;
    // Blocks while an update pass runs: the pass is finished first.
    WaitForSingleObject(update_lock, INFINITE);
    if (stop_event != nullptr) SetEvent(stop_event);
    report_status(SERVICE_STOPPED, win32_exit_code, specific_exit_code, 0, 0);
    ReleaseSemaphore(update_lock, 1, nullptr);
}

// A start that cannot go on ends as stopped, with the reason, so that the
// manager does not show it pending for ever.
void fail_start() {
    DWORD code = GetLastError();
    end_service(code != NO_ERROR ? code : start_failure_code, 0);
}

}  // namespace

int report_status(DWORD state, DWORD win32_exit_code, DWORD specific_exit_code,
                  DWORD check_point, DWORD wait_hint) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
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

void stop_service() { end_service(NO_ERROR, 0); }

// Stopped with an exit code of its own: the Windows service manager takes it
// for a failure and restarts the service (its failure actions apply to such
// ends too), systemd restarts the unit for the process's exit status.
void restart_service() { end_service(NO_ERROR, ORVANE_RESTART_EXIT_CODE); }

void WINAPI control_handler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        service_state = SERVICE_STOP_PENDING;
        report_status(SERVICE_STOP_PENDING, NO_ERROR, 0, 1, stop_wait_hint_ms);
        stop_service();
        return;
    }
    report_status(service_state, NO_ERROR, 0, 0, 0);
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
    update_stop_requested = 0;
    status_handle = RegisterServiceCtrlHandlerA(service_name, control_handler);
    if (status_handle == nullptr) return;
    if (!report_status(SERVICE_START_PENDING, NO_ERROR, 0, 1, start_wait_hint_ms)) return;

    stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (stop_event == nullptr) {
        fail_start();
        return;
    }
    if (report_status(SERVICE_START_PENDING, NO_ERROR, 0, 2, worker_wait_hint_ms)) {
        if (!start_worker()) {
            fail_start();
        } else {
            service_state = SERVICE_RUNNING;
            report_status(SERVICE_RUNNING, NO_ERROR, 0, 0, 0);
        }
    }
    // Every road to here has either run the stop already (a failed report or
    // start) or waits for a stop control. The event is signalled by the one
    // stop that runs to its end, so it is closed only once nobody signals it.
    WaitForSingleObject(stop_event, INFINITE);
    CloseHandle(stop_event);
    stop_event = nullptr;
}
