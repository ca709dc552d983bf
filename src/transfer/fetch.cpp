// Downloads of whole resources into local files, and small text fetches.
#include "platform/win32.h"  // first: Windows Sockets, before curl.h

#include "transfer/fetch.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "orvane_config.h"
#include "transfer/disk_space.h"
#include "transfer/download_watch.h"
#include "transfer/file_digest.h"
#include "transfer/resume_state.h"
#include "transfer/url_stream.h"

char fetch_buffer[fetch_buffer_size];
FileDigest* download_digest = nullptr;
DownloadWatch* download_watch = nullptr;

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

using Clock = std::chrono::steady_clock;

}  // namespace

namespace {

// Without a length announced the room is checked as the body arrives, each
// time for the next step of it beside the margin: the margin holds between
// two checks.
constexpr std::int64_t room_step = 2 << 20;
static_assert(room_step > chunk_size);

// Room for `bytes` of the download on the local file's volume, `held` of
// them written already; said when there is none.
bool room_for(std::int64_t bytes, std::int64_t held, const char* url, const char* local_path,
              ReportFn report_fn) {
    // The local file's folder, or the current one.
    char folder[4096] = ".";
    const char* end = std::strrchr(local_path, '/');
    const char* backslash = std::strrchr(local_path, '\\');
    if (end == nullptr || (backslash != nullptr && backslash > end)) end = backslash;
    if (end != nullptr && static_cast<std::size_t>(end - local_path) + 1 < sizeof folder) {
        std::memcpy(folder, local_path, static_cast<std::size_t>(end - local_path) + 1);
        folder[end - local_path + 1] = '\0';
    }
    wchar_t wide[4096];
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, folder, -1, wide, 4096) == 0) return true;
    const char* slash = std::strrchr(url, '/');
    return disk_space_enough(wide, bytes,
                             "Not enough disk space to download %s (%d MiB needed, %d MiB free).",
                             slash != nullptr ? slash + 1 : url, report_fn, held);
}

// A download refused for room keeps what arrived only when it can be
// resumed (with its record): the next download then needs room for the rest.
int refused_for_room(std::FILE* file, const char* local_path, std::int64_t done,
                     const ResumeState& kept) {
    std::fclose(file);
    if (done == 0 || kept.validator[0] == '\0' || !resume_state_write(local_path, kept)) {
        resume_state_remove(local_path);
        _unlink(local_path);
    }
    return 1;
}

}  // namespace

bool download_fits(std::int64_t whole, std::int64_t held, const char* url, const char* local_path,
                   ReportFn report_fn) {
    if (whole <= 0) return true;  // no length announced: checked as the body arrives
    const std::int64_t last = whole < download_cap ? whole : download_cap;
    return room_for(last - held, 0, url, local_path, report_fn);
}

