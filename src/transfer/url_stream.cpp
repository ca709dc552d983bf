// A read stream that serves a local file or an HTTP body received through
// libcurl's multi interface, driven on the reader's own thread.
#include "platform/win32.h"  // first: Windows Sockets select, before curl.h

#include "transfer/url_stream.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "orvane_config.h"
#include "transfer/proxy.h"

CURLM* transfer_multi = nullptr;
std::int32_t content_length = 0;

namespace {

constexpr std::int32_t largest_length = 2147483647;
constexpr long longest_poll_ms = 100;  // no socket to watch: poll at most this long
constexpr long default_poll_ms = 10;   // ... or this long when libcurl names no time

std::int64_t max_bytes_per_second = 0;  // 0: no limit

// libcurl keeps to the limit by pausing the transfer once it is ahead, and
// looks at the limit only between drives, each of which reads up to this many
// pieces in a row when the socket holds them.
constexpr std::int64_t reads_per_drive = 100;

// Pieces of 1/400 s worth (within what libcurl allows) keep a burst near a
// quarter second's worth, and the pauses short.
long piece_bytes() {
    const std::int64_t piece = max_bytes_per_second / (4 * reads_per_drive);
    return piece < 1024 ? 1024L
                        : piece > CURL_MAX_WRITE_SIZE ? static_cast<long>(CURL_MAX_WRITE_SIZE)
                                                      : static_cast<long>(piece);
}

// The pause libcurl takes after `bytes` arrived under the limit, in ms: it is
// the limit at work, not a silent server, and does not count as quiet.
std::int32_t limit_pause_ms(std::int64_t bytes) {
    if (max_bytes_per_second <= 0 || bytes <= 0) return 0;
    const std::int64_t pause = bytes * 1000 / max_bytes_per_second + 1;
    return pause > largest_length / 2 ? largest_length / 2 : static_cast<std::int32_t>(pause);
}

// Drives the transfer until libcurl stops asking to be called again at once.
void drive(UrlStream* stream) {
    int running = 0;
    while (curl_multi_perform(transfer_multi, &running) == CURLM_CALL_MULTI_PERFORM) {
        Sleep(10);
    }
    stream->still_running = running;
    // How the transfer ended: a cut connection, a time-out or a refused
    // write is a failure, the end of the body is not.
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(transfer_multi, &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == stream->handle &&
            message->data.result != CURLE_OK)
            stream->failed = 1;
    }
}

// The server has answered once libcurl has read a response's status line (a
// proxy that wants credentials has not let the request through).
bool answered(UrlStream* stream) {
    long code = 0;
    curl_easy_getinfo(static_cast<CURL*>(stream->handle), CURLINFO_RESPONSE_CODE, &code);
    return code != 0 && !proxy_refused(static_cast<CURL*>(stream->handle));
}

// The answer's whole header block is in (a tunnelling proxy's answer sets no
// response code, so its block does not count), or its body has begun: the
// record then holds the length and validators the download goes by.
bool answer_whole(UrlStream* stream) {
    return stream->fill != 0 || stream->held_back != 0 ||
           (stream->response.complete != 0 && answered(stream));
}

// The value of a header line whose name is `name` in any case (HTTP/2 sends
// names in lower case), without the blanks around it or the line end.
bool header_value(std::string_view line, std::string_view name, std::string_view* value) {
    if (line.size() <= name.size() || line[name.size()] != ':' ||
        _strnicmp(line.data(), name.data(), name.size()) != 0)
        return false;
    std::string_view rest = line.substr(name.size() + 1);
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r' || rest.back() == ' ' ||
                             rest.back() == '\t'))
        rest.remove_suffix(1);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    *value = rest;
    return true;
}

// A whole decimal number that a 64-bit count holds with room; -1 otherwise.
std::int64_t whole_number(std::string_view text) {
    if (text.empty() || text.size() > 18) return -1;
    std::int64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        number = number * 10 + (c - '0');
    }
    return number;
}

// Kept only whole and free of control characters: it is sent back in a
// request header and stored beside a partial download.
void copy_validator(char (&out)[url_validator_size], std::string_view value) {
    out[0] = '\0';
    if (value.empty() || value.size() >= url_validator_size) return;
    for (char c : value) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return;
    }
    std::memcpy(out, value.data(), value.size());
    out[value.size()] = '\0';
}

