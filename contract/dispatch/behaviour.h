/* What the check's own handlers do: a function of the situation, the
 * handler, the exception and how often that handler has seen it. The
 * staging does it and the model predicts the platform around it. */
#ifndef CONTRACT_DISPATCH_BEHAVIOUR_H
#define CONTRACT_DISPATCH_BEHAVIOUR_H

#include <stdint.h>

#include "situation.h"
#include "world.h"

enum class act : uint8_t {
    search,     // ExceptionContinueSearch (EXCEPTION_CONTINUE_SEARCH)
    continues,  // ExceptionContinueExecution (EXCEPTION_CONTINUE_EXECUTION)
    invalid,    // a value that is no answer
    unwinds,    // RtlUnwind to its own record, then on in its function (H5)
    leaves,     // RtlUnwind to its own record, then out of the situation
    stages,     // raises the next exception of its place, then searches
    executes,   // the filter's EXCEPTION_EXECUTE_HANDLER
};

struct decision {
    act what = act::search;
    uint32_t value = 0; // invalid: what it answers
    bool change = false; // continues: makes the answer's change
    bool move = false;   // continues: moves Eip past the instruction that faulted
    bool clear_tf = false; // continues: clears the trap flag in the context
    bool step = false;      // continues: sets the trap flag, Eip at the stepped site
    bool past_step = false; // continues: Eip past the stepped site's one instruction
};

// What `node` does on its first-pass call number `time` (0: the first) for
// an exception of kind `exc`. Vectored handlers and the filter answer with
// their own values for the same acts.
decision decide(const situation &s, int node, int exc, int time);

// Whether `node`'s handler, called by an unwind for the `time`-th time,
// raises there (in an unwind handler): it searches otherwise.
bool stages_in_unwind(const situation &s, int node, int time);

// The exception that a code names, in a situation whose exception has
// `tested_code` (the platform's code for it, as first seen); once a handler
// has continued a context with the trap flag set (`stepping`), the next
// exception is its single step, whatever code the platform gives it.
int kind_of_code(uint32_t code, uint32_t tested_code, bool tested_seen, bool stepping);

#endif
