// The walk: which handlers are called, in which order, and with what
// (W1 to W8), and where a walk that goes astray goes.
#include "comparison.h"

#include "seh_frame.h"
#include "statuses.h"

// W5: each platform's record that the check asked named the record its
// unwind was working on. True when one did not (nothing else is judged
// then: every collided walk goes astray after it).
bool comparison::asked(void)
{
    for (int role = 0; role < role_count; ++role) {
        const observation::ask &a = o_.asks[role];
        if (!a.made)
            continue;
        if (a.answer != ExceptionCollidedUnwind) {
            add(promise::W5, format("the platform's record of the %s answered %u, not "
                                    "ExceptionCollidedUnwind, to a nested unwind",
                                    role_name(role), a.answer));
            return true;
        }
        if (a.named != a.running) {
            add(promise::W5, format("the platform's record of the %s named %s to a nested "
                                    "unwind, not %s, whose handler was running",
                                    role_name(role), name_at(a.named).c_str(),
                                    name_at(a.running).c_str()));
            return true;
        }
    }
    return false;
}

// True when the walk diverged from the model (then the ends are not
// judged: the divergence is their cause).
bool comparison::calls(void)
{
    const size_t expected = p_.calls.size();
    const size_t seen = o_.call_count < max_calls ? o_.call_count : max_calls;
    size_t i = 0;
    for (; i < expected && i < seen && o_.calls[i].node == p_.calls[i].node &&
           o_.calls[i].role == p_.calls[i].role;
         ++i)
        fields(p_.calls[i], o_.calls[i]);
    if (i < expected || i < seen) {
        astray(i);
        return true;
    }
    if (o_.runaway || o_.call_count > max_calls) {
        add(promise::W7, format("handlers were called %u times, without end", o_.call_count));
        return true;
    }
    return false;
}

// The walk's one difference, at its i-th call: another handler than the
// predicted one, none where one was due, or one beyond the predicted calls.
void comparison::astray(size_t i)
{
    const size_t expected = p_.calls.size();
    const size_t seen = o_.call_count < max_calls ? o_.call_count : max_calls;
    if (i < expected && i < seen) {
        const expected_call &e = p_.calls[i];
        const seen_call &c = o_.calls[i];
        if (named_by_collision(i, c.role, c.node))
            unexpected(i, c);
        else if (later_call(i, c) >= 0 || (c.role == e.role && follows(e.node, c.node)))
            add(promise::W1, format("%s's handler was not called: the walk went on to %s",
                                    name(e.node), name(c.node)));
        else
            unexpected(i, c);
    } else if (i < expected)
        missing_at_end(p_.calls[i], p_.calls[i].node == head_of(s_, p_.calls[i].role));
    else if (i < seen)
        unexpected(i, o_.calls[i]);
}

// The index of a later predicted call that c is, or -1.
int comparison::later_call(size_t i, const seen_call &c) const
{
    for (size_t k = i + 1; k < p_.calls.size(); ++k)
        if (p_.calls[k].node == c.node && p_.calls[k].role == c.role)
            return static_cast<int>(k);
    return -1;
}

// Whether m lies further along the chain than n.
bool comparison::follows(int n, int m) const
{
    for (int steps = 0; steps < most_above + 20 && n != node_none && !is_guard(n) && n != node_end;
         ++steps) {
        n = next_of(s_, n);
        if (n == m)
            return true;
    }
    return false;
}

bool comparison::called_before(size_t i, const seen_call &c) const
{
    for (size_t k = 0; k < i; ++k)
        if (o_.calls[k].node == c.node && o_.calls[k].role == c.role)
            return true;
    return false;
}

// Whether n, called as the i-th call, is the record that the actor's
// collided answer named to `role`'s walk, or one the answer passed over to
// reach it: none of their handlers is called once the actor has answered.
bool comparison::named_by_collision(size_t i, int role, int n) const
{
    if (role != role_tested || answer_of(s_).kind != answer_kind::collided ||
        p_.actor == node_none)
        return false;
    seen_call actor{};
    actor.node = p_.actor;
    actor.role = role_tested;
    if (!called_before(i, actor))
        return false;
    const int named = named_node(s_, p_.actor, p_.unwinds[role_tested].target);
    for (int at = next_of(s_, p_.actor), steps = 0;
         at != node_none && !is_guard(at) && at != node_end && steps < most_above + 20;
         at = next_of(s_, at), ++steps) {
        if (at == n)
            return true;
        if (at == named)
            return false;
    }
    return false;
}

