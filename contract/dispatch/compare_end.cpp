// How the raise point got control back (C1-C4, V3, F2, D3), how the
// answering record's unwind landed (H5), how the situation ended (F1-F5,
// D2), and what the platform's API returned (V4, F3).
#include "comparison.h"

#include "seh_frame.h"

namespace {

const char *site_name(uint32_t site)
{
    switch (static_cast<resume_site>(site)) {
    case resume_site::returned: return "the raising call's return address";
    case resume_site::alternate: return "the place a handler put in the context";
    case resume_site::after: return "past the faulting instruction";
    default: return "nowhere";
    }
}

} // namespace

void comparison::resume(void)
{
    const expected_resume &want = p_.resume;
    const seen_raise &got = o_.raise;
    if (!want.made) {
        if (got.resumed)
            add(stop_promise(), format("the raise point resumed at %s, where the contract says "
                                       "it does not resume",
                                       site_name(got.resumed)));
        return;
    }
    const promise why = want.why;
    if (got.resumed != static_cast<uint32_t>(want.site)) {
        add(why, format("the raise point resumed at %s, where the contract says %s%s",
                        site_name(got.resumed), site_name(static_cast<uint32_t>(want.site)),
                        got.resumed ? "" : format(" (%s)", ending_words().c_str()).c_str()));
        return;
    }
    // D3: the chain as it was at the raise.
    if (got.head_after != got.head_before)
        add(promise::D3, format("the head was %s when execution resumed, not %s",
                                name_at(got.head_after).c_str(),
                                name_at(got.head_before).c_str()));
    if (!want.as_left) {
        // C2: RaiseException returns with ESP and the callee-saved
        // registers as the caller had them.
        if (got.esp_after != got.esp + 16)
            add(why, format("RaiseException returned with ESP %d above its value at the call",
                            static_cast<int>(got.esp_after - got.esp)));
        else if (got.ebx != sentinels.ebx || got.esi != sentinels.esi ||
                 got.edi != sentinels.edi || got.ebp != sentinels.ebp)
            add(why, "RaiseException returned with EBX, ESI, EDI or EBP not as the caller had "
                     "them");
        return;
    }
    // C1: every register as the continuing handler left the context.
    const seen_call *by = nullptr;
    for (size_t k = 0; k < agree_; ++k)
        if (p_.calls[k].dispatch == want.dispatch && p_.calls[k].node == want.by &&
            p_.calls[k].act.what == act::continues)
            by = &o_.calls[k];
    if (!by || !by->left_read)
        return;
    const context_fields &left = by->left;
    struct {
        const char *name;
        uint32_t seen, wanted;
    } const regs[] = {
        {"EAX", got.eax, left.eax}, {"EBX", got.ebx, left.ebx}, {"ECX", got.ecx, left.ecx},
        {"EDX", got.edx, left.edx}, {"ESI", got.esi, left.esi}, {"EDI", got.edi, left.edi},
        {"EBP", got.ebp, left.ebp}, {"ESP", got.esp_after, left.esp},
    };
    for (const auto &one : regs)
        if (one.seen != one.wanted) {
            add(why, format("execution resumed with %s 0x%08X, where %s left 0x%08X in the "
                            "context",
                            one.name, one.seen, node_name(want.by), one.wanted));
            return;
        }
    const uint32_t mask = status_flags | direction_flag;
    if ((got.eflags & mask) != (left.eflags & mask))
        add(why, format("execution resumed with flags 0x%08X, where %s left 0x%08X in the "
                        "context",
                        got.eflags & mask, node_name(want.by), left.eflags & mask));
}

// H5: the answering record's unwind returns with its record at the head.
void comparison::landing(void)
{
    if (!p_.answerer_landed)
        return;
    if (!o_.landed)
        add(promise::H5, format("the answering record's unwind did not return to it (%s)",
                                ending_words().c_str()));
    else if (o_.head_at_landing != address_of(node_answerer))
        add(promise::H5, format("after the answering record's unwind the head was %s",
                                name_at(o_.head_at_landing).c_str()));
}

void comparison::ending(void)
{
    if (p_.end == situation_end::ends_process) {
        // The code of the exception as the handlers saw it: a code that is
        // wrong there is the raise's deviation, not the end's.
        uint32_t want = p_.exit_code;
        for (size_t k = 0; k < agree_; ++k)
            if (p_.calls[k].dispatch >= 0 &&
                p_.dispatches[p_.calls[k].dispatch].exc == exc_tested && o_.calls[k].record_read) {
                want = o_.calls[k].code;
                break;
            }
        const bool exited = end_.how == child_end::exited;
        // A POSIX parent reads the code's low byte; Windows' the whole code.
        const bool right = exited && (end_.code == want || (end_.code <= 0xFF &&
                                                            end_.code == (want & 0xFF)));
        if (!right)
            add(p_.exit_why == promise::D2 ? promise::F4 : p_.exit_why,
                format("%s, where the process must end with 0x%08X", ending_words().c_str(),
                       want));
        return;
    }
    if (end_.how != child_end::finished) {
        add(stop_promise(), format("%s after the contract's last call, where the situation "
                                   "goes on to its end",
                                   ending_words().c_str()));
        return;
    }
    if (p_.end == situation_end::caught) {
        const int exc = p_.dispatches[p_.caught_dispatch].exc;
        if (o_.end != static_cast<uint32_t>(situation_end::caught) ||
            o_.caught_exc != static_cast<uint32_t>(exc))
            add(promise::H5, format("%s, where the outermost record takes %s",
                                    ending_words().c_str(), exception_name(exc)));
    }
}

void comparison::apis(void)
{
    if (vectored_of(s_).removed) {
        if (o_.add_handle_null)
            add(promise::V4, "AddVectoredExceptionHandler returned null");
        else if (!o_.remove_result)
            add(promise::V4, "RemoveVectoredExceptionHandler returned 0 for a handle it gave");
        else if (o_.remove_again_result)
            add(promise::V4, "RemoveVectoredExceptionHandler returned nonzero for a handle "
                             "already removed");
    } else if (o_.add_handle_null) {
        add(promise::V1, "AddVectoredExceptionHandler returned null");
    }
    if (p_.unwinds_past_dispatcher && o_.unwind_asked && o_.unwind_answer != 1)
        add(promise::N6, format("the dispatcher's record at the head answered %u to an unwind, "
                                "not ExceptionContinueSearch",
                                o_.unwind_answer));
    if (o_.in_call_add_null)
        add(promise::V8, "AddVectoredExceptionHandler returned null inside a vectored handler");
    else if (o_.in_call_remove_failed)
        add(promise::V8, "RemoveVectoredExceptionHandler returned 0 inside a vectored handler, "
                         "for the handle that it had just given");
    if ((p_.filter_installed || ends_process(s_)) && o_.filter_restored == 2)
        add(promise::F3, "SetUnhandledExceptionFilter returned another filter than the one it "
                         "replaced");
    if (o_.outer_changed)
        add(promise::N3, o_.outer_changed == outer_record_changed
                             ? "the nested dispatch changed the outer exception's record"
                             : "the nested dispatch changed the outer exception's context");
}
