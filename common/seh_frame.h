/* The exception registration chain of the calling thread: the record, the
 * platform's exception record as far as handlers read it, the handler
 * contract, and the two accessors of the chain head (the word at FS:0).
 *
 * The types, and the statuses of common/statuses.def, are the platform's
 * own: on linux-i386 those of the layer's public header, seh_platform.h, so
 * that a program may include both; on win32 the same declarations, since
 * the harness does not include <windows.h>.
 *
 * Every address the chain code compares is a 32-bit word. The accessors go
 * through asm volatile with a memory clobber so that the compiler can
 * neither cache the head nor fold a comparison of the head against the
 * address of a local record. */
#ifndef SEH_FRAME_H
#define SEH_FRAME_H

#include <stdint.h>

#include "chain_head.h"
#ifndef _WIN32
#include "seh_platform.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifdef _WIN32
typedef unsigned long DWORD;
typedef unsigned long ULONG_PTR;
typedef void *PVOID;

#define EXCEPTION_UNWINDING 0x02
#define EXCEPTION_EXIT_UNWIND 0x04

typedef enum _EXCEPTION_DISPOSITION {
    ExceptionContinueExecution = 0,
    ExceptionContinueSearch = 1,
    ExceptionNestedException = 2,
    ExceptionCollidedUnwind = 3
} EXCEPTION_DISPOSITION;

/* The statuses that the platform raises of its own. */
enum {
#define STATUS(name, code, promise, what) name = code##u,
#define LAYER_EXIT(name, status, promise, what)
#include "statuses.def"
#undef STATUS
#undef LAYER_EXIT
};

typedef struct _EXCEPTION_RECORD {
    DWORD ExceptionCode;
    DWORD ExceptionFlags;
    struct _EXCEPTION_RECORD *ExceptionRecord;
    PVOID ExceptionAddress;
    DWORD NumberParameters;
    ULONG_PTR ExceptionInformation[15];
} EXCEPTION_RECORD, *PEXCEPTION_RECORD;

struct _CONTEXT;
typedef EXCEPTION_DISPOSITION __attribute__((stdcall))
EXCEPTION_ROUTINE(struct _EXCEPTION_RECORD *ExceptionRecord, PVOID EstablisherFrame,
                  struct _CONTEXT *ContextRecord, PVOID DispatcherContext);
typedef EXCEPTION_ROUTINE *PEXCEPTION_ROUTINE;

typedef struct _EXCEPTION_REGISTRATION_RECORD {
    struct _EXCEPTION_REGISTRATION_RECORD *Next;
    PEXCEPTION_ROUTINE Handler;
} EXCEPTION_REGISTRATION_RECORD, *PEXCEPTION_REGISTRATION_RECORD;
#endif

/* The address that ends the chain. */
#define SEH_CHAIN_END 0xFFFFFFFFu

/* A handler of the harness's own kind, cdecl and returning its disposition
 * as a word, as a record holds it: the platform restores ESP after every
 * handler it calls, so either convention works. */
#define SEH_HANDLER(fn) ((PEXCEPTION_ROUTINE)(void (*)(void))(fn))

/* The record at a chain address. */
static inline EXCEPTION_REGISTRATION_RECORD *seh_record(uint32_t frame)
{
    return (EXCEPTION_REGISTRATION_RECORD *)(uintptr_t)frame;
}

#ifdef __cplusplus
}
#endif

#endif
