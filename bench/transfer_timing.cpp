// Times one download, for bench/run-transfer.sh:
//   transfer_timing download URL LOCAL_FILE
// Prints one line: what was done, the seconds taken and the peak RSS in KiB.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "transfer/fetch.h"

namespace {

int quiet_report(int, int, const char*) { return 0; }

long peak_rss_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;  // KiB on Linux
}

}  // namespace

int main(int argc, char** argv) {
    using Clock = std::chrono::steady_clock;
    if (argc == 4 && std::strcmp(argv[1], "download") == 0) {
        const auto start = Clock::now();
        const int code = download_file(argv[2], argv[3], quiet_report);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("download code %d %.3f s %ld KiB\n", code, seconds, peak_rss_kib());
        return code;
    }
    std::fprintf(stderr, "usage: transfer_timing download URL LOCAL_FILE\n");
    return 2;
}
