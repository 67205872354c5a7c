/* Building a situation's world on the stack and making its calls of
 * RtlUnwind, with handlers that note what they see. */
#ifndef CONTRACT_STAGE_H
#define CONTRACT_STAGE_H

#include "model.h"
#include "observation.h"

// Runs s where it says (this thread, a new thread, 8 threads at once) and
// notes in obs what the platform did. obs starts zeroed.
void run_situation(const situation &s, observation &obs);

// For the fault and exception handlers of each target: the call of
// RtlUnwind that this thread is in (the innermost), or null; and the way
// out of the situation that this thread runs.
seen_unwind *unwind_in_progress(void);
uint32_t way_out(void);

// What each target provides (process_posix.cpp, process_win32.cpp).
// Runs fn(index, arg) on `count` new threads at once, as the platform's users
// start threads, and waits for them; false when they could not be started.
bool run_threads(int count, void (*fn)(int index, void *arg), void *arg);
void yield_now(void);
// The extent of the calling thread's stack as the system maps it: the
// lowest address it may grow down to, and one past its highest.
bool stack_extent(uint32_t *low, uint32_t *high);
double now_seconds(void);

#endif
