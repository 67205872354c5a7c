#include "unwind_errors.h"

#include "fatal.h"
#include "status_name.h"

void unwind_failed(uint32_t status, uint32_t record)
{
    fatal_line line;
    const char *name = status_name(status);
    line << "RtlUnwind: " << (name ? name : "status") << " (";
    line.hex(status) << ") at record ";
    line.hex(record).exit(static_cast<int>(status & 0xFF));
}

// A code whose low byte is 0 must not end the process as a success.
void unwind_raised_at_end(const EXCEPTION_RECORD *record)
{
    const uint32_t code = record->ExceptionCode;
    fatal_line line;
    line << "RtlUnwind: " << (code == STATUS_UNWIND ? status_name(code) : "exception") << " (";
    line.hex(code) << ") raised at the end of the chain, with no handler left";
    line.exit((code & 0xFF) != 0 ? static_cast<int>(code & 0xFF) : 0xFF);
}

void unwind_without_block(void)
{
    (fatal_line() << "RtlUnwind: this thread has no information block "
                     "of its own (it was not started by pthread_create)")
        .exit(SEH_PLATFORM_EXIT_NO_BLOCK);
}
