// C-runtime calls under their Windows names.
#include "platform/win32.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/wide_path.h"

int _chdir(const char* path) { return chdir(path); }

int _mkdir(const char* path) { return mkdir(path, 0777); }

int _unlink(const char* path) { return unlink(path); }

int _fileno(std::FILE* file) { return fileno(file); }

int _commit(int fd) { return fsync(fd); }

namespace {
// Decodes one UTF-8 sequence at text; 0 for a malformed, overlong or
// surrogate sequence, as Windows refuses it under MB_ERR_INVALID_CHARS.
int utf8_decode(const unsigned char* text, char32_t* point) {
    int length = text[0] < 0x80    ? 1
                 : text[0] >= 0xF0 ? 4
                 : text[0] >= 0xE0 ? 3
                 : text[0] >= 0xC2 ? 2
                                   : 0;
    if (length == 0 || text[0] > 0xF4) return 0;
    char32_t value = length == 1 ? text[0] : text[0] & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) return 0;
        value = value << 6 | (text[i] & 0x3F);
    }
    static constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < least[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *point = value;
    return length;
}

}  // namespace

// The wide path back in the UTF-8 that this system's file calls take.
std::string wide_path_utf8(const wchar_t* wide) {
    std::string text;
    for (; *wide != 0; ++wide) {
        auto c = static_cast<char32_t>(*wide);
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else if (c < 0x800) {
            text += {static_cast<char>(0xC0 | c >> 6), static_cast<char>(0x80 | (c & 0x3F))};
        } else if (c < 0x10000) {
            text += {static_cast<char>(0xE0 | c >> 12), static_cast<char>(0x80 | (c >> 6 & 0x3F)),
                     static_cast<char>(0x80 | (c & 0x3F))};
        } else {
            text += {static_cast<char>(0xF0 | c >> 18), static_cast<char>(0x80 | (c >> 12 & 0x3F)),
                     static_cast<char>(0x80 | (c >> 6 & 0x3F)),
                     static_cast<char>(0x80 | (c & 0x3F))};
        }
    }
    return text;
}
// UTF-8 (the system's code page here too), with length -1 (a terminated
// text), as the updater calls it. Returns the wide characters written, terminator included, or 0.
int MultiByteToWideChar(unsigned code_page, DWORD flags, LPCSTR text, int length, wchar_t* wide,
                        int wide_length) {
    if ((code_page != CP_UTF8 && code_page != CP_ACP) || length != -1) return 0;
    auto* p = reinterpret_cast<const unsigned char*>(text);
    for (int written = 0; written < wide_length; ++written) {
        char32_t point = 0;
        int size = *p == 0 ? 1 : utf8_decode(p, &point);
        if (size == 0) {
            if ((flags & MB_ERR_INVALID_CHARS) != 0) return 0;
            // Without the flag a malformed byte is replaced, as Windows does.
            size = 1;
            point = 0xFFFD;
        }
        wide[written] = static_cast<wchar_t>(point);
        if (*p == 0) return written + 1;
        p += size;
    }
    return 0;  // no room
}

int CompareStringOrdinal(const wchar_t* first, int first_length, const wchar_t* second,
                         int second_length, BOOL ignore_case) {
    const std::size_t a = first_length < 0 ? std::wcslen(first) : std::size_t(first_length);
    const std::size_t b = second_length < 0 ? std::wcslen(second) : std::size_t(second_length);
    for (std::size_t i = 0; i < a && i < b; ++i) {
        const wint_t x = ignore_case ? std::towupper(first[i]) : wint_t(first[i]);
        const wint_t y = ignore_case ? std::towupper(second[i]) : wint_t(second[i]);
        if (x != y) return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    return a == b ? CSTR_EQUAL : a < b ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

// UTF-8 again, with wide_length -1 (a terminated text) and no default
// character, as the updater calls it. Returns the bytes written, terminator
// included, or 0 when they do not fit.
int WideCharToMultiByte(unsigned code_page, DWORD, LPCWSTR wide, int wide_length, LPSTR text,
                        int length, LPCSTR default_char, BOOL* used_default_char) {
    if ((code_page != CP_UTF8 && code_page != CP_ACP) || wide_length != -1 ||
        default_char != nullptr || used_default_char != nullptr || length <= 0)
        return 0;
    std::string utf8 = wide_path_utf8(wide);
    if (utf8.size() >= static_cast<std::size_t>(length)) return 0;
    std::memcpy(text, utf8.c_str(), utf8.size() + 1);
    return static_cast<int>(utf8.size() + 1);
}

std::FILE* _wfopen(const wchar_t* path, const wchar_t* mode) {
    return std::fopen(wide_path_utf8(path).c_str(), wide_path_utf8(mode).c_str());
}

int _wmkdir(const wchar_t* path) { return mkdir(wide_path_utf8(path).c_str(), 0777); }

int _wrmdir(const wchar_t* path) { return rmdir(wide_path_utf8(path).c_str()); }

int _wunlink(const wchar_t* path) { return unlink(wide_path_utf8(path).c_str()); }

namespace {
// A rename is on disk once the directory that names the file is: Windows'
// write-through flag waits for that, here an fsync of the directory does.
bool flush_directory_of(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool flushed = fsync(fd) == 0;
    close(fd);
    return flushed;
}
}  // namespace

// rename() replaces an existing target in one step, as the flag asks; without
// the flag an existing target is refused, as on Windows. A running program
// keeps the file it was started from, so a file is never refused for being
// in use: no failure here says access denied or sharing violation, the
// reasons for which the installer would set a running file aside. There is
// no removal at the next boot.
BOOL MoveFileExA(LPCSTR existing, LPCSTR replacement, DWORD flags) {
    constexpr DWORD error_gen_failure = 31;
    if (replacement == nullptr || (flags & MOVEFILE_DELAY_UNTIL_REBOOT) != 0) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    struct stat target;
    bool moved = ((flags & MOVEFILE_REPLACE_EXISTING) != 0 || stat(replacement, &target) != 0) &&
                 std::rename(existing, replacement) == 0 &&
                 ((flags & MOVEFILE_WRITE_THROUGH) == 0 || flush_directory_of(replacement));
    if (!moved) SetLastError(error_gen_failure);
    return moved ? TRUE : FALSE;
}

BOOL MoveFileExW(const wchar_t* existing, const wchar_t* replacement, DWORD flags) {
    if (replacement == nullptr) return MoveFileExA(wide_path_utf8(existing).c_str(), nullptr, flags);
    return MoveFileExA(wide_path_utf8(existing).c_str(), wide_path_utf8(replacement).c_str(),
                       flags);
}

// Case folding of ASCII letters only, as in the "C" locale, over at most
// count characters.
int _strnicmp(const char* a, const char* b, std::size_t count) {
    auto fold = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
    auto* x = reinterpret_cast<const unsigned char*>(a);
    auto* y = reinterpret_cast<const unsigned char*>(b);
    for (; count > 0; --count, ++x, ++y) {
        int difference = fold(*x) - fold(*y);
        if (difference != 0 || *x == 0) return difference;
    }
    return 0;
}

int _stricmp(const char* a, const char* b) { return _strnicmp(a, b, static_cast<std::size_t>(-1)); }
