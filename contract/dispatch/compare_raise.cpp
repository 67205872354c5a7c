// What a raise hands the handlers: the record and context of a software
// raise (R1-R8), of a processor exception (X1-X10, H2), of the dispatcher's
// statuses (H4).
#include "comparison.h"

#include "seh_frame.h"
#include "statuses.h"

void comparison::raised(const expected_call &e, const seen_call &c)
{
    const expected_dispatch &d = p_.dispatches[e.dispatch];
    if (d.exc == exc_invalid_disposition || d.exc == exc_noncontinuable) {
        status(d, c);
        return;
    }
    if (d.exc == exc_step) {
        stepped(c);
        return;
    }
    if (d.exc != exc_tested)
        return;
    if (!c.context_read) {
        add(raise_of(s_).kind == raise_kind::processor ? raise_of(s_).x : promise::R6,
            format("%s got a context that cannot be read", call_words(c).c_str()));
        return;
    }
    // R8: the context lies below the raise point's ESP.
    if (c.context >= c.regs.esp)
        add(promise::R8, format("%s got a context at 0x%08X, not below its Esp 0x%08X",
                                call_words(c).c_str(), c.context, c.regs.esp));
    switch (raise_of(s_).kind) {
    case raise_kind::software: software(e, c); break;
    case raise_kind::rtl: rtl(c); break;
    case raise_kind::processor: processor(c); break;
    }
}

// R1-R6: RaiseException's record from its arguments, its context.
void comparison::software(const expected_call &e, const seen_call &c)
{
    const raise_row &r = raise_of(s_);
    const std::string who = call_words(c);
    // The nested flag is N2's wherever a dispatcher's record may set it (a
    // raise nested in another dispatch or an unwind, a vectored handler's
    // call, the filter's), or where RaiseException was not given it: R2
    // judges every other bit.
    const uint32_t nested =
        e.nested == 0 && !nested_place(s_) && (r.flags & EXCEPTION_NESTED_CALL_FLAG)
            ? 0
            : EXCEPTION_NESTED_CALL_FLAG;
    if (c.code != r.code)
        add(promise::R1, format("%s got code 0x%08X, where RaiseException was given 0x%08X",
                                who.c_str(), c.code, r.code));
    if ((c.flags & ~nested) != (r.flags & EXCEPTION_NONCONTINUABLE_FLAG))
        add(promise::R2, format("%s got flags 0x%08X, where RaiseException was given 0x%08X",
                                who.c_str(), c.flags, r.flags));
    if (c.chained)
        add(promise::R3, format("%s got a chained record", who.c_str()));
    const uint32_t count = r.null_arguments ? 0 : r.count > 15 ? 15 : r.count;
    if (c.parameters != count)
        add(promise::R4, format("%s got %u parameters, where RaiseException was given %u "
                                "arguments%s",
                                who.c_str(), c.parameters, r.count,
                                r.null_arguments ? " and a null lpArguments" : ""));
    else
        for (uint32_t i = 0; i < count; ++i)
            if (c.params[i] != argument_value(i)) {
                add(promise::R4, format("%s got parameter %u 0x%08X, not the argument 0x%08X",
                                        who.c_str(), i, c.params[i], argument_value(i)));
                break;
            }
    if (c.address != c.regs.eip)
        add(promise::R5, format("%s got ExceptionAddress 0x%08X and a context whose Eip is "
                                "0x%08X",
                                who.c_str(), c.address, c.regs.eip));
    if ((c.regs.flags & context_minimum) != context_minimum)
        add(promise::R6, format("%s got a context with ContextFlags 0x%08X", who.c_str(),
                                c.regs.flags));
}

