// Tells the Windows service scenarios whether the service manager is in the
// middle of starting or stopping any service.
//
// While the manager starts a service, that service's control pipe waits for
// its process to connect, and any program that calls the dispatcher then is
// handed that pipe: a console run of the updater would be taken for the other
// service, and a start of ours would wait for the manager's start lock. The
// scenarios therefore run only once this probe has found the manager idle.
//
// Exit code 0: idle. 1: busy, with one line per reason on stdout. 2: the
// manager cannot be asked.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

bool pending(DWORD state) {
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
           state == SERVICE_CONTINUE_PENDING || state == SERVICE_PAUSE_PENDING;
}

// Services whose state is still changing; -1 when the manager cannot be asked.
int pending_services() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    if (manager == nullptr) {
        std::printf("cannot open the service manager (error %lu)\n", GetLastError());
        return -1;
    }
    std::vector<BYTE> buffer(64 * 1024);
    DWORD needed = 0;
    DWORD count = 0;
    for (;;) {
        DWORD resume = 0;
        if (EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_TYPE_ALL,
                                  SERVICE_STATE_ALL, buffer.data(),
                                  static_cast<DWORD>(buffer.size()), &needed, &count, &resume,
                                  nullptr)) {
            break;
        }
        if (GetLastError() != ERROR_MORE_DATA || needed <= buffer.size()) {
            std::printf("cannot list the services (error %lu)\n", GetLastError());
            CloseServiceHandle(manager);
            return -1;
        }
        buffer.resize(needed);
    }
    CloseServiceHandle(manager);

    const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
    int busy = 0;
    for (DWORD i = 0; i < count; ++i) {
        const DWORD state = services[i].ServiceStatusProcess.dwCurrentState;
        if (!pending(state)) continue;
        std::printf("service %ls is in state %lu\n", services[i].lpServiceName, state);
        ++busy;
    }
    return busy;
}

// Whether the control pipe of the service started last is waiting for a
// process to connect; a pipe that is connected or gone is no hazard.
bool control_pipe_waiting() {
    DWORD current = 0;
    DWORD size = sizeof current;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\ServiceCurrent",
                     nullptr, RRF_RT_REG_DWORD, nullptr, &current, &size) != ERROR_SUCCESS) {
        return false;  // no service has been started yet
    }
    wchar_t name[64];
    std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\pipe\\net\\NtControlPipe%lu",
                  current);
    // Succeeds at once only when an instance is listening; it never connects.
    if (!WaitNamedPipeW(name, 1)) return false;
    std::printf("control pipe %lu waits for its service\n", current);
    return true;
}

}  // namespace

int main() {
    const int busy = pending_services();
    if (busy < 0) return 2;
    const bool waiting = control_pipe_waiting();
    return busy > 0 || waiting ? 1 : 0;
}
