// The process entry: one executable is the service and its own admin tool.
#include "service/entry.h"

#include <cstdio>
#include <cstring>

#include "orvane_config.h"
#include "report/report.h"
#include "report/status.h"
#include "service/registration.h"
#include "service/service.h"
#include "update/policy.h"
#include "update/policy_schedule.h"
#include "update/update_pass.h"
#include "update/updater_trial.h"

namespace {

char service_table_name[] = "Orvane Autoupdate Service";

// What the program prints when started with no option word and no service
// manager to run under; %s is the name it was started by.
// Tells the state file; a monitoring tool reads the first line of its output
// and its exit status.
constexpr const char* status_word = "status";

constexpr const char* usage_text =
    "Usage : %s [option]\nWhere option is :\n\tinstall - installs service\n\tuninstall - "
    "uninstalls service\n\tauto - starts service automatically\n\tmanual - starts service "
    "manually\n\tstart - starts service\n\tstop - stops service\n\tnoservice - runs Orvane "
    "Update Service without using Windows Services\n";

int print_usage(int argc, char** argv) {
    std::printf(usage_text, argc > 0 && argv[0] != nullptr ? argv[0] : "");
    return -1;
}

}  // namespace

int process_entry(int argc, char** argv) {
    // Before the banner: the summary must be the first line. It reads files
    // only, so it needs no service manager and works beside a running pass.
    if (argc == 2 && std::strcmp(argv[1], status_word) == 0) {
        enter_install_root();
        return status_show(static_cast<long long>(policy_period_ticks(policy_read())) *
                           ORVANE_TICK_MS);
    }
    // Without one option word the program is the service, whose output a
    // collector reads line by line and whose messages also go to the Event
    // Log; a console run keeps its console output.
    if (argc != 2) report_service_road(service_name);
    std::puts("Orvane Update Service 1.0\n"
              "Copyright (c) Halvex Software\n"
              "Keeps TARN, Orvane Client and Wickmoor up to date");
    update_lock = CreateSemaphoreA(nullptr, 1, 0x7FFF, nullptr);

    if (argc != 2) {
        static const SERVICE_TABLE_ENTRYA service_table[] = {
            {service_table_name, service_main},
            {nullptr, nullptr},
        };
        if (StartServiceCtrlDispatcherA(service_table)) return static_cast<int>(service_exit_code);
        return print_usage(argc, argv);
    }

    const char* word = argv[1];
    if (std::strcmp(word, "noservice") == 0) return run_update_pass(false, false);
    if (std::strcmp(word, "install") == 0) return install_service();
    // The line a running updater reads when it tries this program as its
    // successor; it needs nothing of the machine.
    if (std::strcmp(word, updater_selftest_word) == 0) {
        std::printf("%s\n", updater_selftest_line().c_str());
        return 0;
    }

    // A check asks for no more than the right to send the service a control,
    // which the service's default security gives every signed-in user; the
    // other words change the service and need an administrator.
    const bool check = std::strcmp(word, "check") == 0;
    SC_HANDLE manager =
        OpenSCManagerA(nullptr, nullptr, check ? SC_MANAGER_CONNECT : SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) {
        std::printf("%s", "Error opening service manager");
        return -1;
    }
    SC_HANDLE service = OpenServiceA(manager, service_name,
                                     check ? SERVICE_USER_DEFINED_CONTROL : SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        CloseServiceHandle(manager);
        std::printf("%s", "Error opening service. Service not installed ?");
        return -2;
    }
    if (check) return check_service(service);
    // The handles stay open: the process ends right after the command.
    if (run_service_command(service, word)) return 0;
    return print_usage(argc, argv);
}
