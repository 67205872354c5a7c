// How each call of RtlUnwind ended: the return and the registers the caller
// got (E1, E2, E5), or what it raised (E3, E4), and the words for an end
// that is neither.
#include "comparison.h"

#include "registers.h"
#include "seh_frame.h"
#include "statuses.h"

seen_end comparison::end_seen(int role) const
{
    const seen_unwind &u = o_.unwinds[role];
    seen_end e;
    if (!u.made)
        return e;
    switch (u.how) {
    case seen_unwind::returned: e.how = seen_end::returned; return e;
    case seen_unwind::raised: e.how = seen_end::raised; e.code = u.code; return e;
    case seen_unwind::faulted: e.how = seen_end::faulted; e.code = u.code; return e;
    case seen_unwind::at_target_ip: e.how = seen_end::at_target_ip; return e;
    case seen_unwind::left: e.how = seen_end::left; return e;
    }
    for (int inner = role + 1; inner < role_count; ++inner)
        if (o_.unwinds[inner].made && o_.unwinds[inner].how == seen_unwind::running)
            return seen_end{seen_end::gone, 0};
    switch (end_.how) {
    case child_end::exited: e.how = seen_end::exited; break;
    case child_end::signalled: e.how = seen_end::signalled; break;
    case child_end::hung: e.how = seen_end::hung; break;
    default: e.how = seen_end::gone; break;
    }
    e.code = end_.code;
    return e;
}

void comparison::end(int role)
{
    const expected_end &want = p_.ends[role];
    const seen_end got = end_seen(role);
    if (want.how == ending::none || want.how == ending::abandoned)
        return;
    if (got.how == seen_end::at_target_ip) {
        add(promise::U3, "control went to TargetIp");
        return;
    }
    if (want.how == ending::returns)
        returned(role, want, got);
    else if (want.record_itself)
        raised_record(role, got);
    else
        raised_status(role, want, got);
}

// E1, E5: the registers the caller gets are those of the context, which
// are the caller's own but for what the actor changed there.
void comparison::returned(int role, const expected_end &want, const seen_end &got)
{
    // A context that the handler could not change (W8 says why) comes back
    // as it was.
    const bool changed = want.changed && o_.context_changed;
    const field f = changed ? change_of(s_).what : field::none;
    if (got.how != seen_end::returned) {
        promise which = changed ? promise::E5 : promise::E1;
        if (got.how == seen_end::raised || got.how == seen_end::exited)
            which = promise_of_status(got, role);
        if (which == promise::W1)
            which = reach_promise(role);
        add(which, format("%s where RtlUnwind must return%s", ending_words(got).c_str(),
                          role == role_nested ? " from the nested call" : ""));
        return;
    }
    const seen_unwind &u = o_.unwinds[role];
    const unwind_call &c = u.call;
    const call_values &v = values_of(role);
    const char *call = role == role_nested ? "the nested RtlUnwind" : "RtlUnwind";
    // The promise of a register: E5 for the one the actor changed, E1 for
    // the others.
    auto of = [f](field which) { return f == which ? promise::E5 : promise::E1; };
    auto want_of = [&](field which, uint32_t was) {
        return after_change(s_, which, changed, was, u.alternate_site);
    };
    const uint32_t wanted_site = f == field::eip ? 2 : 1;
    if (c.site != wanted_site)
        add(of(field::eip),
            format("%s returned to %s", call,
                   c.site == 2 ? "the place that no handler put in its context"
                               : "its return address, not to the Eip a handler set"));
    const uint32_t eax = want_of(field::eax, v.return_value);
    if (c.ret_eax != eax)
        add(of(field::eax), format("%s returned EAX 0x%08X, not 0x%08X%s", call, c.ret_eax, eax,
                                   c.ret_eax == v.eax ? " (EAX as it was at the call)" : ""));
    struct {
        const char *name;
        field which;
        uint32_t seen, wanted;
    } const kept[] = {
        {"EBX", field::ebx, c.ret_ebx, want_of(field::ebx, v.ebx)},
        {"ESI", field::esi, c.ret_esi, want_of(field::esi, v.esi)},
        {"EDI", field::edi, c.ret_edi, want_of(field::edi, v.edi)},
        {"EBP", field::ebp, c.ret_ebp, want_of(field::ebp, c.ebp_at_call)},
        // ECX and EDX are the caller's to lose: only what a handler wrote
        // there must come back.
        {"ECX", field::ecx, c.ret_ecx, want_of(field::ecx, c.ret_ecx)},
        {"EDX", field::edx, c.ret_edx, want_of(field::edx, c.ret_edx)},
    };
    for (const auto &r : kept)
        if (r.seen != r.wanted)
            add(of(r.which), format("%s returned %s 0x%08X, not 0x%08X%s", call, r.name, r.seen,
                                    r.wanted,
                                    f == r.which ? ", which the actor's handler had written in "
                                                   "its context"
                                                 : ", as the caller had it"));
    const uint32_t esp = want_of(field::esp, c.esp_at_call + 16);
    if (c.esp_after != esp) {
        const int32_t above = static_cast<int32_t>(c.esp_after - c.esp_at_call);
        add(of(field::esp),
            f == field::esp ? format("%s returned with ESP 0x%08X, not 0x%08X, which the actor's "
                                     "handler had written in its context",
                                     call, c.esp_after, esp)
                            : format("%s returned with ESP %d above its value at the call", call,
                                     above));
    }
    // The flags: as the context held them, so the direction flag clear
    // unless the actor set it there (E1 says clear, E5 what it set).
    const uint32_t flags = want_of(field::eflags, c.eflags_at_call);
    const bool df_changed = f == field::eflags && (change_of(s_).value & direction_flag);
    if ((c.ret_eflags & direction_flag) != (flags & direction_flag))
        add(df_changed ? promise::E5 : promise::E1,
            format("%s returned with the direction flag %s%s", call,
                   c.ret_eflags & direction_flag ? "set" : "clear",
                   df_changed ? ", which the actor's handler had set in its context" : ""));
    if ((c.ret_eflags & arithmetic_flags) != (flags & arithmetic_flags))
        add(promise::E5, format("%s returned flags 0x%08X, where its context held 0x%08X", call,
                                c.ret_eflags & arithmetic_flags, flags & arithmetic_flags));
    if (u.head_after != address_of(want.head_after))
        add(reach_promise(role),
            format("after %s returned the head was %s", call, name_at(u.head_after).c_str()));
    callers_record_after(role);
}