// "bytes first-last/total"; anything else leaves the range absent.
void read_range(UrlResponse& response, std::string_view value) {
    constexpr std::string_view unit = "bytes ";
    if (value.substr(0, unit.size()) != unit) return;
    value.remove_prefix(unit.size());
    const std::size_t dash = value.find('-');
    const std::size_t slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) return;
    const std::int64_t first = whole_number(value.substr(0, dash));
    const std::int64_t last = whole_number(value.substr(dash + 1, slash - dash - 1));
    const std::string_view total = value.substr(slash + 1);
    if (first < 0 || last < first) return;
    response.range_first = first;
    response.range_last = last;
    response.range_total = total == "*" ? -1 : whole_number(total);
}

// "multipart/byteranges; boundary=..." (the boundary quoted or not): its
// boundary, when it is one a multipart body can have.
void read_boundary(UrlResponse& response, std::string_view value) {
    constexpr std::string_view type = "multipart/byteranges";
    response.boundary[0] = '\0';
    if (value.size() < type.size() || _strnicmp(value.data(), type.data(), type.size()) != 0 ||
        (value.size() > type.size() && value[type.size()] != ';' && value[type.size()] != ' '))
        return;
    for (std::size_t at = value.find(';'); at != std::string_view::npos;
         at = value.find(';', at + 1)) {
        std::string_view parameter = value.substr(at + 1);
        while (!parameter.empty() && (parameter.front() == ' ' || parameter.front() == '\t'))
            parameter.remove_prefix(1);
        constexpr std::string_view name = "boundary=";
        if (parameter.size() <= name.size() ||
            _strnicmp(parameter.data(), name.data(), name.size()) != 0)
            continue;
        std::string_view boundary = parameter.substr(name.size());
        boundary = boundary.substr(0, boundary.find(';'));
        if (boundary.size() >= 2 && boundary.front() == '"' && boundary.back() == '"')
            boundary = boundary.substr(1, boundary.size() - 2);
        if (boundary.empty() || boundary.size() > 70) return;
        for (char c : boundary) {
            if (static_cast<unsigned char>(c) <= 0x20 || c == '"' || c == 0x7f) return;
        }
        std::memcpy(response.boundary, boundary.data(), boundary.size());
        response.boundary[boundary.size()] = '\0';
        return;
    }
}

void response_reset(UrlResponse& response) {
    std::memset(&response, 0, sizeof response);
    response.length = -1;
    response.range_first = -1;
    response.range_last = -1;
    response.range_total = -1;
}

void record_header(UrlResponse& response, std::string_view line) {
    if (line.substr(0, 5) == "HTTP/") {  // a status line: a new response begins
        response_reset(response);
        response.http2 = line.size() > 5 && line[5] >= '2' && line[5] <= '9';
        const std::size_t blank = line.find(' ');
        if (blank != std::string_view::npos) {
            const std::int64_t code = whole_number(line.substr(blank + 1, 3));
            response.status = code < 0 ? 0 : static_cast<std::int32_t>(code);
        }
        return;
    }
    if (line == "\r\n" || line == "\n") {  // the blank line that ends a header block
        response.complete = response.status < 100 || response.status >= 200;
        return;
    }
    std::string_view value;
    if (header_value(line, "etag", &value)) {
        // A weak ETag does not promise the same bytes: no ranges under it.
        if (value.substr(0, 2) == "W/") value = {};
        copy_validator(response.etag, value);
    } else if (header_value(line, "last-modified", &value)) {
        copy_validator(response.last_modified, value);
    } else if (header_value(line, "content-length", &value)) {
        response.length = whole_number(value);
    } else if (header_value(line, "content-range", &value)) {
        read_range(response, value);
    } else if (header_value(line, "content-type", &value)) {
        read_boundary(response, value);
    }
}

}  // namespace

void url_set_max_kbps(long long kbps) {
    constexpr long long most = INT64_MAX / 1024;  // beyond it, no limit a link could reach
    max_bytes_per_second = kbps <= 0 ? 0 : (kbps > most ? most : kbps) * 1024;
}

std::int64_t url_max_bytes_per_second() { return max_bytes_per_second; }

std::int64_t url_slowest_bytes_per_second() {
    const std::int64_t half = max_bytes_per_second / 2;
    return max_bytes_per_second > 0 && half < ORVANE_LOW_SPEED_BYTES ? half
                                                                      : ORVANE_LOW_SPEED_BYTES;
}

const char* url_validator(const UrlResponse& response) {
    return response.etag[0] != '\0' ? response.etag : response.last_modified;
}

