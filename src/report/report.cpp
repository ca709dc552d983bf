// The update log and the console side of every message, and on the service
// road the Event Log and the journal's priorities.
#include "report/report.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/win32.h"

namespace {

// Per level: the journal's priority prefix (info, warning, err), the Event
// Log's entry type, and the entry's message in the executable's table
// (src/report/event_messages.mc), whose text is the entry's one string.
struct LevelSink {
    const char* prefix;
    WORD event_type;
    DWORD event_id;
};
constexpr LevelSink sinks[] = {
    {"<6>", EVENTLOG_INFORMATION_TYPE, 1},
    {"<4>", EVENTLOG_WARNING_TYPE, 2},
    {"<3>", EVENTLOG_ERROR_TYPE, 3},
};

// Set once by the process entry before any thread starts; read, like the
// rest, by the one thread that runs a pass.
bool service_road = false;
constexpr std::size_t source_size = 256;
wchar_t event_source[source_size];
HANDLE event_log = nullptr;
bool event_log_opened = false;

// Long enough for a package name and a message; a longer entry is cut.
constexpr std::size_t entry_size = 8192;
char package[entry_size / 2];
char entry[entry_size];
// Never more wide characters than bytes, whatever the code page.
wchar_t wide_entry[entry_size];
// The last message about the package named, for the state file.
char last_message[entry_size];

void report_event(ReportLevel level, const char* message) {
    if (!event_log_opened) {
        event_log_opened = true;  // once: a source that cannot be opened stays so
        if (event_source[0] != L'\0') event_log = RegisterEventSourceW(nullptr, event_source);
    }
    if (event_log == nullptr) return;
    if (package[0] != '\0')
        std::snprintf(entry, sizeof entry, "%s: %s", package, message);
    else
        std::snprintf(entry, sizeof entry, "%s", message);
    if (MultiByteToWideChar(CP_ACP, 0, entry, -1, wide_entry, entry_size) == 0) return;
    LPCWSTR strings[] = {wide_entry};
    const LevelSink& sink = sinks[level];
    ReportEventW(event_log, sink.event_type, 0, sink.event_id, nullptr, 1, 0, strings, nullptr);
}

}  // namespace

void log_line(const char* text) {
    std::FILE* log = std::fopen("update.log", "at");
    if (log == nullptr) return;
    std::time_t now = std::time(nullptr);
    const char* stamp = std::ctime(&now);
    char when[64] = "";
    if (stamp != nullptr) {
        std::snprintf(when, sizeof when, "%s", stamp);
        std::size_t length = std::strlen(when);
        if (length > 0) when[length - 1] = '\0';  // ctime ends with a newline
    }
    std::fputs(when, log);
    std::fputs(": ", log);
    std::fputs(text, log);
    std::fputc('\n', log);
    std::fclose(log);
}

int report(int done, int total, const char* message) {
    if (message != nullptr) {
        const ReportLevel level = report_level(message);
        // The leading line end only closes a progress line at a console.
        std::printf(service_road ? "%s%s\n" : "\n%s%s\n", report_prefix(level), message);
        log_line(message);
        std::snprintf(last_message, sizeof last_message, "%s", message);
        if (service_road) report_event(level, message);
        return 0;
    }
    // A collector would keep every redraw, carriage returns and all.
    if (service_road) return 0;
    // The blanks wipe the tail of a longer previous line; the carriage return
    // lets the next progress line overwrite this one.
    std::printf("Read: %i/%i Kb                        \r", done / 1024, total / 1024);
    return 0;
}

void report_service_road(const char* source) {
    service_road = source != nullptr;
    if (!service_road) return;
    if (MultiByteToWideChar(CP_ACP, 0, source, -1, event_source, source_size) == 0)
        event_source[0] = L'\0';
    // Fully buffered output would reach the journal only when the process
    // ends, hours or days after a pass. Only before the first output.
    static bool line_buffered = false;
    if (!line_buffered) std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    line_buffered = true;
}

const char* report_prefix(ReportLevel level) { return service_road ? sinks[level].prefix : ""; }

void report_package(const char* name) {
    std::snprintf(package, sizeof package, "%s", name != nullptr ? name : "");
    last_message[0] = '\0';
}

const char* report_last_message() { return last_message; }
