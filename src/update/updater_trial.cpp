// A new updater is run once before it replaces the running one: an archive
// that carries a cut-short file, one built for another machine or a script
// would otherwise leave a machine with no updater at its next start.
#include "update/updater_trial.h"

#include <atomic>
#include <cstring>
#include <string>

#include "platform/win32.h"
#include "update/limits.h"

namespace {

// The program has this long to print its usage text and end.
constexpr DWORD trial_wait_ms = 50;
constexpr int trial_waits = 200;  // 10 s
// A program that would not end is ended; this long is waited for that.
constexpr DWORD trial_kill_wait_ms = 5000;
// More output than the usage text and banner need is read and let go.
constexpr std::size_t trial_output_limit = 8192;

std::atomic<bool> replaced{false};

// The running program's file relative to the install root (the parent of
// its folder): "<folder>/<file>", read once, before anything replaced it.
const char* own_relative_path() {
    static char relative[path_buffer_size] = "";
    static bool known = false;
    if (known) return relative;
    known = true;
    char module[path_buffer_size];
    DWORD length = GetModuleFileNameA(nullptr, module, path_buffer_size);
    if (length == 0 || length >= path_buffer_size) return relative;
    const char* parts[2] = {nullptr, nullptr};
    for (const char* p = module; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            parts[0] = parts[1];
            parts[1] = p + 1;
        }
    }
    if (parts[0] == nullptr) return relative;
    std::strcpy(relative, parts[0]);
    for (char* p = relative; *p != '\0'; ++p) {
        if (*p == '\\') *p = '/';
    }
    return relative;
}

// The next part of a path, with "." and empty parts passed over; Windows
// also drops the dots and blanks at the end of a name. False at the end.
bool next_part(const char*& p, std::string& part) {
    for (;;) {
        while (*p == '/') ++p;
        if (*p == '\0') return false;
        const char* start = p;
        while (*p != '\0' && *p != '/') ++p;
        part.assign(start, p);
        while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
        if (!part.empty()) return true;
    }
}

// Output as the usage text, whatever the program was called: its line ends
// may be CR LF, and the name it was started by may be written out in full.
bool shows_usage(std::string output) {
    std::string plain;
    for (char c : output) {
        if (c != '\r') plain += c;
    }
    std::string text = usage_text;
    std::size_t name_at = text.find("%s");
    std::size_t head = plain.find(text.substr(0, name_at));
    return head != std::string::npos &&
           plain.find(text.substr(name_at + 2), head + name_at) != std::string::npos;
}

// What the pipe holds now, without waiting; a program that writes without
// end is read in bounded pieces between the waits for its end.
void take_output(HANDLE pipe, std::string& output) {
    char piece[1024];
    DWORD available = 0;
    for (int pieces = 0; pieces < 64 &&
                         PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) &&
                         available > 0;
         ++pieces) {
        DWORD got = 0;
        if (!ReadFile(pipe, piece, available < sizeof piece ? available : sizeof piece, &got,
                      nullptr) || got == 0)
            return;
        std::size_t room = trial_output_limit - output.size();
        output.append(piece, got < room ? got : room);
    }
}

}  // namespace

bool updater_own_file(const char* path) {
    const char* own = own_relative_path();
    if (own[0] == '\0') return false;
    std::string mine, theirs;
    for (;;) {
        bool more_mine = next_part(own, mine);
        bool more_theirs = next_part(path, theirs);
        if (!more_mine || !more_theirs) return more_mine == more_theirs;
        if (_stricmp(mine.c_str(), theirs.c_str()) != 0) return false;
    }
}

bool updater_trial_run(const wchar_t* path) {
    SECURITY_ATTRIBUTES inherited{};
    inherited.nLength = sizeof inherited;
    inherited.bInheritHandle = TRUE;
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    if (!CreatePipe(&reader, &writer, &inherited, 0)) return false;
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer;
    startup.hStdError = writer;
    std::wstring command = std::wstring(L"\"") + path + L"\"";
    PROCESS_INFORMATION child{};
    BOOL started = CreateProcessW(path, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                  nullptr, nullptr, &startup, &child);
    CloseHandle(writer);
    if (!started) {
        CloseHandle(reader);
        return false;
    }
    std::string output;
    bool ended = false;
    for (int wait = 0; wait < trial_waits && !ended; ++wait) {
        ended = WaitForSingleObject(child.hProcess, trial_wait_ms) == WAIT_OBJECT_0;
        take_output(reader, output);
    }
    if (!ended) {
        TerminateProcess(child.hProcess, 1);
        WaitForSingleObject(child.hProcess, trial_kill_wait_ms);
    }
    if (child.hThread != nullptr) CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    CloseHandle(reader);
    return ended && shows_usage(output);
}

void updater_mark_replaced() { replaced = true; }

bool updater_replaced() { return replaced; }
