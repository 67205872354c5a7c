/* The qarvel library: a return-frame harness that runs a scenario under a
 * registration record of its own, a forced unwind that brings control back
 * to it, and two tracers. */
#ifndef QARVEL_H
#define QARVEL_H

#include <stdint.h>

#include "seh_frame.h"

/* On win32 a client imports the library's routines and words from
 * qarvel.dll: declared dllimport, the address of handle_exception is the
 * library's own function rather than a jump stub of the client's, and the
 * words are read through the import table. The library itself, and
 * linux-i386, need nothing. */
#if defined(_WIN32) && !defined(QARVEL_BUILDING)
#define QARVEL_API __declspec(dllimport)
#else
#define QARVEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*scenario_fn)(void);

/* The harness record of the latest run and the frame pointer recorded by its
 * invoke_callback call. Process-wide; every run overwrites both. */
extern QARVEL_API uint32_t saved_exception_frame;
extern QARVEL_API uint32_t saved_ebp;

QARVEL_API void establish_return_frame(scenario_fn callback);

/* Calls callback, storing its own frame pointer in *out first. A forced
 * unwind may end the call in place of the callback (see do_unwind). */
QARVEL_API uint32_t invoke_callback(uint32_t (*callback)(void), uint32_t *out);

QARVEL_API uint32_t handle_exception(EXCEPTION_RECORD *exception_record,
                                     void *frame, void *context,
                                     void *dispatcher_context);

/* Unwinds to target_record, then resumes behind the invoke_callback call
 * that recorded resume_frame. On a sound platform neither routine comes back
 * to its caller; they are not declared noreturn all the same, so that the
 * code a caller places after the call stays in the program and reports a
 * platform whose RtlUnwind does come back. */
QARVEL_API void do_unwind(uint32_t target_record, uint32_t resume_frame);

/* do_unwind(saved_exception_frame, saved_ebp). */
QARVEL_API void perform_test_unwind(void);

QARVEL_API void trace_control_stack(void);
QARVEL_API void trace_frame_stack(void);

/* Calls invoke_callback(callback, out) so that a caller may be resumed by a
 * forced unwind: that resume restores only EBP and ESP, so the asm marks
 * EBX, ESI and EDI (with the scratch registers) as clobbered, and the
 * compiler keeps nothing in them across the call and restores its caller's
 * values from its own frame.
 *
 * The callback gets a 16-byte aligned stack from here: ESP is saved in EBX
 * and aligned so that the saved word, the two arguments, invoke_callback's
 * return address and saved EBP (five words, with three of padding) leave it
 * aligned at the callback's call. A normal return and a forced-unwind resume
 * both leave ESP just above the return address: the arguments are dropped
 * and ESP comes back from the saved word. */
static inline void invoke_callback_resumable(scenario_fn callback,
                                             uint32_t *out)
{
    uint32_t (*fn)(uint32_t (*)(void), uint32_t *) = invoke_callback;
    __asm__ volatile("movl %%esp, %%ebx\n\t"
                     "andl $-16, %%esp\n\t"
                     "subl $12, %%esp\n\t"
                     "pushl %%ebx\n\t"
                     "pushl %%edx\n\t"
                     "pushl %%ecx\n\t"
                     "call *%%eax\n\t"
                     "addl $8, %%esp\n\t"
                     "popl %%esp"
                     : "+a"(fn), "+c"(callback), "+d"(out)
                     :
                     : "ebx", "esi", "edi", "memory", "cc");
}

#ifdef __cplusplus
}
#endif

#endif
