/* RtlUnwind of the faulty builds that return from it wrongly. The layer's
 * RtlUnwind is compiled as seh_rtl_unwind_inner there, and this entry
 * breaks one promise of E1 on its way in, so that the C++ code returns the
 * damage to the caller: registers set to values of its own, which the
 * callee-saved discipline of the inner function hands back as they are, or
 * the return address and arguments moved down the stack, so that the
 * inner function's `ret $16` leaves ESP short. Its own
 * __builtin_return_address still names the caller's return address.
 *
 * At entry: 0(%esp) return address, 4..16(%esp) the four arguments. */
    .text
    .p2align 4
    .globl  RtlUnwind
    .type   RtlUnwind, @function
    .hidden seh_rtl_unwind_inner
RtlUnwind:
#if defined(RETURN_FAULT_callee_saved_clobbered)
    movl    $0xdead0001, %ebx
    movl    $0xdead0002, %esi
    movl    $0xdead0003, %edi
#elif defined(RETURN_FAULT_ebp_clobbered)
    movl    $0xdead0004, %ebp
#elif defined(RETURN_FAULT_esp_off_by_4) || defined(RETURN_FAULT_esp_off_by_16)
#if defined(RETURN_FAULT_esp_off_by_4)
#define SHIFT 4
#else
#define SHIFT 16
#endif
    subl    $SHIFT, %esp            /* return address and arguments, SHIFT lower */
    movl    SHIFT+0(%esp), %eax
    movl    %eax, 0(%esp)           /* return address */
    movl    SHIFT+4(%esp), %eax
    movl    %eax, 4(%esp)           /* TargetFrame */
    movl    SHIFT+8(%esp), %eax
    movl    %eax, 8(%esp)           /* TargetIp */
    movl    SHIFT+12(%esp), %eax
    movl    %eax, 12(%esp)          /* ExceptionRecord */
    movl    SHIFT+16(%esp), %eax
    movl    %eax, 16(%esp)          /* ReturnValue */
#else
#error "return_faults.S is for the builds that return from RtlUnwind wrongly"
#endif
    jmp     seh_rtl_unwind_inner
    .size   RtlUnwind, . - RtlUnwind

    .section .note.GNU-stack, "", @progbits
