// W1-W7: the walk along the chain, the handler calls and the dispositions.
#include <string.h>

#include "checks.h"
#include "observe.h"
#include "process.h"
#include "qarvel.h"
#include "report.h"
#include "stack_bounds.h"

namespace {

// Four records, an unwind to the fourth (so three handlers run), and the
// head as it was before; the sights stay for the check to read. The records
// are only compared by address afterwards, never read.
void unwind_three_of_four(void)
{
    EXCEPTION_REGISTRATION_RECORD r[4];
    install(r, 4);
    unwind(record_at(3));
    uninstall();
}

// W1: the first calls of the handlers of the records over the target must
// come newest first, along Next. (Whether the target's own handler runs is
// U1's matter.)
void expect_first_calls(const int *order, int count)
{
    int seen[max_sights], n = 0;
    for (int i = 0; i < sight_count; ++i) {
        bool again = false;
        for (int k = 0; k < n; ++k)
            again |= seen[k] == sights[i].index;
        if (!again)
            seen[n++] = sights[i].index;
    }
    for (int k = 0; k < count; ++k) {
        if (calls_of(order[k]) == 0) {
            report_fail("record %d's handler was not called", order[k] + 1);
            return;
        }
        if (k >= n || seen[k] != order[k]) {
            report_fail("record %d's handler was not called %s", order[k] + 1,
                        k == 0 ? "first" : "next");
            return;
        }
    }
}

void w1_order(void)
{
    unwind_three_of_four();
    const int order[] = {0, 1, 2};
    expect_first_calls(order, 3);
    report_ok();
}

// Record 2 lies between records 1 and 3 in memory but is not linked.
void w1_links(void)
{
    EXCEPTION_REGISTRATION_RECORD r[4];
    install(r, 4);
    r[0].Next = record_at(2);
    unwind(record_at(3));
    uninstall();
    if (calls_of(1) > 0)
        report_fail("record 2, not on the chain, had its handler called");
    const int order[] = {0, 2};
    expect_first_calls(order, 2);
    report_ok();
}

// W2: a record that fails the checks, alone on the chain; its handler
// must never run.
uint32_t bad_record_handler(EXCEPTION_RECORD *, void *, void *, void *)
{
    report_fail("the bad record's handler was called");
    return ExceptionContinueSearch;
}

void unwind_bad_record(uint32_t bad)
{
    EXCEPTION_REGISTRATION_RECORD record = {SEH_CHAIN_END, bad_record_handler};
    memcpy(reinterpret_cast<void *>(bad), &record, sizeof record);
    set_seh_frame(bad);
    unwind(SEH_CHAIN_END);
}

void w2_misaligned(void)
{
    alignas(4) unsigned char area[16];
    unwind_bad_record(seh_addr(area) + 2);
}

EXCEPTION_REGISTRATION_RECORD off_stack;

void w2_off_stack(void) { unwind_bad_record(seh_addr(&off_stack)); }

// Records at the stack's edges, which only a check of the bounds tells
// from good ones: their memory is not the check's to write (nor, perhaps,
// to read), so the head merely points there.
void w2_across_base(void)
{
    set_seh_frame(stack_base() - 4);
    unwind(SEH_CHAIN_END);
}

void w2_below_limit(void)
{
    set_seh_frame(stack_limit() - 8);
    unwind(SEH_CHAIN_END);
}

// W3: targets that going to older records never reaches.
void w3_below_head(void)
{
    EXCEPTION_REGISTRATION_RECORD r[3];
    install(r, 3);
    set_seh_frame(record_at(1));
    unwind(record_at(0));
}

void w3_passed_over(void)
{
    EXCEPTION_REGISTRATION_RECORD r[3];
    install(r, 3);
    r[0].Next = record_at(2);
    unwind(record_at(1));
}

// W4: the handlers' arguments and the chain during their calls.
void w4_frame(void)
{
    unwind_three_of_four();
    expect_sights();
    for (int i = 0; i < sight_count; ++i)
        if (sights[i].frame != record_at(sights[i].index))
            report_fail("record %d's handler got %s as EstablisherFrame",
                        sights[i].index + 1, name_of(sights[i].frame));
    report_ok();
}

void w4_linked(void)
{
    unwind_three_of_four();
    expect_sights();
    for (int i = 0; i < sight_count; ++i) {
        const sight &s = sights[i];
        if (index_of(s.head) >= 0 || s.head == SEH_CHAIN_END)
            report_fail("record %d's handler ran with %s at the head",
                        s.index + 1, name_of(s.head));
        else if (!(s.on_chain & (1u << s.index)))
            report_fail("record %d was off the chain while its handler ran",
                        s.index + 1);
    }
    report_ok();
}

// The checks from here on act in record 2's handler, never the head's, so
// that they show their own promise whatever happens to the head record.
//
// W5: a nested unwind from record 2's handler to record 4, during an unwind
// to record 5; it resumes behind invoke_callback, as a program's non-local
// return would, abandoning the outer unwind. (The registers that RtlUnwind
// returns are E1's matter: call_rtl_unwind restores its own.)
uint32_t resume_frame;

uint32_t nest_once(const sight &seen)
{
    if (seen.index == 1 && calls_of(1) == 1) {
        unwind(record_at(3));
        resume_behind(resume_frame);
    }
    return ExceptionContinueSearch;
}

void outer_unwind(void)
{
    unwind(record_at(4));
    report_fail("the outer unwind came back");
}

void w5_nested(void)
{
    EXCEPTION_REGISTRATION_RECORD r[5];
    install(r, 5);
    answer = nest_once;
    invoke_callback_resumable(outer_unwind, &resume_frame);
    answer = nullptr;
    const uint32_t head = get_seh_frame();
    uninstall();
    if (calls_of(1) != 1)
        report_fail("record 2's handler was called %d times", calls_of(1));
    if (calls_of(2) == 0)
        report_fail("record 3's handler was not called");
    if (head != record_at(3))
        report_fail("the head afterwards was %s", name_of(head));
    report_ok();
}

// The platform's record at the head, asked directly as a nested unwind
// would ask it.
uint32_t ask_the_head(const sight &seen)
{
    if (seen.index != 1 || calls_of(1) != 1)
        return ExceptionContinueSearch;
    if (index_of(seen.head) >= 0 || seen.head == SEH_CHAIN_END) {
        report_fail("no record of the platform's at the head");
        return ExceptionContinueSearch;
    }
    static uint32_t context[256]; // room for any CONTEXT
    EXCEPTION_RECORD nested = {};
    nested.ExceptionCode = status_unwind;
    nested.ExceptionFlags = EXCEPTION_UNWINDING;
    uint32_t dispatcher = 0;
    auto *guard = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD *>(seen.head);
    const uint32_t disposition =
        guard->Handler(&nested, guard, context, &dispatcher);
    if (disposition != ExceptionCollidedUnwind)
        report_fail("it answered %lu", (unsigned long)disposition);
    else if (dispatcher != record_at(seen.index))
        report_fail("its dispatcher context named %s", name_of(dispatcher));
    report_ok();
    return ExceptionContinueSearch;
}

void w5_collided(void)
{
    report_pending("record 2's handler was not called");
    EXCEPTION_REGISTRATION_RECORD r[3];
    install(r, 3);
    answer = ask_the_head;
    unwind(record_at(2));
    uninstall();
}

// W6: record 2 answers the unwind with something else than
// ExceptionContinueSearch, once; calls after it (a raised status being
// dispatched) are answered ExceptionContinueSearch.
uint32_t first_answer;

uint32_t answer_once(const sight &seen)
{
    return seen.index == 1 && calls_of(1) == 1 ? first_answer
                                               : ExceptionContinueSearch;
}

void unwind_with_answer(uint32_t disposition)
{
    EXCEPTION_REGISTRATION_RECORD r[3];
    install(r, 3);
    first_answer = disposition;
    answer = answer_once;
    unwind(record_at(2));
}

void w6_continue_execution(void) { unwind_with_answer(0); }
void w6_nested_exception(void) { unwind_with_answer(2); }
// The record named by the dispatcher context is then whatever RtlUnwind
// left there: checked like any other, it is a bad record (W2) or one that
// does not lead to the target (W3).
void w6_collided_alone(void) { unwind_with_answer(ExceptionCollidedUnwind); }

// W7: once per handler, and each record off the chain before the next
// handler runs.
void w7_once(void)
{
    unwind_three_of_four();
    expect_sights();
    for (int i = 0; i < 3; ++i)
        if (calls_of(i) > 1)
            report_fail("record %d's handler was called %d times", i + 1, calls_of(i));
    report_ok();
}

void w7_one_by_one(void)
{
    unwind_three_of_four();
    expect_sights();
    for (int i = 0; i < sight_count; ++i) {
        const sight &s = sights[i];
        for (int k = 0; k < s.index; ++k)
            if (s.on_chain & (1u << k)) {
                report_fail("record %d was still on the chain while record %d's handler ran",
                            k + 1, s.index + 1);
                break;
            }
    }
    report_ok();
}

} // namespace

