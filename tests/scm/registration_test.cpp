// The registration commands and the entry's service words against the
// recording double: the exact calls, their order, the console and the log.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "report/report.h"
#include "scm_double.h"
#include "service/entry.h"
#include "service/registration.h"
#include "service/service.h"
#include "update/update_pass.h"
#include "work_dir.h"

namespace {

using Calls = std::vector<std::string>;

const std::string module_call = "GetModuleFileNameA(null, 4096)";
const std::string open_manager = "OpenSCManagerA(null, null, 0x2)";
const std::string open_service = "OpenServiceA(manager, \"Orvane Autoupdate Service\", 0xF01FF)";
const std::string create_key =
    "RegCreateKeyExA(HKLM, \"SYSTEM\\CurrentControlSet\\Services\\Orvane Autoupdate Service\", "
    "0x0, null, 0x0, 0x20007, null, set, set)";
const std::string description = "Autoupdates TARN, Orvane Client, Wickmoor and development tools.";
// Announced with its terminator, which is recorded as part of the data.
const std::string set_description = "RegSetValueExA(key, \"Description\", 0x0, 0x1, [" +
                                    description + std::string(1, '\0') + "], " +
                                    std::to_string(description.size() + 1) + ")";
const std::string close_key = "RegCloseKey(key)";
// The event source: the executable's message table; information, warning and error entries.
const std::string create_source = "RegCreateKeyExA(HKLM, \"SYSTEM\\CurrentControlSet\\Services\\"
    "EventLog\\Application\\Orvane Autoupdate Service\", 0x0, null, 0x0, 0x20007, null, set, set)";
const std::string set_message_file = "RegSetValueExA(key, \"EventMessageFile\", 0x0, 0x2, "
    "[/opt/orvane/bin/orvane-autoupdate" + std::string(1, '\0') + "], 34)";
const std::string set_types = "RegSetValueExA(key, \"TypesSupported\", 0x0, 0x4, [\a" +
                              std::string(3, '\0') + "], 4)";
// Restart a minute after every crash; the count starts afresh after a day.
const std::string failure_actions =
    "ChangeServiceConfig2A(created, 0x2, reset 86400, null, null, [1/60000])";
// Also after a stop with an exit code: the end that starts a new updater.
const std::string failure_flag = "ChangeServiceConfig2A(created, 0x4, non-crash 1)";
const std::string preshutdown = "ChangeServiceConfig2A(created, 0x7, timeout 180000)";  // 3 min

std::string create_call(const std::string& path) {
    return "CreateServiceA(manager, \"Orvane Autoupdate Service\", \"Orvane Autoupdate Service\", "
           "0xF01FF, 0x10, 0x3, 0x1, \"" + path + "\", null, null, null, null, null)";
}

std::string change_call(DWORD start_type, const std::string& path) {
    return "ChangeServiceConfigA(service, 0x10, 0x" + std::to_string(start_type) + ", 0x1, \"" +
           path + "\", null, null, null, null, null, \"Orvane Autoupdate Service\")";
}

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream data;
    data << in.rdbuf();
    return data.str();
}

class Registration : public ::testing::Test {
protected:
    void SetUp() override { scm_reset(); }

    template <typename Run>
    std::string console(Run run) {
        testing::internal::CaptureStdout();
        run();
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }

    // The entry's output after its three banner lines.
    static std::string after_banner(const std::string& out) {
        std::size_t at = 0;
        for (int line = 0; line < 3 && at != std::string::npos; ++line) {
            at = out.find('\n', at);
            if (at != std::string::npos) ++at;
        }
        return at == std::string::npos ? "" : out.substr(at);
    }

    int entry(std::vector<std::string> words, std::string* out) {
        std::vector<char*> argv;
        std::string program = "orvane-autoupdate";
        argv.push_back(program.data());
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        int result = 0;
        HANDLE kept_lock = update_lock;
        *out = after_banner(
            console([&] { result = process_entry(static_cast<int>(words.size() + 1), argv.data()); }));
        // The entry makes a lock of its own each time; the process would end here.
        CloseHandle(update_lock);
        update_lock = kept_lock;
        return result;
    }

    WorkDir work;
};

const std::string usage =
    "Usage : orvane-autoupdate [option]\nWhere option is :\n\tinstall - installs service\n"
    "\tuninstall - uninstalls service\n\tauto - starts service automatically\n"
    "\tmanual - starts service manually\n\tstart - starts service\n\tstop - stops service\n"
    "\tnoservice - runs Orvane Update Service without using Windows Services\n";

}  // namespace

