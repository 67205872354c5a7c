// The benchmarks on linux-i386, against the reference platform layer, timed
// by Google Benchmark.
#include <benchmark/benchmark.h>

#include "operations.h"

int main(int argc, char **argv)
{
    for_each_operation([](const std::string &name, auto op) {
        benchmark::RegisterBenchmark(name.c_str(), [op](benchmark::State &state) {
            for (auto _ : state)
                benchmark::DoNotOptimize(op());
        });
    });
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
