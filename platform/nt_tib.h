/* The platform layer for linux-i386: a thread information block per thread,
 * reached through the FS segment as on the 32-bit Windows platform, and the
 * platform's RtlUnwind.
 *
 * Every thread that the program starts with pthread_create (and so every
 * std::thread) gets a block of its own, with an empty chain and its own stack
 * bounds, before its start routine runs: the layer interposes pthread_create.
 * For that the layer must come before the C library in the program's lookup
 * order: link the program against it directly, or preload it. It cannot be
 * loaded with dlopen. */
#ifndef SEH_PLATFORM_NT_TIB_H
#define SEH_PLATFORM_NT_TIB_H

#include <stdbool.h>
#include <stdint.h>

#include "context.h"
#include "seh_frame.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SEH_PLATFORM_API __attribute__((visibility("default")))

typedef struct NT_TIB {
    uint32_t ExceptionList; /* chain head, FS:0 */
    uint32_t StackBase;     /* one past the highest stack address, FS:4 */
    uint32_t StackLimit;    /* lowest stack address, FS:8 */
    uint32_t SubSystemTib;
    uint32_t FiberData;
    uint32_t ArbitraryUserPointer;
    uint32_t Self; /* linear address of this block, FS:0x18 */
} NT_TIB;

/* The platform's statuses, and the exit status with which the layer ends a
 * process that it cannot serve (no block could be set up for a thread, or
 * the thread has none of its own). */
#define STATUS(name, code, promise, what) static const uint32_t name = code##u;
#define LAYER_EXIT(name, status, promise, what) static const int name = status;
#include "statuses.def"
#undef STATUS
#undef LAYER_EXIT

/* The block that FS points to on the calling thread. */
SEH_PLATFORM_API NT_TIB *tib_current(void);

/* Whether tib is the calling thread's own block: false on a thread that the
 * layer did not start (a raw clone, a C library helper thread), which still
 * has its creator's. */
SEH_PLATFORM_API bool tib_is_own(const NT_TIB *tib);

/* Unwinds the calling thread's chain down to TargetFrame, calling each
 * record's handler with EXCEPTION_UNWINDING set and a CONTEXT of the caller's
 * registers, captured on entry, and returns by resuming that context: EAX is
 * ReturnValue unless a handler changed it there. The end marker as target
 * unwinds the whole chain and returns; a null target unwinds the whole chain
 * as an exit unwind, and then, as a target that the walk never meets, ends
 * the process with the exception record's code: the real platform raises the
 * record there, and no handler is left. A bad chain or target ends the
 * process with its status. Whenever the layer ends the process, it writes a
 * line on stderr and exits with the status's low byte. */
SEH_PLATFORM_API __attribute__((stdcall)) uint32_t
RtlUnwind(void *TargetFrame, void *TargetIp, EXCEPTION_RECORD *ExceptionRecord,
          void *ReturnValue);

#ifdef __cplusplus
}
#endif

#endif
