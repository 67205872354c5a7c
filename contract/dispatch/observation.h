/* What a dispatch situation's run saw: every handler call with what it was
 * handed, how the raise point got control back, and how the situation
 * ended. Plain data: a child process fills it in memory that its parent
 * shares, so that the parent still has it when the platform ends the
 * child. */
#ifndef CONTRACT_DISPATCH_OBSERVATION_H
#define CONTRACT_DISPATCH_OBSERVATION_H

#include <stdint.h>

#include "world.h"

// Room for every call of the longest situation, and for some beyond.
constexpr int max_calls = 4 * most_before + 96;

// The run on several threads at once: so many threads, so many rounds.
constexpr int thread_count = 8;
constexpr int rounds = 4;

struct context_fields {
    uint32_t flags, eip, esp, eax, ebx, ecx, edx, esi, edi, ebp, eflags;
    uint32_t error_offset; // FloatSave.ErrorOffset, where ContextFlags holds the x87's state
};

struct seen_call {
    int32_t node;
    int32_t exc; // the exception, by its code
    uint32_t record, frame, context, dispatcher; // as handed (a vectored
                                                 // handler's from its pointers)
    uint32_t head, head_next; // FS:0 during the call, and its Next if on the stack
    uint32_t eflags_at_entry; // the flags the handler was entered with
    uint32_t record_read, code, flags, chained, address, parameters, params[15];
    uint32_t context_read;
    context_fields regs;
    uint32_t word_at_esp; // the word at Context.Esp, if on the stack
    uint32_t left_read;   // it continued: the context as it left it
    context_fields left;
};

// The raise point: where it raised from, and how it got control back.
struct seen_raise {
    uint32_t made;
    uint32_t esp;         // ESP at the raising instruction or call
    uint32_t head_before; // FS:0 then
    uint32_t return_site, alternate_site, after_site, fault_site; // its addresses
    uint32_t report_site; // where a fault is reported: an x87's fwait, else fault_site
    uint32_t step_site, step_next; // the stepped site's instruction, and the next one
    uint32_t resumed;     // 0, or the site it resumed at (resume_site)
    uint32_t eax, ebx, ecx, edx, esi, edi, ebp, esp_after, eflags;
    uint32_t head_after; // FS:0 when it resumed
    uint32_t x87_status; // the x87 status word then
};

struct observation {
    uint32_t staged;
    uint32_t addresses[node_count]; // where each record lay
    // StackLimit and StackBase, when they do not hold the thread's stack
    // and the record at a bound was not staged; else 0
    uint32_t wrong_limit, wrong_base;
    // Whether the raise with little stack left could not be made, and the
    // lowest address of the stack the thread may use (its floor), which
    // then did not lie below the raise point or lay beyond any stack's reach
    uint32_t floor_missed, floor;
    // The Handler of the odd record at a bound, which lies beyond the stack
    // where the check writes nothing: whether it could be read, and what
    // it holds
    uint32_t handler_word_read, handler_word;
    // The x87 status word after the raise's operation ran with every x87
    // exception masked: whether the processor sets the flags at all
    uint32_t x87_masked_status;
    uint32_t callers_chained; // the record that RtlRaiseException's record chains
    seen_raise raise;
    uint32_t landed;          // the answering record's unwind returned to it
    uint32_t head_at_landing; // FS:0 then
    uint32_t end;             // situation_end, as seen
    uint32_t caught_exc;      // the exception the outermost record took
    uint32_t caught_record;
    uint32_t runaway;         // handlers were called without end, and the run was left
    uint32_t outer_changed;   // N3: what changed in the outer exception's record or context
    uint32_t add_handle_null, remove_result, remove_again_result; // V4
    uint32_t in_call_add_null, in_call_remove_failed; // V8: in a vectored handler's call
    uint32_t unwind_asked, unwind_answer; // N6: the dispatcher's record, asked about an unwind
    uint32_t filter_previous, filter_restored; // F3: what SetUnhandledExceptionFilter returned
    uint32_t wrong_thread;    // a handler ran on a thread that did not raise (D5, V5)
    uint32_t threads_missed;  // some thread never came to the meeting
    char threads_difference[240];
    uint32_t call_count; // may exceed max_calls: the calls beyond are not kept
    seen_call calls[max_calls];
};

// What the staging leaves in `outer_changed`.
enum outer_change : uint32_t { outer_kept, outer_record_changed, outer_context_changed };

#endif
