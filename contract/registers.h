/* The fields of the platform's CONTEXT that the checks read and change,
 * through the platform's own declaration of it: one file per target. */
#ifndef CONTRACT_REGISTERS_H
#define CONTRACT_REGISTERS_H

#include <stdint.h>

#include "situation.h"

struct context_fields {
    uint32_t flags, eip, esp, eax, ebx, esi, edi, ebp, eflags;
};

// The fields of the CONTEXT at `context`, or false when it cannot be read.
bool read_context(uint32_t context, context_fields *out);

// Makes the change of a sets_* action in the CONTEXT at `context`; false
// when it cannot be read.
bool change_context(uint32_t context, action what);

#endif
