// The benchmarks on linux-i386, against the reference platform layer.
#include <benchmark/benchmark.h>

#include "workloads.h"

namespace {

void depths(benchmark::internal::Benchmark *b)
{
    for (int depth : bench_depths)
        b->Arg(depth);
}

void BM_harness_return(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(harness_return());
}
BENCHMARK(BM_harness_return);

void BM_forced_unwind(benchmark::State &state)
{
    const int depth = static_cast<int>(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(harness_forced_unwind(depth));
}
BENCHMARK(BM_forced_unwind)->Apply(depths);

void BM_dirty_unwind_pass(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(dirty_unwind_pass());
}
BENCHMARK(BM_dirty_unwind_pass);

void BM_longjmp(benchmark::State &state)
{
    const int depth = static_cast<int>(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(longjmp_exit(depth));
}
BENCHMARK(BM_longjmp)->Apply(depths);

void BM_cxx_throw(benchmark::State &state)
{
    const int depth = static_cast<int>(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(cxx_throw_exit(depth));
}
BENCHMARK(BM_cxx_throw)->Apply(depths);

} // namespace

BENCHMARK_MAIN();
