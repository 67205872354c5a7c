/* The platform layer for linux-i386: a thread information block per thread,
 * reached through the FS segment as on the 32-bit Windows platform, and the
 * platform's RtlUnwind. */
#ifndef SEH_PLATFORM_NT_TIB_H
#define SEH_PLATFORM_NT_TIB_H

#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>

#include "seh_frame.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct NT_TIB {
    uint32_t ExceptionList; /* chain head, FS:0 */
    uint32_t StackBase;     /* one past the highest stack address, FS:4 */
    uint32_t StackLimit;    /* lowest stack address, FS:8 */
    uint32_t SubSystemTib;
    uint32_t FiberData;
    uint32_t ArbitraryUserPointer;
    uint32_t Self; /* linear address of this block, FS:0x18 */
} NT_TIB;

#define STATUS_INVALID_DISPOSITION 0xC0000026u
#define STATUS_UNWIND 0xC0000027u
#define STATUS_BAD_STACK 0xC0000028u
#define STATUS_INVALID_UNWIND_TARGET 0xC0000029u
#define STATUS_STACK_OVERFLOW 0xC00000FDu

/* Exit status of a process that the layer ends because it cannot serve a
 * thread: no block could be set up, or the thread has none of its own. */
#define SEH_PLATFORM_EXIT_NO_BLOCK 70

/* pthread_create, with the new thread given a block of its own (an empty
 * chain and its stack bounds) before start runs; the block goes with the
 * thread. Threads started otherwise have no block of their own. */
int tib_thread_create(pthread_t *thread, const pthread_attr_t *attr,
                      void *(*start)(void *), void *arg);

/* The calling thread's block. */
NT_TIB *tib_current(void);

/* Whether tib is the calling thread's own block: false on a thread that was
 * not started through tib_thread_create, which still has its creator's. */
bool tib_is_own(const NT_TIB *tib);

/* Unwinds the calling thread's chain down to TargetFrame (the whole chain
 * when it is null or the end marker), calling each record's handler with
 * EXCEPTION_UNWINDING set, and returns ReturnValue. A bad chain or target
 * ends the process with the status's low byte as exit code, after a line on
 * stderr. */
__attribute__((stdcall)) uint32_t RtlUnwind(void *TargetFrame, void *TargetIp,
                                            EXCEPTION_RECORD *ExceptionRecord,
                                            void *ReturnValue);

#ifdef __cplusplus
}
#endif

#endif
