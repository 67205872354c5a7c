// The CONTEXT as the platform declares it: its own header on win32, the
// layer's on linux-i386.
#ifdef _WIN32
#include <windows.h>
#else
#include "context.h"
#endif

#include "peek.h"
#include "registers.h"

bool read_context(uint32_t context, context_fields *out)
{
    CONTEXT c;
    if (!peek(context, &c, sizeof c))
        return false;
    *out = {c.ContextFlags, c.Eip, c.Esp, c.Eax, c.Ebx, c.Ecx,
            c.Edx,          c.Esi, c.Edi, c.Ebp, c.EFlags};
    return true;
}

bool change_context(uint32_t context, const change_row &change, uint32_t alternate_site)
{
    CONTEXT c;
    if (!peek(context, &c, sizeof c))
        return false;
    auto *live = reinterpret_cast<CONTEXT *>(static_cast<uintptr_t>(context));
    decltype(&live->Eax) slot = nullptr;
    switch (change.what) {
    case field::eax: slot = &live->Eax; break;
    case field::ebx: slot = &live->Ebx; break;
    case field::ecx: slot = &live->Ecx; break;
    case field::edx: slot = &live->Edx; break;
    case field::esi: slot = &live->Esi; break;
    case field::edi: slot = &live->Edi; break;
    case field::ebp: slot = &live->Ebp; break;
    case field::esp: slot = &live->Esp; break;
    case field::eip: slot = &live->Eip; break;
    case field::eflags: slot = &live->EFlags; break;
    case field::none:
    case field::live_df: return true;
    }
    *slot = changed_value(change, *slot, alternate_site);
    return true;
}
