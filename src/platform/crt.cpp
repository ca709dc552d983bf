// C-runtime calls under their Windows names.
#include "platform/win32.h"

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

int _chdir(const char* path) { return chdir(path); }

int _mkdir(const char* path) { return mkdir(path, 0777); }

int _unlink(const char* path) { return unlink(path); }

// rename() replaces an existing target in one step, as the flag asks; without
// the flag an existing target is refused, as on Windows.
BOOL MoveFileExA(LPCSTR existing, LPCSTR replacement, DWORD flags) {
    struct stat target;
    if ((flags & MOVEFILE_REPLACE_EXISTING) == 0 && stat(replacement, &target) == 0) return FALSE;
    return std::rename(existing, replacement) == 0 ? TRUE : FALSE;
}

// Case folding of ASCII letters only, as in the "C" locale.
int _stricmp(const char* a, const char* b) {
    auto fold = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
    auto* x = reinterpret_cast<const unsigned char*>(a);
    auto* y = reinterpret_cast<const unsigned char*>(b);
    for (;; ++x, ++y) {
        int difference = fold(*x) - fold(*y);
        if (difference != 0 || *x == 0) return difference;
    }
}
