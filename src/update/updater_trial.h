// The updater's own executable as an entry of a package: tried once before
// it takes the running program's place, and remembered once it has, so that
// the service can end and be started again as the new program.
#pragma once

// What the program prints when started with no option word and no service
// manager to run under; %s is the name it was started by.
constexpr const char* usage_text =
    "Usage : %s [option]\nWhere option is :\n\tinstall - installs service\n\tuninstall - "
    "uninstalls service\n\tauto - starts service automatically\n\tmanual - starts service "
    "manually\n\tstart - starts service\n\tstop - stops service\n\tnoservice - runs Orvane "
    "Update Service without using Windows Services\n";

// True when path (relative to the install root, '/' between its parts) names
// the running program's own file.
bool updater_own_file(const char* path);

// Runs the program at path once, as a console program without an option
// word; true when it printed the usage text and ended within the trial's time.
bool updater_trial_run(const wchar_t* path);

// Raised once a new executable of the running program is in place.
void updater_mark_replaced();
bool updater_replaced();
