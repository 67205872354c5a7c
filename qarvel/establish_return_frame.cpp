#include <stdio.h>

#include "qarvel.h"

// Runs callback under the harness record. The callback either returns or is
// ended by a forced unwind that resumes directly behind invoke_callback; in
// both cases the head must be the harness record again, and is restored to
// what it was before the run.
extern "C" void establish_return_frame(scenario_fn callback)
{
    EXCEPTION_REGISTRATION_RECORD record;
    saved_exception_frame = seh_addr(&record);
    record.Next = seh_record(get_seh_frame());
    record.Handler = SEH_HANDLER(handle_exception);
    set_seh_frame(seh_addr(&record));

    invoke_callback_resumable(callback, &saved_ebp);

    if (get_seh_frame() != seh_addr(&record))
        printf("exception frame mismatch on callback return.\n");
    set_seh_frame(seh_addr(record.Next));
}
