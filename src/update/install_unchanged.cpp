// Entries whose installed file already holds their content are left as they
// are: a release that changes one file of thousands writes one file.
#include "update/install_unchanged.h"

#include <cstdio>

#include <zlib.h>

#include "platform/win32.h"

bool install_unchanged(const wchar_t* target, std::uint64_t size, std::uint32_t crc, char* buffer,
                       std::size_t buffer_size) {
    // A link or a folder is replaced by the entry, never taken for it; a
    // device or a pipe is never read.
    WIN32_FILE_ATTRIBUTE_DATA data{};
    constexpr DWORD not_plain =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT;
    if (!GetFileAttributesExW(target, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & not_plain) != 0 ||
        ((std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow) != size)
        return false;
    std::FILE* file = _wfopen(target, L"rb");
    if (file == nullptr) return false;
    uLong sum = crc32(0L, Z_NULL, 0);
    std::uint64_t read = 0;
    for (;;) {
        const std::size_t n = std::fread(buffer, 1, buffer_size, file);
        if (n == 0) break;
        sum = crc32_z(sum, reinterpret_cast<const Bytef*>(buffer), n);
        read += n;
    }
    const bool whole = std::ferror(file) == 0 && read == size;
    std::fclose(file);
    return whole && sum == crc;
}
