// The contract of RtlUnwind, as a walk over a situation's world. Each step
// says which promise makes it so.
#include "model.h"

#include "seh_frame.h"
#include "statuses.h"

namespace {

int count_above(const situation &s) { return above_of(s).records; }

bool has_odd(const situation &s) { return odd_of(s).from != edge::none; }

// Where a good odd record lies on the chain: the one at StackLimit is the
// newest, at the head; the one at StackBase - 8 the oldest. A bad one is
// met right after the records above the target.
bool odd_at_head(const situation &s)
{
    return has_odd(s) && odd_of(s).good && odd_of(s).from == edge::limit;
}
bool odd_at_bottom(const situation &s)
{
    return has_odd(s) && odd_of(s).good && odd_of(s).from == edge::base;
}

bool in_handler(const situation &s)
{
    return place_of(s).kind == place_kind::handler || place_of(s).kind == place_kind::handler_2;
}


// Whether n is a record of the check's that a walk may take as it is: not
// the platform's, not the end marker, not one that fails W2.
bool ours(int n, const situation &s)
{
    return n != node_none && !is_guard(n) && n != node_end && !fails_check(n, s);
}

// Whether `n` lies on the chain after `from` (not counting `from`).
bool ahead(const situation &s, int from, int n)
{
    for (int at = next_of(s, from), steps = 0; at != node_none && steps <= most_above + 20;
         at = is_guard(at) || at == node_end ? node_none : next_of(s, at), ++steps)
        if (at == n)
            return true;
    return false;
}

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
    bool changed_ = false;

    void plan()
    {
        unwind_plan *u = p_.unwinds;
        u[role_outer].made = in_handler(s_);
        u[role_outer].target = node_outer_target;
        u[role_middle].made = place_of(s_).kind == place_kind::handler_2;
        u[role_middle].target = node_middle_target;
        u[role_tested].made = true;
        u[role_tested].own_record = record_of(s_).own;
        switch (target_of(s_).kind) {
        case target_kind::record: u[role_tested].target = node_target; break;
        case target_kind::exit: u[role_tested].target = node_none; break;
        case target_kind::end: u[role_tested].target = node_end; break;
        case target_kind::unlinked: u[role_tested].target = node_unlinked; break;
        case target_kind::below_head: u[role_tested].target = node_below; break;
        case target_kind::passed_over: u[role_tested].target = node_target; break;
        case target_kind::misaligned: u[role_tested].target = node_target_misaligned; break;
        }
        for (unwind_plan &one : p_.unwinds) {
            // U6: EXCEPTION_UNWINDING always; EXCEPTION_EXIT_UNWIND exactly
            // for a null target. U5: a caller's flags are kept.
            one.flags = EXCEPTION_UNWINDING;
            if (one.target == node_none)
                one.flags |= EXCEPTION_EXIT_UNWIND;
            if (!one.own_record)
                one.flags |= record_of(s_).flags;
        }
    }

    // The nested unwind of nests_*: its own record (U4), its target named
    // from the actor's place on the chain.
    void plan_nested(int actor)
    {
        unwind_plan &n = p_.unwinds[role_nested];
        n.made = true;
        n.own_record = true;
        n.target = named_node(s_, actor, p_.unwinds[role_tested].target);
        n.flags = EXCEPTION_UNWINDING | (n.target == node_none ? EXCEPTION_EXIT_UNWIND : 0u);
    }

    void raise(int role, uint32_t status, int at, promise which)
    {
        expected_end &e = p_.ends[role];
        e.how = ending::raises;
        e.status = status;
        e.at = at;
        e.which = which;
    }

