/* RtlUnwind called from assembly, so that its return is seen exactly. */
#ifndef CONTRACT_UNWIND_CALL_H
#define CONTRACT_UNWIND_CALL_H

#include <stdint.h>

struct unwind_call {
    // the four arguments
    uint32_t target_frame, target_ip, exception_record, return_value;
    // the registers as RtlUnwind returned them
    uint32_t eax, ebx, esi, edi, ebp;
    uint32_t esp_at_call; // ESP at the call instruction (the first argument)
    uint32_t esp_after;   // ESP at the return address
    uint32_t ebp_before;  // EBP when RtlUnwind was called
};

// What EBX, ESI and EDI hold when RtlUnwind is called.
constexpr uint32_t call_ebx = 0x0bb0bb0bu;
constexpr uint32_t call_esi = 0x05150515u;
constexpr uint32_t call_edi = 0x0d1d0d1du;

extern "C" {
// Calls RtlUnwind with c's arguments and EBX, ESI, EDI loaded as above, and
// fills in the rest of c. Comes back even when RtlUnwind returns with EBP
// or ESP wrong.
void call_rtl_unwind(unwind_call *c);
// The return address of that call of RtlUnwind.
extern char unwind_return_site[];
// Returns from the invoke_callback call that recorded `frame`, as qarvel's
// do_unwind does after its RtlUnwind.
[[noreturn]] void resume_behind(uint32_t frame);
}

#endif
