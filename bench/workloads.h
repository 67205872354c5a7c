// The operations that the benchmarks time, the same on both targets. Each
// returns a value that depends on the work done, so that none is optimised
// away.
//
// Like for like: every non-local exit is timed through the same frames. The
// timing loop calls the operation inline; the operation calls an
// establisher (establish_return_frame, or setjmp_frame or try_frame), which
// calls the scenario through one frame (invoke_callback, or call_scenario);
// the scenario descends N + 1 frames, the deepest calls the exit
// (perform_test_unwind, or a routine that calls longjmp or throws), and the
// exit leaves straight back into the establisher, which returns to the loop.
#ifndef BENCH_WORKLOADS_H
#define BENCH_WORKLOADS_H

#include <stdint.h>

// From qarvel.h, which cannot be included beside windows.h.
extern "C" {
typedef void (*scenario_fn)(void);
void establish_return_frame(scenario_fn callback);
extern uint32_t saved_ebp;
}

// The depths at which every non-local exit is measured, and the fewer at
// which raise-and-catch is.
constexpr int bench_depths[] = {0, 1, 8, 64, 512};
constexpr int raise_depths[] = {0, 8, 64};

// How deep the next scenario descends.
extern int bench_depth;

void returning_scenario();
void forced_unwind_scenario(); // a record in each frame, then a forced unwind
void dirty_pass_scenario();    // test 5's record pair and one dirty pass
void longjmp_scenario();       // longjmp from the deepest frame
void throw_scenario();         // throw from the deepest frame
void raise_scenario();         // RaiseException from the deepest frame

// Run the scenario under setjmp, under try with a catch, or under a record
// whose handler catches the exception as __except does; return bench_depth
// once the exit has come back.
uint32_t setjmp_frame(scenario_fn scenario);
uint32_t try_frame(scenario_fn scenario);
uint32_t except_frame(scenario_fn scenario);

// A harness run whose scenario returns at once.
inline uint32_t harness_return()
{
    establish_return_frame(returning_scenario);
    return saved_ebp;
}

// A harness run whose scenario descends `depth` frames below the first, each
// installing a record with a minimal handler, and forces the unwind back to
// the harness.
inline uint32_t harness_forced_unwind(int depth)
{
    bench_depth = depth;
    establish_return_frame(forced_unwind_scenario);
    return saved_ebp;
}

// One pass of test 5: a forced unwind that a handler diverts to a nested one.
inline uint32_t dirty_unwind_pass()
{
    establish_return_frame(dirty_pass_scenario);
    return saved_ebp;
}

// setjmp, the same descent, longjmp back.
inline uint32_t longjmp_exit(int depth)
{
    bench_depth = depth;
    return setjmp_frame(longjmp_scenario);
}

// try, the same descent, throw, catch.
inline uint32_t cxx_throw_exit(int depth)
{
    bench_depth = depth;
    return try_frame(throw_scenario);
}

// RaiseException through the same descent, each frame's record passing it
// on, caught by the establisher's record: its handler unwinds to its own
// record (RtlUnwind) and continues in its function, as a compiler's
// __except does.
inline uint32_t raise_and_catch(int depth)
{
    bench_depth = depth;
    return except_frame(raise_scenario);
}

#endif
