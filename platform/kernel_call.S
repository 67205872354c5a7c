/* long kernel_call(long number, long a, long b, long c, long d, long e,
 * long f): the kernel's call through int $0x80, its arguments in EBX, ECX,
 * EDX, ESI, EDI, EBP. Frame, from ESP after the four pushes: the caller's
 * EBP, EDI, ESI, EBX, the return address, then number and a to f at
 * 20..44(%esp). */
#include <asm/unistd.h>

    .text
    .p2align 4
    .globl  kernel_call
    .hidden kernel_call
    .type   kernel_call, @function
kernel_call:
    pushl   %ebx
    pushl   %esi
    pushl   %edi
    pushl   %ebp
    movl    20(%esp), %eax
    movl    24(%esp), %ebx
    movl    28(%esp), %ecx
    movl    32(%esp), %edx
    movl    36(%esp), %esi
    movl    40(%esp), %edi
    movl    44(%esp), %ebp
    int     $0x80
    popl    %ebp
    popl    %edi
    popl    %esi
    popl    %ebx
    ret
    .size   kernel_call, . - kernel_call

/* Where a handler returns (the sigaction's restorer): rt_sigreturn, the
 * frame at ESP. */
    .p2align 4
    .globl  kernel_signal_return
    .hidden kernel_signal_return
    .type   kernel_signal_return, @function
kernel_signal_return:
    movl    $__NR_rt_sigreturn, %eax
    int     $0x80
    .size   kernel_signal_return, . - kernel_signal_return

    .section .note.GNU-stack, "", @progbits
