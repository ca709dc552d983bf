// md5_update throughput for small, page-sized and large inputs; beside it,
// when the build found OpenSSL, its MD5 over the same inputs in the same
// process, so that the two compare by CPU time on a busy machine.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "transfer/md5.h"

#ifdef ORVANE_BENCH_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

std::vector<unsigned char> sample(std::size_t length) {
    std::vector<unsigned char> data(length);
    for (std::size_t k = 0; k < length; ++k) data[k] = static_cast<unsigned char>(k * 131u + 7u);
    return data;
}

void md5_update_bytes(benchmark::State& state) {
    const auto length = static_cast<std::uint32_t>(state.range(0));
    const std::vector<unsigned char> data = sample(length);
    Md5Context context;
    md5_init(&context);
    for (auto _ : state) {
        md5_update(&context, data.data(), length);
        benchmark::DoNotOptimize(context.state);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * length);
}
BENCHMARK(md5_update_bytes)->Arg(64)->Arg(4 << 10)->Arg(16 << 10)->Arg(1 << 20);

#ifdef ORVANE_BENCH_OPENSSL
void openssl_md5_update_bytes(benchmark::State& state) {
    const auto length = static_cast<std::size_t>(state.range(0));
    const std::vector<unsigned char> data = sample(length);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_md5(), nullptr);
    for (auto _ : state) {
        EVP_DigestUpdate(context, data.data(), length);
        benchmark::ClobberMemory();
    }
    EVP_MD_CTX_free(context);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * length);
}
BENCHMARK(openssl_md5_update_bytes)->Arg(64)->Arg(4 << 10)->Arg(16 << 10)->Arg(1 << 20);
#endif

}  // namespace
