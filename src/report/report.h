// Console messages, the download progress line and the update log.
#pragma once

// The reporting callback of updates and downloads: bytes done, bytes expected
// and a message (or none); a nonzero result asks a download to stop.
using ReportFn = int (*)(int done, int total, const char* message);

// Appends "<ctime stamp>: <text>\n" to update.log in the current directory.
void log_line(const char* text);

// Prints and logs a message, or redraws the progress line; always returns 0.
int report(int done, int total, const char* message);

// The service's output: standard output goes to a log collector (the
// journal), not to a person at a console. From now on every line leaves
// as soon as it is complete, messages stand on their own lines and the
// progress line is not drawn. Called before anything is printed.
void report_line_by_line();
