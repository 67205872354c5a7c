// Every operation that the benchmarks run, by name, for the timing loops and
// the instruction counts alike: visit(name, op) for each, op returning a
// uint32_t. Names are Google Benchmark's: BM_<series>, /<depth> for a
// non-local exit through that many records or frames.
#ifndef BENCH_OPERATIONS_H
#define BENCH_OPERATIONS_H

#include <string>

#include "workloads.h"

template <class Visit> void for_each_operation(Visit visit)
{
    auto deep = [](const char *series, int depth) {
        return std::string("BM_") + series + "/" + std::to_string(depth);
    };
    visit(std::string("BM_harness_return"), [] { return harness_return(); });
    for (int depth : bench_depths)
        visit(deep("forced_unwind", depth), [depth] { return harness_forced_unwind(depth); });
    visit(std::string("BM_dirty_unwind_pass"), [] { return dirty_unwind_pass(); });
    for (int depth : bench_depths)
        visit(deep("longjmp", depth), [depth] { return longjmp_exit(depth); });
    for (int depth : bench_depths)
        visit(deep("cxx_throw", depth), [depth] { return cxx_throw_exit(depth); });
    for (int depth : raise_depths)
        visit(deep("raise_and_catch", depth), [depth] { return raise_and_catch(depth); });
}

#endif
