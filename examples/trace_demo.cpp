// Shows what the two tracers print from inside a harness run: the scenario
// installs a record of its own above the harness record, then traces the
// registration chain and the frame chain.
#include <stdio.h>

#include "qarvel.h"

static uint32_t demo_handler(EXCEPTION_RECORD *, void *, void *, void *)
{
    return ExceptionContinueSearch;
}

static void traced_scenario(void)
{
    EXCEPTION_REGISTRATION_RECORD own;
    own.Next = seh_record(get_seh_frame());
    own.Handler = SEH_HANDLER(demo_handler);
    set_seh_frame(seh_addr(&own));

    const auto *harness =
        reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD *>(saved_exception_frame);
    printf("scenario record 0x%08lx, handler demo_handler 0x%08lx\n",
           (unsigned long)seh_addr(&own),
           (unsigned long)seh_addr(reinterpret_cast<void *>(demo_handler)));
    printf("harness record  0x%08lx, handler handle_exception 0x%08lx\n",
           (unsigned long)saved_exception_frame,
           (unsigned long)seh_addr(reinterpret_cast<void *>(harness->Handler)));
    printf("frame recorded by invoke_callback (saved_ebp): 0x%08lx\n",
           (unsigned long)saved_ebp);
    printf("-- trace_frame_stack\n");
    trace_frame_stack();
    printf("-- trace_control_stack\n");
    trace_control_stack();

    set_seh_frame(seh_addr(own.Next));
}

int main(void)
{
    establish_return_frame(traced_scenario);
    return 0;
}
