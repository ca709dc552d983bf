// The updater's own executable as an entry of a package: tried once before
// it takes the running program's place, and remembered once it has, so that
// the service can end and be started again as the new program.
#pragma once

#include <string>

// The word that makes the program print the line that identifies its build,
// and the fixed token that line starts with:
//   orvane-autoupdate-selftest version=<version> base-url=<url> keys=<ids>
// ids are the key ids of its trusted release keys as minisign prints them,
// separated by commas, or "none".
constexpr const char* updater_selftest_word = "selftest";
constexpr const char* updater_selftest_token = "orvane-autoupdate-selftest";

// The running build's line, without its line end.
std::string updater_selftest_line();

// True when path (relative to the install root, '/' between its parts) names
// the running program's own file.
bool updater_own_file(const char* path);

// Runs the program at path once with the selftest word, as a console
// program. Null when it is a program for this machine, ended within the
// trial's time with exit status 0, printed its line and trusts one of this
// build's release keys (when this build has any); otherwise the line that
// says which of these it failed.
const char* updater_trial_run(const wchar_t* path);

// Raised once a new executable of the running program is in place.
void updater_mark_replaced();
bool updater_replaced();
