// The level of each message of the update engine, for the Event Log and the
// journal. A new message that tells of a problem gets its row here; one
// without a row is information.
#include <cstring>

#include "report/report.h"

namespace {

// A message has the level of the first row that begins it, so a row may name
// the fixed start of a message that goes on with a name or a figure.
struct LevelRow {
    const char* start;
    ReportLevel level;
};

constexpr LevelRow rows[] = {
    // The installation, the network, the download, the disk: the next pass
    // or a retry may mend it.
    {"ERRORS were encountered while installing", report_warning},
    {"A failed instalation was NOT resumed", report_warning},
    {"Corrupted update received", report_warning},
    {"Error getting version information.", report_warning},
    {"Error downloading file.", report_warning},
    {"Error connecting to Halvex server.", report_warning},
    {"Invalid file received (checksum error)", report_warning},
    {"No version number received.", report_warning},
    {"Version information too long.", report_warning},
    {"Not enough disk space", report_warning},
    {"Package name not allowed", report_warning},
    {"Package name too long", report_warning},
    // A release refused, or a package whose installed version cannot be
    // recorded: someone has to look.
    {"Package signature missing or not valid.", report_error},
    {"Package signature older than the installed release.", report_error},
    {"Package signature not valid:", report_error},
    {"Error writing version information.", report_error},
};

}  // namespace

ReportLevel report_level(const char* message) {
    for (const LevelRow& row : rows) {
        if (std::strncmp(message, row.start, std::strlen(row.start)) == 0) return row.level;
    }
    return report_information;
}
