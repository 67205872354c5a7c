/* A way out of code that a platform entered and will not return from
 * (escape.S). */
#ifndef CONTRACT_ESCAPE_H
#define CONTRACT_ESCAPE_H

#include <stdint.h>

extern "C" {
// Calls fn(arg) and returns 0; escape_to(*frame), from anywhere fn leads to
// on this thread, returns 1 from it instead.
uint32_t run_escapable(void (*fn)(void *), void *arg, uint32_t *frame);
[[noreturn]] void escape_to(uint32_t frame);
// escape_to with the frame in EAX, for a context to resume at.
extern char escape_resume[];
// Returns EAX from the routine whose frame EBP is (see escape.S).
extern char frame_return[];
}

#endif
