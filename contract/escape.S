/* A way out of code that a platform entered and will not return from: a
 * handler that leaves a walk behind, code that a resumed context sent
 * somewhere. Both contract programs use it.
 *
 * uint32_t run_escapable(void (*fn)(void *), void *arg, uint32_t *frame)
 * Calls fn(arg) and returns 0; escape_to(*frame), from anywhere fn leads to
 * on this thread, returns 1 from it instead. Frame, from EBP upward: the
 * caller's EBP, the return address, fn, arg, frame; below EBP the caller's
 * EBX, ESI and EDI. */
#include "asm.h"

    .text
    .p2align 4
FUNC_BEGIN(run_escapable)
    pushl   %ebp
    movl    %esp, %ebp
    pushl   %ebx
    pushl   %esi
    pushl   %edi
    movl    16(%ebp), %eax
    movl    %ebp, (%eax)            /* *frame: where escape_to comes back */
    andl    $-16, %esp
    subl    $12, %esp
    pushl   12(%ebp)                /* arg */
    call    *8(%ebp)                /* fn */
    xorl    %eax, %eax
    jmp     SYM(frame_return)
FUNC_END(run_escapable)

/* void escape_to(uint32_t frame): returns 1 from the run_escapable call
 * whose frame it is. escape_resume is the same with the frame in EAX, for
 * a vectored exception handler to resume at. */
    .p2align 4
FUNC_BEGIN(escape_to)
    movl    4(%esp), %eax
    .globl  SYM(escape_resume)
SYM(escape_resume):
    movl    %eax, %ebp
    movl    $1, %eax
    /* frame_return: returns EAX from the routine whose frame EBP is, one
     * that saved EBX, ESI and EDI right below its EBP. */
    .globl  SYM(frame_return)
SYM(frame_return):
    cld
    leal    -12(%ebp), %esp
    popl    %edi
    popl    %esi
    popl    %ebx
    popl    %ebp
    ret
FUNC_END(escape_to)

NO_EXEC_STACK