// R7: RtlRaiseException hands the caller's record as the caller set it, its
// return address stored. Whether handlers get that record itself or a copy
// of it is left open: what they read is judged.
void comparison::rtl(const seen_call &c)
{
    const raise_row &r = raise_of(s_);
    const std::string who = call_words(c);
    const seen_raise &at = o_.raise;
    const uint32_t nested = c.flags & EXCEPTION_NESTED_CALL_FLAG;
    if (c.code != r.code || (c.flags & ~nested) != r.flags)
        add(promise::R7, format("%s saw the caller's code or flags changed: 0x%08X, 0x%08X",
                                who.c_str(), c.code, c.flags));
    else if (c.chained != o_.callers_chained)
        add(promise::R7, format("%s saw the caller's chained record changed", who.c_str()));
    else if (c.parameters != r.count || c.params[r.count - 1] != argument_value(r.count - 1))
        add(promise::R7, format("%s saw the caller's parameters changed", who.c_str()));
    else if (c.address != at.return_site)
        add(promise::R7, format("%s got ExceptionAddress 0x%08X, not the return address 0x%08X",
                                who.c_str(), c.address, at.return_site));
    else if (c.regs.eip != at.return_site)
        add(promise::R7, format("%s got a context whose Eip is 0x%08X, not the return address",
                                who.c_str(), c.regs.eip));
    else if (c.regs.esp != at.esp + 4)
        add(promise::R7, format("%s got a context whose Esp is %d above ESP at the call, not 4",
                                who.c_str(), static_cast<int>(c.regs.esp - at.esp)));
    else if (c.regs.ebx != sentinels.ebx || c.regs.esi != sentinels.esi ||
             c.regs.edi != sentinels.edi || c.regs.ebp != sentinels.ebp)
        add(promise::R7, format("%s got a context whose EBX, ESI, EDI or EBP is not the "
                                "caller's",
                                who.c_str()));
    if ((c.regs.flags & context_minimum) != context_minimum)
        add(promise::R6, format("%s got a context with ContextFlags 0x%08X", who.c_str(),
                                c.regs.flags));
}

// Where Wine runs under an emulator whose signal frames carry no trap
// number (qemu-user), it reports every fault so: the emulator's doing.
std::string comparison::emulator_note(const seen_call &c) const
{
    const raise_row &r = raise_of(s_);
    const bool segv = r.how == fault::read || r.how == fault::write || r.how == fault::call ||
                      r.how == fault::jump || r.how == fault::privileged;
    if ((segv && c.code == 0xC000001Du) ||
        ((r.how == fault::divide || r.how == fault::overflow) && c.code == 0xC0000090u) ||
        (r.how == fault::step && c.code == 0x80000003u) ||
        (r.how == fault::int3 && c.address == c.regs.eip + 1))
        return " (as Wine reports it where the signal frame carries no trap number, as under "
               "qemu-user: the emulator's deviation)";
    return "";
}

// X10 cannot be tried on a processor that sets no flag for the operation
// even with it masked, or that went on past the fwait with the exception
// unmasked and pending (qemu-i386 raises no x87 exception at all): the
// emulator's deviation, and nothing else is judged.
bool comparison::x87_untried(void)
{
    const x87_row *x = x87_of(raise_of(s_).how);
    const seen_raise &at = o_.raise;
    if (!x || !at.made)
        return false;
    if ((o_.x87_masked_status & x->flags) != x->flags) {
        add(promise::X10,
            format("the processor does not set the %s flag for the %s, even with every x87 "
                   "exception masked (status word 0x%04X): X10 cannot be tried on it (the "
                   "emulator's deviation)",
                   x->flag, x->words, o_.x87_masked_status),
            true);
        return true;
    }
    const uint32_t pending = 0x80u | x->flags; // ES: an unmasked exception is pending
    if (tested_seen() || at.resumed != static_cast<uint32_t>(resume_site::after) ||
        (at.x87_status & pending) != pending)
        return false;
    add(promise::X10,
        format("the processor went on past the fwait at 0x%08X with the %s exception of the %s "
               "unmasked and pending (status word 0x%04X): it raises no x87 exception, as "
               "qemu-i386 raises none, and X10 cannot be tried on it (the emulator's deviation)",
               at.report_site, x->flag, x->words, at.x87_status),
        true);
    return true;
}

