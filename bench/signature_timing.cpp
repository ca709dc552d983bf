// Times one signature check of a file, for bench/run-transfer.sh:
//   signature_timing FILE SIGNATURE_FILE PUBLIC_KEY NAME
// PUBLIC_KEY is the base64 line of a minisign public key, NAME the package
// file name that the trusted comment must hold. Prints the outcome, the
// seconds taken and the peak RSS in KiB.
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "transfer/signature.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: signature_timing FILE SIGNATURE_FILE PUBLIC_KEY NAME\n");
        return 2;
    }
    static char text[signature_text_max + 1];
    const long length = signature_read(argv[2], text);
    if (length < 0) return 1;
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t timestamp = 0;
    const bool valid = signature_verify(text, static_cast<std::size_t>(length), argv[1], argv[4],
                                        argv[3], &timestamp);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!valid) return 1;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("signature valid %.3f s %ld KiB\n", seconds, usage.ru_maxrss);
    return 0;
}
