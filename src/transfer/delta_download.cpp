// A new release assembled from the installed release's archive and a few
// byte ranges of the new one, each asked only while the server still has
// the archive whose directory was read (If-Range).
#include "platform/win32.h"  // first: Windows Sockets, before curl.h

#include "transfer/delta_download.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "orvane_config.h"
#include "transfer/delta_directory.h"
#include "transfer/delta_plan.h"
#include "transfer/fetch.h"
#include "transfer/file_digest.h"
#include "transfer/resume_state.h"
#include "transfer/url_stream.h"

namespace {

// The first request: the archive's last bytes, where its directory ends.
constexpr const char* tail_range = "-65536";
constexpr std::int64_t tail_size = 65536;
constexpr std::int64_t download_cap = ORVANE_DOWNLOAD_CAP_BYTES;
constexpr std::uint32_t chunk_size = 65535;

// An assembly under way in its local file.
struct Assembly {
    const char* url;
    std::FILE* file;
    std::int64_t length;                 // the new archive's
    char validator[url_validator_size];  // the one its directory came under
    std::int64_t done;                   // bytes assembled
    std::int64_t fetched;
    ReportFn report_fn;
    bool stopped;      // the callback asked to stop
    bool interrupted;  // a range kept breaking off
};

int progress_count(std::int64_t value) {
    return value > 2147483647 ? 2147483647 : static_cast<int>(value);
}

bool advance(Assembly& assembly, std::int64_t bytes) {
    assembly.done += bytes;
    if (assembly.report_fn(progress_count(assembly.done), progress_count(assembly.length),
                           nullptr) != 0)
        assembly.stopped = true;
    return !assembly.stopped;
}

// The answer to a request for [first, last] of the archive read so far.
bool answer_fits(const UrlResponse& response, std::int64_t first, std::int64_t last,
                 const Assembly& assembly) {
    return response.status == 206 && response.range_first == first && response.range_last == last &&
           response.range_total == assembly.length &&
           std::strcmp(url_validator(response), assembly.validator) == 0;
}

// How one request for a range ended.
enum class Fetched { whole, cut, other };

// The bytes from *at up to end in one request, into the local file at their
// own offset or, with `copy` (which holds the range from `first` on), into
// memory only; *at moves past what arrived. A transfer that breaks off is
// cut; an answer with other bytes than asked is other.
Fetched fetch_part(Assembly& assembly, std::int64_t first, std::int64_t* at, std::int64_t end,
                   unsigned char* copy) {
    char range[48];
    std::snprintf(range, sizeof range, "%lld-%lld", static_cast<long long>(*at),
                  static_cast<long long>(end - 1));
    content_length = 0;
    UrlStream* stream = url_fopen_bytes(assembly.url, range, assembly.validator);
    if (stream == nullptr) return Fetched::cut;
    const std::int64_t asked = *at;
    Fetched fetched = Fetched::whole;
    if (copy == nullptr && std::fseek(assembly.file, static_cast<long>(asked), SEEK_SET) != 0)
        fetched = Fetched::other;
    static char chunk[chunk_size];
    while (fetched == Fetched::whole && *at < end) {
        const std::int64_t left = end - *at;
        const std::uint32_t n = url_fread(
            chunk, 1, left < chunk_size ? static_cast<std::uint32_t>(left) : chunk_size, stream);
        // The answer's head is whole once the stream has opened.
        if (!answer_fits(stream->response, asked, end - 1, assembly)) {
            fetched = Fetched::other;
        } else if (n == 0) {
            fetched = Fetched::cut;
        } else if (copy != nullptr) {
            std::memcpy(copy + (*at - first), chunk, n);
        } else if (!file_digest_write(download_digest, assembly.file, *at, chunk, n)) {
            fetched = Fetched::other;
        }
        if (fetched != Fetched::whole) break;
        *at += n;
        assembly.fetched += n;
        if (!advance(assembly, n)) fetched = Fetched::other;
    }
    url_fclose(stream);
    return fetched;
}

// Bytes [first, end) of the archive, as fetch_part takes them; a transfer
// that breaks off is asked once more for the rest, under the same validator.
bool fetch_range(Assembly& assembly, std::int64_t first, std::int64_t end, unsigned char* copy) {
    std::int64_t at = first;
    Fetched fetched = fetch_part(assembly, first, &at, end, copy);
    if (fetched == Fetched::cut) fetched = fetch_part(assembly, first, &at, end, copy);
    if (fetched == Fetched::cut) assembly.interrupted = true;
    return fetched == Fetched::whole;
}

// The kept archive's bytes of one reused stretch: a whole record, or
// compressed bytes placed after the new entry's local header as it arrived.
bool place_reused(Assembly& assembly, std::FILE* kept, const DeltaReuse& reuse) {
    std::int64_t source = reuse.kept;
    if (reuse.header >= 0) {
        unsigned char local[delta_local_header_size];
        if (std::fseek(assembly.file, static_cast<long>(reuse.header), SEEK_SET) != 0 ||
            std::fread(local, 1, sizeof local, assembly.file) != sizeof local)
            return false;
        const std::int64_t data = delta_data_offset(local, reuse.header);
        if (data < 0 || data > reuse.first || reuse.end > data + reuse.compressed) return false;
        source += reuse.first - data;
    }
    if (std::fseek(kept, static_cast<long>(source), SEEK_SET) != 0 ||
        std::fseek(assembly.file, static_cast<long>(reuse.first), SEEK_SET) != 0)
        return false;
    static char chunk[chunk_size];
    for (std::int64_t at = reuse.first; at < reuse.end;) {
        const std::int64_t left = reuse.end - at;
        const std::size_t n = left < chunk_size ? static_cast<std::size_t>(left) : chunk_size;
        if (std::fread(chunk, 1, n, kept) != n ||
            !file_digest_write(download_digest, assembly.file, at, chunk, n) ||
            !advance(assembly, static_cast<std::int64_t>(n)))
            return false;
        at += static_cast<std::int64_t>(n);
    }
    return true;
}

// Reads the rest of the directory when it starts before the tail, plans,
// fetches and places. The local file is written from its first byte on, in
// offset order (a reused stretch reads its entry's local header, fetched at
// a lower offset, back from it), and the archive's last bytes, held in
// memory from the tail on, last: a file system that fills what lies before
// a write (NTFS) never writes the archive twice.
bool assemble(Assembly& assembly, std::vector<unsigned char>& tail, const char* kept_path,
              const std::vector<DeltaEntry>& kept_entries, DeltaCounts* counts) {
    const std::int64_t tail_first = assembly.length - static_cast<std::int64_t>(tail.size());
    DeltaDirectoryPlace place{};
    if (!delta_directory_place(tail.data(), tail.size(), assembly.length, &place)) return false;
    const std::int64_t held_from = place.offset < tail_first ? place.offset : tail_first;
    // Whatever lies between the directory and the end records is read too: bounded alike.
    if (assembly.length - held_from > delta_directory_largest + tail_size) return false;
    std::vector<unsigned char> held(static_cast<std::size_t>(assembly.length - held_from));
    std::memcpy(held.data() + (tail_first - held_from), tail.data(), tail.size());
    if (!advance(assembly, static_cast<std::int64_t>(tail.size()))) return false;
    if (held_from < tail_first && !fetch_range(assembly, held_from, tail_first, held.data()))
        return false;
    std::vector<DeltaEntry> entries;
    if (!delta_directory_entries(held.data() + (place.offset - held_from), place, &entries))
        return false;

    const DeltaPlan plan = delta_plan(entries, place.offset, held_from, kept_entries,
                                      ORVANE_DELTA_GAP_BYTES, ORVANE_DELTA_RANGES);
    std::FILE* kept = std::fopen(kept_path, "rb");
    if (kept == nullptr) return false;
    // Both lists are in offset order, and together they cover the bytes
    // before held_from.
    bool placed = true;
    auto fetched = plan.fetched.begin();
    auto reused = plan.reused.begin();
    while (placed && (fetched != plan.fetched.end() || reused != plan.reused.end())) {
        if (reused == plan.reused.end() ||
            (fetched != plan.fetched.end() && fetched->first < reused->first)) {
            placed = fetch_range(assembly, fetched->first, fetched->end, nullptr);
            ++fetched;
        } else {
            placed = place_reused(assembly, kept, *reused);
            ++reused;
        }
    }
    std::fclose(kept);
    placed = placed && std::fseek(assembly.file, static_cast<long>(held_from), SEEK_SET) == 0 &&
             file_digest_write(download_digest, assembly.file, held_from, held.data(), held.size());
    counts->fetched = assembly.fetched;
    counts->reused = plan.reused_bytes;
    return placed;
}

// The archive's last bytes, when the server sent them as asked under a
// strong validator; the transfer is closed.
bool read_tail(UrlStream* stream, Assembly& assembly, std::vector<unsigned char>* tail) {
    tail->resize(static_cast<std::size_t>(tail_size));
    std::size_t got = 0;
    while (got < tail->size()) {
        const std::uint32_t n = url_fread(tail->data() + got, 1,
                                          static_cast<std::uint32_t>(tail->size() - got), stream);
        if (n == 0) break;
        got += n;
    }
    const UrlResponse& response = stream->response;
    assembly.length = response.range_total;
    std::snprintf(assembly.validator, sizeof assembly.validator, "%s", url_validator(response));
    const bool whole = stream->failed == 0 && assembly.validator[0] != '\0' &&
                       assembly.length > 0 && assembly.length <= download_cap &&
                       response.range_last == assembly.length - 1 &&
                       response.range_first == assembly.length - static_cast<std::int64_t>(got) &&
                       (got == tail->size() || response.range_first == 0);
    url_fclose(stream);
    tail->resize(got);
    return whole && got > 0;
}

}  // namespace

