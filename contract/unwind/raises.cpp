// How a child of unwind-contract sees what the platform raises: a vectored
// exception handler notes whatever is raised or faults during a situation
// on the call of RtlUnwind that was running, and leaves the situation. The
// same on both targets, through the platform's API: windows.h on win32,
// the layer's header on linux-i386.
#ifdef _WIN32
#include <windows.h>
#else
#include "seh_platform.h"
#endif

#include <stdint.h>

#include "peek.h"
#include "raises.h"
#include "stage.h"
#include "unwind_call.h"

namespace {

bool is_fault(DWORD code)
{
#define FAULT(fault, words) \
    if (code == fault##u)   \
        return true;
#include "faults.def"
#undef FAULT
    return false;
}

// Whatever is raised or faults during a situation: noted on the call of
// RtlUnwind that was running, then the situation is left.
LONG WINAPI on_exception(EXCEPTION_POINTERS *x)
{
    __asm__ volatile("cld" : : : "memory"); // a handler may have left it set
    const uint32_t out = way_out();
    if (!out)
        return EXCEPTION_CONTINUE_SEARCH;
    const EXCEPTION_RECORD *r = x->ExceptionRecord;
    if (seen_unwind *u = unwind_in_progress()) {
        const bool fault = is_fault(r->ExceptionCode);
        u->how = fault ? seen_unwind::faulted : seen_unwind::raised;
        u->raised_record = reinterpret_cast<uint32_t>(r);
        u->code = r->ExceptionCode;
        u->flags = r->ExceptionFlags;
        u->chained = reinterpret_cast<uint32_t>(r->ExceptionRecord);
        if (fault) {
            // As a signal says it: the address touched, and where.
            u->address = r->NumberParameters >= 2 ? r->ExceptionInformation[1] : 0;
            u->param0 = reinterpret_cast<uint32_t>(r->ExceptionAddress);
        } else {
            u->address = reinterpret_cast<uint32_t>(r->ExceptionAddress);
            u->param0 = r->NumberParameters >= 1 ? r->ExceptionInformation[0] : 0;
            u->param1 = r->NumberParameters >= 2 ? r->ExceptionInformation[1] : 0;
        }
        uint32_t chained[2];
        if (peek(u->chained, chained, sizeof chained)) {
            u->chained_read = 1;
            u->chained_code = chained[0];
            u->chained_flags = chained[1];
        }
    }
    // Resume at the way out with registers of this handler's own: what the
    // platform captured may be damaged (a handler that left the direction
    // flag set sends its string copies backwards).
    CONTEXT &c = *x->ContextRecord;
    uint16_t cs, ss, ds, es, fs, gs;
    __asm__ volatile("movw %%cs, %0\n\tmovw %%ss, %1\n\tmovw %%ds, %2"
                     : "=m"(cs), "=m"(ss), "=m"(ds));
    __asm__ volatile("movw %%es, %0\n\tmovw %%fs, %1\n\tmovw %%gs, %2"
                     : "=m"(es), "=m"(fs), "=m"(gs));
    c.SegCs = cs;
    c.SegSs = ss;
    c.SegDs = ds;
    c.SegEs = es;
    c.SegFs = fs;
    c.SegGs = gs;
    c.Esp = reinterpret_cast<DWORD>(__builtin_frame_address(0)) - 512;
    c.EFlags = 0x202; // interrupts on, nothing else
    c.Eip = reinterpret_cast<DWORD>(escape_resume);
    c.Eax = out;
    return EXCEPTION_CONTINUE_EXECUTION;
}

} // namespace

void watch_raises(void) { AddVectoredExceptionHandler(1, on_exception); }
