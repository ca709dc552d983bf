// Service registration has no service manager to talk to on this platform:
// the unit file registers the service, so the calls that would create, change,
// start or stop it fail, and those commands take their "cannot open the
// manager" road. A connection that asks only to send the service a control
// opens: the control is `systemctl reload` of the unit, whose ExecReload sends
// the service SIGHUP, which its dispatcher delivers as the control.
// Nor is there an Event Log: the journal has the service's messages.
#include "platform/win32.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr DWORD error_invalid_handle = 6;
// The one service there is, and the unit that the packaging installs for it.
constexpr const char* known_service = "Orvane Autoupdate Service";
constexpr const char* service_unit = "orvane-autoupdate";
constexpr DWORD first_user_control = 128;
constexpr DWORD last_user_control = 255;
// systemctl waits for the reload job, which only sends a signal; this bounds
// a manager that does not answer (and a password prompt left alone).
constexpr int systemctl_wait_ms = 60 * 1000;
constexpr int systemctl_poll_ms = 20;
constexpr int systemctl_not_started = -1;
constexpr int systemctl_timed_out = -2;

int manager_token;
int service_token;
SC_HANDLE const manager_handle = reinterpret_cast<SC_HANDLE>(&manager_token);
SC_HANDLE const service_handle = reinterpret_cast<SC_HANDLE>(&service_token);

// Runs `systemctl <verb> [option] <unit>` found on PATH, with this process's
// standard streams, as an administrator would type it: its exit status.
int run_systemctl(const char* verb, const char* option) {
    char program[] = "systemctl";
    char* argv[5] = {program, const_cast<char*>(verb), nullptr, nullptr, nullptr};
    char** next = argv + 2;
    if (option != nullptr) *next++ = const_cast<char*>(option);
    *next = const_cast<char*>(service_unit);
    pid_t pid = 0;
    if (posix_spawnp(&pid, program, nullptr, nullptr, argv, environ) != 0)
        return systemctl_not_started;
    for (int waited = 0;; waited += systemctl_poll_ms) {
        int status = 0;
        const pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (ended < 0 && errno != EINTR) return systemctl_not_started;
        if (waited >= systemctl_wait_ms) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return systemctl_timed_out;
        }
        usleep(systemctl_poll_ms * 1000);
    }
}

}  // namespace

SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD access) {
    if (access == SC_MANAGER_CONNECT) return manager_handle;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
    if (manager != manager_handle || (access & ~SERVICE_USER_DEFINED_CONTROL) != 0) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    if (name == nullptr || std::strcmp(name, known_service) != 0) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return service_handle;
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

// A user-defined control only. systemctl says on the console why a reload
// failed; a unit that is not active is a service that is not running.
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    if (service != service_handle) {
        SetLastError(error_invalid_handle);
        return FALSE;
    }
    if (control < first_user_control || control > last_user_control) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    const int reloaded = run_systemctl("reload", nullptr);
    if (reloaded == 0) {
        if (status != nullptr) {
            *status = SERVICE_STATUS{};
            status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
            status->dwCurrentState = SERVICE_RUNNING;
        }
        return TRUE;
    }
    if (reloaded == systemctl_not_started)
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    else if (reloaded == systemctl_timed_out)
        SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
    else if (run_systemctl("is-active", "--quiet") != 0)
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    else
        SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    return FALSE;
}

BOOL DeleteService(SC_HANDLE) { return FALSE; }
BOOL CloseServiceHandle(SC_HANDLE handle) {
    return handle == manager_handle || handle == service_handle ? TRUE : FALSE;
}

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
