#include "scm_double.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/wide_path.h"
#include "service/service.h"
#include "update/update_pass.h"

ScmDouble scm;
std::mutex scm_mutex;

void scm_reset() {
    std::lock_guard lock(scm_mutex);
    scm = ScmDouble{};
}

namespace {

thread_local DWORD last_error = 0;

std::string text(LPCSTR value) {
    return value == nullptr ? "null" : "\"" + std::string(value) + "\"";
}

std::string pointer(const void* value) { return value == nullptr ? "null" : "set"; }

std::string handle(const void* value) {
    if (value == nullptr) return "null";
    if (value == double_manager) return "manager";
    if (value == double_opened_service) return "service";
    if (value == double_created_service) return "created";
    if (value == double_key) return "key";
    if (value == HKEY_LOCAL_MACHINE) return "HKLM";
    return "unknown";
}

std::string number(DWORD value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%X", static_cast<unsigned>(value));
    return buffer;
}

void record(const std::string& call) {
    std::lock_guard lock(scm_mutex);
    scm.calls.push_back(call);
}

}  // namespace

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD code) { last_error = code; }

DWORD GetModuleFileNameA(HMODULE module, LPSTR path, DWORD size) {
    record("GetModuleFileNameA(" + pointer(module) + ", " + std::to_string(size) + ")");
    if (scm.module_fails || size == 0) return 0;
    std::size_t length = std::min<std::size_t>(scm.module_path.size(), size - 1);
    std::memcpy(path, scm.module_path.data(), length);
    path[length] = '\0';
    return static_cast<DWORD>(length);
}

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
    record("OpenSCManagerA(" + text(machine) + ", " + text(database) + ", " + number(access) + ")");
    return scm.manager_fails ? nullptr : double_manager;
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
    record("OpenServiceA(" + handle(manager) + ", " + text(name) + ", " + number(access) + ")");
    return scm.open_fails ? nullptr : double_opened_service;
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR display_name, DWORD access,
                         DWORD service_type, DWORD start_type, DWORD error_control, LPCSTR path,
                         LPCSTR load_order_group, LPDWORD tag, LPCSTR dependencies,
                         LPCSTR account, LPCSTR password) {
    record("CreateServiceA(" + handle(manager) + ", " + text(name) + ", " + text(display_name) +
           ", " + number(access) + ", " + number(service_type) + ", " + number(start_type) +
           ", " + number(error_control) + ", " + text(path) + ", " + text(load_order_group) +
           ", " + pointer(tag) + ", " + text(dependencies) + ", " + text(account) + ", " +
           text(password) + ")");
    return scm.create_fails ? nullptr : double_created_service;
}

BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD service_type, DWORD start_type,
                          DWORD error_control, LPCSTR path, LPCSTR load_order_group, LPDWORD tag,
                          LPCSTR dependencies, LPCSTR account, LPCSTR password,
                          LPCSTR display_name) {
    record("ChangeServiceConfigA(" + handle(service) + ", " + number(service_type) + ", " +
           number(start_type) + ", " + number(error_control) + ", " + text(path) + ", " +
           text(load_order_group) + ", " + pointer(tag) + ", " + text(dependencies) + ", " +
           text(account) + ", " + text(password) + ", " + text(display_name) + ")");
    return FALSE;  // its result is never looked at
}

BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD info_level, LPVOID info) {
    std::string details = "null";
    if (info_level == SERVICE_CONFIG_FAILURE_ACTIONS && info != nullptr) {
        const auto* actions = static_cast<const SERVICE_FAILURE_ACTIONSA*>(info);
        details = "reset " + std::to_string(actions->dwResetPeriod) + ", " +
                  text(actions->lpRebootMsg) + ", " + text(actions->lpCommand) + ", [";
        for (DWORD i = 0; i < actions->cActions; ++i) {
            details += (i > 0 ? " " : "") + std::to_string(actions->lpsaActions[i].Type) + "/" +
                       std::to_string(actions->lpsaActions[i].Delay);
        }
        details += "]";
    }
    if (info_level == SERVICE_CONFIG_PRESHUTDOWN_INFO && info != nullptr)
        details = "timeout " + std::to_string(static_cast<const DWORD*>(info)[0]);  // its one field
    if (info_level == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG && info != nullptr)
        details = "non-crash " + std::to_string(
            static_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(info)->fFailureActionsOnNonCrashFailures);
    record("ChangeServiceConfig2A(" + handle(service) + ", " + number(info_level) + ", " +
           details + ")");
    return FALSE;  // a failure leaves the installed service as it is
}

BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* argv) {
    record("StartServiceA(" + handle(service) + ", " + std::to_string(argc) + ", " +
           pointer(argv) + ")");
    return scm.start_fails ? FALSE : TRUE;
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    record("ControlService(" + handle(service) + ", " + number(control) + ", " + pointer(status) +
           ")");
    SetLastError(scm.control_error);
    return scm.control_error == 0;
}

BOOL DeleteService(SC_HANDLE service) {
    record("DeleteService(" + handle(service) + ")");
    return FALSE;
}

BOOL CloseServiceHandle(SC_HANDLE object) {
    record("CloseServiceHandle(" + handle(object) + ")");
    return TRUE;
}

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subkey, DWORD reserved, LPSTR class_name, DWORD options,
                        DWORD access, LPSECURITY_ATTRIBUTES attributes, HKEY* result,
                        LPDWORD disposition) {
    record("RegCreateKeyExA(" + handle(key) + ", " + text(subkey) + ", " + number(reserved) +
           ", " + text(class_name) + ", " + number(options) + ", " + number(access) + ", " +
           pointer(attributes) + ", " + pointer(result) + ", " + pointer(disposition) + ")");
    if (scm.registry_fails) return 5;  // access denied
    *result = double_key;
    if (disposition != nullptr) *disposition = 1;
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size) {
    // The data is recorded with exactly the bytes announced, terminator included.
    std::string bytes(reinterpret_cast<const char*>(data), size);
    record("RegSetValueExA(" + handle(key) + ", " + text(name) + ", " + number(reserved) + ", " +
           number(type) + ", [" + bytes + "], " + std::to_string(size) + ")");
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
    record("RegCloseKey(" + handle(key) + ")");
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyA(HKEY, LPCSTR) { return ERROR_SUCCESS; }  // seen by the Wine scenarios

HANDLE RegisterEventSourceW(LPCWSTR, LPCWSTR source) {
    record("RegisterEventSourceW(" + wide_path_utf8(source) + ")");
    return &scm;
}

BOOL ReportEventW(HANDLE log, WORD type, WORD, DWORD id, PSID, WORD count, DWORD, LPCWSTR* text,
                  LPVOID) {
    record("ReportEventW(" + pointer(log) + ", " + number(type) + ", " + number(id) + ", " +
           std::to_string(count) + ", " + wide_path_utf8(text[0]) + ")");
    return TRUE;
}

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
    record("StartServiceCtrlDispatcherA");
    std::lock_guard lock(scm_mutex);
    scm.dispatched_table = table;
    return scm.dispatcher_result;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR name, LPHANDLER_FUNCTION_EX handler,
                                                    LPVOID) {
    record("RegisterServiceCtrlHandlerExA(" + text(name) + ")");
    std::lock_guard lock(scm_mutex);
    if (scm.handler_fails) return nullptr;
    scm.handler = handler;
    return double_status_handle;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE status_handle, LPSERVICE_STATUS status) {
    // Whether the lock is held now: taken (and given back) only if it is free.
    bool held = WaitForSingleObject(update_lock, 0) != WAIT_OBJECT_0;
    if (!held) ReleaseSemaphore(update_lock, 1, nullptr);
    bool ended = worker_thread == nullptr || WaitForSingleObject(worker_thread, 0) == WAIT_OBJECT_0;
    std::lock_guard lock(scm_mutex);
    if (status_handle != double_status_handle) return FALSE;
    scm.reports.push_back({*status, held, ended});
    if (scm.reports.size() == scm.failing_report) return FALSE;
    const auto& failing = scm.failing_states;
    return std::find(failing.begin(), failing.end(), status->dwCurrentState) == failing.end();
}
