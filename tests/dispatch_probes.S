/* Machine-level probes of the dispatcher's tests: a raise with known
 * registers, faults at known instructions, and a place to resume at that
 * records every register. Each fault site has a label, and most a label
 * after it, where a handler resumes to go on. */
#include "asm.h"

#define ENTER pushl %ebp; movl %esp, %ebp; pushl %ebx; pushl %esi; pushl %edi
#define LEAVE leal -12(%ebp), %esp; popl %edi; popl %esi; popl %ebx; popl %ebp; ret

    .data
    .globl  SYM(resume_seen)
SYM(resume_seen):                       /* EDI, ESI, EBP, ESP, EBX, EDX, ECX, EAX, EFLAGS */
    .fill   9, 4, 0
resume_frame:
    .long   0

    .text

/* void rtl_raise_probe(EXCEPTION_RECORD *record, uint32_t out[5])
 * RtlRaiseException(record) with EBX, ESI, EDI = 0x0bb0bb0b, 0x05150515,
 * 0x0d1d0d1d (probes.h), from a call that returns to rtl_raise_site:
 * out[0] is ESP at the call; once the raise is continued, out[1..3] are
 * EBX, ESI, EDI and out[4] EBP - ESP (12, as before the call). */
    .p2align 4
FUNC_BEGIN(rtl_raise_probe)
    ENTER
    movl    $0x0bb0bb0b, %ebx
    movl    $0x05150515, %esi
    movl    $0x0d1d0d1d, %edi
    movl    12(%ebp), %eax
    pushl   8(%ebp)
    movl    %esp, 0(%eax)
    CALL_IMPORT(IMPORT_SLOT(RtlRaiseException), %ecx)
    .globl  SYM(rtl_raise_site)
SYM(rtl_raise_site):
    movl    12(%ebp), %eax
    movl    %ebx, 4(%eax)
    movl    %esi, 8(%eax)
    movl    %edi, 12(%eax)
    movl    %ebp, %ecx
    subl    %esp, %ecx
    movl    %ecx, 16(%eax)
    LEAVE
FUNC_END(rtl_raise_probe)

/* uint32_t resume_probe(void)
 * EAX, EBX, ECX, EDX, ESI, EDI = 0x11110001..0x11110006, then ud2 at
 * resume_probe_fault. Resumed at the next instruction, it returns 0;
 * resumed at resume_probe_landing, every register and EFLAGS go to
 * resume_seen and it returns 1 from its own frame. */
    .p2align 4
FUNC_BEGIN(resume_probe)
    ENTER
    LOAD_GOT(%ecx)
    movl    %ebp, resume_frame@GOTOFF(%ecx)
    movl    $0x11110001, %eax
    movl    $0x11110002, %ebx
    movl    $0x11110003, %ecx
    movl    $0x11110004, %edx
    movl    $0x11110005, %esi
    movl    $0x11110006, %edi
    .globl  SYM(resume_probe_fault)
SYM(resume_probe_fault):
    ud2
    xorl    %eax, %eax
    LEAVE
    .globl  SYM(resume_probe_landing)
SYM(resume_probe_landing):
    pushfl                          /* the flags as resumed: with TF, this one steps */
    pushal
    LOAD_GOT(%ebx)
    leal    SYM(resume_seen)@GOTOFF(%ebx), %edi
    movl    %esp, %esi
    movl    $9, %ecx
    cld
    rep movsl
    movl    resume_frame@GOTOFF(%ebx), %ebp
    movl    $1, %eax
    LEAVE
FUNC_END(resume_probe)

/* uint32_t df_probe(void): std, then ud2 at df_probe_fault; resumed at
 * the next instruction, it returns the direction flag as it came back
 * (0x400 when set), and clears it. */
    .p2align 4
FUNC_BEGIN(df_probe)
    std
    .globl  SYM(df_probe_fault)
SYM(df_probe_fault):
    ud2
    pushfl
    popl    %eax
    cld
    andl    $0x400, %eax
    ret
FUNC_END(df_probe)

/* Access probes, void NAME(uint32_t address): one instruction at
 * NAME_fault touches address, NAME_after follows it. The string ones copy
 * between address and a buffer on the stack. */
.macro access_probe name, setup, instruction
    .p2align 4
    .globl  \name
    .type   \name, @function
\name:
    pushl   %esi
    pushl   %edi
    subl    $16, %esp
    movl    28(%esp), %ecx
    \setup
    .globl  \name\()_fault
\name\()_fault:
    \instruction
    .globl  \name\()_after
\name\()_after:
    addl    $16, %esp
    popl    %edi
    popl    %esi
    ret
    .size   \name, . - \name
.endm

