/* Machine-level probes for the tests: they set or observe exactly the
 * registers and stack slots that C++ cannot. */
#include "asm.h"

/* Frame of the register probes: EBX, ESI and EDI saved at -4..-12(%ebp),
 * then loaded with the values of probes.h; undone by the second macro. */
#define ENTER_WITH_PROBE_VALUES \
    pushl %ebp; movl %esp, %ebp; pushl %ebx; pushl %esi; pushl %edi; \
    movl $0x0bb0bb0b, %ebx; movl $0x05150515, %esi; movl $0x0d1d0d1d, %edi
#define LEAVE_WITH_PROBE_VALUES \
    leal -12(%ebp), %esp; popl %edi; popl %esi; popl %ebx; popl %ebp; ret

    .text

/* void call_with_callee_saved(void (*fn)(void *), void *arg, uint32_t out[3])
 * Calls fn(arg) with known values in EBX, ESI and EDI, and stores what the
 * three hold after the call in out[0..2]. */
    .p2align 4
FUNC_BEGIN(call_with_callee_saved)
    ENTER_WITH_PROBE_VALUES
    subl    $8, %esp                /* keep the callee's stack ABI-aligned */
    pushl   12(%ebp)                /* arg */
    call    *8(%ebp)                /* fn */
    movl    16(%ebp), %eax          /* out */
    movl    %ebx, 0(%eax)
    movl    %esi, 4(%eax)
    movl    %edi, 8(%eax)
    LEAVE_WITH_PROBE_VALUES
FUNC_END(call_with_callee_saved)

/* void clobber_and_unwind(void): a scenario that wrecks EBX, ESI and EDI and
 * then forces the unwind back to the harness. */
    .p2align 4
FUNC_BEGIN(clobber_and_unwind)
    movl    $0xdead0001, %ebx
    movl    $0xdead0002, %esi
    movl    $0xdead0003, %edi
    JMP_IMPORT(IMPORT_SLOT(perform_test_unwind), %eax)
FUNC_END(clobber_and_unwind)

/* uint32_t probe_invoke_callback(uint32_t (*cb)(void), uint32_t *out)
 * invoke_callback(cb, out) from a call site whose return address is the
 * global label probe_return_site. */
    .p2align 4
FUNC_BEGIN(probe_invoke_callback)
    pushl   %ebp
    movl    %esp, %ebp
    pushl   12(%ebp)
    pushl   8(%ebp)
    CALL_IMPORT(IMPORT_SLOT(invoke_callback), %ecx)
    .globl  SYM(probe_return_site)
SYM(probe_return_site):
    movl    %ebp, %esp
    popl    %ebp
    ret
FUNC_END(probe_invoke_callback)

/* Callbacks that return 42 with the stack pointer off by eight bytes, one
 * above and one below where the call left it. */
    .p2align 4
FUNC_BEGIN(unbalanced_high_callback)
    movl    $42, %eax
    ret     $8
FUNC_END(unbalanced_high_callback)

    .p2align 4
FUNC_BEGIN(unbalanced_low_callback)
    popl    %ecx                    /* return address */
    pushl   $0
    pushl   $0
    pushl   %ecx
    movl    $42, %eax
    ret
FUNC_END(unbalanced_low_callback)

/* void rtl_unwind_probe(uint32_t target, uint32_t value, uint32_t out[5])
 * RtlUnwind(target, -1, 0, value) with known values in EBX, ESI and EDI;
 * stores EAX, EBX, ESI, EDI after the call, and EBP minus ESP (24 when both
 * came back as they were). */
    .p2align 4
FUNC_BEGIN(rtl_unwind_probe)
    ENTER_WITH_PROBE_VALUES
    subl    $12, %esp               /* keep the callee's stack ABI-aligned */
    pushl   12(%ebp)                /* ReturnValue */
    pushl   $0                      /* ExceptionRecord */
    pushl   $0xFFFFFFFF             /* TargetIp */
    pushl   8(%ebp)                 /* TargetFrame */
    CALL_IMPORT(RTLUNWIND_SLOT, %ecx)
    movl    40(%esp), %ecx          /* out, found through ESP alone */
    movl    %eax, 0(%ecx)
    movl    %ebx, 4(%ecx)
    movl    %esi, 8(%ecx)
    movl    %edi, 12(%ecx)
    movl    %ebp, %eax
    subl    %esp, %eax
    movl    %eax, 16(%ecx)
    LEAVE_WITH_PROBE_VALUES
FUNC_END(rtl_unwind_probe)

/* void trace_marked(uint32_t frame[2]): trace_control_stack() from a call
 * site whose return address is the global label trace_return_site, storing
 * first this probe's own frame pointer and its return address in frame[0]
 * and frame[1]. The tracer's frame lies 16 bytes below the probe's: 8 of
 * padding, the return address, the saved EBP. */
    .p2align 4
FUNC_BEGIN(trace_marked)
    pushl   %ebp
    movl    %esp, %ebp
    subl    $8, %esp                /* keep the callee's stack ABI-aligned */
    movl    8(%ebp), %eax
    movl    %ebp, (%eax)            /* frame[0] = this frame */
    movl    4(%ebp), %ecx
    movl    %ecx, 4(%eax)           /* frame[1] = the return address */
    CALL_IMPORT(IMPORT_SLOT(trace_control_stack), %ecx)
    .globl  SYM(trace_return_site)
SYM(trace_return_site):
    movl    %ebp, %esp
    popl    %ebp
    ret
FUNC_END(trace_marked)

/* void trace_from_frame(uint32_t fp): trace_control_stack() with EBP = fp,
 * so that the tracer's own frame links to a frame chain built by the test.
 * The call returns to the global label trace_from_frame_site. */
    .p2align 4
FUNC_BEGIN(trace_from_frame)
    pushl   %ebp
    movl    %esp, %ebp
    pushl   %ebx
    subl    $4, %esp                /* keep the callee's stack ABI-aligned */
    movl    %ebp, %ebx
    movl    8(%ebp), %ebp
    CALL_IMPORT(IMPORT_SLOT(trace_control_stack), %ecx)
    .globl  SYM(trace_from_frame_site)
SYM(trace_from_frame_site):
    movl    %ebx, %ebp
    leal    -4(%ebp), %esp
    popl    %ebx
    popl    %ebp
    ret
FUNC_END(trace_from_frame)

/* uint32_t call_shifted(uint32_t words, uint32_t (*fn)(uint32_t, uint32_t),
 *                       uint32_t a, uint32_t b)
 * fn(a, b) called from a stack that is `words` 32-bit words below a 16-byte
 * boundary when the two arguments are pushed: each of words = 0..3 gives
 * fn's stack another alignment. Returns fn's result. */
    .p2align 4
FUNC_BEGIN(call_shifted)
    pushl   %ebp
    movl    %esp, %ebp
    andl    $-16, %esp              /* a known alignment to start from */
    movl    8(%ebp), %eax           /* words */
    shll    $2, %eax
    subl    %eax, %esp              /* shifted by that many words */
    subl    $8, %esp                /* so that the two pushes end there */
    pushl   20(%ebp)                /* b */
    pushl   16(%ebp)                /* a */
    call    *12(%ebp)               /* fn */
    movl    %ebp, %esp
    popl    %ebp
    ret
FUNC_END(call_shifted)

/* uint32_t entry_stack_above_return(void): a callback that returns its ESP
 * at entry plus 4, the address just above its return address. */
    .p2align 4
FUNC_BEGIN(entry_stack_above_return)
    leal    4(%esp), %eax
    ret
FUNC_END(entry_stack_above_return)

NO_EXEC_STACK