void comparison::raised_status(int role, const expected_end &want, const seen_end &got)
{
    const std::string must = format("where RtlUnwind must raise %s%s", status_name(want.status),
                                    raise_reason(want).c_str());
    if (got.how != seen_end::raised || got.code != want.status) {
        add(want.which, format("%s %s", ending_words(got).c_str(), must.c_str()));
        return;
    }
    // E4: non-continuable, with the unwind's record chained.
    const seen_unwind &u = o_.unwinds[role];
    const unwind_plan &plan = p_.unwinds[role];
    if (!(u.flags & 1))
        add(promise::E4, format("%s was raised continuable", status_name(want.status)));
    else if (!plan.own_record && u.chained != o_.callers_record)
        add(promise::E4, format("%s was raised with %s chained, not the unwind's record",
                                status_name(want.status),
                                u.chained ? "another record" : "no record"));
    else if (plan.own_record && (!u.chained || !u.chained_read || u.chained_code != STATUS_UNWIND))
        add(promise::E4, format("%s was raised with %s chained, not the unwind's own record",
                                status_name(want.status),
                                u.chained ? "another record" : "no record"));
}

// E3: at the end marker, the unwind's record is raised; a platform that
// returns there differs from the walk-through, the only source of E3.
void comparison::raised_record(int role, const seen_end &got)
{
    const unwind_plan &plan = p_.unwinds[role];
    const uint32_t code = plan.own_record ? STATUS_UNWIND : callers_code;
    const std::string must =
        format("where at the end marker it must raise %s",
               plan.own_record ? "its STATUS_UNWIND record" : "the caller's record");
    if (got.how == seen_end::returned) {
        const seen_unwind &u = o_.unwinds[role];
        add(promise::E3, format("RtlUnwind returned with %s at the head%s",
                                name_at(u.head_after).c_str(),
                                u.call.ret_eax == values_of(role).return_value
                                    ? " and ReturnValue in EAX"
                                    : ""));
        return;
    }
    if (got.how != seen_end::raised || got.code != code ||
        (!plan.own_record && o_.unwinds[role].raised_record != o_.callers_record))
        add(promise::E3, format("%s %s", ending_words(got).c_str(), must.c_str()));
}

