// The CONTEXT as the platform declares it.
#include "registers.h"

#include "peek.h"
#include "platform_api.h"
#include "chain_head.h"
#include "raise_point.h"

bool read_context(uint32_t context, context_fields *out, uint32_t *word_at_esp)
{
    CONTEXT c;
    if (!peek(context, &c, sizeof c))
        return false;
    const bool x87 = (c.ContextFlags & context_floating_point) == context_floating_point;
    *out = {c.ContextFlags, c.Eip, c.Esp, c.Eax, c.Ebx, c.Ecx, c.Edx, c.Esi, c.Edi, c.Ebp,
            c.EFlags,       x87 ? c.FloatSave.ErrorOffset : 0};
    *word_at_esp = 0;
    if (on_stack(c.Esp, 4))
        *word_at_esp = *reinterpret_cast<const uint32_t *>(static_cast<uintptr_t>(c.Esp));
    return true;
}

bool leave_context(uint32_t context, const situation &s, const decision &d, uint32_t moved_to,
                   uint32_t alternate)
{
    CONTEXT c;
    if (!peek(context, &c, sizeof c))
        return false;
    auto *live = reinterpret_cast<CONTEXT *>(static_cast<uintptr_t>(context));
    if (d.move || d.past_step)
        live->Eip = moved_to;
    if (d.clear_tf)
        live->EFlags &= ~trap_flag;
    if (!d.change)
        return true;
    const answer_row &answer = answer_of(s);
    decltype(&live->Eax) slot = nullptr;
    switch (answer.what) {
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
    case field::trap:
        live->Eip = seh_addr(raise_stepped_site);
        slot = &live->EFlags;
        break;
    case field::none: return true;
    }
    *slot = changed_value(answer, *slot, alternate);
    return true;
}
