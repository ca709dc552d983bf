// A read stream over a local file or an HTTP transfer driven by libcurl.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <curl/curl.h>

// What a transfer's answer says of itself, read from its header lines: the
// last response's, when an interim answer or a proxy's came first.
constexpr int url_validator_size = 256;  // a longer validator is taken for none
struct UrlResponse {
    std::int32_t status;      // 0 until a status line has arrived
    std::int32_t http2;       // the status line named HTTP/2 or later: lower-case names
    std::int32_t complete;    // its header block has ended (not an interim answer's)
    std::int64_t length;      // Content-Length, -1 when absent
    std::int64_t range_first;  // Content-Range "bytes first-last/total", -1 when absent
    std::int64_t range_last;
    std::int64_t range_total;  // -1 when absent or unknown ("*")
    char etag[url_validator_size];           // strong ETag as sent; "" none or weak
    char last_modified[url_validator_size];  // Last-Modified as sent; "" none
    // A multi-range answer (multipart/byteranges): the boundary between its
    // parts, at most 70 characters; "" for any other body.
    char boundary[72];
};

// Takes each piece of a body as it arrives, instead of the stream's buffer;
// false stops the transfer (it then ends as failed).
using UrlSink = bool (*)(void* context, const char* data, std::size_t n);

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
    // byte arriving: bounded by the stream wait. Below 0 while the pause a
    // download limit takes after a burst is still to come.
    std::int32_t quiet_ms;
    // The transfer ended in failure (libcurl's result, or the stream's own
    // stall bound) rather than at the end of its body.
    std::int32_t failed;
    curl_slist* request_headers;  // owned: the If-Range line of a resumed transfer
    UrlResponse response;
    UrlSink sink;  // set by url_drain
    void* sink_context;
    std::int64_t received;  // body bytes taken, by the buffer or the sink
    // Opened to be drained: its body waits, paused in libcurl's own buffer,
    // until url_drain takes it (held_back once it has begun).
    std::int32_t drained;
    std::int32_t held_back;
};

constexpr std::int32_t stream_kind_file = 1;
constexpr std::int32_t stream_kind_transfer = 2;

// The one multi handle of the process, created by the first transfer.
extern CURLM* transfer_multi;
// The most kilobytes (1024 bytes) per second a transfer may take, set before
// a pass by whoever reads the machine's policy; 0 or less: no limit.
void url_set_max_kbps(long long kbps);
// That limit in bytes per second; 0: none.
std::int64_t url_max_bytes_per_second();
// The slowest average rate (bytes per second) before a transfer counts as
// stalled: the built one, or half the limit when that is lower, so that a
// download held back on purpose is never taken for a trickle.
std::int64_t url_slowest_bytes_per_second();
// The body length announced by the last "Content-Length: " header line.
extern std::int32_t content_length;

UrlStream* url_fopen(const char* name, const char* mode);
std::uint32_t url_fread(void* destination, std::uint32_t size, std::uint32_t count,
                        UrlStream* stream);
int url_fclose(UrlStream* stream);
// A transfer of url from byte `from` on (a Range request), answered with the
// rest only while the resource still matches `validator` (If-Range).
UrlStream* url_fopen_range(const char* url, std::int64_t from, const char* validator);
// A transfer of the bytes `range` names ("first-last", or "-n" for the last
// n), asked only while the resource still matches `validator` (If-Range)
// when one is given.
UrlStream* url_fopen_bytes(const char* url, const char* range, const char* validator);
// url_fopen (from 0) or url_fopen_range (from on) of a body that is then
// handed to url_drain.
UrlStream* url_fopen_drained(const char* url, std::int64_t from, const char* validator);
// Hands the rest of the body to sink, piece by piece as it arrives (what the
// open held first), until the transfer ends, fails, stalls or the sink says
// stop: no copy, and nothing held but libcurl's own buffer. The stream is
// not read from afterwards; it is closed as any other.
void url_drain(UrlStream* stream, UrlSink sink, void* context);
// The response's validator: its strong ETag, else its Last-Modified; "" none.
const char* url_validator(const UrlResponse& response);
// Reads one header line of a part of a multi-range answer (its Content-Range,
// as a response's); the blank line that ends the part's head sets `complete`.
void url_part_header(UrlResponse& part, std::string_view line);

int stream_fill(UrlStream* stream, std::uint32_t want);
void stream_consume(UrlStream* stream, std::int32_t n);
std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user_data);
std::size_t on_body(char* data, std::size_t size, std::size_t count, void* stream);
