// One update pass over the installed-package list.
#pragma once

#include "platform/win32.h"

// Held for the whole of an update pass; created by the process entry.
extern HANDLE update_lock;

constexpr const char* package_list_path = "Updater/installed.packages.lst";

// Exit status of a `noservice` run that found another process's pass running
// (EX_TEMPFAIL: try again later).
constexpr int pass_elsewhere_result = 75;

// One pass, at most one at a time on the machine. Another process's pass
// running: with wait_for_other, waited for a tick at a time until it ends
// or a stop is requested; without, nothing is done. Either way, when it
// does not run: "Another update pass is running." and pass_elsewhere_result.
// The machine policy is read at its start: one that is not valid updates no
// package (said, and -1). Scheduled: the service's pass, which passes over
// the packages that the policy keeps for manual passes.
int run_update_pass(bool wait_for_other, bool scheduled);

// Makes the install root, the parent of the executable's directory, the
// current directory: every relative path of the product is in it.
void enter_install_root();

// The running executable's directory with its trailing separator.
char* module_directory();
