// Registering and controlling the update service.
#pragma once

#include "platform/win32.h"

int install_service();
void write_description();

// Carries out "start", "stop", "auto", "manual" or "uninstall" on an opened
// service; false when the word is none of them.
bool run_service_command(SC_HANDLE service, const char* word);
