// A new updater is run once before it replaces the running one: an archive
// that carries a cut-short file, one built for another machine, a script or
// a build that trusts none of this one's release keys would otherwise leave
// a machine with no updater, or one that installs nothing, at its next start.
#include "update/updater_trial.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "orvane_config.h"
#include "platform/win32.h"
#include "report/report.h"
#include "transfer/signature.h"
#include "update/limits.h"
#include "update/package_update.h"

namespace {

// The program has this long to print its line and end.
constexpr DWORD trial_wait_ms = 50;
constexpr int trial_waits = 200;  // 10 s
// A program that would not end is ended; this long is waited for that.
constexpr DWORD trial_kill_wait_ms = 5000;
// More output than the banner and the line need is read and let go.
constexpr std::size_t trial_output_limit = 8192;
// The first bytes of a program: enough for an ELF header, and for a PE
// file's DOS stub and the start of its optional header.
constexpr std::size_t program_head_size = 4096;

// The refusals, as the installer's line after "Error writing <entry>" says them.
constexpr const char* trial_foreign = "The new updater is not a program for this machine";
constexpr const char* trial_not_started = "The new updater did not start";
constexpr const char* trial_not_ended = "The new updater did not end within 10 seconds";
constexpr const char* trial_unidentified = "The new updater did not identify itself";
constexpr const char* trial_untrusting =
    "The new updater trusts none of this updater's release keys";

std::atomic<bool> replaced{false};

// What makes a file a program of the running one's kind: ELF or PE, its word
// size, byte order and machine, and for PE its subsystem (console or not).
// All zero for anything else, a library included.
struct ProgramKind {
    unsigned format = 0;  // 1 ELF, 2 PE
    unsigned width = 0;   // ELF class, PE optional header magic
    unsigned order = 0;   // ELF data encoding
    unsigned machine = 0;
    unsigned subsystem = 0;
    bool operator==(const ProgramKind&) const = default;
};

unsigned little16(const unsigned char* p) { return p[0] | p[1] << 8u; }

ProgramKind program_kind(std::FILE* file) {
    unsigned char head[program_head_size];
    const std::size_t n = file != nullptr ? std::fread(head, 1, sizeof head, file) : 0;
    ProgramKind kind;
    if (n >= 20 && std::memcmp(head, "\x7f" "ELF", 4) == 0 && (head[4] == 1 || head[4] == 2) &&
        (head[5] == 1 || head[5] == 2)) {
        const bool little = head[5] == 1;
        const unsigned type = little ? little16(head + 16) : head[16] << 8u | head[17];
        const unsigned machine = little ? little16(head + 18) : head[18] << 8u | head[19];
        if (type == 2 || type == 3) kind = {1, head[4], head[5], machine, 0};  // EXEC, DYN
    } else if (n >= 0x40 && head[0] == 'M' && head[1] == 'Z') {
        const std::size_t pe = little16(head + 0x3C) | std::size_t{little16(head + 0x3E)} << 16;
        // The signature, the file header and the optional header up to its subsystem.
        if (n >= 94 && pe <= n - 94 && std::memcmp(head + pe, "PE\0\0", 4) == 0) {
            const unsigned characteristics = little16(head + pe + 22);
            const bool executable = (characteristics & 0x0002) != 0;  // IMAGE_FILE_EXECUTABLE_IMAGE
            const bool library = (characteristics & 0x2000) != 0;     // IMAGE_FILE_DLL
            if (executable && !library)
                kind = {2, little16(head + pe + 24), 0, little16(head + pe + 4),
                        little16(head + pe + 92)};
        }
    }
    return kind;
}

// The running program's file: its path relative to the install root and
// its kind, read once, before anything replaced it.
struct OwnFile {
    char relative[path_buffer_size] = "";
    ProgramKind kind;
};

// The module's path relative to the install root (the parent of its
// folder): "<folder>/<file>", in UTF-8 as entry names are, and with every
// short (8.3) name written out in full: a service installed through a short
// path is started by it, and a package names the file by its long name.
void own_relative_path(const char* module, char* relative) {
    std::vector<wchar_t> wide(path_buffer_size);
    std::vector<wchar_t> full(path_buffer_size);
    if (MultiByteToWideChar(CP_ACP, 0, module, -1, wide.data(), path_buffer_size) == 0) return;
    DWORD length = GetLongPathNameW(wide.data(), full.data(), path_buffer_size);
    const wchar_t* chosen = length > 0 && length < path_buffer_size ? full.data() : wide.data();
    char path[path_buffer_size];
    if (WideCharToMultiByte(CP_UTF8, 0, chosen, -1, path, path_buffer_size, nullptr, nullptr) == 0)
        return;
    const char* parts[2] = {nullptr, nullptr};
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            parts[0] = parts[1];
            parts[1] = p + 1;
        }
    }
    if (parts[0] == nullptr) return;
    std::strcpy(relative, parts[0]);
    for (char* p = relative; *p != '\0'; ++p) {
        if (*p == '\\') *p = '/';
    }
}

