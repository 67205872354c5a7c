// The exception dispatcher inside the layer: its entries and helpers in
// assembly, and what its C++ parts call of one another.
#ifndef SEH_PLATFORM_DISPATCH_H
#define SEH_PLATFORM_DISPATCH_H

#include <stdint.h>

#include "nt_tib.h"

#define SEH_PLATFORM_HIDDEN __attribute__((visibility("hidden")))

extern "C" {

// The first pass of an exception raised on the calling thread, with its
// context: vectored handlers, then the chain. Never returns: it resumes a
// context, raises a status in turn, or ends the process. Entered by the
// raise entries (raise_entry.S) on any 4-byte aligned stack.
[[noreturn]] SEH_PLATFORM_HIDDEN __attribute__((force_align_arg_pointer)) void
dispatch_exception(EXCEPTION_RECORD *record, CONTEXT *context);

// The layer's own ways into RtlRaiseException and NtContinue.
SEH_PLATFORM_HIDDEN void NTAPI seh_raise(PEXCEPTION_RECORD record);
SEH_PLATFORM_HIDDEN NTSTATUS NTAPI seh_continue(PCONTEXT context, BOOLEAN test_alert);

// handler_call.S: the record at `frame` called with the dispatcher's record
// at the head, whose Next is `head` and which names `named` to a nested
// exception; and a vectored handler or filter called with `pointers`.
SEH_PLATFORM_HIDDEN uint32_t call_frame_handler(EXCEPTION_RECORD *record, uint32_t frame,
                                                CONTEXT *context, uint32_t *dispatcher,
                                                uint32_t head, uint32_t named);
SEH_PLATFORM_HIDDEN int32_t call_program(void *fn, EXCEPTION_POINTERS *pointers);

// The handler of the dispatcher's record (N2, N6).
SEH_PLATFORM_HIDDEN uint32_t dispatcher_record_handler(EXCEPTION_RECORD *record, void *frame,
                                                       void *context, void *dispatcher);

// Labels of the entries (raise_entry.S, continue_entry.S): where NtContinue
// touches the caller's memory, and its way of resuming through the kernel.
extern const char continue_touches_context[], continue_touches_context_end[];
extern const char continue_touches_stack[], continue_touches_stack_end[];
extern const char continue_trap[], continue_refused[];
extern const char raise_from_signal[];
}

// vectored.cpp: calls the vectored handlers in order (V1) until one answers
// EXCEPTION_CONTINUE_EXECUTION, which it returns; else
// EXCEPTION_CONTINUE_SEARCH.
SEH_PLATFORM_HIDDEN int32_t call_vectored_handlers(EXCEPTION_POINTERS *pointers);

// unhandled.cpp: the end of a walk that no handler took. The top-level
// filter is called unless the exception was raised inside it (F1, F2, F5);
// with no answer, or after D2 (`bad_record`, the record that failed), the
// process ends (F4).
[[noreturn]] SEH_PLATFORM_HIDDEN void top_level(EXCEPTION_RECORD *record, CONTEXT *context,
                                                bool inside_filter);
[[noreturn]] SEH_PLATFORM_HIDDEN void end_unhandled(const EXCEPTION_RECORD *record,
                                                    uint32_t bad_record);

// dispatch.cpp: resumes the context (C1), and raises a status the dispatch
// found as a new noncontinuable exception chained to `chained` (H4).
[[noreturn]] SEH_PLATFORM_HIDDEN void continue_context(CONTEXT *context);
[[noreturn]] SEH_PLATFORM_HIDDEN void raise_status(uint32_t status, EXCEPTION_RECORD *chained);

#endif