TEST_F(Registration, InstallWritesTheDescriptionThenCreatesTheDemandStartService) {
    int result = 1;
    EXPECT_EQ(console([&] { result = install_service(); }), "Service installed\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(scm.calls, (Calls{module_call, open_manager, create_key, set_description, close_key,
                                create_call(scm.module_path), failure_actions, failure_flag, preshutdown,
                                create_source, set_message_file, set_types, close_key,
                                "CloseServiceHandle(created)", "CloseServiceHandle(manager)"}));
    EXPECT_FALSE(std::filesystem::exists("update.log"));
}

TEST_F(Registration, InstallWithoutTheManagerIsPrintedAndLoggedAndTouchesNoRegistry) {
    scm.manager_fails = true;
    int result = 0;
    EXPECT_EQ(console([&] { result = install_service(); }), "Error opening service manager\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(scm.calls, (Calls{module_call, open_manager}));
    // The logged text ends in its own line break: an empty line follows.
    EXPECT_TRUE(std::regex_match(read_file("update.log"),
                                 std::regex("^.{24}: Error opening service manager\n\n$")));
}

TEST_F(Registration, FailedCreationClosesTheManagerThenPrintsAndLogs) {
    scm.create_fails = true;
    int result = 0;
    EXPECT_EQ(console([&] { result = install_service(); }), "Error installing service\n");
    EXPECT_EQ(result, 1);
    // The description is written all the same, before the creation is tried.
    EXPECT_EQ(scm.calls, (Calls{module_call, open_manager, create_key, set_description, close_key,
                                create_call(scm.module_path), "CloseServiceHandle(manager)"}));
    EXPECT_TRUE(std::regex_match(read_file("update.log"),
                                 std::regex("^.{24}: Error installing service\n\n$")));
}

TEST_F(Registration, AnUnwritableDescriptionDoesNotStopTheInstall) {
    scm.registry_fails = true;
    int result = 1;
    EXPECT_EQ(console([&] { result = install_service(); }), "Service installed\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(scm.calls, (Calls{module_call, open_manager, create_key, create_call(scm.module_path),
                                failure_actions, failure_flag, preshutdown, create_source,
                                "CloseServiceHandle(created)",
                                "CloseServiceHandle(manager)"}));
}

TEST_F(Registration, APathWithBlanksIsRegisteredInQuotes) {
    scm.module_path = "/opt/Orvane Tools/bin/orvane-autoupdate";
    console([] { install_service(); });
    ASSERT_EQ(scm.calls.size(), 15u);
    EXPECT_EQ(scm.calls[5], create_call("\"/opt/Orvane Tools/bin/orvane-autoupdate\""));
}

TEST_F(Registration, AutoAndManualPointTheServiceAtTheExecutableThatRunsThem) {
    scm.module_path = "/srv/a/bin/orvane-autoupdate";
    EXPECT_EQ(console([] { EXPECT_TRUE(run_service_command(double_opened_service, "auto")); }),
              "Changing settings ... done\n");
    scm.module_path = "/srv/b b/bin/orvane-autoupdate";
    EXPECT_EQ(console([] { EXPECT_TRUE(run_service_command(double_opened_service, "manual")); }),
              "Changing settings ... done\n");
    // A path that cannot be read leaves none, not the previous one.
    scm.module_fails = true;
    console([] { run_service_command(double_opened_service, "auto"); });
    EXPECT_EQ(scm.calls, (Calls{module_call, change_call(2, "/srv/a/bin/orvane-autoupdate"),
                                module_call, change_call(3, "\"/srv/b b/bin/orvane-autoupdate\""),
                                module_call, change_call(2, "")}));
}

TEST_F(Registration, StartStopAndUninstallPrintTheirTwoPartMessages) {
    EXPECT_EQ(console([] { run_service_command(double_opened_service, "start"); }),
              "Starting service ... done\n");
    scm.start_fails = true;
    EXPECT_EQ(console([] { run_service_command(double_opened_service, "start"); }),
              "Starting service ... failed\n");
    // Whatever the manager answers, stop and uninstall say done.
    EXPECT_EQ(console([] { run_service_command(double_opened_service, "stop"); }),
              "Stopping service ... done\n");
    EXPECT_EQ(console([] { run_service_command(double_opened_service, "uninstall"); }),
              "Removing update service ... done\n");
    EXPECT_EQ(scm.calls, (Calls{"StartServiceA(service, 0, null)", "StartServiceA(service, 0, null)",
                                "ControlService(service, 0x1, set)", "DeleteService(service)"}));
    EXPECT_FALSE(std::filesystem::exists("update.log"));
}

