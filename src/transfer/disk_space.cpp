// Room on a volume for what a download or an installation is about to write:
// refused beforehand, so that the machine never meets a disk the updater filled.
#include "platform/win32.h"  // first: Windows Sockets, before curl.h

#include "transfer/disk_space.h"

#include <cstdio>

#include "orvane_config.h"

namespace {

constexpr std::int64_t margin = ORVANE_DISK_MARGIN_BYTES;
static_assert(margin >= 0);
constexpr std::uint64_t mebibyte = 1 << 20;
constexpr int message_size = 4096 + 128;  // a name as long as any path, and the rest

// Needed rounded up and free rounded down, so that the message never shows
// as enough what was not.
int mebibytes(std::uint64_t bytes, bool up) {
    const std::uint64_t whole = (bytes + (up ? mebibyte - 1 : 0)) / mebibyte;
    return whole > 2147483647 ? 2147483647 : static_cast<int>(whole);
}

}  // namespace

bool disk_space_enough(const wchar_t* directory, std::int64_t bytes, const char* format,
                       const char* name, ReportFn report_fn, std::int64_t held) {
    ULARGE_INTEGER free_bytes{};
    ULARGE_INTEGER total_bytes{};
    if (bytes < 0 || held < 0 || held > bytes ||
        !GetDiskFreeSpaceExW(directory, &free_bytes, &total_bytes, nullptr))
        return true;
    // A volume of no size at all (some FUSE and network file systems answer
    // so) says nothing of its room, rather than that it is full.
    if (total_bytes.QuadPart == 0) return true;
    const std::uint64_t needed = static_cast<std::uint64_t>(bytes) + margin;
    const std::uint64_t room = free_bytes.QuadPart + static_cast<std::uint64_t>(held);
    if (needed <= room) return true;
    char message[message_size];
    std::snprintf(message, sizeof message, format, name, mebibytes(needed, true),
                  mebibytes(room, false));
    report_fn(-1, -1, message);
    return false;
}
