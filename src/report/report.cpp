// The update log and the console side of every message.
#include "report/report.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {
// Set once by the process entry before any thread starts, read by the pass.
bool line_by_line = false;
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
        // The leading line end only closes a progress line at a console.
        std::printf(line_by_line ? "%s\n" : "\n%s\n", message);
        log_line(message);
        return 0;
    }
    // A collector would keep every redraw, carriage returns and all.
    if (line_by_line) return 0;
    // The blanks wipe the tail of a longer previous line; the carriage return
    // lets the next progress line overwrite this one.
    std::printf("Read: %i/%i Kb                        \r", done / 1024, total / 1024);
    return 0;
}

void report_line_by_line() {
    line_by_line = true;
    // Fully buffered output would reach the journal only when the process
    // ends, hours or days after a pass.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}