int delta_download(const char* url, const char* local_path, const char* kept_path,
                   ReportFn report_fn, DeltaCounts* counts) {
    *counts = DeltaCounts{};
    // A partial download of the whole archive is resumed rather than given up.
    ResumeState partial{};
    std::vector<DeltaEntry> kept_entries;
    if (resume_state_read(local_path, &partial) || !delta_directory_read(kept_path, &kept_entries))
        return download_file(url, local_path, report_fn);

    content_length = 0;
    UrlStream* stream = url_fopen_bytes(url, tail_range, "");
    // A server that ignores ranges sends the archive whole, as to a download.
    if (stream != nullptr && stream->response.status == 200)
        return download_file_answered(url, local_path, report_fn, stream);
    if (stream == nullptr || stream->response.status != 206) {
        if (stream != nullptr) url_fclose(stream);
        return download_file(url, local_path, report_fn);
    }
    Assembly assembly{};
    assembly.url = url;
    assembly.report_fn = report_fn;
    std::vector<unsigned char> tail;
    if (!read_tail(stream, assembly, &tail)) return download_file(url, local_path, report_fn);

    // The assembly is the whole archive: it needs the room of one. What a cut
    // pass left in the local file without a record is not resumed: its room
    // is free for it.
    resume_state_remove(local_path);
    _unlink(local_path);
    if (!download_fits(assembly.length, 0, url, local_path, report_fn)) return 1;
    assembly.file = std::fopen(local_path, "wb+");
    if (assembly.file == nullptr) return download_file(url, local_path, report_fn);
    // Taken as it is written, in offset order; the digests hold only when
    // that order covers the whole archive.
    file_digest_start(download_digest);
    assembly.fetched = static_cast<std::int64_t>(tail.size());
    const bool assembled = assemble(assembly, tail, kept_path, kept_entries, counts);
    const bool closed = std::fclose(assembly.file) == 0;
    if (assembled && closed) {
        if (download_digest != nullptr && download_digest->length != assembly.length)
            download_digest->held = false;
        counts->assembled = 1;
        return 0;
    }
    _unlink(local_path);
    if (assembly.stopped) return 3;
    report_fn(-1, -1, assembly.interrupted ? delta_interrupted_message : delta_mismatch_message);
    *counts = DeltaCounts{};
    return download_file(url, local_path, report_fn);
}

void delta_report(const DeltaCounts& counts, ReportFn report_fn) {
    char line[128];
    std::snprintf(line, sizeof line,
                  "Delta: %d Kb downloaded, %d Kb reused from the installed release.",
                  progress_count(counts.fetched / 1024), progress_count(counts.reused / 1024));
    report_fn(-1, -1, line);
}
