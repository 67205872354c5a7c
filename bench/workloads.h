// The operations that the benchmarks time, the same on both targets. Each
// returns a value that depends on the work done, so that none is optimised
// away.
#ifndef BENCH_WORKLOADS_H
#define BENCH_WORKLOADS_H

#include <stdint.h>

// The depths at which every non-local exit is measured.
constexpr int bench_depths[] = {0, 1, 8, 64, 512};

// A harness run whose scenario returns at once.
uint32_t harness_return();

// A harness run whose scenario recurses `depth` frames, each installing a
// record with a minimal handler, and then forces the unwind to the harness.
uint32_t harness_forced_unwind(int depth);

// One pass of test 5: a forced unwind that a handler diverts to a nested one.
uint32_t dirty_unwind_pass();

// setjmp, `depth` frames of recursion, longjmp back.
uint32_t longjmp_exit(int depth);

// try, `depth` frames of recursion, throw, catch.
uint32_t cxx_throw_exit(int depth);

#endif
