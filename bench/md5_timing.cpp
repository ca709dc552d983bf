// Times one file checksum, for bench/run-transfer.sh:
//   md5_timing FILE
// Prints the digest, the seconds taken and the peak RSS in KiB.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>

#include "transfer/md5.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: md5_timing FILE\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const char* digest = file_md5_hex(argv[1], 1);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (digest == nullptr) return 1;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("md5 %s %.3f s %ld KiB\n", digest, seconds, usage.ru_maxrss);
    return 0;
}
