// The contract of RtlUnwind, as a walk over a situation's world. Each step
// says which promise makes it so.
#include "model.h"

#include "seh_frame.h"
#include "statuses.h"

namespace {

int count_above(const situation &s) { return records_above(s.above); }

bool bad(int n, odd extra)
{
    if (n != node_odd)
        return false;
    return extra != odd::none && extra != odd::limit && extra != odd::base_8;
}

bool in_handler(place where) { return where == place::handler || where == place::handler_2; }

// The place of each record on the stack, lowest first. The platform's
// records lie in RtlUnwind's frames, below the frames of the handlers it
// calls' callers: the nested unwind's and the tested unwind's under the
// check's records, the outer unwinds' between the worlds they run.
int rank(int n, odd extra)
{
    if (n >= node_above && n < node_above + most_above)
        return 10 + n;
    switch (n) {
    case node_odd:
        switch (extra) {
        case odd::limit_8: return 0;
        case odd::limit_4: return 1;
        case odd::limit: return 2;
        case odd::misaligned: return 80;
        case odd::base_8: return 92;
        case odd::base_4: return 93;
        case odd::base: return 94;
        case odd::off_stack:
        case odd::none: return 95;
        }
        return 95;
    case node_guard_nested: return 3;
    case node_guard_tested: return 4;
    case node_below: return 5;
    case node_target: return 81;
    case node_floor: return 82;
    case node_unlinked: return 83;
    case node_guard_middle: return 84;
    case node_middle: return 85;
    case node_middle_2: return 86;
    case node_middle_target: return 87;
    case node_guard_outer: return 88;
    case node_outer: return 89;
    case node_outer_2: return 90;
    case node_outer_target: return 91;
    case node_end: return 100;
    }
    return 100;
}

// Whether n is a record of the check's that a walk may take as it is: not
// the platform's, not the end marker, not one that fails W2.
bool ours(int n, odd extra) { return n != node_none && !is_guard(n) && n != node_end && !bad(n, extra); }

class walk {
public:
    walk(const situation &s, bool acting) : s_(s), acting_(acting) {}

    prediction run()
    {
        plan();
        if (p_.unwinds[role_outer].made)
            unwind(role_outer);
        else
            unwind(role_tested);
        return p_;
    }

private:
    const situation &s_;
    bool acting_; // false: every handler answers ExceptionContinueSearch
    prediction p_;
    int working_on_[role_count] = {node_none, node_none, node_none, node_none};
    uint8_t changes_ = 0;

    void plan()
    {
        unwind_plan *u = p_.unwinds;
        u[role_outer].made = in_handler(s_.where);
        u[role_outer].target = node_outer_target;
        u[role_middle].made = s_.where == place::handler_2;
        u[role_middle].target = node_middle_target;
        u[role_tested].made = true;
        u[role_tested].own_record = s_.record == supplied::own;
        switch (s_.to) {
        case target::record: u[role_tested].target = node_target; break;
        case target::exit: u[role_tested].target = node_none; break;
        case target::end: u[role_tested].target = node_end; break;
        case target::unlinked: u[role_tested].target = node_unlinked; break;
        case target::below_head: u[role_tested].target = node_below; break;
        case target::passed_over: u[role_tested].target = node_target; break;
        }
        for (unwind_plan &one : p_.unwinds) {
            // U6: EXCEPTION_UNWINDING always; EXCEPTION_EXIT_UNWIND exactly
            // for a null target. U5: a caller's flags are kept.
            one.flags = EXCEPTION_UNWINDING;
            if (one.target == node_none)
                one.flags |= EXCEPTION_EXIT_UNWIND;
            if (!one.own_record)
                one.flags |= callers_flags;
        }
    }

    // The nested unwind of nests_*: its own record (U4), its target named
    // from the actor's place on the chain.
    void plan_nested(int actor)
    {
        unwind_plan &n = p_.unwinds[role_nested];
        n.made = true;
        n.own_record = true;
        const int after = next_of(s_, actor);
        switch (s_.act) {
        case action::nests_next: n.target = after; break;
        case action::nests_past: n.target = next_of(s_, after); break;
        default: n.target = p_.unwinds[role_tested].target; break;
        }
        n.flags = EXCEPTION_UNWINDING | (n.target == node_none ? EXCEPTION_EXIT_UNWIND : 0u);
    }

    void raise(int role, uint32_t status, int at, const char *promise)
    {
        expected_end &e = p_.ends[role];
        e.how = ending::raises;
        e.status = status;
        e.at = at;
        e.promise = promise;
    }

