/* Marked regions that hold a known number of instructions, for the
 * counting plugin's test (check_insn_count.sh): the counts it must report,
 * in order, follow each region. With an argument, the program begins a
 * region and exits inside it. */
#include "marker.h"

    .text
    .globl main
    .type main, @function
main:
    cmpl    $1, 4(%esp)             /* argc */
    jne     exit_in_region

    INSN_MARK(INSN_MARK_BEGIN)      /* nothing between: 0 */
    INSN_MARK(INSN_MARK_END)

    INSN_MARK(INSN_MARK_BEGIN)      /* straight on: 5 */
    nop
    nop
    nop
    nop
    nop
    INSN_MARK(INSN_MARK_END)

    INSN_MARK(INSN_MARK_BEGIN)      /* a loop, a block per pass: 1 + 10 * 2 */
    movl    $10, %ecx
1:  decl    %ecx
    jnz     1b
    INSN_MARK(INSN_MARK_END)

    INSN_MARK(INSN_MARK_BEGIN)      /* call, nop, ret, jmp: 4 */
    call    2f
    jmp     3f
2:  nop
    ret
3:  INSN_MARK(INSN_MARK_END)        /* first in its block */

    INSN_MARK(INSN_MARK_BEGIN)      /* getpid through the kernel: 2 */
    movl    $20, %eax
    int     $0x80
    INSN_MARK(INSN_MARK_END)

    INSN_MARK(INSN_MARK_BEGIN)      /* a region begun twice: an error, */
    nop
    INSN_MARK(INSN_MARK_BEGIN)      /* then 0 from the second */
    INSN_MARK(INSN_MARK_END)

    INSN_MARK(INSN_MARK_END)        /* ended twice: an error */

    xorl    %eax, %eax
    ret

exit_in_region:
    INSN_MARK(INSN_MARK_BEGIN)
    xorl    %eax, %eax
    ret
    .size main, . - main

    .section .note.GNU-stack, "", @progbits
