// Downloads of whole resources into local files, and small text fetches.
#include "platform/win32.h"  // first: Windows Sockets, before curl.h

#include "transfer/fetch.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "orvane_config.h"
#include "transfer/url_stream.h"

char fetch_buffer[fetch_buffer_size];

namespace {

constexpr std::uint32_t chunk_size = 65535;
// The progress counts are 32-bit: a download never takes more than they hold,
// so an endless body cannot fill the disk; a cut archive fails its digest.
constexpr std::int64_t download_cap = ORVANE_DOWNLOAD_CAP_BYTES;
static_assert(download_cap > 0 && download_cap <= 2147483647);
constexpr std::int64_t write_out_bytes = 8 << 20;

// A local file that cannot be written whole is said as one that cannot be
// created, rather than taken for a damaged download later.
int download_not_written(ReportFn report_fn) {
    report_fn(-1, -1, "Error connecting to Halvex server.");
    std::perror("couldnt open fgets output file\n");
    return 1;
}

}  // namespace

int download_file(const char* url, const char* local_path, ReportFn report_fn) {
    FILE* file = std::fopen(local_path, "wb+");
    if (file == nullptr) return download_not_written(report_fn);

    // Reset before the open: the headers arrive while the stream opens.
    content_length = 0;
    UrlStream* stream = url_fopen(url, "r");
    if (stream == nullptr) {
        report_fn(-1, -1, "Error downloading file.");
        std::printf("couldn't url_fopen()\n");
        std::fclose(file);
        return 2;
    }

    char chunk[chunk_size];
    std::int64_t done = 0;
    int result = 0;
    bool written = true;
    std::uint32_t n = 0;
    do {
        const std::int64_t left = download_cap - done;
        n = url_fread(chunk, 1, left < chunk_size ? static_cast<std::uint32_t>(left) : chunk_size,
                      stream);
        if (n > 0) {
            if (std::fwrite(chunk, 1, n, file) != n) {
                written = false;
                break;
            }
            done += n;
            // The disk takes the file while it arrives, so that the flush
            // before it becomes the package file waits for little.
            if (done % write_out_bytes < n) file_write_out(_fileno(file));
            if (report_fn(static_cast<int>(done), content_length, nullptr) != 0) {
                result = 3;
                break;
            }
        } else {
            Sleep(ORVANE_DOWNLOAD_PAUSE_MS);
        }
    } while (n > 0 && done < download_cap);
    if (written && done <= 0) {
        report_fn(-1, -1, "Error downloading file.");
        result = 4;
    }

    url_fclose(stream);
    if (std::fclose(file) != 0) written = false;
    if (!written) {
        int error = errno;
        _unlink(local_path);
        errno = error;
        return download_not_written(report_fn);
    }
    if (result != 0) _unlink(local_path);
    return result;
}

char* fetch_text(const char* url) {
    fetch_buffer[0] = '\0';
    content_length = 0;
    UrlStream* stream = url_fopen(url, "r");
    if (stream == nullptr) {
        std::printf("couldn't url_fopen()\n");
        return nullptr;
    }
    const std::uint32_t n = url_fread(fetch_buffer, 1, fetch_buffer_size - 1, stream);
    if (n > 0) fetch_buffer[n] = '\0';
    url_fclose(stream);
    return fetch_buffer;
}