const check walk_checks[] = {
    {"W1", "w1_order", "handlers run newest first", w1_order, ending::returns, 0},
    {"W1", "w1_links", "the walk follows Next and passes over a record not on the chain", w1_links, ending::returns, 0},
    {"W2", "w2_misaligned", "a misaligned record ends with STATUS_BAD_STACK", w2_misaligned, ending::status, status_bad_stack},
    {"W2", "w2_off_stack", "a record off the stack ends with STATUS_BAD_STACK", w2_off_stack, ending::status, status_bad_stack},
    {"W2", "w2_across_base", "a record whose 8 bytes cross StackBase ends with STATUS_BAD_STACK", w2_across_base, ending::status, status_bad_stack},
    {"W2", "w2_below_limit", "a record just below StackLimit ends with STATUS_BAD_STACK", w2_below_limit, ending::status, status_bad_stack},
    {"W3", "w3_below_head", "a target below the head ends with STATUS_INVALID_UNWIND_TARGET", w3_below_head, ending::status, status_invalid_unwind_target},
    {"W3", "w3_passed_over", "a target that the walk passes over ends with STATUS_INVALID_UNWIND_TARGET", w3_passed_over, ending::status, status_invalid_unwind_target},
    {"W4", "w4_frame", "each handler gets its own record as EstablisherFrame", w4_frame, ending::returns, 0},
    {"W4", "w4_linked", "each handler runs with a record of the platform's at the head and its own record still linked", w4_linked, ending::returns, 0},
    {"W5", "w5_nested", "a nested unwind from a handler passes over the running record without calling it again", w5_nested, ending::returns, 0},
    {"W5", "w5_collided", "the platform's record answers a nested unwind with ExceptionCollidedUnwind and the running record", w5_collided, ending::returns, 0},
    {"W6", "w6_continue_execution", "the answer ExceptionContinueExecution ends with STATUS_INVALID_DISPOSITION", w6_continue_execution, ending::status, status_invalid_disposition},
    {"W6", "w6_nested_exception", "the answer ExceptionNestedException ends with STATUS_INVALID_DISPOSITION", w6_nested_exception, ending::status, status_invalid_disposition},
    {"W6", "w6_collided_alone", "the answer ExceptionCollidedUnwind without a nested unwind ends with the status of a bad record or target", w6_collided_alone, ending::status, status_bad_stack, status_invalid_unwind_target},
    {"W7", "w7_once", "each handler is called once", w7_once, ending::returns, 0},
    {"W7", "w7_one_by_one", "records leave the chain one by one", w7_one_by_one, ending::returns, 0},
};
const int walk_check_count = sizeof walk_checks / sizeof walk_checks[0];
