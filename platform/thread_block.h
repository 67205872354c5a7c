// What RtlUnwind needs of the calling thread's block, inside the layer.
#ifndef SEH_PLATFORM_THREAD_BLOCK_H
#define SEH_PLATFORM_THREAD_BLOCK_H

#include <stdint.h>

#include "nt_tib.h"

// The calling thread's block, thread-local so that reaching it costs no more
// than GS access (initial-exec: the layer is loaded with the program). Zero,
// Self included, until the thread is attached.
extern __thread NT_TIB thread_block __attribute__((tls_model("initial-exec")));

// The calling thread's own block, or null on a thread that has none (its FS
// is then its creator's, and not read here: that block may be gone).
inline const NT_TIB *own_block(void)
{
    return thread_block.Self ? &thread_block : nullptr;
}

// The bounds of the stack that sp lies on: the thread's stack, or the
// alternate signal stack while a handler runs on it.
struct stack_range {
    uint32_t low;  // lowest address
    uint32_t high; // one past the highest
};
// Called from RtlUnwind's 4-byte aligned stack, which it realigns.
__attribute__((force_align_arg_pointer)) void signal_stack_in_use(const NT_TIB *tib,
                                                                  stack_range *out);

inline stack_range stack_in_use(const NT_TIB *tib, uint32_t sp)
{
    stack_range r{seh_addr(tib->StackLimit), seh_addr(tib->StackBase)};
    if (__builtin_expect(sp - r.low >= r.high - r.low, 0))
        signal_stack_in_use(tib, &r);
    return r;
}

#endif
