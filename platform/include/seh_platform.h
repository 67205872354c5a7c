/* seh_platform.h: the structured exception handling API of the 32-bit x86
 * platform, as libseh_platform.so provides it on linux-i386: the types,
 * constants and functions under the platform's own names, with its stdcall
 * convention, so that a program written against the platform's API builds
 * against the layer with nothing changed but its includes. Link the program
 * against libseh_platform.so directly (or preload it): the layer must come
 * before the C library, and it cannot be loaded with dlopen.
 *
 * The layer gives every thread an NT_TIB at FS:0 with its own chain of
 * registration records and stack bounds; raises exceptions (RaiseException,
 * RtlRaiseException, and the processor's faults, which arrive as signals),
 * dispatches them to the vectored handlers and then to the chain's handlers,
 * continues them (NtContinue), unwinds (RtlUnwind) and, when nobody takes an
 * exception, calls the top-level filter and ends the process with the
 * code's low byte as exit status.
 *
 * The macros are plain integers, so that assembly may include this header. */
#ifndef SEH_PLATFORM_H
#define SEH_PLATFORM_H

#ifndef WINAPI
#define WINAPI __attribute__((stdcall))
#endif
#ifndef NTAPI
#define NTAPI __attribute__((stdcall))
#endif

/* ExceptionFlags. */
#define EXCEPTION_NONCONTINUABLE 0x01
#define EXCEPTION_UNWINDING 0x02
#define EXCEPTION_EXIT_UNWIND 0x04
#define EXCEPTION_STACK_INVALID 0x08
#define EXCEPTION_NESTED_CALL 0x10
#define EXCEPTION_UNWIND (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)
#define EXCEPTION_MAXIMUM_PARAMETERS 15

/* A vectored handler's and a filter's answers. */
#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define EXCEPTION_CONTINUE_EXECUTION (-1)

/* ContextFlags: which parts of a CONTEXT hold values. */
#define CONTEXT_i386 0x00010000
#define CONTEXT_CONTROL (CONTEXT_i386 | 0x01)  /* Ebp, Eip, SegCs, EFlags, Esp, SegSs */
#define CONTEXT_INTEGER (CONTEXT_i386 | 0x02)  /* Edi, Esi, Ebx, Edx, Ecx, Eax */
#define CONTEXT_SEGMENTS (CONTEXT_i386 | 0x04) /* SegGs, SegFs, SegEs, SegDs */
#define CONTEXT_FLOATING_POINT (CONTEXT_i386 | 0x08)     /* FloatSave */
#define CONTEXT_DEBUG_REGISTERS (CONTEXT_i386 | 0x10)    /* Dr0..Dr7 */
#define CONTEXT_EXTENDED_REGISTERS (CONTEXT_i386 | 0x20) /* ExtendedRegisters */
#define CONTEXT_FULL (CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS)
#define CONTEXT_ALL (CONTEXT_FULL | CONTEXT_FLOATING_POINT | CONTEXT_DEBUG_REGISTERS | \
                     CONTEXT_EXTENDED_REGISTERS)
#define SIZE_OF_80387_REGISTERS 80
#define MAXIMUM_SUPPORTED_EXTENSION 512

#ifndef __ASSEMBLER__

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char BYTE;
typedef unsigned char BOOLEAN;
typedef unsigned short WORD;
typedef unsigned long DWORD;
typedef long LONG;
typedef unsigned long ULONG;
typedef unsigned long ULONG_PTR;
typedef long NTSTATUS;
typedef void *PVOID;

/* A frame handler's answers. */
typedef enum _EXCEPTION_DISPOSITION {
    ExceptionContinueExecution = 0,
    ExceptionContinueSearch = 1,
    ExceptionNestedException = 2,
    ExceptionCollidedUnwind = 3
} EXCEPTION_DISPOSITION;

/* The statuses that the layer raises of its own (statuses.def, also read
 * by the layer's tools; an installed header carries the table itself). */
enum {
#define STATUS(name, code, promise, what) name = code##u,
#define LAYER_EXIT(name, status, promise, what)
#include "statuses.def"
#undef STATUS
#undef LAYER_EXIT
};

