// The service as the Service Control Manager sees it, and its update worker.
#pragma once

#include <atomic>

#include "platform/win32.h"

extern SERVICE_STATUS_HANDLE status_handle;
extern HANDLE stop_event;
extern std::atomic<DWORD> service_state;
extern std::atomic<DWORD> service_running;
// Kept by start_worker; the service never waits on it or closes it.
extern HANDLE worker_thread;
// The process's exit code once the service has ended: 0, or the code of an
// end that asks the supervisor to start the program again.
extern std::atomic<DWORD> service_exit_code;

// The control that asks the running service for an update pass now: the
// first of the user-defined controls, sent by `check` (on Linux, SIGHUP, as
// `systemctl reload` sends it).
constexpr DWORD service_control_check = 128;
// Raised by that control, lowered by the worker when it begins the pass: a
// request during a pass gives one pass after it, however many came.
extern std::atomic<bool> pass_requested;

void WINAPI service_main(DWORD argc, LPSTR* argv);
DWORD WINAPI control_handler(DWORD control, DWORD event_type, LPVOID event_data,
                             LPVOID context);
int report_status(DWORD state, DWORD win32_exit_code, DWORD specific_exit_code,
                  DWORD check_point, DWORD wait_hint);
void stop_service();
// Ends the service after a pass that put a new executable of it in place,
// so that its supervisor starts the new program.
void restart_service();
int start_worker();
DWORD WINAPI update_worker(LPVOID parameter);
