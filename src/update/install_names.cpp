// Entry names as paths of the install tree, and the names the installer keeps for itself.
#include "update/install_names.h"

#include <cerrno>
#include <cstring>
#include <cwchar>

#include "platform/win32.h"
#include "update/install_aside.h"

namespace {

constexpr char temporary_suffix_narrow[] = ".orvane-new";

// A name the installer gives its own files beside a target: the new file
// before its rename, or a running file set aside. An entry of that name would
// take another entry's new file's place at the renames, so the other file
// would get its content. Compared as Windows names them: any case, dots and
// blanks at the end dropped.
bool install_name_reserved(const char* name) {
    std::size_t end = std::strlen(name);
    while (end > 0 && (name[end - 1] == '.' || name[end - 1] == ' ')) --end;
    std::size_t dot = end;
    while (dot > 0 && name[dot - 1] != '.' && !is_separator(name[dot - 1])) --dot;
    if (dot == 0 || name[dot - 1] != '.') return false;
    const char* suffix = name + dot - 1;
    const std::size_t length = end - (dot - 1);
    return (length == sizeof temporary_suffix_narrow - 1 &&
            _strnicmp(suffix, temporary_suffix_narrow, length) == 0) ||
           install_aside_suffix(suffix, length);
}

}  // namespace

bool install_name_unsafe(const char* name) {
    if (is_separator(name[0]) || install_name_reserved(name)) return true;
    if (std::strchr(name, ':') != nullptr) return true;
    const char* component = name;
    for (const char* p = name;; ++p) {
        if (*p == '\0' || is_separator(*p)) {
            if (p - component == 2 && component[0] == '.' && component[1] == '.') return true;
            if (*p == '\0') return false;
            component = p + 1;
        }
    }
}

void install_path_of(const char* name, char* path) {
    std::size_t length = 0;
    for (; name[length] != '\0'; ++length) {
        path[length] = is_separator(name[length]) ? '/' : name[length];
    }
    path[length] = '\0';
}

bool install_wide_name(const char* path, wchar_t* wide) {
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide,
                               static_cast<int>(prefix_buffer_size)) > 0;
}

bool install_wide_names(const char* path, wchar_t* target, wchar_t* temporary) {
    if (path[0] == '\0') {
        errno = ENOENT;
        return false;
    }
    if (!install_wide_name(path, target)) {
        errno = EILSEQ;
        return false;
    }
    std::wcscpy(temporary, target);
    std::wcscat(temporary, temporary_suffix);
    return true;
}

std::wstring install_file_key(const wchar_t* path) {
    std::wstring key;
    for (const wchar_t* p = path; *p != L'\0';) {
        const wchar_t* start = p;
        while (*p != L'\0' && *p != L'/') ++p;
        std::wstring part(start, p);
        if (*p == L'/') ++p;
        while (file_names_fold_case && !part.empty() && (part.back() == L'.' || part.back() == L' '))
            part.pop_back();
        if (part.empty() || part == L".") continue;
        key += L'/';
        key += part;
    }
    return key;
}


bool InstallFileKeyOrder::operator()(const std::wstring& a, const std::wstring& b) const {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), file_names_fold_case) == CSTR_LESS_THAN;
}

bool install_temporary_close(std::FILE* file, const wchar_t* target) {
    const bool written = std::fflush(file) == 0 &&
                         file_keep_attributes(_fileno(file), target) == 0 &&
                         file_flush_deferred(_fileno(file)) == 0;
    return std::fclose(file) == 0 && written;
}

void install_remove_temporary(const char* path) {
    wchar_t target[prefix_buffer_size];
    wchar_t temporary[temporary_buffer_size];
    if (install_wide_names(path, target, temporary)) _wunlink(temporary);
}
