/* RtlUnwind called from assembly, so that every register it takes and
 * returns is known.
 *
 * void call_rtl_unwind(struct unwind_call *c)
 *
 * struct unwind_call, by offset: 0 target_frame, 4 target_ip, 8 record,
 * 12 return_value; loaded at the call: 16 eax, 20 ebx, 24 esi, 28 edi,
 * 32 eflags; noted at the call: 36 esp_at_call, 40 ebp_at_call (this
 * routine's frame), 44 eflags_at_call. unwind_returned fills in the rest.
 *
 * Frame, from EBP upward: the caller's EBP, the return address, c. Below
 * EBP: the caller's EBX, ESI and EDI, then (16-byte aligned) the four
 * arguments of RtlUnwind. After RtlUnwind no register can be trusted, not
 * even ESP: the return site saves them all on whatever stack it has, and
 * unwind_returned finds the call again (a per-thread record of it) and
 * gives back the frame to return through. */
#include "asm.h"

    .text
    .p2align 4
FUNC_BEGIN(call_rtl_unwind)
    pushl   %ebp
    movl    %esp, %ebp
    pushl   %ebx
    pushl   %esi
    pushl   %edi
    movl    8(%ebp), %edx           /* c */
    movl    %ebp, 40(%edx)          /* ebp_at_call */
    andl    $-16, %esp              /* RtlUnwind sees an ABI-aligned stack */
    pushl   12(%edx)                /* ReturnValue */
    pushl   8(%edx)                 /* ExceptionRecord */
    pushl   4(%edx)                 /* TargetIp */
    pushl   0(%edx)                 /* TargetFrame */
    movl    %esp, 36(%edx)          /* esp_at_call */
#ifdef _WIN32
    movl    RTLUNWIND_SLOT, %ecx
#else
    LOAD_GOT(%ecx)
    movl    RTLUNWIND_SLOT(%ecx), %ecx
#endif
    pushl   32(%edx)
    popfl                           /* the flags of the call: nothing below changes them */
    pushfl
    popl    44(%edx)                /* eflags_at_call, as the processor holds them */
    movl    20(%edx), %ebx
    movl    24(%edx), %esi
    movl    28(%edx), %edi
    movl    16(%edx), %eax
    call    *%ecx
    .globl  SYM(unwind_return_site)
SYM(unwind_return_site):
    pushfl
    pushl   $1
    jmp     1f
    /* Where a handler may point the context's Eip instead. */
    .globl  SYM(unwind_alternate_site)
SYM(unwind_alternate_site):
    pushfl
    pushl   $2
1:  pushl   %eax
    pushl   %ecx
    pushl   %edx
    pushl   %ebx
    pushl   %esi
    pushl   %edi
    pushl   %ebp
    movl    %esp, %ebx              /* EBP, EDI, ESI, EBX, EDX, ECX, EAX, site, EFLAGS */
    cld
    andl    $-16, %esp
    subl    $12, %esp
    pushl   %ebx
    call    SYM(unwind_returned)    /* returns c */
    movl    40(%eax), %ebp          /* ebp_at_call: this frame */
    jmp     SYM(frame_return)       /* return through it, as escape_to does */
FUNC_END(call_rtl_unwind)

/* A handler that returns with the direction flag set: the actor's observer,
 * then STD. */
    .p2align 4
FUNC_BEGIN(handler_leaving_df)
    cld
    pushl   %ebp
    movl    %esp, %ebp
    andl    $-16, %esp
    pushl   20(%ebp)                /* DispatcherContext */
    pushl   16(%ebp)                /* ContextRecord */
    pushl   12(%ebp)                /* EstablisherFrame */
    pushl   8(%ebp)                 /* ExceptionRecord */
    call    SYM(observe_actor)
    movl    %ebp, %esp
    popl    %ebp
    std
    ret
FUNC_END(handler_leaving_df)

/* TargetIp of every call: control that arrives here was sent by RtlUnwind,
 * which must not use TargetIp. */
    .p2align 4
FUNC_BEGIN(target_ip_landing)
    cld
    andl    $-16, %esp
    call    SYM(arrived_at_target_ip) /* does not return */
FUNC_END(target_ip_landing)

NO_EXEC_STACK
