#include "qarvel.h"
#include "scenarios.h"

extern "C" void test_01_just_return(void) {}

// Leaves a record of its own installed on return: the harness must report
// the foreign head and repair the chain. No handler is ever called for it.
extern "C" void test_02_dangling_frame(void)
{
    EXCEPTION_REGISTRATION_RECORD record;
    record.Next = seh_record(get_seh_frame());
    record.Handler = SEH_HANDLER(handle_exception);
    set_seh_frame(seh_addr(&record));
}