// X1-X10: the processor exception's code, address, parameters and the
// whole register state at the instruction; H2: handlers with DF clear,
// the context with the faulting point's flags.
void comparison::processor(const seen_call &c)
{
    const raise_row &r = raise_of(s_);
    const seen_raise &at = o_.raise;
    const std::string who = call_words(c);
    const promise x = r.x;
    if (c.eflags_at_entry & direction_flag)
        add(promise::H2, format("%s was entered with the direction flag set%s", who.c_str(),
                                regs_of(s_).df ? " (the faulting code's; an emulator that "
                                                 "enters signal handlers so, as qemu-user "
                                                 "does, causes it)"
                                               : ""));
    if (r.code_open)
        return; // X5 leaves the quotient overflow's code open, and the rest with it
    // What an emulator causes is shown, and is no deviation of the
    // platform's.
    const std::string note = emulator_note(c);
    const bool emulated = !note.empty();
    if (c.code != r.code) {
        add(x, format("%s got code 0x%08X, not 0x%08X%s", who.c_str(), c.code, r.code,
                      note.c_str()),
            emulated);
        return;
    }
    if (x87_of(r.how)) {
        if (c.address != at.fault_site || c.regs.eip != at.report_site) {
            // Where the processor keeps no address of its last x87
            // instruction, the platform cannot give it.
            const bool kept_none = c.address == 0 && c.regs.eip == at.report_site &&
                                   (c.regs.flags & context_floating_point) ==
                                       context_floating_point &&
                                   c.regs.error_offset == 0;
            add(x,
                format("%s got ExceptionAddress 0x%08X and Eip 0x%08X, where the x87 "
                       "instruction that raised it is at 0x%08X and the fwait that reported it "
                       "at 0x%08X%s",
                       who.c_str(), c.address, c.regs.eip, at.fault_site, at.report_site,
                       kept_none ? " (the context's FloatSave.ErrorOffset is 0 as well: the "
                                   "processor kept no address of its last x87 instruction, as "
                                   "QEMU's FXSAVE stores none: the emulator's deviation)"
                                 : ""),
                kept_none);
            return;
        }
    } else if (c.address != at.fault_site || c.regs.eip != at.fault_site) {
        add(x, format("%s got ExceptionAddress 0x%08X and Eip 0x%08X, where the %s is at "
                      "0x%08X%s",
                      who.c_str(), c.address, c.regs.eip,
                      r.how == fault::step ? "next instruction" : "instruction", at.fault_site,
                      note.c_str()),
            emulated);
        return;
    }
    switch (r.how) {
    case fault::read:
    case fault::write: {
        const uint32_t kind = r.how == fault::write;
        if (c.parameters != 2 || c.params[0] != kind || c.params[1] != inaccessible)
            add(x, format("%s got %u parameters (0x%X, 0x%08X), not %u and 0x%08X", who.c_str(),
                          c.parameters, c.params[0], c.params[1], kind, inaccessible));
        break;
    }
    case fault::call:
    case fault::jump:
        if (c.parameters != 2 || (c.params[0] != 0 && c.params[0] != 8) ||
            c.params[1] != at.fault_site)
            add(x, format("%s got %u parameters (0x%X, 0x%08X), not 0 or 8 and the target",
                          who.c_str(), c.parameters, c.params[0], c.params[1]));
        else if (r.how == fault::call && c.word_at_esp != at.after_site)
            add(x, format("%s got a context whose Esp holds 0x%08X, not the call's return "
                          "address",
                          who.c_str(), c.word_at_esp));
        break;
    default: break;
    }
    if ((c.regs.flags & context_minimum) != context_minimum)
        add(x, format("%s got a context with ContextFlags 0x%08X", who.c_str(), c.regs.flags));
    // The registers at the instruction: the sentinels (for a divide, its
    // operands), ESP as it was (a call has pushed its return address).
    if (r.how == fault::stack)
        return;
    const uint32_t esp = at.esp - (r.how == fault::call ? 4 : 0);
    struct {
        const char *name;
        uint32_t seen, wanted;
    } const regs[] = {
        {"EBX", c.regs.ebx, sentinels.ebx}, {"ESI", c.regs.esi, sentinels.esi},
        {"EDI", c.regs.edi, sentinels.edi}, {"EBP", c.regs.ebp, sentinels.ebp},
        {"ESP", c.regs.esp, esp},
    };
    for (const auto &one : regs)
        if (one.seen != one.wanted) {
            add(x, format("%s got a context whose %s is 0x%08X, not 0x%08X as at the "
                          "instruction",
                          who.c_str(), one.name, one.seen, one.wanted));
            break;
        }
    const uint32_t flags = sentinels.eflags | (regs_of(s_).df ? direction_flag : 0);
    const uint32_t mask = status_flags | direction_flag;
    if ((c.regs.eflags & mask) != (flags & mask))
        add(regs_of(s_).df ? promise::H2 : x,
            format("%s got a context whose EFlags are 0x%08X, not the faulting point's 0x%08X",
                   who.c_str(), c.regs.eflags & mask, flags & mask));
}