const OwnFile& own_file() {
    static OwnFile own;
    static bool known = false;
    if (known) return own;
    known = true;
    char module[path_buffer_size];
    DWORD length = GetModuleFileNameA(nullptr, module, path_buffer_size);
    if (length == 0 || length >= path_buffer_size) return own;
    std::FILE* file = std::fopen(module, "rb");
    own.kind = program_kind(file);
    if (file != nullptr) std::fclose(file);
    own_relative_path(module, own.relative);
    return own;
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

// The key ids of keys (minisign public keys separated by blanks).
std::vector<std::string> key_ids(const char* keys) {
    std::vector<std::string> ids;
    unsigned char key[signature_key_size];
    char id[17];
    while (signature_next_key(&keys, key)) {
        signature_key_id_text(key, id);
        ids.emplace_back(id);
    }
    return ids;
}

// What a selftest line says.
struct Identity {
    std::string version;
    std::string base_url;
    std::vector<std::string> key_ids;
};

// The value of field "<name>=<value>": at least one printable character, no
// blank.
bool field_value(const std::string& field, const char* name, std::string* value) {
    const std::size_t length = std::strlen(name);
    if (field.size() <= length + 1 || field.compare(0, length, name) != 0 || field[length] != '=')
        return false;
    for (std::size_t k = length + 1; k < field.size(); ++k) {
        if (field[k] <= ' ' || field[k] > '~') return false;
    }
    *value = field.substr(length + 1);
    return true;
}

bool key_id_text(const std::string& id) {
    return id.size() == 16 && id.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// The line after the token's, whole (its line end read too): exactly the
// three fields, the key ids "none" or ids separated by commas.
bool identity_fields(const std::string& rest, Identity* identity) {
    std::vector<std::string> fields;
    for (std::size_t start = 0;;) {
        const std::size_t blank = rest.find(' ', start);
        fields.push_back(rest.substr(start, blank == std::string::npos ? blank : blank - start));
        if (blank == std::string::npos) break;
        start = blank + 1;
    }
    std::string keys;
    if (fields.size() != 3 || !field_value(fields[0], "version", &identity->version) ||
        !field_value(fields[1], "base-url", &identity->base_url) ||
        !field_value(fields[2], "keys", &keys))
        return false;
    if (keys == "none") return true;
    for (std::size_t start = 0;;) {
        const std::size_t comma = keys.find(',', start);
        identity->key_ids.push_back(
            keys.substr(start, comma == std::string::npos ? comma : comma - start));
        if (!key_id_text(identity->key_ids.back())) return false;
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// The first line of the output that starts with the token; its line ends
// may be CR LF.
bool identity_parse(const std::string& output, Identity* identity) {
    const std::string lead = std::string(updater_selftest_token) + " ";
    for (std::size_t start = 0; start < output.size();) {
        const std::size_t end = output.find('\n', start);
        if (end == std::string::npos) return false;  // cut short: not the whole line
        std::string line = output.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, lead.size(), lead) == 0)
            return identity_fields(line.substr(lead.size()), identity);
    }
    return false;
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

// Runs the program at path with the selftest word and keeps what it prints.
// Null when it ended within the trial's time with exit status 0.
const char* trial_selftest(const wchar_t* path, std::string& output) {
    SECURITY_ATTRIBUTES inherited{};
    inherited.nLength = sizeof inherited;
    inherited.bInheritHandle = TRUE;
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    if (!CreatePipe(&reader, &writer, &inherited, 0)) return trial_not_started;
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer;
    startup.hStdError = writer;
    std::wstring command = std::wstring(L"\"") + path + L"\" ";
    for (const char* c = updater_selftest_word; *c != '\0'; ++c) command += static_cast<wchar_t>(*c);
    PROCESS_INFORMATION child{};
    BOOL started = CreateProcessW(path, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                  nullptr, nullptr, &startup, &child);
    CloseHandle(writer);
    if (!started) {
        CloseHandle(reader);
        return trial_not_started;
    }
    bool ended = false;
    for (int wait = 0; wait < trial_waits && !ended; ++wait) {
        ended = WaitForSingleObject(child.hProcess, trial_wait_ms) == WAIT_OBJECT_0;
        take_output(reader, output);
    }
    if (!ended) {
        TerminateProcess(child.hProcess, 1);
        WaitForSingleObject(child.hProcess, trial_kill_wait_ms);
    }
    DWORD status = STILL_ACTIVE;
    if (ended && !GetExitCodeProcess(child.hProcess, &status)) status = STILL_ACTIVE;
    if (child.hThread != nullptr) CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    CloseHandle(reader);
    if (!ended) return trial_not_ended;
    return status == 0 ? nullptr : trial_not_started;
}

}  // namespace

std::string updater_selftest_line() {
    std::string ids;
    for (const std::string& id : key_ids(update_signing_keys())) ids += (ids.empty() ? "" : ",") + id;
    if (ids.empty()) ids = "none";
    // The token is printed from its one text, so that it is the same bytes
    // in every build.
    constexpr const char* format = "%s version=%s base-url=%s keys=%s";
    const char* url = update_base_url();
    int size = std::snprintf(nullptr, 0, format, updater_selftest_token, ORVANE_VERSION, url,
                             ids.c_str());
    std::string line(static_cast<std::size_t>(size > 0 ? size : 0) + 1, '\0');
    std::snprintf(line.data(), line.size(), format, updater_selftest_token, ORVANE_VERSION, url,
                  ids.c_str());
    line.pop_back();
    return line;
}

bool updater_own_file(const char* path) {
    const char* own = own_file().relative;
    if (own[0] == '\0') return false;
    std::string mine, theirs;
    for (;;) {
        bool more_mine = next_part(own, mine);
        bool more_theirs = next_part(path, theirs);
        if (!more_mine || !more_theirs) return more_mine == more_theirs;
        if (_stricmp(mine.c_str(), theirs.c_str()) != 0) return false;
    }
}

const char* updater_trial_run(const wchar_t* path) {
    std::FILE* file = _wfopen(path, L"rb");
    const ProgramKind kind = program_kind(file);
    if (file != nullptr) std::fclose(file);
    if (kind.format == 0 || !(kind == own_file().kind)) return trial_foreign;
    std::string output;
    if (const char* failed = trial_selftest(path, output)) return failed;
    Identity identity;
    if (!identity_parse(output, &identity)) return trial_unidentified;
    // A build that installs only signed releases hands over only to one that
    // still trusts one of its keys: a key rollover ships both keys first.
    const std::vector<std::string> own_ids = key_ids(update_signing_keys());
    bool shared = own_ids.empty();
    for (const std::string& id : identity.key_ids) {
        for (const std::string& own : own_ids) shared = shared || id == own;
    }
    if (!shared) return trial_untrusting;
    if (identity.base_url != update_base_url()) {
        const std::string message =
            "The new updater uses the update server " + identity.base_url + ".";
        report(-1, -1, message.c_str());
    }
    return nullptr;
}

void updater_mark_replaced() { replaced = true; }

bool updater_replaced() { return replaced; }
