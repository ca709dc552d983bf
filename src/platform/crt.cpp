// C-runtime calls under their Windows names.
#include "platform/win32.h"

#include <sys/stat.h>
#include <unistd.h>

int _chdir(const char* path) { return chdir(path); }

int _mkdir(const char* path) { return mkdir(path, 0777); }

int _unlink(const char* path) { return unlink(path); }

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
