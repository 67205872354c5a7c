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
    // The threads meet in the first handler of their exception: in a
    // vectored handler, a lock held during its call keeps the others out.
    const bool in_vectored = !p_.calls.empty() && is_vectored(p_.calls.front().node);
    if (o_.threads_missed)
        add(in_vectored ? promise::V8 : promise::D5,
            format("the threads' dispatches never ran at once: some thread's %s handler was not "
                   "reached within 3 s of the others'",
                   in_vectored ? "vectored" : "first"));
}
