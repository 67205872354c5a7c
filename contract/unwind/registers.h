/* The fields of the platform's CONTEXT that the checks read and change,
 * through the platform's own declaration of it: one file per target. */
#ifndef CONTRACT_UNWIND_REGISTERS_H
#define CONTRACT_UNWIND_REGISTERS_H

#include <stdint.h>

#include "situation.h"

struct context_fields {
    uint32_t flags, eip, esp, eax, ebx, ecx, edx, esi, edi, ebp, eflags;
};

// The fields of the CONTEXT at `context`, or false when it cannot be read.
bool read_context(uint32_t context, context_fields *out);

// Makes the change of `change` in the CONTEXT at `context`: Eip becomes
// `alternate_site`; false when it cannot be read.
bool change_context(uint32_t context, const change_row &change, uint32_t alternate_site);

#endif
