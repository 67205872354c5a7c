/* RtlUnwind(TargetFrame, TargetIp, ExceptionRecord, ReturnValue), stdcall:
 * its entry and its return. As the platform's, it captures the caller's
 * registers in a CONTEXT on entry, has the walk (rtl_unwind) hand that
 * context to every handler, and returns by resuming it: the caller gets the
 * registers the context holds, with whatever a handler changed there.
 *
 * Frame, from EBP upward:
 *   0(%ebp)  the caller's EBP
 *   4(%ebp)  the caller's EFLAGS
 *   8(%ebp)  return address into the caller
 *  12(%ebp)  TargetFrame (ESP at the call pointed here)
 *  16(%ebp)  TargetIp
 *  20(%ebp)  ExceptionRecord
 *  24(%ebp)  ReturnValue
 *  28(%ebp)  where the caller's ESP is once the arguments are removed
 * Below EBP: the CONTEXT (CONTEXT_SIZE bytes), then rtl_unwind's arguments. */
#include "context.h"

/* A segment register into its slot of the context at ESP, through AX
 * (EAX's upper half is zero). */
.macro save_segment reg, slot
    movw    %\reg, %ax
    movl    %eax, \slot(%esp)
.endm

    .text
    .p2align 4
    .globl  RtlUnwind
    .type   RtlUnwind, @function
    .hidden rtl_unwind
RtlUnwind:
    pushfl                          /* EFLAGS before any instruction changes them */
    pushl   %ebp
    movl    %esp, %ebp
    subl    $CONTEXT_SIZE, %esp
    movl    $(CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS), CONTEXT_FLAGS_AT(%esp)
    movl    %edi, CONTEXT_EDI_AT(%esp)
    movl    %esi, CONTEXT_ESI_AT(%esp)
    movl    %ebx, CONTEXT_EBX_AT(%esp)
    movl    %edx, CONTEXT_EDX_AT(%esp)
    movl    %ecx, CONTEXT_ECX_AT(%esp)
    movl    24(%ebp), %eax
    movl    %eax, CONTEXT_EAX_AT(%esp)      /* ReturnValue, the caller's EAX */
    movl    0(%ebp), %eax
    movl    %eax, CONTEXT_EBP_AT(%esp)
    movl    8(%ebp), %eax
    movl    %eax, CONTEXT_EIP_AT(%esp)      /* the return address */
    movl    4(%ebp), %eax
    movl    %eax, CONTEXT_EFLAGS_AT(%esp)
    leal    28(%ebp), %eax
    movl    %eax, CONTEXT_ESP_AT(%esp)      /* 16 above ESP at the call */
    xorl    %eax, %eax                  /* the selectors, zero-extended */
    save_segment cs, CONTEXT_SEGCS_AT
    save_segment ss, CONTEXT_SEGSS_AT
    save_segment ds, CONTEXT_SEGDS_AT
    save_segment es, CONTEXT_SEGES_AT
    save_segment fs, CONTEXT_SEGFS_AT
    save_segment gs, CONTEXT_SEGGS_AT
    movl    %esp, %eax
    pushl   %eax                            /* context */
    pushl   20(%ebp)                        /* ExceptionRecord */
    pushl   12(%ebp)                        /* TargetFrame */
    call    rtl_unwind                      /* the walk; it returns when the target is reached */

    /* Resume the context. Everything is read from it before ESP moves above
     * it; EIP, EFLAGS, EAX and ECX go through the four argument slots below
     * the context's ESP, which the caller no longer needs. */
    leal    -CONTEXT_SIZE(%ebp), %eax
    movl    CONTEXT_ESP_AT(%eax), %ecx
    movl    CONTEXT_EIP_AT(%eax), %edx
    movl    %edx, -4(%ecx)
    movl    CONTEXT_EFLAGS_AT(%eax), %edx
    movl    %edx, -8(%ecx)
    movl    CONTEXT_EAX_AT(%eax), %edx
    movl    %edx, -12(%ecx)
    movl    CONTEXT_ECX_AT(%eax), %edx
    movl    %edx, -16(%ecx)
    movl    CONTEXT_EBX_AT(%eax), %ebx
    movl    CONTEXT_ESI_AT(%eax), %esi
    movl    CONTEXT_EDI_AT(%eax), %edi
    movl    CONTEXT_EBP_AT(%eax), %ebp
    movl    CONTEXT_EDX_AT(%eax), %edx
    leal    -16(%ecx), %esp
    popl    %ecx
    popl    %eax
    popfl
    ret
    .size   RtlUnwind, . - RtlUnwind

    .section .note.GNU-stack, "", @progbits
