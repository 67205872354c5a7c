/* What a situation's run saw: every handler call with its arguments and the
 * chain at the time, how each call of RtlUnwind ended, and where the world's
 * records lay. Plain data: a child process fills it in memory that its
 * parent shares, so that the parent still has it when the platform ends the
 * child. */
#ifndef CONTRACT_UNWIND_OBSERVATION_H
#define CONTRACT_UNWIND_OBSERVATION_H

#include <stdint.h>

#include "registers.h"
#include "unwind_call.h"
#include "world.h"

// The run on several threads at once: so many threads, so many rounds.
constexpr int thread_count = 8;
constexpr int rounds = 4;

// Room for every call of the longest walk, and for a walk that goes on
// past it.
constexpr int max_calls = most_above + 100;

struct seen_call {
    int32_t node, role; // whose handler (by the handler that ran), in which unwind
    uint32_t frame, record, context, dispatcher; // the four arguments
    uint32_t head, head_next; // FS:0 during the call, and its Next if on the stack
    int32_t stale;      // a record whose handler ran before in this unwind, still linked; or -1
    uint32_t self_linked;
    // the exception record, if it could be read
    uint32_t record_read, code, flags, chained, address, parameters, params[15];
    // the context, if it could be read
    uint32_t context_read;
    context_fields regs;
};

// One call of RtlUnwind: what it was given, and how it ended.
struct seen_unwind {
    uint32_t made;
    unwind_call call; // its arguments, and the registers at the call and the return
    uint32_t return_site, alternate_site;
    enum end : uint32_t { running, returned, raised, faulted, left, at_target_ip };
    uint32_t how;
    uint32_t head_after;   // returned: FS:0 then
    uint32_t flags_after;  // returned: the caller's record's flags then
    // raised or faulted: what reached the vectored handler (the record, its
    // code, flags, chained record, address, first two parameters; for a
    // fault, the address touched and where)
    uint32_t raised_record, code, flags, chained, address, param0, param1;
    uint32_t chained_read, chained_code, chained_flags;
};

struct observation {
    uint32_t addresses[node_count]; // where each record of the world lay
    uint32_t callers_record;        // the caller's exception record, and
    uint32_t chained_record;        //   the record it chains
    // the word that is the Handler of an odd record whose Handler lies
    // outside the stack, if it can be read
    uint32_t handler_word_read, handler_word;
    uint32_t staged;                // the world was built
    // the platform's record of an unwind, asked as a nested unwind would
    // ask it (W5): before the actor's nested call, and in the outer
    // unwinds' handlers that make the next call
    struct ask {
        uint32_t made, answer, named, running;
    } asks[role_count];
    uint32_t runaway;               // handlers were called without end, and the run was left
    uint32_t context_changed;       // the actor could change its context (sets_*)
    seen_unwind unwinds[role_count];
    // on a new thread: its chain and bounds when it starts, the main
    // thread's chain after it (T1, T2)
    uint32_t on_thread;
    uint32_t first_head_fault;  // 0, or what was wrong with the first chain
    uint32_t bounds_fault;      // 0, or what was wrong with the bounds
    uint32_t main_chain_fault;  // 0, or what happened to the main thread's chain
    // on 8 threads: each round's exception records and contexts, as the
    // actor's handler on each thread saw them, and the first promise that
    // some round broke which the run alone kept (T3)
    uint32_t round_records[rounds][thread_count], round_contexts[rounds][thread_count];
    uint32_t threads_missed; // some round's threads never met in the actor's handler
    char threads_difference[240];
    uint32_t call_count; // may exceed max_calls: the calls beyond are not kept
    // Last: only the first call_count are written, each whole, and read.
    seen_call calls[max_calls];
};

// What was wrong with a thread's first chain or bounds, or the main chain.
enum thread_fault : uint32_t {
    thread_fine,
    first_head_null,
    first_head_main_record,
    first_head_off_stack,
    bounds_inverted,
    bounds_miss_local,
    bounds_hold_creator,
    bounds_beyond_stack,
    bounds_unreachable,
    main_head_changed,
    main_record_relinked,
    thread_not_started,
};

#endif
