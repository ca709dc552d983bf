// Process-level calls: the running executable's path and the last-error slot.
#include "platform/win32.h"

#include <climits>
#include <cstring>
#include <unistd.h>

namespace {
thread_local DWORD last_error = 0;
}

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD code) { last_error = code; }

// Like Windows: copies at most size - 1 characters and terminates; on a path
// that does not fit it returns size with the text truncated.
DWORD GetModuleFileNameA(HMODULE module, LPSTR path, DWORD size) {
    if (module != nullptr || path == nullptr || size == 0) return 0;
    char resolved[PATH_MAX + 1];
    ssize_t length = readlink("/proc/self/exe", resolved, PATH_MAX);
    if (length < 0) return 0;
    // A file put over the running program since it started leaves the
    // program its name, as on Windows; the kernel marks the old file deleted.
    constexpr char replaced[] = " (deleted)";
    constexpr ssize_t replaced_length = sizeof replaced - 1;
    if (length > replaced_length &&
        std::memcmp(resolved + length - replaced_length, replaced, replaced_length) == 0)
        length -= replaced_length;
    auto needed = static_cast<DWORD>(length);
    if (needed >= size) {
        std::memcpy(path, resolved, size - 1);
        path[size - 1] = '\0';
        return size;
    }
    std::memcpy(path, resolved, needed);
    path[needed] = '\0';
    return needed;
}
