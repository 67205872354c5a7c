/* NTSTATUS NtContinue(CONTEXT *context, BOOLEAN TestAlert), stdcall:
 * resumes the context, every integer register, Eip, Esp and EFlags.
 *
 * In user space: copy Eip, EFlags, Eax and Ecx just below the context's Esp
 * (dead stack on i386), load the other registers, switch ESP to those four
 * words, pop two, popfl, ret. A context with the trap flag set would trap
 * on that ret, one instruction late, and a floating-point state is the
 * kernel's to check: those resume through the kernel instead (continue_trap
 * raises SIGILL with EAX = the context, and signal.cpp has sigreturn load
 * it whole). So does a context whose stack cannot be written, so that its
 * fault comes where its own code meets it.
 *
 * The instructions labelled continue_touches_* are the ones that read the
 * context or write under its Esp: a fault there makes NtContinue return
 * STATUS_ACCESS_VIOLATION (the context) or resume through the kernel (the
 * stack). seh_continue is the layer's own way in. */
#include "context.h"

    .text
    .p2align 4
    .globl  NtContinue
    .type   NtContinue, @function
    .globl  seh_continue
    .hidden seh_continue
    .globl  continue_touches_context
    .hidden continue_touches_context
    .globl  continue_touches_context_end
    .hidden continue_touches_context_end
    .globl  continue_touches_stack
    .hidden continue_touches_stack
    .globl  continue_touches_stack_end
    .hidden continue_touches_stack_end
    .globl  continue_trap
    .hidden continue_trap
    .globl  continue_refused
    .hidden continue_refused
NtContinue:
seh_continue:
    movl    4(%esp), %eax                   /* the context */
continue_touches_context:
    movl    CONTEXT_FLAGS_AT(%eax), %edx    /* its first page */
continue_touches_context_end:
    movl    CONTEXT_SIZE-4(%eax), %ecx      /* and its last */
    testl   $EFLAGS_TF, CONTEXT_EFLAGS_AT(%eax)
    jnz     continue_trap
    testl   $(CONTEXT_FLOATING_POINT | CONTEXT_EXTENDED_REGISTERS) & ~CONTEXT_i386, %edx
    jnz     continue_trap
    movl    CONTEXT_ESP_AT(%eax), %ecx      /* the stack to resume on */
continue_touches_stack:
    orl     $0, -16(%ecx)                   /* the four words' first page */
continue_touches_stack_end:
    orl     $0, -4(%ecx)                    /* and their last */
    pushl   CONTEXT_EIP_AT(%eax)            /* 12(%esp) */
    pushl   CONTEXT_EFLAGS_AT(%eax)         /*  8(%esp) */
    pushl   CONTEXT_EAX_AT(%eax)            /*  4(%esp) */
    pushl   CONTEXT_ECX_AT(%eax)            /*  0(%esp) */
    movl    CONTEXT_EBX_AT(%eax), %ebx
    movl    CONTEXT_EDX_AT(%eax), %edx
    movl    CONTEXT_ESI_AT(%eax), %esi
    movl    CONTEXT_EDI_AT(%eax), %edi
    movl    CONTEXT_EBP_AT(%eax), %ebp      /* nothing is read from the context below */
    leal    -16(%ecx), %eax
    cmpl    %esp, %eax
    jbe     1f
    /* The words go above ours: copy the highest first, ESP stays below. */
    movl    12(%esp), %eax
    movl    %eax, -4(%ecx)
    movl    8(%esp), %eax
    movl    %eax, -8(%ecx)
    movl    4(%esp), %eax
    movl    %eax, -12(%ecx)
    movl    0(%esp), %eax
    movl    %eax, -16(%ecx)
    leal    -16(%ecx), %esp
    jmp     2f
    /* At or below ours: ESP goes there first, the lowest word is copied
     * first, and the words copied from stay above ESP. */
1:  movl    %esp, %eax
    leal    -16(%ecx), %esp
    movl    0(%eax), %ecx
    movl    %ecx, 0(%esp)
    movl    4(%eax), %ecx
    movl    %ecx, 4(%esp)
    movl    8(%eax), %ecx
    movl    %ecx, 8(%esp)
    movl    12(%eax), %ecx
    movl    %ecx, 12(%esp)
2:  popl    %ecx
    popl    %eax
    popfl
    ret
continue_trap:
    ud2                                     /* EAX: the context */
continue_refused:                           /* EAX: the status (signal.cpp) */
    ret     $8
    .size   NtContinue, . - NtContinue

    .section .note.GNU-stack, "", @progbits
