// T1, T2: every thread has its own block, chain and stack bounds.
#include <stdlib.h>

#include "checks.h"
#include "observe.h"
#include "process.h"
#include "report.h"
#include "stack_bounds.h"

namespace {

// The main thread keeps a record installed while the new thread runs, so
// that a chain shared between threads shows.
EXCEPTION_REGISTRATION_RECORD main_record;

uint32_t main_handler(EXCEPTION_RECORD *, void *, void *, void *)
{
    return ExceptionContinueSearch;
}

void with_main_record(void (*on_thread)(void *), void *arg)
{
    main_record = {get_seh_frame(), main_handler};
    set_seh_frame(seh_addr(&main_record));
    const uint32_t below = main_record.Next;
    if (!run_thread(on_thread, arg))
        report_fail("the new thread could not be started");
    if (get_seh_frame() != seh_addr(&main_record))
        report_fail("the main thread's head changed to %s", name_of(get_seh_frame()));
    else if (main_record.Next != below)
        report_fail("the main thread's record was relinked");
    set_seh_frame(below);
}

// T1: empty, or only records of the platform's thread start, which lie on
// the thread's own stack and lead to the end marker.
void first_head(void *)
{
    uint32_t at = get_seh_frame();
    for (int steps = 0; at != SEH_CHAIN_END; ++steps) {
        if (at == seh_addr(&main_record)) {
            report_fail("the new thread's chain held the main thread's record");
            return;
        }
        if (at == 0) {
            report_fail("the new thread's chain held null");
            return;
        }
        if (steps == 8 || !word_aligned(at) || !on_stack(at, 8)) {
            report_fail("the new thread's chain held a record off its stack");
            return;
        }
        at = reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD *>(at)->Next;
    }
    report_ok();
}

void t1_empty(void)
{
    report_pending("the new thread did not run");
    with_main_record(first_head, nullptr);
}

void unwind_on_thread(void *)
{
    EXCEPTION_REGISTRATION_RECORD r[3];
    install(r, 3);
    unwind(record_at(2));
    if (get_seh_frame() != record_at(2))
        report_fail("on the new thread the head afterwards was %s",
                    name_of(get_seh_frame()));
    // The records stay installed: the thread ends with them.
}

void t1_unwind(void)
{
    with_main_record(unwind_on_thread, nullptr);
    report_ok();
}

// T2
const char *bounds_fault(uint32_t local)
{
    if (stack_limit() >= stack_base())
        return "StackLimit is not below StackBase";
    if (!on_stack(local, 4))
        return "a local variable lies outside StackLimit..StackBase";
    return nullptr;
}

// A block too large for the heap's small pieces: the C library maps it on
// its own, among the mappings below the stack.
void t2_main(void)
{
    uint32_t local = 0;
    void *block = malloc(1u << 20);
    if (const char *fault = bounds_fault(seh_addr(&local)))
        report_fail("on the main thread %s", fault);
    else if (block && on_stack(seh_addr(block), 4))
        report_fail("the main thread's bounds hold a block of the heap");
    free(block);
    report_ok();
}

void thread_bounds(void *creators_local)
{
    uint32_t local = 0;
    if (const char *fault = bounds_fault(seh_addr(&local)))
        report_fail("on the new thread %s", fault);
    else if (on_stack(seh_addr(creators_local), 4))
        report_fail("the new thread's bounds hold the main thread's stack");
    else
        report_ok();
}

void t2_thread(void)
{
    report_pending("the new thread did not run");
    uint32_t local = 0;
    if (!run_thread(thread_bounds, &local))
        report_fail("the new thread could not be started");
}

} // namespace

const check thread_checks[] = {
    {"T1", "t1_empty", "a new thread starts with a chain of its own", t1_empty, ending::returns, 0},
    {"T1", "t1_unwind", "an unwind on a new thread leaves the main thread's chain alone", t1_unwind, ending::returns, 0},
    {"T2", "t2_main", "the main thread's stack bounds hold its stack and not the heap", t2_main, ending::returns, 0},
    {"T2", "t2_thread", "a new thread's stack bounds hold its own stack and not the main thread's", t2_thread, ending::returns, 0},
};
const int thread_check_count = sizeof thread_checks / sizeof thread_checks[0];
