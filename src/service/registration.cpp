// Registering, removing, starting, stopping and reconfiguring the service.
#include "service/registration.h"

#include <cstdio>
#include <cstring>

#include "orvane_config.h"
#include "report/report.h"
#include "service/entry.h"
#include "service/service.h"

namespace {

constexpr const char* service_key =
    "SYSTEM\\CurrentControlSet\\Services\\Orvane Autoupdate Service";
constexpr const char* description_text =
    "Autoupdates TARN, Orvane Client, Wickmoor and development tools.";
// The service's event source: Event Viewer finds the text of its entries in
// the executable's message table.
constexpr const char* event_source_key =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Orvane Autoupdate Service";
// Information, warning and error entries.
constexpr DWORD event_types_supported = 7;

// A service that ends without reporting itself stopped (a crash) is started
// again after a minute, as the systemd unit does, at every failure; a day
// without one starts the count afresh.
constexpr DWORD restart_delay_ms = 60 * 1000;
constexpr DWORD failure_count_reset_s = 24 * 60 * 60;

constexpr DWORD module_path_size = 4096;
char module_path[module_path_size];
char registered_path[module_path_size + 2];

// The executable's path as the service manager is to start it. A path with a
// blank is quoted: unquoted, the manager could start another program with the
// service's rights (C:\Program.exe for C:\Program Files\...).
const char* program_path() {
    module_path[0] = '\0';
    GetModuleFileNameA(nullptr, module_path, module_path_size);
    module_path[module_path_size - 1] = '\0';
    if (std::strchr(module_path, ' ') == nullptr) return module_path;
    std::snprintf(registered_path, sizeof registered_path, "\"%s\"", module_path);
    return registered_path;
}

void change_start_type(SC_HANDLE service, DWORD start_type) {
    std::printf("Changing settings ... ");
    ChangeServiceConfigA(service, SERVICE_WIN32_OWN_PROCESS, start_type, SERVICE_ERROR_NORMAL,
                         program_path(), nullptr, nullptr, nullptr, nullptr, nullptr,
                         service_name);
    std::puts("done");
}

// Their results are not looked at: like the Description, recovery is a comfort
// that does not decide whether the service is installed.
void set_failure_actions(SC_HANDLE service) {
    SC_ACTION restart{SC_ACTION_RESTART, restart_delay_ms};
    SERVICE_FAILURE_ACTIONSA actions{};
    actions.dwResetPeriod = failure_count_reset_s;
    actions.cActions = 1;
    actions.lpsaActions = &restart;
    ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions);
    // Also after a stop with an exit code: the service ends so, once it has
    // installed a new updater, to be started again as the new program.
    SERVICE_FAILURE_ACTIONS_FLAG on_every_failure{TRUE};
    ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_every_failure);
}

// A shutdown tells the service first (preshutdown) and waits this long for
// it to stop: time for a running pass to finish, where the plain shutdown
// would end the process within seconds.
void set_preshutdown_timeout(SC_HANDLE service) {
    SERVICE_PRESHUTDOWN_INFO preshutdown{ORVANE_PRESHUTDOWN_TIMEOUT_MS};
    ChangeServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown);
}

// The machine's key at path, created if missing; nullptr when it cannot be.
HKEY create_machine_key(const char* path) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE | KEY_QUERY_VALUE, nullptr, &key,
                        &disposition) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

// Written once the service runs this executable. A source that cannot be
// written leaves the entries without their text, not the service uninstalled.
void write_event_source(const char* executable) {
    HKEY key = create_machine_key(event_source_key);
    if (key == nullptr) return;
    RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                   reinterpret_cast<const BYTE*>(executable),
                   static_cast<DWORD>(std::strlen(executable) + 1));
    RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&event_types_supported),
                   sizeof event_types_supported);
    RegCloseKey(key);
}

}  // namespace

void write_description() {
    HKEY key = create_machine_key(service_key);
    if (key == nullptr) return;
    RegSetValueExA(key, "Description", 0, REG_SZ, reinterpret_cast<const BYTE*>(description_text),
                   static_cast<DWORD>(std::strlen(description_text) + 1));
    RegCloseKey(key);
}

int install_service() {
    const char* path = program_path();
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) {
        std::puts("Error opening service manager");
        log_line("Error opening service manager\n");
        return 1;
    }
    write_description();
    SC_HANDLE service =
        CreateServiceA(manager, service_name, service_name, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       path, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr) {
        CloseServiceHandle(manager);
        std::puts("Error installing service");
        log_line("Error installing service\n");
        return 1;
    }
    set_failure_actions(service);
    set_preshutdown_timeout(service);
    write_event_source(module_path);  // a file, unquoted: no command line
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    std::puts("Service installed");
    return 0;
}

bool run_service_command(SC_HANDLE service, const char* word) {
    if (std::strcmp(word, "start") == 0) {
        std::printf("Starting service ... ");
        std::puts(StartServiceA(service, 0, nullptr) ? "done" : "failed");
    } else if (std::strcmp(word, "stop") == 0) {
        SERVICE_STATUS status{};
        std::printf("Stopping service ... ");
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        std::puts("done");
    } else if (std::strcmp(word, "auto") == 0) {
        change_start_type(service, SERVICE_AUTO_START);
    } else if (std::strcmp(word, "manual") == 0) {
        change_start_type(service, SERVICE_DEMAND_START);
    } else if (std::strcmp(word, "uninstall") == 0) {
        std::printf("Removing update service ... ");
        DeleteService(service);
        // Its entries stay in the Event Log, shown without their text.
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, event_source_key);
        std::puts("done");
    } else {
        return false;
    }
    return true;
}

int check_service(SC_HANDLE service) {
    SERVICE_STATUS status{};
    std::printf("Asking the service for an update pass ... ");
    if (ControlService(service, service_control_check, &status)) {
        std::puts("done");
        return 0;
    }
    const DWORD error = GetLastError();
    std::puts("failed");
    if (error == ERROR_SERVICE_NOT_ACTIVE)
        std::puts("The update service is not running.");
    else
        std::printf("The update service did not take the request (error %lu).\n",
                    static_cast<unsigned long>(error));
    return 1;
}
