// Whole-resource downloads into local files and small text fetches.
#pragma once

#include <cstdint>

#include "report/report.h"

constexpr int fetch_buffer_size = 65535;

// The text of the last fetch_text call, NUL-terminated.
extern char fetch_buffer[fetch_buffer_size];

// 0 done, 1 local file not writable (or no room on its volume: for the
// announced length before a byte, or, without one, for the next few MiB as
// the body arrives; a partial download that can be resumed then stays for
// the next one, anything else is removed), 2 URL not openable, 3 stopped by the
// callback, 4 nothing received (or a resumed answer that cannot be used),
// download_incomplete: the transfer kept ending early; what arrived is kept
// beside its record ("<local_path>.state"), and the next download of the
// same path resumes it.
constexpr int download_incomplete = 5;
// When set, the digests that downloads feed as they write their local file
// (download_file's, and a delta's assembly): set by whoever checks the file,
// for one download at a time; not held afterwards when they do not cover
// the whole file as it was closed.
struct FileDigest;
extern FileDigest* download_digest;
// When set, told how far download_file's file is written as it arrives (a
// delta's assembly is not followed): set by the owner of the watch, for one
// download at a time.
struct DownloadWatch;
extern DownloadWatch* download_watch;
int download_file(const char* url, const char* local_path, ReportFn report_fn);
// download_file, taking `opened` (the server's whole answer to a request for
// part of url, which it closes) as the first answer.
struct UrlStream;
int download_file_answered(const char* url, const char* local_path, ReportFn report_fn,
                           UrlStream* opened);

// Whether the rest of a resource whose whole length is announced (at most
// the cap) fits the local file's volume beside the bytes already held, with
// the margin left free; said when it does not. True without a length.
bool download_fits(std::int64_t whole, std::int64_t held, const char* url, const char* local_path,
                   ReportFn report_fn);

// The body of url (at most 65,534 bytes) in fetch_buffer, or nullptr.
char* fetch_text(const char* url);
