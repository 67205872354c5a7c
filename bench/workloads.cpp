#include "workloads.h"

#include <setjmp.h>

#include "qarvel.h"
#include "scenarios.h"

#ifdef _WIN32
// kernel32's, as windows.h declares it (windows.h cannot be included beside
// qarvel.h).
extern "C" __declspec(dllimport) void __stdcall RaiseException(unsigned long code,
                                                               unsigned long flags,
                                                               unsigned long count,
                                                               const unsigned long *arguments);
#else
#include "seh_platform.h"
#endif

int bench_depth;

namespace {

// The least a handler can do, so that the figures are the unwinder's.
uint32_t minimal_handler(EXCEPTION_RECORD *, void *, void *, void *)
{
    return ExceptionContinueSearch;
}

// The descents. Everything a frame needs comes in registers (regparm): the
// depth, the exit that the deepest frame takes (leave), and the handler of
// its record. A frame then reads no global, so it needs no GOT address (in
// PIC code a call of its own per frame), and the three descents cost the
// same per frame. noipa keeps the arguments where they are declared. After
// the exit nothing runs: if it comes back, the frame returns.
#define DESCENT __attribute__((noipa, regparm(3)))

DESCENT void install_and_descend(int depth, PEXCEPTION_ROUTINE handler, void (*leave)(void))
{
    if (depth == 0) {
        leave();
        __asm__ volatile("" ::: "memory"); // not a tail call: the frame stays
        return;
    }
    EXCEPTION_REGISTRATION_RECORD record;
    record.Next = seh_record(get_seh_frame());
    record.Handler = handler;
    set_seh_frame(seh_addr(&record));
    install_and_descend(depth - 1, handler, leave);
    __asm__ volatile("" ::: "memory");
}

DESCENT void descend(int depth, void (*leave)(void))
{
    if (depth == 0) {
        leave();
        __asm__ volatile("" ::: "memory");
        return;
    }
    descend(depth - 1, leave);
    __asm__ volatile("" ::: "memory");
}

// The exits other than perform_test_unwind, each one frame as that is.
jmp_buf exit_point;

__attribute__((noinline)) void exit_by_longjmp() { longjmp(exit_point, 1); }

struct exit_signal {
    int depth;
};

__attribute__((noinline)) void exit_by_throw() { throw exit_signal{0}; }

// A code of the application's own (customer bit set), raised without
// arguments.
constexpr unsigned long raised_code = 0xE0000001;
__attribute__((noinline)) void exit_by_raise() { RaiseException(raised_code, 0, 0, nullptr); }

// The frame pointer recorded by except_frame's invoke_callback call, behind
// which its handler resumes it.
uint32_t except_resume;

// On the first pass, the handler of except_frame's record takes the
// exception: it unwinds the records above its own and resumes its function
// behind the call that raised, through do_unwind. The unwind's own calls
// pass.
uint32_t except_handler(EXCEPTION_RECORD *exception, void *frame, void *, void *)
{
    if (exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    do_unwind(seh_addr(frame), except_resume);
    return ExceptionContinueSearch; // only where RtlUnwind came back
}

// The frame between establisher and scenario, as invoke_callback is.
__attribute__((noinline)) void call_scenario(scenario_fn scenario)
{
    scenario();
    __asm__ volatile("" ::: "memory");
}

} // namespace

void returning_scenario() {}

void forced_unwind_scenario()
{
    install_and_descend(bench_depth, SEH_HANDLER(minimal_handler), perform_test_unwind);
}

void dirty_pass_scenario()
{
    EXCEPTION_REGISTRATION_RECORD records[2];
    install_dirty_pair(records);
    invoke_callback_resumable(invoke_dirty_unwind, &dirty_unwind_target);
    set_seh_frame(seh_addr(records[1].Next));
}

void longjmp_scenario() { descend(bench_depth, exit_by_longjmp); }

void throw_scenario() { descend(bench_depth, exit_by_throw); }

void raise_scenario()
{
    install_and_descend(bench_depth, SEH_HANDLER(minimal_handler), exit_by_raise);
}

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

__attribute__((noinline)) uint32_t except_frame(scenario_fn scenario)
{
    EXCEPTION_REGISTRATION_RECORD record;
    record.Next = seh_record(get_seh_frame());
    record.Handler = SEH_HANDLER(except_handler);
    set_seh_frame(seh_addr(&record));
    invoke_callback_resumable(scenario, &except_resume);
    set_seh_frame(seh_addr(record.Next));
    return static_cast<uint32_t>(bench_depth);
}