// X8: the single step of a context continued with the trap flag set comes
// after its first instruction, at the next one; C1: that context is the
// one its continuer left, the instruction run (EAX one more).
void comparison::stepped(const seen_call &c)
{
    const std::string who = call_words(c);
    const seen_raise &at = o_.raise;
    const seen_call *from = nullptr;
    for (size_t k = 0; k < agree_; ++k)
        if (p_.calls[k].act.step)
            from = &o_.calls[k];
    if (!c.context_read) {
        add(promise::X8, format("%s got a context that cannot be read", who.c_str()));
        return;
    }
    // C1: an exception that is nowhere near the stepped site comes from
    // another context than the one left.
    if (c.regs.eip < at.step_site || c.regs.eip > at.step_next) {
        add(promise::C1, format("after a context was continued with the trap flag set at the "
                                "stepped site, %s came with code 0x%08X at 0x%08X",
                                who.c_str(), c.code, c.regs.eip));
        return;
    }
    // Where Wine runs under qemu-user, a single step comes as a breakpoint
    // one byte back: the emulator's deviation.
    const bool emulated = c.code == 0x80000003u && c.regs.eip == at.step_next - 1;
    const char *note = emulated ? " (as Wine reports a single step where the signal frame "
                                  "carries no trap number, as under qemu-user: the emulator's "
                                  "deviation)"
                                : "";
    if (c.code != single_step_code)
        add(promise::X8, format("%s got code 0x%08X, not EXCEPTION_SINGLE_STEP%s", who.c_str(),
                                c.code, note),
            emulated);
    else if (c.address != at.step_next || c.regs.eip != at.step_next)
        add(promise::X8, format("%s got ExceptionAddress 0x%08X and Eip 0x%08X, where the "
                                "instruction after the stepped one is at 0x%08X%s",
                                who.c_str(), c.address, c.regs.eip, at.step_next,
                                c.regs.eip == at.step_site ? " (the stepped one's own)" : ""));
    if (!from || !from->left_read)
        return;
    const context_fields &left = from->left;
    if (c.regs.eax != left.eax + 1)
        add(promise::C1, format("the context continued with the trap flag set trapped with EAX "
                                "0x%08X, where its first instruction makes it 0x%08X%s",
                                c.regs.eax, left.eax + 1,
                                c.regs.eax == left.eax ? ": that instruction never ran" : ""));
    else if (c.regs.ebx != left.ebx || c.regs.ecx != left.ecx || c.regs.edx != left.edx ||
             c.regs.esi != left.esi || c.regs.edi != left.edi || c.regs.ebp != left.ebp ||
             c.regs.esp != left.esp)
        add(promise::C1, "the context continued with the trap flag set trapped with another "
                         "register than its continuer left");
}

// H4: the dispatcher's status, a new noncontinuable record chained to the
// offending one (Wine 8 chains nothing: one source says it).
void comparison::status(const expected_dispatch &d, const seen_call &c)
{
    const std::string who = call_words(c);
    const promise why = promise::H4;
    if ((c.flags & ~EXCEPTION_NESTED_CALL_FLAG) != EXCEPTION_NONCONTINUABLE_FLAG)
        add(why, format("%s got flags 0x%08X", who.c_str(), c.flags));
    else if (c.parameters != 0)
        add(why, format("%s got %u parameters", who.c_str(), c.parameters));
    if (d.chained < 0)
        return;
    uint32_t offending = 0;
    for (size_t k = 0; k < agree_; ++k)
        if (p_.calls[k].dispatch == d.chained) {
            offending = o_.calls[k].record;
            break;
        }
    if (offending && c.chained != offending)
        add(promise::H4,
            format("%s chains %s, not the record of %s", who.c_str(),
                   c.chained ? "another record" : "no record",
                   exception_name(p_.dispatches[d.chained].exc)),
            true);
}
