/* RtlRaiseException(ExceptionRecord) and RaiseException(code, flags, count,
 * arguments), stdcall: the software raises. Both capture their caller's
 * registers in a CONTEXT on their own stack and hand record and context to
 * the dispatcher, which runs below them (R8) and never returns: it resumes
 * a context (NtContinue) or raises anew. A record or arguments that
 * cannot be read or written fault here, and the fault is dispatched as
 * any other (exception_signals.cpp), as the platform's own raise faults. */
#include "context.h"

/* A segment register into its slot of the context at ESP, through AX
 * (EAX's upper half is zero). */
.macro save_segment reg, slot
    movw    %\reg, %ax
    movl    %eax, \slot(%esp)
.endm

    .text

/* RtlRaiseException. Frame, from EBP upward:
 *   0(%ebp)  the caller's EBP
 *   4(%ebp)  the caller's EFLAGS
 *   8(%ebp)  return address into the caller: ExceptionAddress and Eip (R7)
 *  12(%ebp)  ExceptionRecord (ESP at the call pointed here)
 *  16(%ebp)  where the caller's ESP is once the argument is removed
 * Below EBP: the CONTEXT (CONTEXT_SIZE bytes), then the dispatcher's
 * arguments. seh_raise is the layer's own way in. */
    .p2align 4
    .globl  RtlRaiseException
    .type   RtlRaiseException, @function
    .globl  seh_raise
    .hidden seh_raise
    .hidden dispatch_exception
RtlRaiseException:
seh_raise:
    pushfl                          /* EFLAGS before any instruction changes them */
    pushl   %ebp
    movl    %esp, %ebp
    subl    $CONTEXT_SIZE, %esp
    movl    $CONTEXT_FULL, CONTEXT_FLAGS_AT(%esp)
    movl    %edi, CONTEXT_EDI_AT(%esp)
    movl    %esi, CONTEXT_ESI_AT(%esp)
    movl    %ebx, CONTEXT_EBX_AT(%esp)
    movl    %edx, CONTEXT_EDX_AT(%esp)
    movl    %ecx, CONTEXT_ECX_AT(%esp)
    movl    %eax, CONTEXT_EAX_AT(%esp)
    movl    0(%ebp), %eax
    movl    %eax, CONTEXT_EBP_AT(%esp)
    movl    8(%ebp), %eax
    movl    %eax, CONTEXT_EIP_AT(%esp)      /* the return address */
    movl    4(%ebp), %eax
    movl    %eax, CONTEXT_EFLAGS_AT(%esp)
    leal    16(%ebp), %eax
    movl    %eax, CONTEXT_ESP_AT(%esp)      /* 4 above ESP at the call */
    xorl    %eax, %eax                  /* the selectors, zero-extended */
    save_segment cs, CONTEXT_SEGCS_AT
    save_segment ss, CONTEXT_SEGSS_AT
    save_segment ds, CONTEXT_SEGDS_AT
    save_segment es, CONTEXT_SEGES_AT
    save_segment fs, CONTEXT_SEGFS_AT
    save_segment gs, CONTEXT_SEGGS_AT
    cld                                 /* the dispatcher is C */
    movl    12(%ebp), %ecx
    movl    8(%ebp), %eax
    movl    %eax, RECORD_ADDRESS_AT(%ecx)   /* R7: every other field as the caller set it */
    movl    %esp, %eax
    pushl   %eax                            /* context */
    pushl   %ecx                            /* record */
    call    dispatch_exception              /* does not return */
    ud2
    .size   RtlRaiseException, . - RtlRaiseException

/* RaiseException. Builds its record by R1-R4 on its own stack and raises it
 * with seh_raise, whose return address here is ExceptionAddress and Eip
 * (R5); continued unchanged, it returns to its caller as from the call
 * (C2). Frame, from EBP upward: the caller's EBP, the return address, code,
 * flags, count, arguments. Below EBP: ESI, EDI, then the record. */
    .p2align 4
    .globl  RaiseException
    .type   RaiseException, @function
RaiseException:
    pushl   %ebp
    movl    %esp, %ebp
    pushl   %esi
    pushl   %edi
    subl    $RECORD_SIZE, %esp
    movl    8(%ebp), %eax
    movl    %eax, RECORD_CODE_AT(%esp)          /* R1: all 32 bits */
    movl    12(%ebp), %eax
    andl    $EXCEPTION_NONCONTINUABLE, %eax
    movl    %eax, RECORD_FLAGS_AT(%esp)         /* R2: that bit alone */
    movl    $0, RECORD_CHAINED_AT(%esp)         /* R3 */
    xorl    %ecx, %ecx                      /* R4: no arguments, no parameters */
    movl    20(%ebp), %esi
    testl   %esi, %esi
    jz      2f
    movl    16(%ebp), %ecx
    cmpl    $EXCEPTION_MAXIMUM_PARAMETERS, %ecx
    jbe     1f
    movl    $EXCEPTION_MAXIMUM_PARAMETERS, %ecx /* R4: at most 15, the first ones */
1:  movl    %ecx, RECORD_COUNT_AT(%esp)
    leal    RECORD_COUNT_AT+4(%esp), %edi
    cld
    rep movsl
    jmp     3f
2:  movl    %ecx, RECORD_COUNT_AT(%esp)
3:  pushl   %esp                            /* the record */
    call    seh_raise                       /* pops its argument */
    addl    $RECORD_SIZE, %esp
    popl    %edi
    popl    %esi
    popl    %ebp
    ret     $16
    .size   RaiseException, . - RaiseException

/* Where a processor exception's dispatch begins (signal.cpp points the
 * interrupted thread here): ESP points to the record and then the context,
 * built below the faulting ESP. */
    .p2align 4
    .globl  raise_from_signal
    .hidden raise_from_signal
    .type   raise_from_signal, @function
raise_from_signal:
    movl    %esp, %eax
    pushl   4(%eax)                         /* context */
    pushl   0(%eax)                         /* record */
    call    dispatch_exception              /* does not return */
    ud2
    .size   raise_from_signal, . - raise_from_signal

/* The handler of the processor's exception signals: a kernel enters it
 * with the direction flag clear, qemu-i386 as the program left it. */
    .p2align 4
    .globl  signal_entry
    .hidden signal_entry
    .hidden on_processor_signal
    .type   signal_entry, @function
signal_entry:
    cld
    jmp     on_processor_signal
    .size   signal_entry, . - signal_entry

    .section .note.GNU-stack, "", @progbits
