// The CONTEXT as the platform declares it: its own header on win32, the
// layer's on linux-i386.
#ifdef _WIN32
#include <windows.h>
#else
#include "context.h"
#endif

#include "peek.h"
#include "registers.h"
#include "unwind_call.h"
#include "world.h"

bool read_context(uint32_t context, context_fields *out)
{
    CONTEXT c;
    if (!peek(context, &c, sizeof c))
        return false;
    *out = {c.ContextFlags, c.Eip, c.Esp, c.Eax, c.Ebx, c.Esi, c.Edi, c.Ebp, c.EFlags};
    return true;
}

bool change_context(uint32_t context, action what)
{
    CONTEXT c;
    if (!peek(context, &c, sizeof c))
        return false;
    auto *live = reinterpret_cast<CONTEXT *>(context);
    switch (what) {
    case action::sets_eax: live->Eax = changed_eax; break;
    case action::sets_ebx: live->Ebx = changed_ebx; break;
    case action::sets_eip:
        live->Eip = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(unwind_alternate_site));
        break;
    case action::sets_eflags: live->EFlags ^= flipped_flags; break;
    default: break;
    }
    return true;
}
