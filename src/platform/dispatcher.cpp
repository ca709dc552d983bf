// The service dispatcher. Without a supervisor to report to, the process was
// not started as a service: the dispatcher fails as Windows' does from a console.
#include "platform/win32.h"

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA*) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR, LPHANDLER_FUNCTION) { return nullptr; }

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS) { return FALSE; }
