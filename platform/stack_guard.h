// The reserve below a thread's stack (X9): the page at StackLimit - 4 KiB
// has no access (the soft guard), and the 16 KiB below it only serve the
// dispatch of the stack overflow that the guard reports. Beneath them lies
// the stack's hard end (the C library's guard page, or unmapped memory).
#ifndef SEH_PLATFORM_STACK_GUARD_H
#define SEH_PLATFORM_STACK_GUARD_H

#include <stdint.h>

#include "nt_tib.h"

// Places the guard in the calling thread's stack and raises StackLimit
// above it. A stack smaller than 128 KiB gets none: its overflow ends the
// process. The main thread's stack grows on demand: where the guard and the
// reserve are not mapped yet, they are mapped at its limit.
void arm_stack_guard(NT_TIB *tib);

// Whether `address` lies in the calling thread's armed guard.
bool in_stack_guard(uint32_t address);

// Whether a dispatch that needs the stack from `top` down to `low` would
// reach the armed guard.
bool reaches_stack_guard(uint32_t low, uint32_t top);

// The guard reported the overflow: its page becomes stack again and
// StackLimit moves down to the reserve's end. It is not armed again.
void fire_stack_guard(NT_TIB *tib);

// The thread ends: its stack may serve another thread, without the guard.
void disarm_stack_guard(void);

#endif