void url_part_header(UrlResponse& part, std::string_view line) { record_header(part, line); }

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user_data) {
    const std::size_t total = size * count;
    const std::string_view line(data, total);
    UrlStream* stream = static_cast<UrlStream*>(user_data);
    if (stream != nullptr) record_header(stream->response, line);
    constexpr std::string_view label = "Content-Length: ";
    std::size_t at = line.find(label);
    // HTTP/2 names every header in lower case; HTTP/1.1 is read as it always was.
    if (at == std::string_view::npos && stream != nullptr && stream->response.http2)
        at = line.find("content-length: ");
    if (at == std::string_view::npos) return total;
    const std::string_view rest = line.substr(at + label.size());
    const std::size_t end = rest.find("\r\n");
    if (end == std::string_view::npos) return total;  // bare LF: not a complete line

    const std::string_view value = rest.substr(0, end < 254 ? end : 254);
    // Leading digits only; a length beyond what the counters hold is held
    // as the largest one instead of overflowing.
    std::int64_t number = 0;
    for (char c : value) {
        if (c < '0' || c > '9') break;
        if (number < largest_length) number = number * 10 + (c - '0');
    }
    content_length = number > largest_length ? largest_length : static_cast<std::int32_t>(number);
    return total;
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user_data) {
    UrlStream* stream = static_cast<UrlStream*>(user_data);
    std::size_t n = size * count;
    if (stream->sink != nullptr) {
        // Anything but the whole piece taken makes libcurl end the transfer.
        if (!stream->sink(stream->sink_context, data, n)) return 0;
        stream->received += static_cast<std::int64_t>(n);
        return n;
    }
    if (stream->drained != 0) {
        stream->held_back = 1;
        return CURL_WRITEFUNC_PAUSE;
    }
    // Room behind the held bytes; failing that, bring them to the front first.
    std::size_t room = static_cast<std::size_t>(stream->capacity - stream->start - stream->fill);
    if (room < n && stream->start > 0) {
        std::memmove(stream->buffer, stream->buffer + stream->start,
                     static_cast<std::size_t>(stream->fill));
        stream->start = 0;
        room = static_cast<std::size_t>(stream->capacity - stream->fill);
    }
    if (room < n) {
        const std::size_t wanted = static_cast<std::size_t>(stream->fill) + n;
        // Beyond the 32-bit counters the buffer cannot grow either.
        void* grown = wanted <= static_cast<std::size_t>(largest_length)
                          ? std::realloc(stream->buffer, wanted)
                          : nullptr;
        if (grown == nullptr) {
            std::fputs("callback buffer grow failed\n", stderr);
            n = room;
        } else {
            stream->buffer = static_cast<char*>(grown);
            stream->capacity = static_cast<std::int32_t>(wanted);
        }
    }
    if (n > 0) std::memcpy(stream->buffer + stream->start + stream->fill, data, n);
    stream->fill += static_cast<std::int32_t>(n);
    stream->received += static_cast<std::int64_t>(n);
    return n;
}

namespace {

// One wait for the transfer's sockets, then one drive of it. The wait ends
// when libcurl asks (so that its own timers run: a second address to try, a
// transfer too slow), at the latest. False when the wait failed, or when the
// transfer has been silent for the whole stream wait: it is then taken for
// ended, so that no server can hold a pass.
bool stream_cycle(UrlStream* stream) {
    fd_set read_set;
    fd_set write_set;
    fd_set error_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    FD_ZERO(&error_set);
    int highest = -1;
    curl_multi_fdset(transfer_multi, &read_set, &write_set, &error_set, &highest);

    long wait_ms = static_cast<long>(ORVANE_STREAM_WAIT_S) * 1000 - stream->quiet_ms;
    long suggested = -1;
    curl_multi_timeout(transfer_multi, &suggested);
    if (highest == -1) {
        // A step without a socket (name resolution in its own thread, say):
        // poll it, within bounds.
        if (suggested < 0) suggested = default_poll_ms;
        if (suggested > longest_poll_ms) suggested = longest_poll_ms;
    }
    if (suggested >= 0 && suggested < wait_ms) wait_ms = suggested;
    if (wait_ms < 1) wait_ms = 1;

    int ready = 0;
    if (highest == -1) {
        Sleep(static_cast<DWORD>(wait_ms));
    } else {
        timeval limit;
        limit.tv_sec = wait_ms / 1000;
        limit.tv_usec = (wait_ms % 1000) * 1000;
        ready = select(highest + 1, &read_set, &write_set, &error_set, &limit);
        if (ready == -1) return false;
    }
    const std::int64_t before = stream->received;
    drive(stream);
    if (ready > 0 || stream->received != before) {
        // Activity ends the silence; bytes held back by the limit earn its
        // pause, which a wakeup without bytes does not cut short.
        if (stream->received != before) {
            stream->quiet_ms = -limit_pause_ms(stream->received - before);
        } else if (stream->quiet_ms > 0) {
            stream->quiet_ms = 0;
        }
        return true;
    }
    stream->quiet_ms += static_cast<std::int32_t>(wait_ms);
    if (stream->quiet_ms < static_cast<std::int32_t>(ORVANE_STREAM_WAIT_S) * 1000) return true;
    stream->still_running = 0;
    stream->failed = 1;
    return false;
}

}  // namespace

