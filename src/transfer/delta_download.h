// Downloads of a new release that take the entries the installed release's
// archive already holds from it, and ask the server only for the rest.
#pragma once

#include <cstdint>

#include "report/report.h"

// Said when an assembly is given up for the whole archive: it failed its
// digest, or an answer held other bytes than asked ...
constexpr const char* delta_mismatch_message =
    "Delta did not match; downloading the whole archive.";
// ... or a range broke off again when asked for its rest.
constexpr const char* delta_interrupted_message =
    "Delta download interrupted; downloading the whole archive.";

struct DeltaCounts {
    int assembled;  // 1: local_path holds an assembly, to be checked like a download
    std::int64_t fetched;
    std::int64_t reused;
};

// download_file's results. When the server serves byte ranges under a strong
// validator and kept_path holds an archive, the download asks first for the
// new archive's directory, then for the bytes kept_path does not hold, and
// assembles the new archive at local_path from both; otherwise, or when the
// answers do not fit together, it downloads the archive whole, as
// download_file does.
int delta_download(const char* url, const char* local_path, const char* kept_path,
                   ReportFn report_fn, DeltaCounts* counts);

// The line said after an assembled archive has passed its checks.
void delta_report(const DeltaCounts& counts, ReportFn report_fn);
