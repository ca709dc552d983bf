// One update pass: every package named in the installed-package list, in order.
#include "update/update_pass.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "orvane_config.h"
#include "report/report.h"
#include "report/status.h"
#include "update/install_aside.h"
#include "update/limits.h"
#include "update/package_state.h"
#include "update/package_update.h"
#include "update/policy.h"
#include "update/policy_decide.h"
#include "transfer/url_stream.h"

HANDLE update_lock = nullptr;

namespace {
char executable_directory[path_buffer_size];

// Seen by every process of the machine, whichever account runs it.
constexpr const wchar_t* machine_pass_name = L"Global\\orvane.update.pass";

enum class MachinePass { taken, elsewhere, unguarded };

// Takes the machine's pass lock into *mutex. A lock that cannot be made at
// all (an Updater folder that cannot hold its file) lets the pass go on
// unguarded, as before, to fail at its list or its records.
MachinePass take_machine_pass(bool wait_for_other, HANDLE* mutex) {
    *mutex = CreateMutexW(nullptr, FALSE, machine_pass_name);
    if (*mutex == nullptr) {
        // Another account's pass made it, and holds it open.
        return GetLastError() == ERROR_ACCESS_DENIED ? MachinePass::elsewhere
                                                     : MachinePass::unguarded;
    }
    for (;;) {
        // An abandoned lock is taken: its pass ended with its process.
        DWORD taken = WaitForSingleObject(*mutex, wait_for_other ? ORVANE_TICK_MS : 0);
        if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED) return MachinePass::taken;
        if (taken != WAIT_TIMEOUT || !wait_for_other || update_stop_requested != 0) break;
    }
    CloseHandle(*mutex);
    *mutex = nullptr;
    return MachinePass::elsewhere;
}

// A name that is a path, or names a directory, would make the package file
// and its record land outside the install root or its Updater folder. A
// control character is most often the line break that an editor put at the
// end of the list; the server knows no such name, and "Error getting version
// information." at every pass would send an administrator to the network.
bool name_allowed(const char* name) {
    for (const char* c = name; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) < 0x20) return false;
    }
    return std::strpbrk(name, "/\\:") == nullptr && std::strcmp(name, ".") != 0 &&
           std::strcmp(name, "..") != 0;
}

void update_named_package(const char* name, const Policy& policy, bool scheduled) {
    std::printf("%sUpdating %s ...\n", report_prefix(report_information), name);
    log_line(name);
    report_package(name);
    if (!name_allowed(name)) {
        report(-1, -1, "Package name not allowed, skipped.");
        status_end_package(name, package_state_refused());
        return;
    }
    char package_file[path_buffer_size];
    int length = std::snprintf(package_file, sizeof package_file, "%s.zip", name);
    if (length < 0 || length >= path_buffer_size ||
        !package_file_fits(package_file, policy_server(policy))) {
        report(-1, -1, "Package name too long, skipped.");
        status_end_package(name, package_state_refused());
        return;
    }
    if (const std::string passed_over = policy_passed_over(policy, name, scheduled);
        !passed_over.empty()) {
        report(-1, -1, passed_over.c_str());
        status_end_package(name, package_state_passed_over(package_file));
        return;
    }
    PackageResult result;
    update_package(package_file, 1, policy, scheduled, &result);
    status_end_package(name, package_state(package_file, result));
}
}  // namespace

char* module_directory() {
    executable_directory[0] = '\0';
    DWORD length = GetModuleFileNameA(nullptr, executable_directory, path_buffer_size);
    if (length >= path_buffer_size) {
        // A truncated path would name some other directory; use none.
        executable_directory[0] = '\0';
        return executable_directory;
    }
    for (char* end = executable_directory + std::strlen(executable_directory);
         end > executable_directory; --end) {
        if (end[-1] == '/' || end[-1] == '\\') {
            *end = '\0';
            break;
        }
    }
    return executable_directory;
}

void enter_install_root() {
    const char* directory = module_directory();
    if (directory[0] != '\0') {
        _chdir(directory);
        _chdir("..");
    }
}

int run_update_pass(bool wait_for_other, bool scheduled) {
    WaitForSingleObject(update_lock, INFINITE);
    // The service's stop was asked for while this pass waited for the lock:
    // the stop lets its worker through to its end, and a pass begun now
    // would hold up the stop for a whole pass.
    if (update_stop_requested != 0) {
        ReleaseSemaphore(update_lock, 1, nullptr);
        return 0;
    }
    enter_install_root();
    // Two passes at once would write the same files: the second one touches
    // nothing, not even the files set aside, which the first may be listing.
    HANDLE machine_pass = nullptr;
    if (take_machine_pass(wait_for_other, &machine_pass) == MachinePass::elsewhere) {
        std::printf("%sAnother update pass is running.\n", report_prefix(report_warning));
        ReleaseSemaphore(update_lock, 1, nullptr);
        return pass_elsewhere_result;
    }
    auto end_pass = [machine_pass](int result) {
        if (machine_pass != nullptr) {
            ReleaseMutex(machine_pass);
            CloseHandle(machine_pass);
        }
        ReleaseSemaphore(update_lock, 1, nullptr);
        return result;
    };
    // Read afresh, so that a change needs no restart; a policy that is not
    // valid is not half-applied: it would act against what was meant.
    const Policy policy = policy_read();
    status_begin_pass(policy.source, policy.valid, policy.error);
    if (!policy.valid) {
        const std::string message = "Policy not valid: " + policy.error + "; no package updated.";
        report(-1, -1, message.c_str());
        status_end_pass(false);
        return end_pass(-1);
    }
    url_set_max_kbps(policy.max_download_kbps);
    for (const std::string& name : policy.unknown) {
        const std::string message = "Policy name not known, passed over: " + name;
        report(-1, -1, message.c_str());
    }
    if (!policy.update_server_url.empty()) {
        const std::string message =
            "Update server from policy (UpdateServerUrl): " + policy.update_server_url;
        report(-1, -1, message.c_str());
    }
    install_remove_set_aside();
    std::FILE* list = std::fopen(package_list_path, "rt");
    if (list == nullptr) {
        // Not logged, but a pass that updates nothing is a problem.
        std::printf("%sError opening file %s\n", report_prefix(report_warning), package_list_path);
        status_end_pass(false);
        return end_pass(-1);
    }
    char names[path_buffer_size];
    std::size_t read = std::fread(names, 1, path_buffer_size - 2, list);
    if (read > 0) {
        names[read] = '\0';
        char* name = names;
        for (;;) {
            char* space = std::strchr(name, ' ');
            if (space != nullptr) *space = '\0';
            if (*name != '\0') update_named_package(name, policy, scheduled);
            if (space == nullptr) break;
            name = space + 1;
        }
    }
    std::fclose(list);
    report_package(nullptr);
    status_end_pass(true);
    return end_pass(0);
}
