/* void do_unwind(uint32_t target_record, uint32_t resume_frame)
 *
 * Unwinds the chain down to target_record through RtlUnwind, then returns
 * from the invoke_callback call that recorded resume_frame. Never returns to
 * its own caller.
 *
 * Frame, from EBP upward (fixed, so that it reads like a frame whose return
 * address is `target`):
 *   0(%ebp)  caller's saved EBP
 *   4(%ebp)  address of `target`
 *   8(%ebp)  return address into the caller of do_unwind
 *  12(%ebp)  target_record
 *  16(%ebp)  resume_frame
 * RtlUnwind's arguments are pushed right below, with nothing between: like
 * any stdcall routine of the platform, it is called on a 4-byte aligned
 * stack.
 */
#include "asm.h"

    .text
    .p2align 4
FUNC_BEGIN(do_unwind)
    LOAD_GOT(%ecx)                  /* ELF: ECX = the GOT, for the next two */
    PUSH_CODE_ADDRESS(target, %ecx, %eax) /* push &target */
    pushl   %ebp
    movl    %esp, %ebp
    pushl   $0xCAFE                 /* ReturnValue */
    pushl   $0                      /* ExceptionRecord */
    pushl   $0xFFFFFFFF             /* TargetIp */
    pushl   12(%ebp)                /* TargetFrame = target_record */
    CALL_LOADED(RTLUNWIND_SLOT, %ecx) /* stdcall: pops its four arguments */
target:
    movl    16(%ebp), %esp          /* ESP = resume_frame: invoke_callback's frame */
    popl    %ebp                    /* its caller's EBP */
    ret                             /* back behind that invoke_callback call */
FUNC_END(do_unwind)

NO_EXEC_STACK