/* The processor's exceptions. */
enum {
    STATUS_DATATYPE_MISALIGNMENT = 0x80000002u,
    STATUS_BREAKPOINT = 0x80000003u,
    STATUS_SINGLE_STEP = 0x80000004u,
    STATUS_ACCESS_VIOLATION = 0xC0000005u,
    STATUS_IN_PAGE_ERROR = 0xC0000006u,
    STATUS_ILLEGAL_INSTRUCTION = 0xC000001Du,
    STATUS_ARRAY_BOUNDS_EXCEEDED = 0xC000008Cu,
    STATUS_FLOAT_DENORMAL_OPERAND = 0xC000008Du,
    STATUS_FLOAT_DIVIDE_BY_ZERO = 0xC000008Eu,
    STATUS_FLOAT_INEXACT_RESULT = 0xC000008Fu,
    STATUS_FLOAT_INVALID_OPERATION = 0xC0000090u,
    STATUS_FLOAT_OVERFLOW = 0xC0000091u,
    STATUS_FLOAT_STACK_CHECK = 0xC0000092u,
    STATUS_FLOAT_UNDERFLOW = 0xC0000093u,
    STATUS_INTEGER_DIVIDE_BY_ZERO = 0xC0000094u,
    STATUS_INTEGER_OVERFLOW = 0xC0000095u,
    STATUS_PRIVILEGED_INSTRUCTION = 0xC0000096u
};
#define EXCEPTION_ACCESS_VIOLATION STATUS_ACCESS_VIOLATION
#define EXCEPTION_DATATYPE_MISALIGNMENT STATUS_DATATYPE_MISALIGNMENT
#define EXCEPTION_BREAKPOINT STATUS_BREAKPOINT
#define EXCEPTION_SINGLE_STEP STATUS_SINGLE_STEP
#define EXCEPTION_ARRAY_BOUNDS_EXCEEDED STATUS_ARRAY_BOUNDS_EXCEEDED
#define EXCEPTION_FLT_DENORMAL_OPERAND STATUS_FLOAT_DENORMAL_OPERAND
#define EXCEPTION_FLT_DIVIDE_BY_ZERO STATUS_FLOAT_DIVIDE_BY_ZERO
#define EXCEPTION_FLT_INEXACT_RESULT STATUS_FLOAT_INEXACT_RESULT
#define EXCEPTION_FLT_INVALID_OPERATION STATUS_FLOAT_INVALID_OPERATION
#define EXCEPTION_FLT_OVERFLOW STATUS_FLOAT_OVERFLOW
#define EXCEPTION_FLT_STACK_CHECK STATUS_FLOAT_STACK_CHECK
#define EXCEPTION_FLT_UNDERFLOW STATUS_FLOAT_UNDERFLOW
#define EXCEPTION_INT_DIVIDE_BY_ZERO STATUS_INTEGER_DIVIDE_BY_ZERO
#define EXCEPTION_INT_OVERFLOW STATUS_INTEGER_OVERFLOW
#define EXCEPTION_PRIV_INSTRUCTION STATUS_PRIVILEGED_INSTRUCTION
#define EXCEPTION_IN_PAGE_ERROR STATUS_IN_PAGE_ERROR
#define EXCEPTION_ILLEGAL_INSTRUCTION STATUS_ILLEGAL_INSTRUCTION
#define EXCEPTION_NONCONTINUABLE_EXCEPTION STATUS_NONCONTINUABLE_EXCEPTION
#define EXCEPTION_STACK_OVERFLOW STATUS_STACK_OVERFLOW
#define EXCEPTION_INVALID_DISPOSITION STATUS_INVALID_DISPOSITION

typedef struct _FLOATING_SAVE_AREA {
    DWORD ControlWord;
    DWORD StatusWord;
    DWORD TagWord;
    DWORD ErrorOffset;
    DWORD ErrorSelector;
    DWORD DataOffset;
    DWORD DataSelector;
    BYTE RegisterArea[SIZE_OF_80387_REGISTERS];
    DWORD Cr0NpxState;
} FLOATING_SAVE_AREA, *PFLOATING_SAVE_AREA;

typedef struct _CONTEXT {
    DWORD ContextFlags;
    DWORD Dr0, Dr1, Dr2, Dr3, Dr6, Dr7;   /* CONTEXT_DEBUG_REGISTERS */
    FLOATING_SAVE_AREA FloatSave;         /* CONTEXT_FLOATING_POINT */
    DWORD SegGs, SegFs, SegEs, SegDs;     /* CONTEXT_SEGMENTS */
    DWORD Edi, Esi, Ebx, Edx, Ecx, Eax;   /* CONTEXT_INTEGER */
    DWORD Ebp, Eip, SegCs, EFlags, Esp, SegSs; /* CONTEXT_CONTROL */
    BYTE ExtendedRegisters[MAXIMUM_SUPPORTED_EXTENSION]; /* CONTEXT_EXTENDED_REGISTERS */
} CONTEXT, *PCONTEXT;

typedef struct _EXCEPTION_RECORD {
    DWORD ExceptionCode;
    DWORD ExceptionFlags;
    struct _EXCEPTION_RECORD *ExceptionRecord; /* the chained record */
    PVOID ExceptionAddress;
    DWORD NumberParameters;
    ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
} EXCEPTION_RECORD, *PEXCEPTION_RECORD;

