#include "qarvel.h"

// Forces an unwind back to the harness of the run in progress.
extern "C" void perform_test_unwind(void)
{
    do_unwind(saved_exception_frame, saved_ebp);
}
