#include "workloads.h"

#include <setjmp.h>

#include "qarvel.h"
#include "scenarios.h"

// The recursions below end in a call that never returns (a forced unwind,
// longjmp, throw), which the compiler takes for endless recursion.
#pragma GCC diagnostic ignored "-Winfinite-recursion"

int bench_depth;

namespace {

// The least a handler can do, so that the figures are the unwinder's.
uint32_t minimal_handler(EXCEPTION_RECORD *, void *, void *, void *)
{
    return ExceptionContinueSearch;
}

// The handler comes as an argument, as the depth does, so that no frame
// needs to find it (in PIC code, through a call of its own).
__attribute__((noinline)) void install_and_descend(int depth, EXCEPTION_ROUTINE handler)
{
    if (depth == 0)
        perform_test_unwind();
    EXCEPTION_REGISTRATION_RECORD record;
    record.Next = get_seh_frame();
    record.Handler = handler;
    set_seh_frame(seh_addr(&record));
    install_and_descend(depth - 1, handler);
    __asm__ volatile("" ::: "memory"); // not a tail call: the frame stays
}

jmp_buf exit_point;

__attribute__((noinline)) void descend_and_longjmp(int depth)
{
    if (depth == 0)
        longjmp(exit_point, 1);
    descend_and_longjmp(depth - 1);
    __asm__ volatile("" ::: "memory");
}

struct exit_signal {
    int depth;
};

__attribute__((noinline)) void descend_and_throw(int depth)
{
    if (depth == 0)
        throw exit_signal{depth};
    descend_and_throw(depth - 1);
    __asm__ volatile("" ::: "memory");
}

// The frame between establisher and scenario, as invoke_callback is.
__attribute__((noinline)) void call_scenario(scenario_fn scenario)
{
    scenario();
    __asm__ volatile("" ::: "memory");
}

} // namespace

void returning_scenario() {}

void forced_unwind_scenario() { install_and_descend(bench_depth, minimal_handler); }

void dirty_pass_scenario()
{
    EXCEPTION_REGISTRATION_RECORD records[2];
    install_dirty_pair(records);
    invoke_callback_resumable(invoke_dirty_unwind, &dirty_unwind_target);
    set_seh_frame(records[1].Next);
}

void longjmp_scenario() { descend_and_longjmp(bench_depth); }

void throw_scenario() { descend_and_throw(bench_depth); }

__attribute__((noinline)) uint32_t setjmp_frame(scenario_fn scenario)
{
    if (setjmp(exit_point) == 0)
        call_scenario(scenario);
    return static_cast<uint32_t>(bench_depth);
}

__attribute__((noinline)) uint32_t try_frame(scenario_fn scenario)
{
    try {
        call_scenario(scenario);
    } catch (const exit_signal &e) {
        return static_cast<uint32_t>(e.depth + bench_depth);
    }
    return 0;
}