    void unwind(int role)
    {
        const int target = p_.unwinds[role].target;
        int frame = head_of(s_, role);
        expected_end &end = p_.ends[role];
        for (;;) {
            // Every record a walk reaches is one of the world's: a walk into
            // nowhere is a fault of the model, which must not be judged by.
            if (frame == node_none)
                __builtin_trap();
            // U1, E2: the walk ends at its target, the end marker as well.
            if (frame == target) {
                end.how = ending::returns;
                end.head_after = frame;
                end.changed = role == role_tested && changed_;
                return;
            }
            // E3: the end marker, met by a walk whose target it was not,
            // raises the unwind's record.
            if (frame == node_end) {
                raise(role, 0, frame, promise::E3);
                end.record_itself = true;
                return;
            }
            // W3: a target that lies below the record now at the head
            // cannot be reached. Where a static record lies against the
            // stack is the platform's layout: a targeted walk that meets
            // one could raise either status, and no situation asks it to.
            if (target != node_none && target != node_end && frame == node_odd &&
                odd_of(s_).from == edge::data)
                p_.layout_decides = true;
            if (target != node_none && target != node_end && above(frame, target, s_)) {
                raise(role, STATUS_INVALID_UNWIND_TARGET, frame, promise::W3);
                return;
            }
            // W2: each record is checked before its handler is called.
            if (fails_check(frame, s_)) {
                raise(role, STATUS_BAD_STACK, frame, promise::W2);
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
            // when it returns. W8: every handler of the unwind sees what
            // the handlers before it changed in its context.
            working_on_[role] = frame;
            p_.calls.push_back({frame, role, role == role_tested && changed_});
            if ((role == role_outer && frame == node_outer) ||
                (role == role_middle && frame == node_middle)) {
                // This handler makes the next call, then leaves the walk.
                end.how = ending::abandoned;
                unwind(role == role_outer && place_of(s_).kind == place_kind::handler_2
                           ? role_middle
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
            changed_ = change_of(s_).what != field::none && change_of(s_).what != field::live_df;
            const answer_row &answer = answer_of(s_);
            switch (answer.kind) {
            case answer_kind::search:
                frame = next_of(s_, frame);
                break;
            case answer_kind::collided:
                // W6: ExceptionCollidedUnwind goes on from the record that
                // the dispatcher context names, taking it off (W5).
                frame = next_of(s_, named_node(s_, frame, target));
                break;
            case answer_kind::invalid:
                // W6: any other disposition is invalid, all 32 bits of it.
                raise(role, STATUS_INVALID_DISPOSITION, frame, promise::W6);
                return;
            case answer_kind::nests:
                plan_nested(frame);
                end.how = ending::abandoned;
                unwind(role_nested);
                return;
            }
        }
    }
};

} // namespace

bool fails_check(int n, const situation &s)
{
    return n == node_odd && has_odd(s) && !odd_of(s).good;
}

// The platform's records lie in RtlUnwind's frames, below the frames of the
// handlers it calls' callers: the nested unwind's and the tested unwind's
// under the check's records, the outer unwinds' between the worlds they run.
int rank(int n, const situation &s)
{
    constexpr int past = 10 + most_above; // past the records above the target
    if (n >= node_above && n < node_above + most_above)
        return 10 + n;
    switch (n) {
    case node_odd:
        switch (odd_of(s).from) {
        case edge::limit: return 2 + odd_of(s).offset / 4; // StackLimit - 8 lowest
        case edge::word: return past;
        case edge::base: return past + 17 + odd_of(s).offset / 4;
        case edge::data:
        case edge::none: return past + 18;
        }
        return past + 18;
    case node_guard_nested: return 3;
    case node_guard_tested: return 4;
    case node_below: return 5;
    case node_target: return past + 1;
    case node_target_misaligned: return past + 2;
    case node_floor: return past + 3;
    case node_unlinked: return past + 4;
    case node_guard_middle: return past + 5;
    case node_middle: return past + 6;
    case node_middle_2: return past + 7;
    case node_middle_target: return past + 8;
    case node_guard_outer: return past + 9;
    case node_outer: return past + 10;
    case node_outer_2: return past + 11;
    case node_outer_target: return past + 12;
    case node_end: return past + 30;
    }
    return past + 30;
}

bool above(int n, int m, const situation &s) { return rank(n, s) > rank(m, s); }

int base_of(const situation &s)
{
    switch (place_of(s).kind) {
    case place_kind::handler: return node_guard_outer;
    case place_kind::handler_2: return node_guard_middle;
    default: return odd_at_bottom(s) ? node_odd : node_end;
    }
}

int next_of(const situation &s, int n)
{
    const int count = count_above(s);
    if (n >= node_above && n < node_above + count - 1)
        return n + 1;
    if (n >= node_above && n < node_above + count) {
        if (fails_check(node_odd, s))
            return node_odd;
        return target_of(s).kind == target_kind::passed_over ? node_floor : node_target;
    }
    switch (n) {
    case node_odd:
        if (odd_at_head(s))
            return count > 0 ? node_above : node_target;
        return odd_at_bottom(s) ? node_end : node_target;
    case node_target: return node_floor;
    case node_floor: return base_of(s);
    case node_unlinked: return node_end;
    case node_below: return head_of(s, role_tested);
    case node_outer: return node_outer_2;
    case node_outer_2: return node_outer_target;
    case node_outer_target: return odd_at_bottom(s) ? node_odd : node_end;
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
    if (odd_at_head(s) || (count_above(s) == 0 && fails_check(node_odd, s)))
        return node_odd;
    if (count_above(s) > 0)
        return node_above;
    return target_of(s).kind == target_kind::passed_over ? node_floor : node_target;
}

int named_node(const situation &s, int actor, int tested_target)
{
    switch (answer_of(s).names) {
    case named::next: return next_of(s, actor);
    case named::past_next: return next_of(s, next_of(s, actor));
    case named::target_record: return node_target;
    case named::past_target: return node_floor;
    case named::same_target: return tested_target;
    case named::none: break;
    }
    return node_none;
}

prediction predict(const situation &s) { return walk(s, true).run(); }

walk_facts facts_of(const situation &s)
{
    // One entry for each combination of the dimensions the facts depend
    // on: 0 until worked out, then 1 | the facts' bits.
    static const int depends_on[] = {dim_above, dim_odd, dim_target, dim_answer, dim_place};
    static std::vector<unsigned char> known_facts = [] {
        size_t count = 1;
        for (int d : depends_on)
            count *= static_cast<size_t>(unwind_dimensions()[d].size());
        return std::vector<unsigned char>(count, 0);
    }();
    size_t key = 0;
    for (int d : depends_on)
        key = key * static_cast<size_t>(unwind_dimensions()[d].size()) +
              static_cast<size_t>(s.v[d]);
    unsigned char &known = known_facts[key];
    if (!known) {
        situation plain = s;
        plain.v[dim_record] = plain.v[dim_change] = 0;
        const int actor = walk(plain, false).run().actor;
        bool sensible = answer_of(s).kind == answer_kind::search || actor != node_none;
        const answer_row &answer = answer_of(s);
        if (sensible && (answer.kind == answer_kind::collided ||
                         (answer.kind == answer_kind::nests && answer.names != named::same_target))) {
            // It names a record of the check's that the walk has yet to
            // reach from the actor on.
            const int n = named_node(plain, actor, node_none);
            sensible = ours(n, plain) && ahead(plain, actor, n);
        }
        bool raises = false;
        if (sensible) {
            const prediction p = predict(plain);
            for (const expected_end &e : p.ends)
                raises |= e.how == ending::raises;
            sensible = !p.layout_decides;
        }
        known = static_cast<unsigned char>(1 | sensible << 1 | (actor != node_none) << 2 |
                                           raises << 3);
    }
    return {(known & 2) != 0, (known & 4) != 0, (known & 8) != 0};
}