typedef struct _EXCEPTION_POINTERS {
    PEXCEPTION_RECORD ExceptionRecord;
    PCONTEXT ContextRecord;
} EXCEPTION_POINTERS, *PEXCEPTION_POINTERS;

/* A frame handler. The layer calls it on a 16-byte aligned stack with the
 * direction flag clear, and restores ESP after it, so that a cdecl handler
 * works as well as a stdcall one. */
typedef EXCEPTION_DISPOSITION NTAPI EXCEPTION_ROUTINE(struct _EXCEPTION_RECORD *ExceptionRecord,
                                                      PVOID EstablisherFrame,
                                                      struct _CONTEXT *ContextRecord,
                                                      PVOID DispatcherContext);
typedef EXCEPTION_ROUTINE *PEXCEPTION_ROUTINE;

/* A registration record of the chain at FS:0, which ends in 0xFFFFFFFF. */
typedef struct _EXCEPTION_REGISTRATION_RECORD {
    struct _EXCEPTION_REGISTRATION_RECORD *Next;
    PEXCEPTION_ROUTINE Handler;
} EXCEPTION_REGISTRATION_RECORD, *PEXCEPTION_REGISTRATION_RECORD;

/* The thread information block, at FS:0. */
typedef struct _NT_TIB {
    struct _EXCEPTION_REGISTRATION_RECORD *ExceptionList; /* the chain's head */
    PVOID StackBase;  /* one past the highest address of the thread's stack */
    PVOID StackLimit; /* its lowest address */
    PVOID SubSystemTib;
    union {
        PVOID FiberData;
        DWORD Version;
    };
    PVOID ArbitraryUserPointer;
    struct _NT_TIB *Self; /* the block's own address, FS:0x18 */
} NT_TIB, *PNT_TIB;

typedef LONG(WINAPI *PVECTORED_EXCEPTION_HANDLER)(struct _EXCEPTION_POINTERS *ExceptionInfo);
typedef LONG(WINAPI *PTOP_LEVEL_EXCEPTION_FILTER)(struct _EXCEPTION_POINTERS *ExceptionInfo);
typedef PTOP_LEVEL_EXCEPTION_FILTER LPTOP_LEVEL_EXCEPTION_FILTER;

#define SEH_PLATFORM_API __attribute__((visibility("default")))

/* Raises an exception: ExceptionFlags keeps only EXCEPTION_NONCONTINUABLE,
 * at most EXCEPTION_MAXIMUM_PARAMETERS arguments are copied (none when
 * lpArguments is null). Returns only when the exception is continued. */
SEH_PLATFORM_API void WINAPI RaiseException(DWORD dwExceptionCode, DWORD dwExceptionFlags,
                                            DWORD nNumberOfArguments,
                                            const ULONG_PTR *lpArguments);

/* Raises the caller's record as it is, with ExceptionAddress set to the
 * return address. Returns only when the exception is continued. */
SEH_PLATFORM_API void NTAPI RtlRaiseException(PEXCEPTION_RECORD ExceptionRecord);

/* Vectored handlers: called for every exception of the process, on the
 * thread that raised it, before the chain's handlers; First nonzero puts a
 * handler in front of those added before. */
SEH_PLATFORM_API PVOID WINAPI AddVectoredExceptionHandler(ULONG First,
                                                          PVECTORED_EXCEPTION_HANDLER Handler);
SEH_PLATFORM_API ULONG WINAPI RemoveVectoredExceptionHandler(PVOID Handle);

/* The process's top-level filter, which UnhandledExceptionFilter calls when
 * an exception reaches the end of a thread's chain; returns the filter it
 * replaces. */
SEH_PLATFORM_API LPTOP_LEVEL_EXCEPTION_FILTER WINAPI
SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER lpTopLevelExceptionFilter);
SEH_PLATFORM_API LONG WINAPI UnhandledExceptionFilter(struct _EXCEPTION_POINTERS *ExceptionInfo);

/* Resumes the context: every integer register, Eip, Esp and EFlags (the
 * trap flag exactly), the floating-point state when ContextFlags holds it.
 * Returns STATUS_ACCESS_VIOLATION, resuming nothing, when the context
 * cannot be read. TestAlert is not used. */
SEH_PLATFORM_API NTSTATUS NTAPI NtContinue(PCONTEXT ContextRecord, BOOLEAN TestAlert);

/* Unwinds the calling thread's chain down to TargetFrame (null: all of it,
 * an exit unwind), calling each record's handler with the unwind flags, and
 * returns through the context it captured on entry, with EAX = ReturnValue
 * unless a handler changed it there. */
SEH_PLATFORM_API void NTAPI RtlUnwind(PVOID TargetFrame, PVOID TargetIp,
                                      PEXCEPTION_RECORD ExceptionRecord, PVOID ReturnValue);

#ifdef __cplusplus
}
#endif

#endif /* __ASSEMBLER__ */

#endif
