// Registering and controlling the update service.
#pragma once

#include "platform/win32.h"

int install_service();
void write_description();

// Carries out "start", "stop", "auto", "manual" or "uninstall" on an opened
// service; false when the word is none of them.
bool run_service_command(SC_HANDLE service, const char* word);

// "check": asks the running service for an update pass now (its policy is
// read afresh for it). 0 when the service took the request, 1 when it is not
// running or did not take it (said on the console).
int check_service(SC_HANDLE service);