// A call that the model has not here.
void comparison::unexpected(size_t i, const seen_call &c)
{
    const int role = c.role;
    const std::string who = name(c.node);
    if (role < 0 || !o_.unwinds[role].made) {
        add(promise::W1, format("%s's handler was called outside any unwind", who.c_str()));
        return;
    }
    const unwind_plan &plan = p_.unwinds[role];
    const expected_end &end = p_.ends[role];
    if (collided_record(role, c.node)) {
        add(promise::W5, format("%s's handler was called by a collided unwind, which must pass "
                                "over the record whose handler is running",
                                who.c_str()));
        return;
    }
    if (named_by_collision(i, role, c.node)) {
        const int named = named_node(s_, p_.actor, plan.target);
        add(promise::W6,
            c.node == named
                ? format("the record named by ExceptionCollidedUnwind, %s, had its handler called",
                         who.c_str())
                : format("%s's handler was called, though ExceptionCollidedUnwind named %s, "
                         "past it",
                         who.c_str(), name(named)));
        return;
    }
    if (called_before(i, c)) {
        add(promise::W7, format("%s's handler was called twice", who.c_str()));
        return;
    }
    if (c.node == plan.target) {
        add(promise::U1, format("the target's own handler was called (%s)", who.c_str()));
        return;
    }
    if (fails_check(c.node, s_)) {
        add(promise::W2, format("the handler of %s was called", who.c_str()));
        return;
    }
    if (end.how == ending::raises && end.status != 0) {
        add(end.which, format("%s's handler was called where RtlUnwind must raise %s%s",
                              who.c_str(), status_name(end.status), raise_reason(end).c_str()));
        return;
    }
    if (plan.target != node_none && plan.target != node_end && above(c.node, plan.target, s_)) {
        add(reach_promise(role), format("the walk went on past the target to %s", who.c_str()));
        return;
    }
    if (c.node == node_unlinked || c.node == node_below ||
        (c.node == node_target && target_of(s_).kind == target_kind::passed_over) ||
        (c.node >= node_above + above_of(s_).records && c.node < node_above + most_above)) {
        add(promise::W1,
            format("%s's handler was called, though it is not on the chain", who.c_str()));
        return;
    }
    add(promise::W1, format("%s's handler was called out of order", who.c_str()));
}

// Whether n is a record that a guard names to `role`'s walk: the record
// another unwind was working on when this one met its platform record.
bool comparison::collided_record(int role, int n) const
{
    if (role == role_nested && n == p_.actor)
        return true;
    if (role == role_tested || role == role_middle)
        return (n == node_outer && place_of(s_).kind != place_kind::top) || n == node_middle;
    return false;
}

// The walk ended before a predicted call: it stopped early, or passed
// over the record (a status that a record further on would raise came
// instead), or raised a status where none was due. `first`: the call
// was to be the first of its unwind.
void comparison::missing_at_end(const expected_call &e, bool first)
{
    const seen_end end = end_seen(e.role);
    const std::string who = name(e.node);
    const bool exit_unwind = p_.unwinds[e.role].target == node_none;
    switch (end.how) {
    case seen_end::returned: {
        const int target = p_.unwinds[e.role].target;
        const bool reached =
            target != node_none && o_.unwinds[e.role].head_after == address_of(target);
        add(reached ? promise::W1 : reach_promise(e.role),
            format("RtlUnwind returned%s without calling %s's handler",
                   reached ? " at its target" : " before the walk reached its target",
                   who.c_str()));
        return;
    }
    case seen_end::raised:
    case seen_end::exited: {
        const uint32_t status = end.code;
        const bool further = raised_further_on(e, status);
        promise which = further ? (exit_unwind ? promise::U2 : promise::W1)
                                : promise_of_status(end, e.role);
        if (first && further)
            which = promise::W1;
        add(which, format("%s where %s's handler was to be called", ending_words(end).c_str(),
                          who.c_str()));
        return;
    }
    case seen_end::at_target_ip: add(promise::U3, "control went to TargetIp"); return;
    default:
        add(exit_unwind ? promise::U2 : promise::W1,
            format("%s where %s's handler was to be called", ending_words(end).c_str(),
                   who.c_str()));
    }
}

