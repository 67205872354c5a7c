/* RtlUnwind called from assembly, so that its return is seen exactly. */
#ifndef CONTRACT_UNWIND_CALL_H
#define CONTRACT_UNWIND_CALL_H

#include <stdint.h>

#include "escape.h"

struct unwind_call {
    // the four arguments
    uint32_t target_frame, target_ip, record, return_value;
    // the registers and flags at the call
    uint32_t eax, ebx, esi, edi, eflags;
    // as the call was made
    uint32_t esp_at_call;    // ESP at the call instruction (the first argument)
    uint32_t ebp_at_call;    // EBP then
    uint32_t eflags_at_call; // the flags then
    // as RtlUnwind returned
    uint32_t site; // 1 the return address, 2 unwind_alternate_site
    uint32_t ret_eax, ret_ebx, ret_ecx, ret_edx, ret_esi, ret_edi, ret_ebp, esp_after, ret_eflags;
    unwind_call *outer; // the call of this thread that was running when it began
};

extern "C" {
// Calls RtlUnwind with c's arguments and registers and fills in the rest of
// c. Comes back even when RtlUnwind returns with EBP or ESP wrong, as long
// as the stack it returns on can be written.
void call_rtl_unwind(unwind_call *c);
// The return address of that call, and another place to return to.
extern char unwind_return_site[];
extern char unwind_alternate_site[];
// The thread's call that has just returned, given the registers that the
// return site saved (EBP, EDI, ESI, EBX, EDX, ECX, EAX, site, EFLAGS).
unwind_call *unwind_returned(const uint32_t *saved);

uint32_t handler_leaving_df(void *, void *, void *, void *);
uint32_t observe_actor(void *record, void *frame, void *context, void *dispatcher);
extern char target_ip_landing[];
[[noreturn]] void arrived_at_target_ip(void);
}

#endif