namespace {

const char *fault_name(uint32_t code)
{
#define FAULT(fault, words) \
    if (code == fault##u)   \
        return words;
#include "faults.def"
#undef FAULT
    return "an exception";
}

} // namespace

// Whether the walk of e's unwind, going on past e's record, would come to
// a record that raises `status`: then e's record was passed over.
bool comparison::raised_further_on(const expected_call &e, uint32_t status) const
{
    const int target = p_.unwinds[e.role].target;
    int n = next_of(s_, e.node);
    for (int steps = 0; steps < most_above + 20 && n != node_none && n != target; ++steps) {
        if (n == node_end)
            return status == STATUS_UNWIND || status == callers_code ||
                   (status & 0xFF) == (callers_code & 0xFF);
        if (status == STATUS_INVALID_UNWIND_TARGET && target != node_none && target != node_end &&
            above(n, target, s_))
            return true;
        if (status == STATUS_BAD_STACK && fails_check(n, s_))
            return true;
        n = is_guard(n) ? node_none : next_of(s_, n);
    }
    return false;
}

// What a status that ended a walk wrongly concerns.
promise comparison::promise_of_status(const seen_end &end, int role) const
{
    switch (end.code) {
    case STATUS_BAD_STACK: return promise::W2;
    case STATUS_INVALID_UNWIND_TARGET: return promise::W3;
    case STATUS_INVALID_DISPOSITION: return promise::W6;
    case STATUS_STACK_OVERFLOW: return promise::W5;
    case STATUS_UNWIND:
    case callers_code: return reach_promise(role);
    }
    return promise::W1;
}

std::string comparison::ending_words(const seen_end &end) const
{
    switch (end.how) {
    case seen_end::returned: return "RtlUnwind returned";
    case seen_end::raised: {
        const char *known = status_name(end.code);
        return known ? format("it raised %s (0x%08X)", known, end.code)
                     : format("it raised 0x%08X", end.code);
    }
    case seen_end::faulted: return fault_words();
    case seen_end::at_target_ip: return "control went to TargetIp";
    case seen_end::left: return "the check left the walk";
    case seen_end::exited: {
        // Not raised where a vectored handler saw it: the platform's
        // unhandled-exception path, or a process that died.
        const char *known = status_name(end.code);
        if (end.code >= 0xC0000000u)
            return known ? format("the process ended with %s (0x%08X)", known, end.code)
                         : format("the process ended with 0x%08X", end.code);
        return format("the process died (exit code %u)", end.code);
    }
    case seen_end::signalled: return format("the process was killed by signal %u", end.code);
    case seen_end::hung:
        return end.code == child_end::endless
                   ? "it never ended: handlers were still being called after 60 s, and the "
                     "check ended it"
                   : "it hung: no handler was called for 5 s, and the check ended it";
    default: return "it did not end";
    }
}

// A fault, with what it was: the word at a bound called as a handler, a
// record read, or where it happened; and when the check cannot tell what
// was called, why not.
std::string comparison::fault_words(void) const
{
    const seen_unwind *u = nullptr;
    for (const seen_unwind &one : o_.unwinds)
        if (one.made && one.how == seen_unwind::faulted)
            u = &one;
    if (!u)
        return "it faulted";
    const char *what = fault_name(u->code);
    const odd_row &odd = odd_of(s_);
    const bool odd_at_bound = at_a_bound(odd.from);
    if (o_.handler_word_read && u->param0 == o_.handler_word)
        return format("it called 0x%08X, the word at %s, as the handler of %s, and faulted "
                      "there (%s)",
                      o_.handler_word, handler_word_place(odd.from, odd.offset).c_str(), name(node_odd), what);
    if (o_.handler_word_read)
        return format("it faulted (%s) at 0x%08X, not refusing %s, whose Handler is the word at "
                      "%s (0x%08X)",
                      what, u->param0, name(node_odd), handler_word_place(odd.from, odd.offset).c_str(),
                      o_.handler_word);
    if (odd.from != edge::none && u->address == o_.addresses[node_odd] + 4)
        return format("it faulted (%s) reading the Handler of %s", what, name(node_odd));
    if (ours_at(u->address) || (odd.from != edge::none && u->address == o_.addresses[node_odd]))
        return format("it faulted (%s) reading %s", what, name_at(u->address & ~3u).c_str());
    if (odd_at_bound && !u->address)
        return format("it faulted (%s) at 0x%08X, not refusing %s: the check cannot tell what it "
                      "touched or called there, since the word at %s, the record's Handler, "
                      "cannot be read, and the platform's report of the fault names no address",
                      what, u->param0, name(node_odd), handler_word_place(odd.from, odd.offset).c_str());
    return format("it faulted (%s) at 0x%08X", what, u->param0);
}

std::string comparison::raise_reason(const expected_end &e) const
{
    switch (e.status) {
    case STATUS_BAD_STACK: return format(" for %s", name(e.at));
    case STATUS_INVALID_UNWIND_TARGET: return format(" (%s lies above the target)", name(e.at));
    case STATUS_INVALID_DISPOSITION: {
        const uint32_t value = answer_of(s_).value;
        return value < 10 ? format(" (%s's handler answered %u)", name(e.at), value)
                          : format(" (%s's handler answered 0x%X)", name(e.at), value);
    }
    }
    return "";
}
