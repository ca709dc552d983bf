// Downloads of whole resources into local files, and small text fetches.
#include "platform/win32.h"  // first: Windows Sockets, before curl.h

#include "transfer/fetch.h"

#include <cstdint>
#include <cstdio>

#include "orvane_config.h"
#include "transfer/url_stream.h"

char fetch_buffer[fetch_buffer_size];

namespace {

constexpr std::uint32_t chunk_size = 65535;

// Progress counts as the 32-bit numbers a ReportFn takes: past 2 GiB they
// stay at the largest value instead of turning negative.
int report_count(std::int64_t bytes) {
    return bytes > 2147483647 ? 2147483647 : static_cast<int>(bytes);
}

}  // namespace

int download_file(const char* url, const char* local_path, ReportFn report_fn) {
    FILE* file = std::fopen(local_path, "wb+");
    if (file == nullptr) {
        report_fn(-1, -1, "Error connecting to Halvex server.");
        std::perror("couldnt open fgets output file\n");
        return 1;
    }

    UrlStream* stream = url_fopen(url, "r");
    if (stream == nullptr) {
        report_fn(-1, -1, "Error downloading file.");
        std::printf("couldn't url_fopen()\n");
        std::fclose(file);
        return 2;
    }
    content_length = 0;

    char chunk[chunk_size];
    std::int64_t done = 0;
    int result = 0;
    std::uint32_t n = 0;
    do {
        n = url_fread(chunk, 1, chunk_size, stream);
        if (n > 0) {
            std::fwrite(chunk, 1, n, file);
            done += n;
            if (report_fn(report_count(done), content_length, nullptr) != 0) {
                result = 3;
                break;
            }
        } else {
            Sleep(ORVANE_DOWNLOAD_PAUSE_MS);
        }
    } while (n > 0);
    if (done <= 0) result = 4;

    url_fclose(stream);
    std::fclose(file);
    if (result != 0) _unlink(local_path);
    return result;
}

char* fetch_text(const char* url) {
    fetch_buffer[0] = '\0';
    UrlStream* stream = url_fopen(url, "r");
    if (stream == nullptr) {
        std::printf("couldn't url_fopen()\n");
        return nullptr;
    }
    fetch_buffer[0] = '\0';
    content_length = 0;
    const std::uint32_t n = url_fread(fetch_buffer, 1, fetch_buffer_size - 1, stream);
    if (n > 0) fetch_buffer[n] = '\0';
    url_fclose(stream);
    return fetch_buffer;
}
