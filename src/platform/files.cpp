// Durable writes of many files at once: the stand-ins for what Windows does
// with a flush per file; free space, file attributes and long names.
#include "platform/win32.h"

#include <cerrno>
#include <cwchar>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/wide_path.h"

int file_write_out(int fd) { return sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE); }

// Nothing yet: the one flush of the file system that follows writes the file.
// Starting each file's write-out here held the extraction up longer than it
// saved: the disk takes many small files best in the file system's own order
// (measured, bench/README.md).
int file_flush_deferred(int) { return 0; }

int file_flush_volume(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    int result = syncfs(fd);
    close(fd);
    return result;
}

int file_keep_attributes(int fd, const wchar_t* target) {
    struct stat old;
    if (stat(wide_path_utf8(target).c_str(), &old) != 0) return 0;  // a new file
    // The bits first: once the file is another owner's, a service that may
    // give files away but holds no CAP_FOWNER (the hardened unit) may no
    // longer set them. Only a service running as root may give a file to
    // another owner.
    if (fchmod(fd, old.st_mode & 07777) != 0) return -1;
    if (fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) return -1;
    return 0;
}

// What an unprivileged writer may still take, as Windows counts the caller's
// share: the blocks reserved for root are not counted on.
BOOL GetDiskFreeSpaceExW(const wchar_t* directory, PULARGE_INTEGER free_to_caller,
                         PULARGE_INTEGER total, PULARGE_INTEGER total_free) {
    struct statvfs volume;
    if (statvfs(wide_path_utf8(directory).c_str(), &volume) != 0) return FALSE;
    if (free_to_caller != nullptr) free_to_caller->QuadPart = std::uint64_t{volume.f_bavail} * volume.f_frsize;
    if (total != nullptr) total->QuadPart = std::uint64_t{volume.f_blocks} * volume.f_frsize;
    if (total_free != nullptr) total_free->QuadPart = std::uint64_t{volume.f_bfree} * volume.f_frsize;
    return TRUE;
}

BOOL GetFileAttributesExW(const wchar_t* path, GET_FILEEX_INFO_LEVELS, LPVOID information) {
    struct stat status;
    if (lstat(wide_path_utf8(path).c_str(), &status) != 0) return FALSE;
    auto* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(information);
    *data = WIN32_FILE_ATTRIBUTE_DATA{};
    data->dwFileAttributes = S_ISLNK(status.st_mode)   ? FILE_ATTRIBUTE_REPARSE_POINT
                             : S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY
                             : S_ISREG(status.st_mode) ? FILE_ATTRIBUTE_NORMAL
                                                       : FILE_ATTRIBUTE_DEVICE;
    const auto size = static_cast<std::uint64_t>(status.st_size);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size);
    return TRUE;
}

// Every name here is its own long name: the path as it is, when it names
// something, as Windows answers for a path without short names in it.
DWORD GetLongPathNameW(LPCWSTR short_path, wchar_t* long_path, DWORD size) {
    constexpr DWORD error_file_not_found = 2;
    struct stat status;
    if (short_path == nullptr || stat(wide_path_utf8(short_path).c_str(), &status) != 0) {
        SetLastError(error_file_not_found);
        return 0;
    }
    const std::size_t length = std::wcslen(short_path);
    if (long_path == nullptr || length >= size) return static_cast<DWORD>(length + 1);
    std::wmemmove(long_path, short_path, length + 1);  // the two may be one buffer
    return static_cast<DWORD>(length);
}