int stream_fill(UrlStream* stream, std::uint32_t want) {
    if (stream->still_running == 0 || static_cast<std::uint32_t>(stream->fill) > want) return 0;
    do {
        if (!stream_cycle(stream)) return 0;
    } while (stream->still_running != 0 && static_cast<std::uint32_t>(stream->fill) < want);
    return 1;
}

void stream_consume(UrlStream* stream, std::int32_t n) {
    if (stream->fill - n <= 0) {
        std::free(stream->buffer);
        stream->buffer = nullptr;
        stream->fill = 0;
        stream->capacity = 0;
        stream->start = 0;
        return;
    }
    stream->start += n;
    stream->fill -= n;
}

namespace {

// The range that url_fopen_bytes asks url_fopen to request: none when empty.
const char* range_bytes = "";
const char* range_validator = "";
// What url_fopen_drained asks: a transfer whose body goes to a sink, which
// holds nothing back, so that libcurl may receive in larger pieces: fewer
// calls for the same bytes.
bool drained_open = false;
constexpr long drained_piece_bytes = 128 * 1024;

// Asks for the bytes of range_bytes, and only while the resource still
// matches its validator when there is one: otherwise the server sends it whole.
void request_range(UrlStream* stream, CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_RANGE, range_bytes);  // copied by libcurl
    if (range_validator[0] == '\0') return;
    char if_range[url_validator_size + 16];
    std::snprintf(if_range, sizeof if_range, "If-Range: %s", range_validator);
    stream->request_headers = curl_slist_append(nullptr, if_range);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, stream->request_headers);
}

}  // namespace

UrlStream* url_fopen(const char* name, const char* mode) {
    UrlStream* stream = static_cast<UrlStream*>(std::calloc(1, sizeof(UrlStream)));
    if (stream == nullptr) return nullptr;

    if (range_bytes[0] == '\0') {
        if (FILE* file = std::fopen(name, mode)) {
            stream->kind = stream_kind_file;
            stream->handle = file;
            return stream;
        }
    }

    stream->kind = stream_kind_transfer;
    response_reset(stream->response);
    CURL* handle = curl_easy_init();
    stream->handle = handle;
    curl_easy_setopt(handle, CURLOPT_URL, name);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, stream);
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, stream);
    // A trickle ends like a stall: too slow on average over one stream wait,
    // and, under a limit, the longest pause the limit itself may take.
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT,
                     static_cast<long>(url_slowest_bytes_per_second()));
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME,
                     static_cast<long>(ORVANE_STREAM_WAIT_S) +
                         (limit_pause_ms(reads_per_drive * piece_bytes()) + 999) / 1000);
    if (max_bytes_per_second > 0) {
        curl_easy_setopt(handle, CURLOPT_MAX_RECV_SPEED_LARGE,
                         static_cast<curl_off_t>(max_bytes_per_second));
        curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, piece_bytes());
    } else if (drained_open) {
        curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, drained_piece_bytes);
    }
    stream->drained = drained_open ? 1 : 0;
    if (range_bytes[0] != '\0') request_range(stream, handle);
    proxy_setup(handle, name);
    // Windows' TLS (Schannel) refuses a server whose certificate authority's
    // revocation servers a firewall blocks; such a fleet would never update.
    // An unreachable revocation server counts as no answer, a revoked
    // certificate is still refused. Only Schannel reads this; elsewhere it
    // changes nothing.
    curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));

    if (transfer_multi == nullptr) transfer_multi = curl_multi_init();
    curl_multi_add_handle(transfer_multi, handle);

    // Opened once the server's answer has arrived whole up to its body, so
    // that a refused connection, a failed lookup or handshake, or a silent
    // server gives no stream however quickly each comes about, and a server
    // that sends its status line well before its header lines still gives its
    // length and validators at once. A status line followed by silence is a
    // stall like any other. An answer with an empty body is a stream.
    drive(stream);
    stream->quiet_ms = -limit_pause_ms(stream->fill);
    while (stream->still_running != 0 && !answer_whole(stream) && stream_cycle(stream)) {
    }
    if (answer_whole(stream) && !proxy_refused(handle)) return stream;

    // No answer: nothing to read.
    curl_multi_remove_handle(transfer_multi, handle);
    curl_easy_cleanup(handle);
    curl_slist_free_all(stream->request_headers);
    std::free(stream->buffer);
    std::free(stream);
    return nullptr;
}

