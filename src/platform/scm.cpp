// Service registration has no service manager to talk to on this platform:
// every call fails, so the commands take their "cannot open the manager" road.
// Nor is there an Event Log: the journal has the service's messages.
#include "platform/win32.h"

SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

SC_HANDLE CreateServiceA(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD, LPCSTR, LPCSTR,
                         LPDWORD, LPCSTR, LPCSTR, LPCSTR) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

BOOL ChangeServiceConfigA(SC_HANDLE, DWORD, DWORD, DWORD, LPCSTR, LPCSTR, LPDWORD, LPCSTR, LPCSTR,
                          LPCSTR, LPCSTR) {
    return FALSE;
}

// Failure actions, preshutdown timeout: the systemd unit holds their kin.
BOOL ChangeServiceConfig2A(SC_HANDLE, DWORD, LPVOID) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL StartServiceA(SC_HANDLE, DWORD, LPCSTR*) { return FALSE; }
BOOL ControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS) { return FALSE; }
BOOL DeleteService(SC_HANDLE) { return FALSE; }
BOOL CloseServiceHandle(SC_HANDLE) { return FALSE; }

LSTATUS RegCreateKeyExA(HKEY, LPCSTR, DWORD, LPSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                        HKEY* result, LPDWORD) {
    if (result != nullptr) *result = nullptr;
    return static_cast<LSTATUS>(ERROR_CALL_NOT_IMPLEMENTED);
}

LSTATUS RegSetValueExA(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD) {
    return static_cast<LSTATUS>(ERROR_CALL_NOT_IMPLEMENTED);
}

// The machine policy's key is the one key that opens (src/platform/registry.cpp).
LSTATUS RegCloseKey(HKEY key) {
    return registry_close_policy(key) ? ERROR_SUCCESS
                                      : static_cast<LSTATUS>(ERROR_CALL_NOT_IMPLEMENTED);
}

LSTATUS RegDeleteKeyA(HKEY, LPCSTR) { return static_cast<LSTATUS>(ERROR_CALL_NOT_IMPLEMENTED); }

HANDLE RegisterEventSourceW(LPCWSTR, LPCWSTR) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

BOOL ReportEventW(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR*, LPVOID) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}
