/* void call_rtl_unwind(struct unwind_call *c)
 *
 * Frame, from EBP upward: the caller's EBP, the return address, c. Below
 * EBP: the caller's EBX, ESI and EDI, then (16-byte aligned) the four
 * arguments of RtlUnwind. c is also kept in current_call, since after
 * RtlUnwind no register but ESP and EIP can be trusted.
 *
 * struct unwind_call, by offset: 0 target_frame, 4 target_ip,
 * 8 exception_record, 12 return_value, 16 eax, 20 ebx, 24 esi, 28 edi,
 * 32 ebp, 36 esp_at_call, 40 esp_after, 44 ebp_before. */
#include "asm.h"

#ifdef _WIN32
#define GOT_BASE(scratch)
#define LOCAL(name, base) name
#else
#define GOT_BASE(scratch) LOAD_GOT(scratch)
#define LOCAL(name, base) name@GOTOFF(base)
#endif

    .data
    .p2align 2
current_call:
    .long   0

    .text
    .p2align 4
FUNC_BEGIN(call_rtl_unwind)
    pushl   %ebp
    movl    %esp, %ebp
    pushl   %ebx
    pushl   %esi
    pushl   %edi
    movl    8(%ebp), %edx           /* c */
    GOT_BASE(%ecx)
    movl    %edx, LOCAL(current_call, %ecx)
    movl    %ebp, 44(%edx)          /* c->ebp_before */
    andl    $-16, %esp              /* RtlUnwind sees an ABI-aligned stack */
    pushl   12(%edx)                /* ReturnValue */
    pushl   8(%edx)                 /* ExceptionRecord */
    pushl   4(%edx)                 /* TargetIp */
    pushl   0(%edx)                 /* TargetFrame */
    movl    %esp, 36(%edx)          /* c->esp_at_call */
    movl    $0x0bb0bb0b, %ebx
    movl    $0x05150515, %esi
    movl    $0x0d1d0d1d, %edi
    CALL_IMPORT(RTLUNWIND_SLOT, %ecx)
    .globl  SYM(unwind_return_site)
SYM(unwind_return_site):
    GOT_BASE(%ecx)                  /* ECX is the only scratch register here */
    movl    LOCAL(current_call, %ecx), %ecx
    movl    %esp, 40(%ecx)          /* c->esp_after */
    movl    %eax, 16(%ecx)
    movl    %ebx, 20(%ecx)
    movl    %esi, 24(%ecx)
    movl    %edi, 28(%ecx)
    movl    %ebp, 32(%ecx)
    movl    44(%ecx), %ebp          /* this frame, whatever came back in EBP */
    leal    -12(%ebp), %esp
    popl    %edi
    popl    %esi
    popl    %ebx
    popl    %ebp
    ret
FUNC_END(call_rtl_unwind)

/* void resume_behind(uint32_t frame): frame is the EBP of an active
 * invoke_callback call; its caller's EBP is saved there, the return address
 * above it. */
    .p2align 4
FUNC_BEGIN(resume_behind)
    movl    4(%esp), %esp           /* ESP = frame */
    popl    %ebp                    /* invoke_callback's caller's EBP */
    ret                             /* back behind that invoke_callback call */
FUNC_END(resume_behind)

NO_EXEC_STACK
