// RtlUnwind's arguments: where the walk is to stop (U1, U2), and the
// exception record its handlers get (U4, U5, U6).
#include "comparison.h"

#include "seh_frame.h"
#include "statuses.h"

namespace {

constexpr uint32_t unwind_bits = EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND;

} // namespace

// The promise under which the walk of `role` reaching its target falls.
promise comparison::reach_promise(int role) const
{
    const int target = p_.unwinds[role].target;
    if (target == node_none)
        return promise::U2;
    if (target == node_end)
        return promise::E2;
    if (target == node_unlinked || target == node_target_misaligned)
        return promise::W1;
    return promise::U1;
}

// U4: RtlUnwind's own record, one per unwind; U5: the caller's, as it was
// given; U6: the unwind flags of both.
void comparison::record(const expected_call &e, const seen_call &c)
{
    const unwind_plan &plan = p_.unwinds[e.role];
    const char *h = name(e.node);
    const promise mine = plan.own_record ? promise::U4 : promise::U5;
    if (!plan.own_record) {
        if (c.record != o_.callers_record) {
            add(promise::U5, format("%s's handler got %s as ExceptionRecord, not the caller's "
                                    "record",
                                    h, c.record ? "another record" : "null"));
            return;
        }
    } else {
        if (!c.record) {
            add(promise::U4, format("%s's handler got a null ExceptionRecord", h));
            return;
        }
        for (size_t k = 0; k < p_.calls.size() && k < max_calls; ++k) {
            const seen_call &other = o_.calls[k];
            if (&other == &c)
                break;
            if (other.role == e.role && other.record != c.record) {
                add(promise::U4, format("%s's handler got another record than %s's: the "
                                        "unwind's record is not one",
                                        h, name(other.node)));
                return;
            }
            if (other.role != e.role && other.record == c.record &&
                p_.unwinds[other.role].own_record) {
                add(promise::U4, format("%s's handler got the record of the %s, not one of its "
                                        "own unwind's",
                                        h, role_name(other.role)));
                return;
            }
        }
    }
    if (!c.record_read) {
        add(mine, format("%s's handler got an ExceptionRecord that cannot be read", h));
        return;
    }
    if (plan.own_record) {
        if (c.code != STATUS_UNWIND)
            add(promise::U4, format("%s's handler got code 0x%08X", h, c.code));
        else if (c.chained)
            add(promise::U4, format("%s's handler got a chained record", h));
        else if (c.parameters != 0)
            add(promise::U4, format("%s's handler got %u parameters", h, c.parameters));
        else if (c.address != o_.unwinds[e.role].return_site)
            add(promise::U4, format("%s's handler got %s as ExceptionAddress, not the return "
                                    "address into RtlUnwind's caller",
                                    h, c.address ? "another address" : "null"));
        else if (c.flags & ~unwind_bits)
            add(promise::U4, format("%s's handler got flags 0x%08X", h, c.flags));
    } else {
        const record_row &given = record_of(s_);
        uint32_t changed_parameter = 0;
        bool parameters_kept = c.parameters == given.parameters;
        for (uint32_t i = 0; parameters_kept && i < given.parameters; ++i)
            if (c.params[i] != callers_parameter(i)) {
                parameters_kept = false;
                changed_parameter = i;
            }
        if (c.code != callers_code)
            add(promise::U5,
                format("%s's handler saw the caller's code changed to 0x%08X", h, c.code));
        else if ((c.flags & ~unwind_bits) != (given.flags & ~unwind_bits))
            add(promise::U5, format("%s's handler saw the caller's flags 0x%08X replaced: 0x%08X",
                                    h, given.flags, c.flags));
        else if (c.chained != o_.chained_record)
            add(promise::U5, format("%s's handler saw the caller's chained record changed", h));
        else if (c.address != callers_address)
            add(promise::U5, format("%s's handler saw the caller's ExceptionAddress changed", h));
        else if (c.parameters != given.parameters)
            add(promise::U5, format("%s's handler saw %u parameters, where the caller gave %u",
                                    h, c.parameters, given.parameters));
        else if (!parameters_kept)
            add(promise::U5, format("%s's handler saw the caller's parameter %u changed", h,
                                    changed_parameter));
    }
    if ((c.flags & unwind_bits) != (plan.flags & unwind_bits))
        add(promise::U6, format("%s's handler got flags 0x%08X", h, c.flags));
}

// U5: the caller's flags kept, the unwind flags still set when RtlUnwind
// returns; which unwind flags is U6's matter, as the handlers saw.
void comparison::callers_record_after(int role)
{
    const unwind_plan &plan = p_.unwinds[role];
    const seen_unwind &u = o_.unwinds[role];
    if (plan.own_record || u.flags_after == plan.flags)
        return;
    // Wrong unwind flags that the handlers saw too are U6's; flags that
    // changed afterwards, U5's. With no handler called there is nothing to
    // tell a record left without its flags from one that a copy stood in
    // for: not judged.
    bool called = false, seen_so = false;
    for (size_t k = 0; k < o_.call_count && k < max_calls; ++k)
        if (o_.calls[k].role == role) {
            called = true;
            seen_so = (o_.calls[k].flags & unwind_bits) == (u.flags_after & unwind_bits);
        }
    if (!called)
        return;
    const bool kept = (u.flags_after & ~unwind_bits) == (plan.flags & ~unwind_bits);
    add(kept && seen_so ? promise::U6 : promise::U5,
        format("the caller's record held flags 0x%08X when %s returned", u.flags_after,
               role == role_nested ? "the nested RtlUnwind" : "RtlUnwind"));
}