namespace {

// libcurl hands the body over in pieces of 16 KiB: each goes to the file in
// one write of its own, instead of being copied into a stdio buffer and
// written out a few KiB at a time. Set before the file is used at all.
std::FILE* open_unbuffered(const char* path, const char* mode) {
    std::FILE* file = std::fopen(path, mode);
    if (file != nullptr) std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

// A partial download kept with its record is opened to be added to, and its
// length is the bytes held; anything else is started afresh.
std::FILE* open_local(const char* local_path, ResumeState* kept, std::int64_t* held) {
    *held = 0;
    if (resume_state_read(local_path, kept)) {
        if (std::FILE* file = open_unbuffered(local_path, "rb+")) {
            const long length = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
            if (length > 0 && length < kept->total) {
                *held = length;
                return file;
            }
            std::fclose(file);
        }
    }
    resume_state_remove(local_path);
    *kept = ResumeState{};
    return open_unbuffered(local_path, "wb+");
}

// What an answer is to the download: the rest of what is held, the resource
// whole (the first answer, or a range ignored or no longer valid), or an
// answer to a range that cannot be used.
enum class Answer { whole, rest, refused };

Answer take_answer(const UrlResponse& response, std::int64_t held, ResumeState* kept) {
    if (held > 0 && response.status == 206) {
        // The rest of the very resource held, from the first byte missing.
        const char* sent = url_validator(response);
        const bool same = sent[0] == '\0' || std::strcmp(response.etag, kept->validator) == 0 ||
                          std::strcmp(response.last_modified, kept->validator) == 0;
        if (response.range_first != held || response.range_total != kept->total || !same)
            return Answer::refused;
        return Answer::rest;
    }
    if (held > 0 && response.status != 200) return Answer::refused;
    // Resumable only when sent whole under a validator that is new: one
    // sent again under the validator asked for is a server ignoring ranges.
    const char* validator = url_validator(response);
    const bool ignored = held > 0 && std::strcmp(validator, kept->validator) == 0;
    if (response.status == 200 && response.length > 0 && validator[0] != '\0' && !ignored) {
        std::snprintf(kept->validator, sizeof kept->validator, "%s", validator);
        kept->total = response.length;
    } else {
        *kept = ResumeState{};
    }
    return Answer::whole;
}

// The download as a whole slower than the slowest transfer allowed: asking
// again would only hold the pass longer.
bool too_slow(Clock::time_point started, std::int64_t received) {
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return seconds >= ORVANE_STREAM_WAIT_S &&
           static_cast<double>(received) <
               static_cast<double>(url_slowest_bytes_per_second()) * seconds;
}

}  // namespace

namespace {

// One answer's body as it arrives, written to the local file behind what
// it holds, taken into the digests, and said in progress every chunk.
struct Taking {
    std::FILE* file;
    FileDigest* digest;
    DownloadWatch* watch;
    const char* url;
    const char* local_path;
    ReportFn report_fn;
    std::int32_t total;
    std::int64_t done;        // bytes of the whole resource held in the local file
    std::int64_t room_until;  // the bytes the room is known for
    std::int64_t reported;    // done at the last progress report
    bool written;
    int write_error;  // what the failed write said, for its message
    bool no_room;
    bool stopped;  // the callback asked to stop
    bool capped;
};

bool progress(Taking& taking) {
    taking.reported = taking.done;
    taking.stopped = taking.report_fn(static_cast<int>(taking.done), taking.total, nullptr) != 0;
    return !taking.stopped;
}

// The sink of a download: false stops the transfer.
bool take_piece(void* context, const char* data, std::size_t size) {
    Taking& taking = *static_cast<Taking*>(context);
    if (taking.no_room || !taking.written || taking.stopped || taking.capped) return false;
    while (size > 0) {
        if (taking.done >= download_cap) {
            taking.capped = true;
            return false;
        }
        // Pieces end where a read of one chunk would have: progress goes out
        // as it always did, and one room step covers any piece.
        std::int64_t piece = static_cast<std::int64_t>(size);
        const std::int64_t to_report = taking.reported + chunk_size - taking.done;
        if (piece > to_report) piece = to_report;
        if (piece > download_cap - taking.done) piece = download_cap - taking.done;
        if (taking.done + piece > taking.room_until) {
            taking.room_until = taking.room_until + room_step < download_cap
                                    ? taking.room_until + room_step
                                    : download_cap;
            if (!room_for(taking.room_until, taking.done, taking.url, taking.local_path,
                          taking.report_fn)) {
                taking.no_room = true;
                return false;
            }
        }
        const auto n = static_cast<std::size_t>(piece);
        if (!file_digest_write(taking.digest, taking.file, taking.done, data, n)) {
            taking.written = false;
            taking.write_error = errno;
            return false;
        }
        const std::int64_t before = taking.done;
        taking.done += piece;
        download_watch_written(taking.watch, taking.done);
        data += n;
        size -= n;
        // The disk takes the file while it arrives, so that the flush
        // before it becomes the package file waits for little.
        if (taking.done / write_out_bytes != before / write_out_bytes)
            file_write_out(_fileno(taking.file));
        if (taking.done - taking.reported == chunk_size && !progress(taking)) return false;
        if (taking.done >= download_cap) {
            if (taking.done > taking.reported && !progress(taking)) return false;
            taking.capped = true;
            return false;
        }
    }
    return true;
}

// The download, from the answer `opened` when there is one (then nothing
// held is resumed: that answer is the resource from its first byte).
int download(const char* url, const char* local_path, ReportFn report_fn, UrlStream* opened) {
    FileDigest* const digest = download_digest;
    DownloadWatch* const watch = download_watch;
    ResumeState kept{};
    std::int64_t done = 0;  // bytes of the whole resource held in the local file
    FILE* file = nullptr;
    if (opened == nullptr) {
        file = open_local(local_path, &kept, &done);
    } else {
        resume_state_remove(local_path);
        file = open_unbuffered(local_path, "wb+");
    }
    if (file == nullptr) {
        if (opened != nullptr) url_fclose(opened);
        return download_not_written(report_fn);
    }
    // A kept part is taken into the digests, and shown to the watch, once
    // its rest is known to come.
    file_digest_start(digest);
    download_watch_start(watch);

    UrlStream* stream = opened;
    if (stream == nullptr) {
        // Reset before the open: the headers arrive while the stream opens.
        content_length = 0;
        stream = url_fopen_drained(url, done, kept.validator);
    }
    if (stream == nullptr && done == 0) {
        report_fn(-1, -1, "Error downloading file.");
        std::printf("couldn't url_fopen()\n");
        std::fclose(file);
        return 2;
    }

    int result = 0;
    bool written = true;
    int write_error = 0;  // what the failed write said, for its message
    bool ended = true;    // the last transfer ended by itself: the pause follows
    bool early = stream == nullptr;  // the server is not there now: a kept partial waits
    const Clock::time_point started = Clock::now();
    std::int64_t received = 0;
    for (int attempt = 1; stream != nullptr; ++attempt) {
        const Answer answer = take_answer(stream->response, done, &kept);
        if (answer == Answer::refused) {
            report_fn(-1, -1, "Error downloading file.");
            result = 4;
            url_fclose(stream);
            break;
        }
        if (answer == Answer::whole && done > 0) {
            // Sent whole: the file starts again from its first byte, and
            // what it held is no longer what its record says.
            resume_state_remove(local_path);
            download_watch_start(watch);
            std::fclose(file);
            file = open_unbuffered(local_path, "wb+");
            done = 0;
            file_digest_start(digest);
            if (file == nullptr) {
                url_fclose(stream);
                return download_not_written(report_fn);
            }
        }
        if (answer == Answer::rest && digest != nullptr && (!digest->held || digest->length != done))
            file_digest_prefix(digest, file, done);
        if (answer == Answer::rest) download_watch_written(watch, done);
        const std::int64_t announced = answer == Answer::rest ? kept.total : stream->response.length;
        if (!download_fits(announced, done, url, local_path, report_fn)) {
            url_fclose(stream);
            return refused_for_room(file, local_path, done, kept);
        }
        // Progress counts the whole resource: a resumed answer announces only its rest.
        const std::int64_t whole = answer == Answer::rest ? kept.total : content_length;
        if (watch != nullptr) watch->expected.store(whole);
        Taking taking{};
        taking.file = file;
        taking.digest = digest;
        taking.watch = watch;
        taking.url = url;
        taking.local_path = local_path;
        taking.report_fn = report_fn;
        taking.total = whole > 2147483647 ? 2147483647 : static_cast<std::int32_t>(whole);
        taking.done = done;
        taking.room_until = announced > 0 ? download_cap : done;
        taking.reported = done;
        taking.written = true;
        url_drain(stream, take_piece, &taking);
        if (taking.no_room) {
            url_fclose(stream);
            return refused_for_room(file, local_path, taking.done, kept);
        }
        // What arrived since the last chunk's report.
        if (taking.written && !taking.stopped && !taking.capped && taking.done > taking.reported)
            progress(taking);
        if (taking.stopped) result = 3;
        written = taking.written;
        write_error = taking.write_error;
        ended = written && !taking.stopped && !taking.capped;
        const std::int64_t before = done;
        done = taking.done;
        received += done - before;
        early = result == 0 && written && done < download_cap &&
                (stream->failed != 0 || (kept.total > 0 && done < kept.total));
        url_fclose(stream);
        stream = nullptr;
        // Again at once for the rest, while each attempt brings bytes and the
        // download as a whole is no slower than a trickle.
        if (!early || kept.validator[0] == '\0' || done == before ||
            attempt >= static_cast<int>(ORVANE_RESUME_ATTEMPTS) || too_slow(started, received))
            break;
        content_length = 0;
        stream = url_fopen_drained(url, done, kept.validator);
    }
    if (ended) Sleep(ORVANE_DOWNLOAD_PAUSE_MS);
    if (result == 0 && early && kept.validator[0] != '\0' && done > 0) {
        // Kept for the next download, which asks for the rest; never checked
        // or installed as it is.
        report_fn(-1, -1, "Error downloading file.");
        if (std::fclose(file) != 0 || !resume_state_write(local_path, kept)) {
            resume_state_remove(local_path);
            _unlink(local_path);
        }
        return download_incomplete;
    }
    if (written && done <= 0 && result == 0) {
        report_fn(-1, -1, "Error downloading file.");
        result = 4;
    }

    if (std::fclose(file) != 0 && written) {
        written = false;
        write_error = errno;
    }
    resume_state_remove(local_path);
    // The digests speak for the file only when they hold every byte of it.
    if (digest != nullptr && digest->length != done) digest->held = false;
    if (!written) {
        _unlink(local_path);
        errno = write_error;
        return download_not_written(report_fn);
    }
    if (result != 0) _unlink(local_path);
    return result;
}

}  // namespace

int download_file(const char* url, const char* local_path, ReportFn report_fn) {
    return download(url, local_path, report_fn, nullptr);
}

int download_file_answered(const char* url, const char* local_path, ReportFn report_fn,
                           UrlStream* opened) {
    return download(url, local_path, report_fn, opened);
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
