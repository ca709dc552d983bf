// Windows refuses to replace or delete a running program's file but lets it
// be renamed: the program goes on from the renamed file, and the new file
// takes the name, so a package whose program runs all day still installs.
// The renamed file is removed by a later pass, or at the next boot when a
// pass found its program still running.
#include "update/install_aside.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace {

// The set-aside files, one name a line, relative to the install root; a '*'
// before the name marks one whose removal at the next boot is asked for
// already. Only files listed here are ever removed: no tree is searched.
constexpr const char* aside_list_path = "Updater/set.aside.lst";
constexpr const char* aside_list_temporary = "Updater/set.aside.lst.new";
// A program may be set aside again before it ended: one name for each time.
constexpr const char* aside_suffixes[] = {".orvane-old", ".orvane-old1", ".orvane-old2",
                                          ".orvane-old3"};
constexpr std::size_t aside_suffix_room = 16;
constexpr std::size_t aside_line_size = 8192 + aside_suffix_room;

// Refused as in use, and a plain file: a folder standing in the target's
// place, a link or a read-only file is refused as before, never moved away.
bool in_use(DWORD reason, const wchar_t* target) {
    constexpr DWORD not_plain = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY |
                                FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT;
    WIN32_FILE_ATTRIBUTE_DATA data;
    return (reason == ERROR_ACCESS_DENIED || reason == ERROR_SHARING_VIOLATION) &&
           GetFileAttributesExW(target, GetFileExInfoStandard, &data) &&
           (data.dwFileAttributes & not_plain) == 0;
}

std::wstring widened(const char* text) {
    std::wstring wide(std::strlen(text) + 1, L'\0');
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(),
                                     static_cast<int>(wide.size()));
    wide.resize(length > 0 ? static_cast<std::size_t>(length - 1) : 0);
    return wide;
}

// Only a name the installer gave is ever removed: one of its suffixes, below
// the install root (the list is a file of that tree, which a package can write).
bool set_aside_name(const char* name) {
    if (name[0] == '/' || name[0] == '\\' || std::strchr(name, ':') != nullptr ||
        std::strstr(name, "..") != nullptr)
        return false;
    for (const char* suffix : aside_suffixes) {
        std::size_t length = std::strlen(name), room = std::strlen(suffix);
        if (length > room && std::strcmp(name + length - room, suffix) == 0) return true;
    }
    return false;
}

void note_set_aside(const std::string& aside) {
    std::FILE* list = std::fopen(aside_list_path, "ab");
    if (list == nullptr) return;  // still removed at the next boot
    std::fprintf(list, "%s\n", aside.c_str());
    std::fclose(list);
}

}  // namespace

bool install_put_in_place(const char* path, const wchar_t* temporary, const wchar_t* target) {
    if (MoveFileExW(temporary, target, MOVEFILE_REPLACE_EXISTING)) return true;
    if (!in_use(GetLastError(), target)) return false;
    for (const char* suffix : aside_suffixes) {
        std::string aside = std::string(path) + suffix;
        std::wstring wide_aside = std::wstring(target) + widened(suffix);
        // Taken by a program set aside earlier that still runs: the next name.
        if (!MoveFileExW(target, wide_aside.c_str(), MOVEFILE_REPLACE_EXISTING)) continue;
        // The next pass removes it; only one that still runs then is left
        // to the next boot, which Windows and fleet tools take for a reboot
        // that is pending.
        if (MoveFileExW(temporary, target, 0)) {
            note_set_aside(aside);
            return true;
        }
        MoveFileExW(wide_aside.c_str(), target, 0);
        break;
    }
    // A file held open without leave to delete it (a program's data file):
    // it cannot be renamed either.
    errno = EACCES;
    return false;
}

bool install_aside_suffix(const char* text, std::size_t length) {
    for (const char* suffix : aside_suffixes) {
        if (std::strlen(suffix) == length && _strnicmp(text, suffix, length) == 0) return true;
    }
    return false;
}

void install_remove_set_aside() {
    std::FILE* list = std::fopen(aside_list_path, "rb");
    if (list == nullptr) return;
    std::vector<std::string> kept;  // as written back, marks included
    char line[aside_line_size];
    while (std::fgets(line, sizeof line, list) != nullptr) {
        std::size_t length = std::strcspn(line, "\n");
        if (line[length] != '\n' && !std::feof(list)) {
            // Longer than any name this list is given: not one of them.
            int c;
            while ((c = std::fgetc(list)) != EOF && c != '\n') {
            }
            continue;
        }
        line[length] = '\0';
        const bool at_boot = line[0] == '*';
        const char* name = line + (at_boot ? 1 : 0);
        if (!set_aside_name(name)) continue;
        std::wstring wide = widened(name);
        if (wide.empty() || _wunlink(wide.c_str()) == 0 || errno == ENOENT) continue;
        // Still running: removed at the next boot unless a later pass can.
        const bool asked = at_boot || MoveFileExW(wide.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        bool listed = false;
        for (const std::string& entry : kept) {
            const std::size_t mark = entry[0] == '*' ? 1 : 0;
            listed = listed || std::strcmp(entry.c_str() + mark, name) == 0;
        }
        if (!listed) kept.push_back((asked ? "*" : "") + std::string(name));
    }
    std::fclose(list);
    if (kept.empty()) {
        _unlink(aside_list_path);
        return;
    }
    std::FILE* rest = std::fopen(aside_list_temporary, "wb");
    if (rest == nullptr) return;
    for (const std::string& entry : kept) std::fprintf(rest, "%s\n", entry.c_str());
    if (std::fclose(rest) == 0) MoveFileExA(aside_list_temporary, aside_list_path, MOVEFILE_REPLACE_EXISTING);
}
