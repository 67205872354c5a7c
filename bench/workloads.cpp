#include "workloads.h"

#include <setjmp.h>

#include "qarvel.h"
#include "scenarios.h"

// The recursions below end in a call that never returns (a forced unwind,
// longjmp, throw), which the compiler takes for endless recursion.
#pragma GCC diagnostic ignored "-Winfinite-recursion"

namespace {

int remaining_depth;
uint32_t handler_calls;

uint32_t minimal_handler(EXCEPTION_RECORD *, void *, void *, void *)
{
    ++handler_calls;
    return ExceptionContinueSearch;
}

__attribute__((noinline)) void install_and_descend(int depth)
{
    if (depth == 0)
        perform_test_unwind();
    EXCEPTION_REGISTRATION_RECORD record;
    record.Next = get_seh_frame();
    record.Handler = minimal_handler;
    set_seh_frame(seh_addr(&record));
    install_and_descend(depth - 1);
    __asm__ volatile("" ::: "memory"); // not a tail call: the frame stays
}

void forced_unwind_scenario() { install_and_descend(remaining_depth); }

void returning_scenario() {}

void one_dirty_pass()
{
    EXCEPTION_REGISTRATION_RECORD records[2];
    install_dirty_pair(records);
    invoke_callback_resumable(invoke_dirty_unwind, &dirty_unwind_target);
    set_seh_frame(records[1].Next);
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

} // namespace

uint32_t harness_return()
{
    establish_return_frame(returning_scenario);
    return saved_ebp;
}

uint32_t harness_forced_unwind(int depth)
{
    remaining_depth = depth;
    establish_return_frame(forced_unwind_scenario);
    return handler_calls;
}

uint32_t dirty_unwind_pass()
{
    establish_return_frame(one_dirty_pass);
    return dirty_unwind_target;
}

uint32_t longjmp_exit(int depth)
{
    if (setjmp(exit_point) == 0)
        descend_and_longjmp(depth);
    return static_cast<uint32_t>(depth);
}

uint32_t cxx_throw_exit(int depth)
{
    try {
        descend_and_throw(depth);
    } catch (const exit_signal &e) {
        return static_cast<uint32_t>(e.depth + depth);
    }
    return 0;
}
