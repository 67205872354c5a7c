/* The exception registration chain of the calling thread: the record, the
 * platform's exception record as far as handlers read it, the handler
 * contract, and the two accessors of the chain head (the word at FS:0).
 *
 * Every address here is a 32-bit word. The accessors go through asm volatile
 * with a memory clobber so that the compiler can neither cache the head nor
 * fold a comparison of the head against the address of a local record. */
#ifndef SEH_FRAME_H
#define SEH_FRAME_H

#include <stdint.h>

#include "chain_head.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The address that ends the chain. */
#define SEH_CHAIN_END 0xFFFFFFFFu

/* ExceptionFlags bits. */
#define EXCEPTION_UNWINDING 0x2u
#define EXCEPTION_EXIT_UNWIND 0x4u

/* Handler dispositions. */
#define ExceptionContinueSearch 1u
#define ExceptionCollidedUnwind 3u

typedef struct EXCEPTION_RECORD {
    uint32_t ExceptionCode;
    uint32_t ExceptionFlags;
    struct EXCEPTION_RECORD *ExceptionRecord;
    void *ExceptionAddress;
    uint32_t NumberParameters;
    uint32_t ExceptionInformation[15];
} EXCEPTION_RECORD;

/* A handler takes four words on the stack, which its caller removes, and
 * returns a disposition. */
typedef uint32_t (*EXCEPTION_ROUTINE)(EXCEPTION_RECORD *ExceptionRecord,
                                      void *EstablisherFrame,
                                      void *ContextRecord,
                                      void *DispatcherContext);

typedef struct EXCEPTION_REGISTRATION_RECORD {
    uint32_t Next; /* older record, or SEH_CHAIN_END */
    EXCEPTION_ROUTINE Handler;
} EXCEPTION_REGISTRATION_RECORD;

#ifdef __cplusplus
}
#endif

#endif
