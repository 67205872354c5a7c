/* uint32_t seh_call_handler(EXCEPTION_ROUTINE handler, EXCEPTION_RECORD *rec,
 *                           void *frame, void *context, void *dispatcher)
 *
 * Calls handler(rec, frame, context, dispatcher) and returns its disposition.
 * The stack pointer is restored from EBP afterwards, so a handler that pops
 * its own arguments (stdcall) works as well as one that leaves them (cdecl).
 *
 * Frame, from EBP upward:
 *   0(%ebp)  caller's saved EBP
 *   4(%ebp)  return address
 *   8(%ebp)  handler
 *  12(%ebp)  rec
 *  16(%ebp)  frame
 *  20(%ebp)  context
 *  24(%ebp)  dispatcher
 */
    .text
    .p2align 4
    .globl  seh_call_handler
    .hidden seh_call_handler
    .type   seh_call_handler, @function
seh_call_handler:
    pushl   %ebp
    movl    %esp, %ebp
    andl    $-16, %esp              /* the handler sees an ABI-aligned stack */
    pushl   24(%ebp)
    pushl   20(%ebp)
    pushl   16(%ebp)
    pushl   12(%ebp)
    call    *8(%ebp)
    movl    %ebp, %esp
    popl    %ebp
    ret
    .size   seh_call_handler, . - seh_call_handler

    .section .note.GNU-stack, "", @progbits