TEST_F(Registration, ServiceWordsWithoutTheManagerGiveMinusOneAndNoLog) {
    scm.manager_fails = true;
    std::string out;
    EXPECT_EQ(entry({"stop"}, &out), -1);
    EXPECT_EQ(out, "Error opening service manager");
    EXPECT_EQ(scm.calls, (Calls{open_manager}));
    EXPECT_FALSE(std::filesystem::exists("update.log"));
}

TEST_F(Registration, ServiceWordsWithoutTheServiceCloseTheManagerAndGiveMinusTwo) {
    scm.open_fails = true;
    for (const char* word : {"start", "Install"}) {
        scm.calls.clear();
        std::string out;
        EXPECT_EQ(entry({word}, &out), -2) << word;
        EXPECT_EQ(out, "Error opening service. Service not installed ?");
        EXPECT_EQ(scm.calls, (Calls{open_manager, open_service, "CloseServiceHandle(manager)"}));
    }
    EXPECT_FALSE(std::filesystem::exists("update.log"));
}

TEST_F(Registration, AnUnknownWordWithTheServiceInstalledPrintsTheUsage) {
    std::string out;
    EXPECT_EQ(entry({"Start"}, &out), -1);
    EXPECT_EQ(out, usage);
    // The handles stay open: the process ends at once.
    EXPECT_EQ(scm.calls, (Calls{open_manager, open_service}));
}

TEST_F(Registration, AKnownWordActsOnTheOpenedServiceAndGivesZero) {
    std::string out;
    EXPECT_EQ(entry({"uninstall"}, &out), 0);
    EXPECT_EQ(out, "Removing update service ... done\n");
    EXPECT_EQ(scm.calls, (Calls{open_manager, open_service, "DeleteService(service)"}));
    scm.calls.clear();
    scm.control_error = ERROR_SERVICE_NOT_ACTIVE;  // check: control 128, with only the right to send it
    EXPECT_EQ(entry({"check"}, &out), 1);
    EXPECT_EQ(out, "Asking the service for an update pass ... failed\nThe update service is not running.\n");
    EXPECT_EQ(scm.calls, (Calls{"OpenSCManagerA(null, null, 0x1)", "OpenServiceA(manager, \"Orvane "
                                "Autoupdate Service\", 0x100)", "ControlService(service, 0x80, set)"}));
}

TEST_F(Registration, OnlyTheServiceRoadReportsToTheEventLogAndTheJournalWithTheLevel) {
    EXPECT_EQ(console([] { report(-1, -1, "Installed."); }), "\nInstalled.\n");
    report_service_road(service_name);
    report_package("alpha");
    Calls events{"RegisterEventSourceW(Orvane Autoupdate Service)"};
    for (auto [message, prefix, event] : {
             std::tuple<std::string, std::string, std::string>{"Installed.", "<6>", "0x4, 0x1"},
             {"Invalid file received (checksum error)", "<4>", "0x2, 0x2"},
             {"Not enough disk space to install alpha.zip (3 MB free)", "<4>", "0x2, 0x2"},
             {"Error writing version information.", "<3>", "0x1, 0x3"}}) {
        EXPECT_EQ(console([&] { report(-1, -1, message.c_str()); }), prefix + message + "\n");
        events.push_back("ReportEventW(set, " + event + ", 1, alpha: " + message + ")");
    }
    EXPECT_EQ(scm.calls, events) << "the source opened once; none from the console road";
    report_service_road(nullptr);
}

TEST_F(Registration, AnyOtherArgumentCountGoesToTheDispatcher) {
    std::string out;
    EXPECT_EQ(entry({"install", "now"}, &out), -1);
    EXPECT_EQ(out, usage);
    EXPECT_EQ(scm.calls, (Calls{"StartServiceCtrlDispatcherA"}));

    scm.dispatcher_result = TRUE;
    EXPECT_EQ(entry({}, &out), 0);
    EXPECT_EQ(out, "");
    const SERVICE_TABLE_ENTRYA* table = scm.dispatched_table;
    ASSERT_NE(table, nullptr);
    EXPECT_STREQ(table[0].lpServiceName, "Orvane Autoupdate Service");
    EXPECT_EQ(table[0].lpServiceProc, &service_main);
    EXPECT_EQ(table[1].lpServiceName, nullptr);
    EXPECT_EQ(table[1].lpServiceProc, nullptr);
}
