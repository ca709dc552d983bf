// md5_update throughput for small, page-sized and large inputs.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "transfer/md5.h"

static void md5_update_bytes(benchmark::State& state) {
    const auto length = static_cast<std::uint32_t>(state.range(0));
    std::vector<unsigned char> data(length);
    for (std::uint32_t k = 0; k < length; ++k) data[k] = static_cast<unsigned char>(k * 131u + 7u);
    Md5Context context;
    md5_init(&context);
    for (auto _ : state) {
        md5_update(&context, data.data(), length);
        benchmark::DoNotOptimize(context.state);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * length);
}
BENCHMARK(md5_update_bytes)->Arg(64)->Arg(4 << 10)->Arg(1 << 20);
