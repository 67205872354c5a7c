#include <stdio.h>

#include "qarvel.h"
#include "scenarios.h"

extern "C" {
uint32_t dirty_exception_frame = 0;
uint32_t dirty_unwind_target = 0;
}

// Called by the outer unwind for the first record: starts a nested unwind to
// the second record, which resumes in test 5 behind its invoke_callback call.
extern "C" uint32_t handle_exception_dirty_unwind(
    EXCEPTION_RECORD *exception_record, void *, void *, void *)
{
    // A do_unwind that comes back (a faulty platform) falls through to the
    // return: the handler was called as an unwind handler all the same.
    if (exception_record->ExceptionFlags & EXCEPTION_UNWINDING)
        do_unwind(dirty_exception_frame + sizeof(EXCEPTION_REGISTRATION_RECORD),
                  dirty_unwind_target);
    else
        printf("dirty unwind handler called on non-unwind.\n");
    return ExceptionContinueSearch;
}

extern "C" void invoke_dirty_unwind(void)
{
    perform_test_unwind();
    printf("should never get here.\n");
}

extern "C" void install_dirty_pair(EXCEPTION_REGISTRATION_RECORD records[2])
{
    dirty_exception_frame = seh_addr(&records[0]);
    records[0].Next = &records[1];
    records[1].Next = seh_record(get_seh_frame());
    records[0].Handler = SEH_HANDLER(handle_exception_dirty_unwind);
    records[1].Handler = SEH_HANDLER(handle_exception_dirty_unwind);
    set_seh_frame(seh_addr(&records[0]));
}

// Two passes of an unwind toward the harness that a handler diverts to the
// nearer second record; the second record must survive both.
extern "C" void test_05_dirty_unwind_frame(void)
{
    EXCEPTION_REGISTRATION_RECORD records[2];
    install_dirty_pair(records);

    invoke_callback_resumable(invoke_dirty_unwind, &dirty_unwind_target);
    printf("should get here.\n");

    set_seh_frame(seh_addr(&records[0]));
    invoke_callback_resumable(invoke_dirty_unwind, &dirty_unwind_target);
    printf("should get here.\n");

    if (get_seh_frame() != seh_addr(&records[1]))
        printf("dirty frame was unwound.\n");
    set_seh_frame(seh_addr(records[1].Next));
}