// W4: its own record as EstablisherFrame; the platform's record at the
// head, in front of it; W7: the records before it gone.
void comparison::fields(const expected_call &e, const seen_call &c)
{
    const std::string who = name(e.node);
    const char *h = who.c_str();
    if (c.frame != o_.addresses[e.node])
        add(promise::W4,
            format("%s's handler got %s as EstablisherFrame", h, name_at(c.frame).c_str()));
    if (ours_at(c.head) || c.head == SEH_CHAIN_END)
        add(promise::W4, format("%s's handler ran with %s at the head, not a record of the "
                                "platform's",
                                h, name_at(c.head).c_str()));
    else if (c.head_next != o_.addresses[e.node])
        add(promise::W4, format("%s's handler ran with the platform's record in front of %s, "
                                "not in front of its own",
                                h, name_at(c.head_next).c_str()));
    if (!c.self_linked)
        add(promise::W4, format("%s was off the chain while its handler ran", h));
    if (c.stale != node_none)
        add(promise::W7,
            format("%s was still on the chain while %s's handler ran", name(c.stale), h));
    record(e, c);
    context(e, c);
}

// W8: the context, captured on entry and shared by the unwind's handlers,
// with what the handlers before changed in it.
void comparison::context(const expected_call &e, const seen_call &c)
{
    const char *h = name(e.node);
    if (!c.context) {
        add(promise::W8, format("%s's handler got a null ContextRecord", h));
        return;
    }
    for (size_t k = 0; k < max_calls; ++k) {
        const seen_call &other = o_.calls[k];
        if (&other == &c)
            break;
        if (other.role == e.role && other.context != c.context) {
            add(promise::W8, format("%s's handler got another ContextRecord than %s's", h,
                                    name(other.node)));
            return;
        }
        if (other.role != e.role && other.context == c.context) {
            add(promise::W8, format("%s's handler got the ContextRecord of the %s", h,
                                    role_name(other.role)));
            return;
        }
    }
    if (!c.context_read) {
        add(promise::W8, format("%s's handler got a ContextRecord that cannot be read", h));
        return;
    }
    const seen_unwind &u = o_.unwinds[e.role];
    const unwind_call &call = u.call;
    const call_values &v = values_of(e.role);
    const bool changed = e.changed && o_.context_changed;
    auto want = [&](field f, uint32_t was) {
        return after_change(s_, f, changed, was, u.alternate_site);
    };
    constexpr uint32_t flags = arithmetic_flags | direction_flag;
    struct {
        const char *name;
        field f;
        uint32_t seen, wanted;
    } const checks[] = {
        {"ContextFlags", field::none, c.regs.flags, 0x10007u},
        {"Eip", field::eip, c.regs.eip, want(field::eip, u.return_site)},
        {"Esp", field::esp, c.regs.esp, want(field::esp, call.esp_at_call + 16)},
        {"Eax", field::eax, c.regs.eax, want(field::eax, v.return_value)},
        {"Ebx", field::ebx, c.regs.ebx, want(field::ebx, v.ebx)},
        // ECX and EDX at the call are no part of the contract: only what
        // a handler wrote there is.
        {"Ecx", field::ecx, c.regs.ecx, want(field::ecx, c.regs.ecx)},
        {"Edx", field::edx, c.regs.edx, want(field::edx, c.regs.edx)},
        {"Esi", field::esi, c.regs.esi, want(field::esi, v.esi)},
        {"Edi", field::edi, c.regs.edi, want(field::edi, v.edi)},
        {"Ebp", field::ebp, c.regs.ebp, want(field::ebp, call.ebp_at_call)},
        {"EFlags", field::eflags, c.regs.eflags & flags,
         want(field::eflags, call.eflags_at_call) & flags},
    };
    for (const auto &check : checks)
        if (check.seen != check.wanted) {
            const bool written = changed && change_of(s_).what == check.f;
            add(promise::W8, format("%s's handler got %s 0x%08X in its context, where %s 0x%08X",
                                    h, check.name, check.seen,
                                    written ? "the actor's handler had written"
                                            : "the caller's was",
                                    check.wanted));
            return;
        }
}
