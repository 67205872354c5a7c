/* uint32_t invoke_callback(uint32_t (*callback)(void), uint32_t *out)
 *
 * Frame, from EBP upward (fixed; do_unwind resumes through it):
 *   0(%ebp)  caller's saved EBP   <- the value stored at *out
 *   4(%ebp)  return address into the caller
 *   8(%ebp)  callback
 *  12(%ebp)  out
 * The callback is called right below, so at its entry ESP + 4 is the value
 * at *out. A caller that needs the callback's stack aligned aligns its own
 * call (see invoke_callback_resumable).
 */
#include "asm.h"

    .text
    .p2align 4
FUNC_BEGIN(invoke_callback)
    pushl   %ebp
    movl    %esp, %ebp
    movl    12(%ebp), %eax          /* out */
    movl    %ebp, (%eax)            /* *out = frame pointer */
    call    *8(%ebp)                /* callback(); its result stays in EAX */
    movl    %ebp, %esp              /* drop whatever the callback left */
    popl    %ebp
    ret
FUNC_END(invoke_callback)

NO_EXEC_STACK
