// Threads: each exception on its own thread's chain and stack, dispatches
// at once that do not disturb one another (D5), vectored handlers called
// on the raising thread (V5).
#include "comparison.h"

void comparison::threads(void)
{
    const place_kind where = place_of(s_).kind;
    if (o_.wrong_thread)
        add(vectored_of(s_).count ? promise::V5 : promise::D5,
            "a handler of the check's was called on a thread that raised nothing");
    if (where != place_kind::threads)
        return;
    if (o_.threads_difference[0])
        add(promise::D5, o_.threads_difference);
    if (o_.threads_missed)
        add(promise::D5, "the threads' dispatches never ran at once: some thread's handler was "
                         "not reached within 3 s of the others'");
}
