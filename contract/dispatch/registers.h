/* The fields of the platform's CONTEXT that the checks read and change. */
#ifndef CONTRACT_DISPATCH_REGISTERS_H
#define CONTRACT_DISPATCH_REGISTERS_H

#include <stdint.h>

#include "behaviour.h"
#include "observation.h"

// The fields of the CONTEXT at `context`, or false when it cannot be read;
// `word_at_esp` gets the word at its Esp when that lies on the stack.
bool read_context(uint32_t context, context_fields *out, uint32_t *word_at_esp);

// Continues as `d` says: the answer's change, Eip moved to `moved_to`
// (or, for a changed Eip, `alternate`; for the trap flag set, the stepped
// site), the trap flag cleared; false when the context cannot be read.
bool leave_context(uint32_t context, const situation &s, const decision &d, uint32_t moved_to,
                   uint32_t alternate);

#endif
