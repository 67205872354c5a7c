/* The raise point: every register loaded with a known value, then an
 * exception raised, by a call or by an instruction the processor refuses;
 * and the places where a continued context may resume, which save every
 * register as they find it.
 *
 * void raise_at(struct raise_call *c)
 *
 * struct raise_call, by offset: 0 frame (this routine's EBP, written
 * here), 4 pad, 8 slots_n, 12 slots[6], 36 entry, 40 eflags, 44 eax,
 * 48 ebx, 52 ecx, 56 edx, 60 esi, 64 edi, 68 ebp, 72 esp_at_raise
 * (written here).
 *
 * Frame, from EBP upward: the caller's EBP, the return address, c. Below
 * EBP: the caller's EBX, ESI and EDI; then, from a 16-byte boundary less
 * pad, the slots, the lowest at ESP when the entry runs. The entry is
 * reached by a RET, so that nothing between loading the registers and the
 * raise changes them or the flags. After the raise no register can be
 * trusted: the resume code saves them all on whatever stack it has, and
 * raise_returned finds the call again (a per-thread record of it), with
 * the x87 status word as the resume found it. */
#include "asm.h"

    .text
    .p2align 4
FUNC_BEGIN(raise_at)
    pushl   %ebp
    movl    %esp, %ebp
    pushl   %ebx
    pushl   %esi
    pushl   %edi
    movl    8(%ebp), %edx           /* c */
    movl    %ebp, 0(%edx)           /* frame */
    andl    $-16, %esp
    subl    4(%edx), %esp           /* pad */
    movl    8(%edx), %ecx           /* slots_n: pushed highest first */
1:  testl   %ecx, %ecx
    jz      2f
    pushl   8(%edx,%ecx,4)          /* slots[ecx - 1] */
    decl    %ecx
    jmp     1b
2:  movl    %esp, 72(%edx)          /* esp_at_raise */
    pushl   36(%edx)                /* entry, for the RET */
    pushl   40(%edx)                /* eflags */
    movl    44(%edx), %eax
    movl    48(%edx), %ebx
    movl    52(%edx), %ecx
    movl    60(%edx), %esi
    movl    64(%edx), %edi
    movl    68(%edx), %ebp
    movl    56(%edx), %edx
    popfl
    ret
FUNC_END(raise_at)

/* RaiseException: slots code, flags, count, arguments, the function. */
FUNC_BEGIN(raise_by_call_4)
    call    *16(%esp)
    .globl  SYM(raise_return_4)
SYM(raise_return_4):
    pushfl
    pushl   $1                      /* resume_site::returned */
    jmp     resume
FUNC_END(raise_by_call_4)

/* RtlRaiseException: slots the record, the function. */
FUNC_BEGIN(raise_by_call_1)
    call    *4(%esp)
    .globl  SYM(raise_return_1)
SYM(raise_return_1):
    pushfl
    pushl   $1                      /* resume_site::returned */
    jmp     resume
FUNC_END(raise_by_call_1)

/* Each fault, and the place just past it. */
#define FAULT(name, ...)              \
    FUNC_BEGIN(fault_##name)          \
    __VA_ARGS__;                      \
    .globl SYM(fault_##name##_after); \
SYM(fault_##name##_after):            \
    jmp     SYM(raise_after_site);    \
    FUNC_END(fault_##name)

FAULT(int3, int3)
FAULT(read, movl (%ecx), %eax)
FAULT(write, movl %eax, (%ecx))
FAULT(call, call *%ecx)
FAULT(jump, jmp *%ecx)
FAULT(divide, divl %ecx)
FAULT(overflow, idivl %ecx)
FAULT(illegal, ud2)
FAULT(privileged, hlt)
/* The trap flag set by POPF: the instruction after it runs, then traps. */
FAULT(step, pushfl; orl $0x100, (%esp); popfl; nop)
/* Pushes until the stack ends. */
FAULT(stack, 1: pushl %eax; jmp 1b)

/* Each x87 exception: a clean x87 with the control word of the lowest slot
 * (which unmasks the one exception, or none), the operation's operands
 * (the slots above it), the operation, and the fwait that reports what it
 * raised. Nothing here changes a general register or the flags. */
#define X87(name, setup, ...)              \
    FUNC_BEGIN(fault_##name)               \
    fninit;                                \
    fldcw   (%esp);                        \
    setup;                                 \
    .globl SYM(fault_##name##_operation);  \
SYM(fault_##name##_operation):             \
    __VA_ARGS__;                           \
    .globl SYM(fault_##name##_report);     \
SYM(fault_##name##_report):                \
    fwait;                                 \
    .globl SYM(fault_##name##_after);      \
SYM(fault_##name##_after):                 \
    jmp     SYM(raise_after_site);         \
    FUNC_END(fault_##name)

X87(x87_invalid, fld1; fchs, fsqrt)
X87(x87_denormal, , fldl 4(%esp))
X87(x87_divide, fldz; fld1, fdiv %st(1), %st)
X87(x87_overflow, fildl 4(%esp); fld1, fscale)
X87(x87_underflow, fildl 4(%esp); fld1, fscale)
X87(x87_inexact, fildl 4(%esp); fld1, fdiv %st(1), %st)
X87(x87_stack, , fsqrt)

/* Where a handler that sets the trap flag points Eip: one instruction
 * that leaves the flags alone, then the trap, then on as past a fault. */
    .globl  SYM(raise_stepped_site)
SYM(raise_stepped_site):
    leal    1(%eax), %eax
    .globl  SYM(raise_stepped_next)
SYM(raise_stepped_next):
    jmp     SYM(raise_after_site)

/* Where a handler may point the context's Eip instead. */
    .globl  SYM(raise_alternate_site)
SYM(raise_alternate_site):
    pushfl
    pushl   $2                      /* resume_site::alternate */
    jmp     resume
    .globl  SYM(raise_after_site)
SYM(raise_after_site):
    pushfl
    pushl   $3                      /* resume_site::after */
resume:
    pushl   %eax
    pushl   %ecx
    pushl   %edx
    pushl   %ebx
    pushl   %esi
    pushl   %edi
    pushl   %ebp
    subl    $4, %esp                /* the flags are saved: SUB may change them */
    fnstsw  (%esp)                  /* the x87 status word as found */
    fnclex                          /* no x87 exception left pending for C */
    movl    %esp, %ebx              /* x87 status, EBP, EDI, ESI, EBX, EDX, ECX, EAX, site, EFLAGS */
    cld
    andl    $-16, %esp
    subl    $12, %esp
    pushl   %ebx
    call    SYM(raise_returned)     /* returns c */
    movl    0(%eax), %ebp           /* frame */
    jmp     SYM(frame_return)

NO_EXEC_STACK