access_probe load_probe, "nop", "movl (%ecx), %eax"
access_probe store_probe, "nop", "movl $7, (%ecx)"
access_probe add_probe, "nop", "addl $1, (%ecx)"
access_probe moffs_load_probe, "movl $0x10, %eax", "movl 0x10, %eax"
access_probe stos_probe, "movl %ecx, %edi; cld", "stosl"
access_probe movs_from_probe, "movl %ecx, %esi; movl %esp, %edi; cld", "movsl"
access_probe movs_to_probe, "movl %ecx, %edi; movl %esp, %esi; cld", "movsl"
access_probe fld_probe, "nop", "flds (%ecx)"
access_probe fstp_probe, "fldz", "fstps (%ecx)"
access_probe movups_load_probe, "nop", "movups (%ecx), %xmm0"
access_probe movups_store_probe, "nop", "movups %xmm0, (%ecx)"
access_probe push_probe, "nop", "pushl (%ecx)"

/* uint32_t call_probe(uint32_t target): calls target from a site that
 * returns to call_probe_return. */
    .p2align 4
FUNC_BEGIN(call_probe)
    movl    4(%esp), %eax
    call    *%eax
    .globl  SYM(call_probe_return)
SYM(call_probe_return):
    ret
FUNC_END(call_probe)

/* uint32_t divide_probe(uint32_t divisor): 100 / divisor, divl at
 * divide_probe_fault. int32_t idiv_probe(int32_t divisor): 0x80000000 /
 * divisor, idivl at idiv_probe_fault. uint32_t divide_memory_probe(const
 * uint32_t *divisor): 100 / *divisor, divl from memory. */
    .p2align 4
FUNC_BEGIN(divide_probe)
    movl    4(%esp), %ecx
    movl    $100, %eax
    xorl    %edx, %edx
    .globl  SYM(divide_probe_fault)
SYM(divide_probe_fault):
    divl    %ecx
    ret
FUNC_END(divide_probe)

    .p2align 4
FUNC_BEGIN(idiv_probe)
    movl    4(%esp), %ecx
    movl    $0x80000000, %eax
    cltd
    .globl  SYM(idiv_probe_fault)
SYM(idiv_probe_fault):
    idivl   %ecx
    ret
FUNC_END(idiv_probe)

    .p2align 4
FUNC_BEGIN(divide_memory_probe)
    movl    4(%esp), %ecx
    movl    $100, %eax
    xorl    %edx, %edx
    .globl  SYM(divide_memory_probe_fault)
SYM(divide_memory_probe_fault):
    divl    4(%ecx)                 /* the second word: a SIB-less displacement */
    ret
FUNC_END(divide_memory_probe)

/* One instruction each, at NAME_fault, then NAME_after: ret. */
.macro one_instruction name, instruction
    .p2align 4
    .globl  \name
    .type   \name, @function
\name:
    .globl  \name\()_fault
\name\()_fault:
    \instruction
    .globl  \name\()_after
\name\()_after:
    ret
    .size   \name, . - \name
.endm

one_instruction ud2_probe, "ud2"
one_instruction hlt_probe, "hlt"
one_instruction cli_probe, "cli"
one_instruction in_probe, "inb $0x80, %al"
one_instruction int3_probe, "int3"
one_instruction int_probe, "int $0x41"

/* void into_probe(void): into with OF set; into_probe_after follows it. */
    .p2align 4
FUNC_BEGIN(into_probe)
    movl    $0x7fffffff, %eax
    addl    $1, %eax
    into
    .globl  SYM(into_probe_after)
SYM(into_probe_after):
    ret
FUNC_END(into_probe)

/* void step_probe(void): popf sets TF; the nop after it runs, and the trap
 * comes at step_probe_after. */
    .p2align 4
FUNC_BEGIN(step_probe)
    pushfl
    orl     $0x100, (%esp)
    popfl
    nop
    .globl  SYM(step_probe_after)
SYM(step_probe_after):
    ret
FUNC_END(step_probe)

/* void x87_divide_probe(const float *zero): 1 / *zero with the x87's
 * divide-by-zero exception unmasked, the divide at x87_divide_probe_fault
 * and the fwait that reports it at x87_divide_probe_report; the control
 * word is restored. */
    .p2align 4
FUNC_BEGIN(x87_divide_probe)
    movl    4(%esp), %ecx
    subl    $4, %esp
    fnstcw  (%esp)
    fnstcw  2(%esp)
    andw    $0xFFFB, (%esp)         /* ZM */
    fldcw   (%esp)
    fld1
    .globl  SYM(x87_divide_probe_fault)
SYM(x87_divide_probe_fault):
    fdivs   (%ecx)
    .globl  SYM(x87_divide_probe_report)
SYM(x87_divide_probe_report):
    fwait
    fstp    %st(0)
    fnclex
    fldcw   2(%esp)
    addl    $4, %esp
    ret
FUNC_END(x87_divide_probe)

NO_EXEC_STACK
