// A recording double of the service manager, registry and dispatcher calls
// (and of the executable's path), linked into the tests in place of the
// platform's own. Every call is recorded as one line of text, in order.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/win32.h"

struct ScmDouble {
    // What the calls answer.
    bool manager_fails = false;
    bool open_fails = false;
    bool create_fails = false;
    bool start_fails = false;
    DWORD control_error = 0;  // ControlService fails with it
    bool registry_fails = false;
    bool module_fails = false;
    BOOL dispatcher_result = FALSE;
    bool handler_fails = false;
    // SetServiceStatus fails for reports of these states.
    std::vector<DWORD> failing_states;
    // SetServiceStatus fails for the n-th report (counted from 1).
    std::size_t failing_report = 0;
    std::string module_path = "/opt/orvane/bin/orvane-autoupdate";

    // What was asked.
    std::vector<std::string> calls;
    const SERVICE_TABLE_ENTRYA* dispatched_table = nullptr;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    struct Report {
        SERVICE_STATUS status;
        bool lock_held;  // update_lock was taken while it was made
        bool worker_ended;  // no worker thread was running then
    };
    std::vector<Report> reports;
};

// The one double; reset it at the start of every test. Its mutex guards it
// against the service's threads.
extern ScmDouble scm;
extern std::mutex scm_mutex;
void scm_reset();

// Fake handles the double hands out.
inline SC_HANDLE const double_manager = reinterpret_cast<SC_HANDLE>(0x1000);
inline SC_HANDLE const double_opened_service = reinterpret_cast<SC_HANDLE>(0x2000);
inline SC_HANDLE const double_created_service = reinterpret_cast<SC_HANDLE>(0x3000);
inline HKEY const double_key = reinterpret_cast<HKEY>(0x4000);
inline SERVICE_STATUS_HANDLE const double_status_handle =
    reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5000);
