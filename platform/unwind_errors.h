// How RtlUnwind ends the process when the walk cannot go on. RtlUnwind runs
// on the 4-byte aligned stack that its caller gives it, without realigning
// it; these cold paths realign their own, so that they call the C library as
// the ABI requires.
#ifndef SEH_PLATFORM_UNWIND_ERRORS_H
#define SEH_PLATFORM_UNWIND_ERRORS_H

#include <stdint.h>

#include "nt_tib.h"

#define SEH_PLATFORM_COLD_PATH [[noreturn]] __attribute__((cold, force_align_arg_pointer))

// "RtlUnwind: NAME (STATUS) at record RECORD", and the status's low byte.
SEH_PLATFORM_COLD_PATH void unwind_failed(uint32_t status, uint32_t record);

// The walk reached the end marker, which was not its target: the platform
// raises the unwind's exception record there, and no handler is left to take
// it.
SEH_PLATFORM_COLD_PATH void unwind_raised_at_end(const EXCEPTION_RECORD *record);

// The thread's chain is another thread's: unwinding it would corrupt that
// one.
SEH_PLATFORM_COLD_PATH void unwind_without_block(void);

#endif
