// A read stream over a local file or an HTTP transfer driven by libcurl.
#pragma once

#include <cstddef>
#include <cstdint>

#include <curl/curl.h>

struct UrlStream {
    std::int32_t kind;    // 1 = local file, 2 = HTTP transfer
    void* handle;         // FILE* or CURL*
    char* buffer;         // bytes received and not yet read, from buffer + start
    std::int32_t capacity;
    std::int32_t fill;
    std::int32_t still_running;
    // Bytes at the front of buffer already read. One drive of the transfer
    // can deliver far more than one read takes; reads move this mark instead
    // of moving the rest of the buffer, and room is made only when a piece
    // arrives.
    std::int32_t start;
    // Milliseconds the transfer has gone without activity on its sockets or a
    // byte arriving: bounded by the stream wait.
    std::int32_t quiet_ms;
};

constexpr std::int32_t stream_kind_file = 1;
constexpr std::int32_t stream_kind_transfer = 2;

// The one multi handle of the process, created by the first transfer.
extern CURLM* transfer_multi;
// The body length announced by the last "Content-Length: " header line.
extern std::int32_t content_length;

UrlStream* url_fopen(const char* name, const char* mode);
std::uint32_t url_fread(void* destination, std::uint32_t size, std::uint32_t count,
                        UrlStream* stream);
int url_fclose(UrlStream* stream);

int stream_fill(UrlStream* stream, std::uint32_t want);
void stream_consume(UrlStream* stream, std::int32_t n);
std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user_data);
std::size_t on_body(char* data, std::size_t size, std::size_t count, void* stream);
