// Console messages, the download progress line and the update log, and on the
// service road the Event Log and the journal's priorities.
#pragma once

// The reporting callback of updates and downloads: bytes done, bytes expected
// and a message (or none); a nonzero result asks a download to stop.
using ReportFn = int (*)(int done, int total, const char* message);

// How much a message matters to an administrator who watches many machines:
// the type of its Event Log entry and the priority of its journal line.
enum ReportLevel { report_information, report_warning, report_error };

// The level of one of the update engine's messages (src/report/levels.cpp).
ReportLevel report_level(const char* message);

// Appends "<ctime stamp>: <text>\n" to update.log in the current directory.
void log_line(const char* text);

// Prints and logs a message, or redraws the progress line; always returns 0.
int report(int done, int total, const char* message);

// The service road, called by the entry before anything is printed: standard
// output goes to a log collector (the journal), not to a person at a console.
// From now on every line leaves as soon as it is complete, messages stand on
// their own lines with the priority prefix the journal reads, the progress
// line is not drawn, and each message is also reported to the Event Log under
// event_source. Without a source, the console road: nothing of that.
void report_service_road(const char* event_source);

// What leads a line of the given level on standard output: the journal's
// priority prefix ("<6>", "<4>", "<3>") on the service road, nothing on the
// console road.
const char* report_prefix(ReportLevel level);

// The package that the following messages are about: the Event Log entries
// read "<package>: <message>".
void report_package(const char* name);

// The last message reported since report_package ("" when none).
const char* report_last_message();
