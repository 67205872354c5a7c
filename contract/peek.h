/* Reading what the platform hands a handler without ever faulting: memory
 * on the thread's stack is read at once, anything else only after the
 * system says it can be read. */
#ifndef CONTRACT_PEEK_H
#define CONTRACT_PEEK_H

#include <stdint.h>
#include <string.h>

#include "readable.h"
#include "stack_bounds.h"

inline bool peek(uint32_t addr, void *out, uint32_t size)
{
    if (addr == 0)
        return false;
    if (on_stack(addr, size)) {
        memcpy(out, reinterpret_cast<const void *>(static_cast<uintptr_t>(addr)), size);
        return true;
    }
    return read_memory(addr, out, size);
}

#endif