    void unwind(int role)
    {
        const int target = p_.unwinds[role].target;
        int frame = head_of(s_, role);
        expected_end &end = p_.ends[role];
        for (;;) {
            // U1, E2: the walk ends at its target, the end marker as well.
            if (frame == target) {
                end.how = ending::returns;
                end.head_after = frame;
                if (role == role_tested) {
                    end.eax_changed = changes_ & 1;
                    end.ebx_changed = changes_ & 2;
                    end.eip_changed = changes_ & 4;
                    end.eflags_flipped = changes_ & 8;
                }
                return;
            }
            // E3: the end marker, met by a walk whose target it was not,
            // raises the unwind's record.
            if (frame == node_end) {
                raise(role, 0, frame, "E3");
                end.record_itself = true;
                return;
            }
            // W3: a target that lies below the record now at the head
            // cannot be reached.
            if (target != node_none && target != node_end && above(frame, target, s_.extra)) {
                raise(role, STATUS_INVALID_UNWIND_TARGET, frame, "W3");
                return;
            }
            // W2: each record is checked before its handler is called.
            if (bad(frame, s_.extra)) {
                raise(role, STATUS_BAD_STACK, frame, "W2");
                return;
            }
            // W5: another unwind's record answers ExceptionCollidedUnwind
            // and names the record that unwind was working on, which this
            // walk takes off without calling its handler again.
            if (is_guard(frame)) {
                p_.collision = true;
                frame = next_of(s_, working_on_[frame - node_guard_outer]);
                continue;
            }
            // W1, W4, W7: the record's handler is called once, with the
            // platform's record in front of it; the record leaves the chain
            // when it returns.
            working_on_[role] = frame;
            p_.calls.push_back({frame, role, changes_});
            if ((role == role_outer && frame == node_outer) ||
                (role == role_middle && frame == node_middle)) {
                // This handler makes the next call, then leaves the walk.
                end.how = ending::abandoned;
                unwind(role == role_outer && s_.where == place::handler_2 ? role_middle
                                                                           : role_tested);
                return;
            }
            if (role != role_tested || p_.actor != node_none || !acting_) {
                if (role == role_tested && p_.actor == node_none)
                    p_.actor = frame;
                frame = next_of(s_, frame);
                continue;
            }
            p_.actor = frame;
            switch (s_.act) {
            case action::continues:
            case action::leaves_df:
                break;
            case action::sets_eax: changes_ |= 1; break;
            case action::sets_ebx: changes_ |= 2; break;
            case action::sets_eip: changes_ |= 4; break;
            case action::sets_eflags: changes_ |= 8; break;
            case action::collides:
                // W6: ExceptionCollidedUnwind goes on from the record that
                // the dispatcher context names, taking it off.
                frame = next_of(s_, frame);
                break;
            case action::answers_0:
            case action::answers_2:
            case action::answers_4:
            case action::answers_max:
                // W6: any other disposition is invalid.
                raise(role, STATUS_INVALID_DISPOSITION, frame, "W6");
                return;
            case action::nests_next:
            case action::nests_past:
            case action::nests_target:
                plan_nested(frame);
                end.how = ending::abandoned;
                unwind(role_nested);
                return;
            }
            frame = next_of(s_, frame);
        }
    }
};

} // namespace

bool above(int n, int m, odd extra) { return rank(n, extra) > rank(m, extra); }

int base_of(const situation &s)
{
    switch (s.where) {
    case place::handler: return node_guard_outer;
    case place::handler_2: return node_guard_middle;
    default: return s.extra == odd::base_8 ? node_odd : node_end;
    }
}

int next_of(const situation &s, int n)
{
    const int count = count_above(s);
    if (n >= node_above && n < node_above + count - 1)
        return n + 1;
    if (n >= node_above && n < node_above + count) {
        if (bad(node_odd, s.extra))
            return node_odd;
        return s.to == target::passed_over ? node_floor : node_target;
    }
    switch (n) {
    case node_odd:
        if (s.extra == odd::limit)
            return count > 0 ? node_above : node_target;
        return s.extra == odd::base_8 ? node_end : node_target;
    case node_target: return node_floor;
    case node_floor: return base_of(s);
    case node_unlinked: return node_end;
    case node_below: return head_of(s, role_tested);
    case node_outer: return node_outer_2;
    case node_outer_2: return node_outer_target;
    case node_outer_target: return s.extra == odd::base_8 ? node_odd : node_end;
    case node_middle: return node_middle_2;
    case node_middle_2: return node_middle_target;
    case node_middle_target: return node_guard_outer;
    }
    return node_none; // the platform's records: whatever their unwind works on
}

int head_of(const situation &s, int role)
{
    switch (role) {
    case role_outer: return node_outer;
    case role_middle: return node_middle;
    case role_nested: return node_guard_tested;
    }
    if (s.extra == odd::limit || (count_above(s) == 0 && bad(node_odd, s.extra)))
        return node_odd;
    if (count_above(s) > 0)
        return node_above;
    return s.to == target::passed_over ? node_floor : node_target;
}

prediction predict(const situation &s) { return walk(s, true).run(); }

bool makes_sense(const situation &s)
{
    if (s.extra != odd::none && s.to != target::exit && s.to != target::end)
        return false;
    if (s.to == target::passed_over && s.above == depth::none)
        return false;
    if (s.to == target::below_head && s.act != action::continues)
        return false;
    const int actor = walk(s, false).run().actor;
    if (s.act != action::continues && actor == node_none)
        return false;
    const int after = actor == node_none ? node_none : next_of(s, actor);
    switch (s.act) {
    case action::collides:
        // It names a record that the walk would reach before its target.
        if (!ours(after, s.extra) || (s.to == target::record && after == node_target))
            return false;
        break;
    case action::nests_next:
        if (!ours(after, s.extra))
            return false;
        break;
    case action::nests_past:
        if (!ours(after, s.extra) || !ours(next_of(s, after), s.extra))
            return false;
        break;
    default:
        break;
    }
    // Only walks that return, or that the check leaves, are tried after a
    // handler that returns with the direction flag set: it has broken the
    // calling convention, and the contract says how RtlUnwind returns after
    // it (E1, E5), not how a walk that must raise goes on with string
    // instructions running backwards (on Wine it raises or dies as what lies
    // on the stack decides). The same on several threads at once: raises
    // end the process where the platform cannot raise.
    if (s.act == action::leaves_df || s.where == place::threads) {
        const prediction p = predict(s);
        for (const expected_end &e : p.ends)
            if (e.how == ending::raises)
                return false;
    }
    return true;
}