UrlStream* url_fopen_bytes(const char* url, const char* range, const char* validator) {
    if (range == nullptr || range[0] == '\0' || validator == nullptr ||
        std::strlen(validator) >= static_cast<std::size_t>(url_validator_size))
        return nullptr;
    // Never a local file: only a transfer has ranges.
    range_bytes = range;
    range_validator = validator;
    UrlStream* stream = url_fopen(url, "r");
    range_bytes = "";
    range_validator = "";
    return stream;
}

UrlStream* url_fopen_range(const char* url, std::int64_t from, const char* validator) {
    if (from <= 0 || validator == nullptr || validator[0] == '\0') return nullptr;
    char range[32];
    std::snprintf(range, sizeof range, "%lld-", static_cast<long long>(from));
    return url_fopen_bytes(url, range, validator);
}

UrlStream* url_fopen_drained(const char* url, std::int64_t from, const char* validator) {
    drained_open = true;
    UrlStream* stream = from > 0 ? url_fopen_range(url, from, validator) : url_fopen(url, "r");
    drained_open = false;
    return stream;
}

void url_drain(UrlStream* stream, UrlSink sink, void* context) {
    // What arrived while the stream opened goes first.
    bool going = stream->fill <= 0 || sink(context, stream->buffer + stream->start,
                                             static_cast<std::size_t>(stream->fill));
    if (stream->fill > 0) stream_consume(stream, stream->fill);
    if (stream->kind == stream_kind_file) {
        static char piece[65536];
        std::size_t n = 0;
        while (going && (n = std::fread(piece, 1, sizeof piece, static_cast<FILE*>(stream->handle))) > 0)
            going = sink(context, piece, n);
        return;
    }
    if (!going) {
        stream->failed = 1;
        return;
    }
    stream->sink = sink;
    stream->sink_context = context;
    // What waits in libcurl's buffer is handed over as the transfer goes on.
    // A sink that stops it then ends the transfer here: libcurl would go on.
    if (stream->held_back != 0) {
        stream->held_back = 0;
        if (curl_easy_pause(static_cast<CURL*>(stream->handle), CURLPAUSE_CONT) != CURLE_OK) {
            stream->sink = nullptr;
            stream->still_running = 0;
            stream->failed = 1;
            return;
        }
    }
    while (stream->still_running != 0 && stream_cycle(stream)) {
    }
    stream->sink = nullptr;
}

std::uint32_t url_fread(void* destination, std::uint32_t size, std::uint32_t count,
                        UrlStream* stream) {
    switch (stream->kind) {
    case stream_kind_file:
        return static_cast<std::uint32_t>(
            std::fread(destination, size, count, static_cast<FILE*>(stream->handle)));
    case stream_kind_transfer: {
        const std::uint32_t want = size * count;
        if (want == 0) return 0;  // nothing asked: no wait, and no division by a zero size
        stream_fill(stream, want);
        if (stream->fill == 0) return 0;
        const std::uint32_t held = static_cast<std::uint32_t>(stream->fill);
        const std::uint32_t n = held < want ? held : want;
        std::memcpy(destination, stream->buffer + stream->start, n);
        stream_consume(stream, static_cast<std::int32_t>(n));
        return n / size;
    }
    default:
        errno = EBADF;
        return 0;
    }
}

int url_fclose(UrlStream* stream) {
    int result = 0;
    switch (stream->kind) {
    case stream_kind_file:
        result = std::fclose(static_cast<FILE*>(stream->handle));
        break;
    case stream_kind_transfer:
        curl_multi_remove_handle(transfer_multi, stream->handle);
        curl_easy_cleanup(stream->handle);
        curl_slist_free_all(stream->request_headers);
        break;
    default:
        errno = EBADF;
        result = -1;
        break;
    }
    std::free(stream->buffer);
    std::free(stream);
    return result;
}
