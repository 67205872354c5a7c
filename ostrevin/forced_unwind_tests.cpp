#include <stdio.h>

#include "qarvel.h"
#include "scenarios.h"

extern "C" void test_03_unwind_nothing(void)
{
    perform_test_unwind();
    printf("should never get here.\n");
}

extern "C" uint32_t handle_exception_clean_unwind(
    EXCEPTION_RECORD *exception_record, void *, void *, void *)
{
    if (!(exception_record->ExceptionFlags & EXCEPTION_UNWINDING))
        printf("clean unwind handler called on non-unwind.\n");
    return ExceptionContinueSearch;
}

// The forced unwind has to call this record's handler and take the record
// off the chain; the scenario never removes it itself.
extern "C" void test_04_clean_unwind_frame(void)
{
    EXCEPTION_REGISTRATION_RECORD record;
    record.Next = seh_record(get_seh_frame());
    record.Handler = SEH_HANDLER(handle_exception_clean_unwind);
    set_seh_frame(seh_addr(&record));
    perform_test_unwind();
    printf("should never get here.\n");
}
