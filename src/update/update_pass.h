// One update pass over the installed-package list.
#pragma once

#include "platform/win32.h"

// Held for the whole of an update pass; created by the process entry.
extern HANDLE update_lock;

constexpr const char* package_list_path = "Updater/installed.packages.lst";

int run_update_pass();

// The running executable's directory with its trailing separator.
char* module_directory();
