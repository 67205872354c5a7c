// How RtlUnwind raises what it cannot do. RtlUnwind runs on the 4-byte
// aligned stack that its caller gives it, without realigning it; these cold
// paths realign their own, so that they call on as the ABI requires.
#ifndef SEH_PLATFORM_UNWIND_ERRORS_H
#define SEH_PLATFORM_UNWIND_ERRORS_H

#include <stdint.h>

#include "nt_tib.h"

#define SEH_PLATFORM_COLD_PATH __attribute__((cold, force_align_arg_pointer))

// E4: the status of W2, W3 or W6, raised noncontinuable with the unwind's
// record chained.
[[noreturn]] SEH_PLATFORM_COLD_PATH void unwind_failed(uint32_t status,
                                                       EXCEPTION_RECORD *unwind_record);

// E3: the walk reached the end marker, which was not its target: the
// unwind's record is raised there, with the chain now empty. Returns if the
// exception is continued.
SEH_PLATFORM_COLD_PATH void unwind_raised_at_end(EXCEPTION_RECORD *record);

// Runaway nested unwinds: "RtlUnwind: STATUS_STACK_OVERFLOW (0xc00000fd) at
// record HEAD", and the status's low byte. No stack is left to raise it on.
[[noreturn]] SEH_PLATFORM_COLD_PATH void unwind_out_of_stack(uint32_t head);

// The thread's chain is another thread's: unwinding it would corrupt that
// one.
[[noreturn]] SEH_PLATFORM_COLD_PATH void unwind_without_block(void);

#endif
