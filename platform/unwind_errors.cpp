#include "unwind_errors.h"

#include "dispatch.h"
#include "fatal.h"
#include "status_name.h"

void unwind_failed(uint32_t status, EXCEPTION_RECORD *unwind_record)
{
    raise_status(status, unwind_record);
}

void unwind_raised_at_end(EXCEPTION_RECORD *record)
{
    seh_raise(record);
}

void unwind_out_of_stack(uint32_t head)
{
    fatal_line line;
    line << "RtlUnwind: " << status_name(STATUS_STACK_OVERFLOW) << " (";
    line.hex(STATUS_STACK_OVERFLOW) << ") at record ";
    line.hex(head).exit(static_cast<int>(STATUS_STACK_OVERFLOW & 0xFF));
}

void unwind_without_block(void)
{
    (fatal_line() << "RtlUnwind: this thread has no information block "
                     "of its own (it was not started by pthread_create)")
        .exit(SEH_PLATFORM_EXIT_NO_BLOCK);
}
