/* The raise point: an exception raised from assembly, so that every
 * register at the raise and at the resume is known (raise_point.S). */
#ifndef CONTRACT_DISPATCH_RAISE_POINT_H
#define CONTRACT_DISPATCH_RAISE_POINT_H

#include <stdint.h>

#include "escape.h"

struct raise_call {
    uint32_t frame;    // 0: raise_at's frame, for coming back
    uint32_t pad;      // 4: bytes below a 16-byte boundary before the slots
    uint32_t slots_n;  // 8
    uint32_t slots[6]; // 12: the words on the stack at the raise, lowest first
    uint32_t entry;    // 36: the code that raises
    uint32_t eflags;   // 40
    uint32_t eax, ebx, ecx, edx, esi, edi, ebp; // 44..68
    uint32_t esp_at_raise; // 72: written by raise_at
};

extern "C" {
// Loads c's registers and flags and runs c's entry, with ESP at the lowest
// slot; returns when the raise point gets control back at one of its
// sites, after raise_returned.
void raise_at(raise_call *c);
// The thread's call whose raise point has resumed, given what it saved
// there (the x87 status word, EBP, EDI, ESI, EBX, EDX, ECX, EAX, site,
// EFLAGS). It resumes with no x87 exception pending.
raise_call *raise_returned(const uint32_t *saved);

// The entries: a call of the function in the highest slot with the others
// as arguments (RaiseException: four; RtlRaiseException: one), and each
// instruction that faults, with the place just past it.
extern char raise_by_call_4[], raise_return_4[];
extern char raise_by_call_1[], raise_return_1[];
extern char raise_alternate_site[], raise_after_site[];
// One instruction that changes only EAX (by 1), for a context continued
// with the trap flag set, and the instruction after it.
extern char raise_stepped_site[], raise_stepped_next[];
extern char fault_int3[], fault_int3_after[];
extern char fault_read[], fault_read_after[];
extern char fault_write[], fault_write_after[];
extern char fault_call[], fault_call_after[];
extern char fault_jump[], fault_jump_after[];
extern char fault_divide[], fault_divide_after[];
extern char fault_overflow[], fault_overflow_after[];
extern char fault_illegal[], fault_illegal_after[];
extern char fault_privileged[], fault_privileged_after[];
extern char fault_step[], fault_step_after[];
extern char fault_stack[], fault_stack_after[];
// Each x87 exception: the operation that raises it, the fwait that reports
// it, and the place past that.
#define X87_SITES(name) \
    extern char fault_##name[], fault_##name##_operation[], fault_##name##_report[], \
        fault_##name##_after[]
X87_SITES(x87_invalid);
X87_SITES(x87_denormal);
X87_SITES(x87_divide);
X87_SITES(x87_overflow);
X87_SITES(x87_underflow);
X87_SITES(x87_inexact);
X87_SITES(x87_stack);
#undef X87_SITES
}

// The x87 control word, and the x87 brought back to it with no exception
// pending: what a raise of an x87 exception leaves behind is undone.
inline uint16_t x87_control(void)
{
    uint16_t control;
    __asm__ volatile("fnstcw %0" : "=m"(control) : : "memory");
    return control;
}
inline void x87_settle(uint16_t control)
{
    __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(control) : "memory");
}

#endif
