// Compares a situation's observation with the model's prediction. The
// handler calls come first, call by call: the first call that is not the
// predicted one is the one difference of the walk, named with the promise
// that its place in the walk concerns, and nothing after it is judged but
// what it cannot have caused (the fields of the calls before it). Then how
// each call of RtlUnwind ended, then the threads.
#include "compare.h"

#include <stdarg.h>
#include <stdio.h>

#include "seh_frame.h"
#include "statuses.h"

const char *const promises[] = {"U1", "U2", "U3", "U4", "U5", "U6", "W1", "W2",
                                "W3", "W4", "W5", "W6", "W7", "W8", "E1", "E2",
                                "E3", "E4", "E5", "T1", "T2", "T3"};
const int promise_count = sizeof promises / sizeof promises[0];

bool operator==(const finding &a, const finding &b)
{
    return std::string(a.promise) == b.promise && a.what == b.what && a.reference == b.reference;
}

namespace {

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char *fmt, ...)
{
    char text[240];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

bool returns(const expected_end &e) { return e.how == ending::returns; }

// How an unwind of the observation ended, with the process's end given to
// the innermost one that was still running.
struct seen_end {
    enum kind { none, returned, raised, faulted, at_target_ip, left, exited, signalled, hung, gone };
    kind how = none;
    uint32_t code = 0;
};

seen_end end_seen(const observation &o, int role)
{
    const seen_unwind &u = o.unwinds[role];
    seen_end e;
    if (!u.made)
        return e;
    switch (u.how) {
    case seen_unwind::returned: e.how = seen_end::returned; return e;
    case seen_unwind::raised: e.how = seen_end::raised; e.code = u.code; return e;
    case seen_unwind::faulted: e.how = seen_end::faulted; e.code = u.code; return e;
    case seen_unwind::at_target_ip: e.how = seen_end::at_target_ip; return e;
    case seen_unwind::left: e.how = seen_end::left; return e;
    case seen_unwind::ended: e.how = seen_end::exited; e.code = u.code; return e;
    }
    for (int inner = role + 1; inner < role_count; ++inner)
        if (o.unwinds[inner].made && o.unwinds[inner].how == seen_unwind::running)
            return seen_end{seen_end::gone, 0};
    switch (o.process) {
    case observation::exited: e.how = seen_end::exited; break;
    case observation::signalled: e.how = seen_end::signalled; break;
    case observation::hung: e.how = seen_end::hung; break;
    default: e.how = seen_end::gone; break;
    }
    e.code = o.process_code;
    return e;
}

class judge {
public:
    judge(const situation &s, const prediction &p, const observation &o, bool raises)
        : s_(s), p_(p), o_(o), raises_(raises)
    {
    }

    std::vector<finding> run()
    {
        // Bounds that are not the thread's: the walk's checks of records
        // against them mean nothing, and neither does a record at a bound;
        // the situation is not staged, and only that is reported.
        if (o_.bounds_fault) {
            threads();
            add("T2", thread_words(o_.bounds_fault));
            for (finding &f : found_)
                f.unstaged = true;
            return found_;
        }
        if (!asked() && !calls())
            for (int role = role_tested; role < role_count; ++role)
                end(role);
        threads();
        return found_;
    }

private:
    const situation &s_;
    const prediction &p_;
    const observation &o_;
    bool raises_;
    std::vector<finding> found_;

    void add(const char *promise, const std::string &what, bool reference = false)
    {
        for (const finding &f : found_)
            if (std::string(f.promise) == promise)
                return;
        found_.push_back({promise, what, reference});
    }

    const char *name(int n) const { return node_name(n, s_.extra); }

    // The name of whatever lies at addr: a record of the world, the end
    // marker, null, or another address.
    // The name of whatever lies at addr: a record of the world, the
    // platform's record of an unwind (as its handlers saw it at the head),
    // the end marker, null, or an address of nothing the check knows.
    std::string name_at(uint32_t addr) const
    {
        if (addr == 0)
            return "null";
        if (addr == SEH_CHAIN_END)
            return "the end marker";
        for (int n = 0; n < node_count; ++n)
            if (n != node_end && o_.addresses[n] == addr)
                return name(n);
        for (uint32_t i = 0; i < o_.call_count && i < max_calls; ++i)
            if (o_.calls[i].head == addr && o_.calls[i].role >= 0)
                return format("the platform's record of the %s", role_name(o_.calls[i].role));
        return format("0x%08X, which is no record of the check's", addr);
    }

    bool ours_at(uint32_t addr) const
    {
        for (int n = 0; n < node_count; ++n)
            if (n != node_end && !is_guard(n) && o_.addresses[n] == addr && addr != 0)
                return true;
        return false;
    }

    const call_values &values(int role) const { return values_of(role); }
    const unwind_call &call_of(int role) const { return o_.unwinds[role].call; }

    // The promise under which the walk of `role` reaching its target falls.
    const char *reach_promise(int role) const
    {
        const int target = p_.unwinds[role].target;
        if (target == node_none)
            return "U2";
        if (target == node_end)
            return "E2";
        if (target == node_unlinked)
            return "W1";
        return "U1";
    }

    // ---- the platform's records, asked -------------------------------

    // W5: each platform's record that the check asked named the record its
    // unwind was working on. True when one did not (nothing else is judged
    // then: every collided walk goes astray after it).
    bool asked()
    {
        for (int role = 0; role < role_count; ++role) {
            const observation::ask &a = o_.asks[role];
            if (!a.made)
                continue;
            if (a.answer != ExceptionCollidedUnwind) {
                add("W5", format("the platform's record of the %s answered %u, not "
                                 "ExceptionCollidedUnwind, to a nested unwind",
                                 role_name(role), a.answer));
                return true;
            }
            if (a.named != a.running) {
                add("W5", format("the platform's record of the %s named %s to a nested unwind, "
                                 "not %s, whose handler was running",
                                 role_name(role), name_at(a.named).c_str(),
                                 name_at(a.running).c_str()));
                return true;
            }
        }
        return false;
    }

    // ---- the calls ----------------------------------------------------

    // True when the walk diverged from the model (then the ends are not
    // judged: the divergence is their cause).
    bool calls()
    {
        const size_t expected = p_.calls.size();
        const size_t seen = o_.call_count < max_calls ? o_.call_count : max_calls;
        for (size_t i = 0;; ++i) {
            if (i < expected && i < seen) {
                const expected_call &e = p_.calls[i];
                const seen_call &c = o_.calls[i];
                if (c.node == e.node && c.role == e.role) {
                    fields(e, c);
                    continue;
                }
                if (later_call(i, c) >= 0 || (c.role == e.role && follows(e.node, c.node)))
                    add("W1", format("%s's handler was not called: the walk went on to %s",
                                     name(e.node), name(c.node)));
                else
                    unexpected(i, c);
                return true;
            }
            if (i < expected) {
                missing_at_end(p_.calls[i], p_.calls[i].node == head_of(s_, p_.calls[i].role));
                return true;
            }
            if (i < seen) {
                unexpected(i, o_.calls[i]);
                return true;
            }
            break;
        }
        if (o_.runaway || o_.call_count > max_calls) {
            add("W7", format("handlers were called %u times, without end", o_.call_count));
            return true;
        }
        return false;
    }

    // The index of a later predicted call that c is, or -1.
    int later_call(size_t i, const seen_call &c) const
    {
        for (size_t k = i + 1; k < p_.calls.size(); ++k)
            if (p_.calls[k].node == c.node && p_.calls[k].role == c.role)
                return static_cast<int>(k);
        return -1;
    }

    // Whether m lies further along the chain than n.
    bool follows(int n, int m) const
    {
        for (int steps = 0; steps < 200 && n != node_none && !is_guard(n) && n != node_end;
             ++steps) {
            n = next_of(s_, n);
            if (n == m)
                return true;
        }
        return false;
    }

    bool called_before(size_t i, const seen_call &c) const
    {
        for (size_t k = 0; k < i; ++k)
            if (o_.calls[k].node == c.node && o_.calls[k].role == c.role)
                return true;
        return false;
    }

    // A call that the model has not here.
    void unexpected(size_t i, const seen_call &c)
    {
        const int role = c.role;
        const std::string who = name(c.node);
        if (role < 0 || !o_.unwinds[role].made) {
            add("W1", format("%s's handler was called outside any unwind", who.c_str()));
            return;
        }
        const unwind_plan &plan = p_.unwinds[role];
        const expected_end &end = p_.ends[role];
        if (collided_record(role, c.node)) {
            add("W5", format("%s's handler was called by a collided unwind, which must pass over "
                             "the record whose handler is running",
                             who.c_str()));
            return;
        }
        if (called_before(i, c)) {
            if (s_.act == action::collides && role == role_tested &&
                     c.node == next_of(s_, p_.actor))
                add("W6", format("the record named by ExceptionCollidedUnwind, %s, had its "
                                 "handler called",
                                 who.c_str()));
            else
                add("W7", format("%s's handler was called twice", who.c_str()));
            return;
        }
        if (c.node == plan.target) {
            add("U1", format("the target's own handler was called (%s)", who.c_str()));
            return;
        }
        if (c.node == node_odd && s_.extra != odd::none && s_.extra != odd::limit &&
            s_.extra != odd::base_8) {
            add("W2", format("the handler of %s was called", who.c_str()));
            return;
        }
        if (end.how == ending::raises && end.status != 0) {
            add(end.promise, format("%s's handler was called where RtlUnwind must raise %s%s",
                                    who.c_str(), status_name(end.status),
                                    raise_reason(end).c_str()));
            return;
        }
        if (s_.act == action::collides && role == role_tested && c.node == next_of(s_, p_.actor)) {
            add("W6", format("the record named by ExceptionCollidedUnwind, %s, had its handler "
                             "called",
                             who.c_str()));
            return;
        }
        if (plan.target != node_none && plan.target != node_end && above(c.node, plan.target, s_.extra)) {
            add(reach_promise(role), format("the walk went on past the target to %s", who.c_str()));
            return;
        }
        if (c.node == node_unlinked || c.node == node_below ||
            (c.node == node_target && s_.to == target::passed_over) ||
            (c.node >= node_above + records_above(s_.above) && c.node < node_above + most_above)) {
            add("W1", format("%s's handler was called, though it is not on the chain", who.c_str()));
            return;
        }
        add("W1", format("%s's handler was called out of order", who.c_str()));
    }

    // Whether n is a record that a guard names to `role`'s walk: the record
    // another unwind was working on when this one met its platform record.
    bool collided_record(int role, int n) const
    {
        if (role == role_nested && n == p_.actor)
            return true;
        if (role == role_tested || role == role_middle)
            return (n == node_outer && s_.where != place::top) || n == node_middle;
        return false;
    }

    // The walk ended before a predicted call: it stopped early, or passed
    // over the record (a status that a record further on would raise came
    // instead), or raised a status where none was due. `first`: the call
    // was to be the first of its unwind.
    void missing_at_end(const expected_call &e, bool first)
    {
        const seen_end end = end_seen(o_, e.role);
        const std::string who = name(e.node);
        const bool exit_unwind = p_.unwinds[e.role].target == node_none;
        switch (end.how) {
        case seen_end::returned: {
            const int target = p_.unwinds[e.role].target;
            const uint32_t at = target == node_end ? SEH_CHAIN_END : o_.addresses[target];
            const bool reached = target != node_none && o_.unwinds[e.role].head_after == at;
            add(reached ? "W1" : reach_promise(e.role),
                format("RtlUnwind returned%s without calling %s's handler",
                       reached ? " at its target" : " before the walk reached its target",
                       who.c_str()));
            return;
        }
        case seen_end::raised:
        case seen_end::exited: {
            const uint32_t status = raised_status_of(end);
            const bool further = raised_further_on(e, status);
            const char *promise = further ? (exit_unwind ? "U2" : "W1")
                                          : promise_of_status(end, e.role);
            if (first && further)
                promise = "W1";
            add(promise, format("%s where %s's handler was to be called",
                                ending_words(end).c_str(), who.c_str()));
            return;
        }
        case seen_end::at_target_ip:
            add("U3", "control went to TargetIp");
            return;
        default:
            add(exit_unwind ? "U2" : "W1", format("%s where %s's handler was to be called",
                                                 ending_words(end).c_str(), who.c_str()));
        }
    }

    // The status of a raise or of the layer's ending, or 0 for an exit code
    // that is none.
    uint32_t raised_status_of(const seen_end &end) const
    {
        return end.how == seen_end::exited && !raises_ ? status_of_exit(end.code) : end.code;
    }

    // Whether the walk of e's unwind, going on past e's record, would come
    // to a record that raises `status`: then e's record was passed over.
    bool raised_further_on(const expected_call &e, uint32_t status) const
    {
        const int target = p_.unwinds[e.role].target;
        int n = next_of(s_, e.node);
        for (int steps = 0; steps < 200 && n != node_none && n != target; ++steps) {
            if (n == node_end)
                return status == STATUS_UNWIND || status == callers_code ||
                       (status & 0xFF) == (callers_code & 0xFF);
            if (status == STATUS_INVALID_UNWIND_TARGET && target != node_none &&
                target != node_end && above(n, target, s_.extra))
                return true;
            if (status == STATUS_BAD_STACK && n == node_odd && s_.extra != odd::limit &&
                s_.extra != odd::base_8)
                return true;
            n = is_guard(n) ? node_none : next_of(s_, n);
        }
        return false;
    }

    // What a status that ended a walk wrongly concerns.
    const char *promise_of_status(const seen_end &end, int role) const
    {
        if (end.how == seen_end::exited && !raises_ && end.code == SEH_PLATFORM_EXIT_NO_BLOCK)
            return "T1";
        switch (raised_status_of(end)) {
        case STATUS_BAD_STACK: return "W2";
        case STATUS_INVALID_UNWIND_TARGET: return "W3";
        case STATUS_INVALID_DISPOSITION: return "W6";
        case STATUS_STACK_OVERFLOW: return "W5";
        case STATUS_UNWIND:
        case callers_code: return reach_promise(role);
        }
        if (end.how == seen_end::exited && !raises_ && end.code == (callers_code & 0xFF))
            return reach_promise(role);
        return "W1";
    }

    // The status whose low byte the layer's exit code is, or the code.
    static uint32_t status_of_exit(uint32_t code)
    {
#define STATUS(name, status, promise, what) \
    if ((status##u & 0xFF) == code)         \
        return status##u;
#define LAYER_EXIT(name, status, promise, what)
#include "statuses.def"
#undef STATUS
#undef LAYER_EXIT
        return code;
    }

    std::string ending_words(const seen_end &end) const
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
            if (raises_) {
                // Not raised where a vectored handler saw it: the platform's
                // unhandled-exception path, or a process that died.
                const char *known = status_name(end.code);
                if (end.code >= 0xC0000000u)
                    return known ? format("the process ended with %s (0x%08X)", known, end.code)
                                 : format("the process ended with 0x%08X", end.code);
                return format("the process died (exit code %u)", end.code);
            }
            const char *known = status_name(status_of_exit(end.code));
            if (end.code == SEH_PLATFORM_EXIT_NO_BLOCK && !raises_)
                return "the layer ended the process for a thread without a block of its own";
            return known ? format("it ended the process with exit code 0x%X (%s)", end.code, known)
                         : format("it ended the process with exit code 0x%X", end.code);
        }
        case seen_end::signalled: return format("the process was killed by signal %u", end.code);
        case seen_end::hung: return "it hung";
        default: return "it did not end";
        }
    }

    // A fault, with what it was: the word at StackBase called as a
    // handler, or where it happened.
    std::string fault_words() const
    {
        const seen_unwind *u = nullptr;
        for (const seen_unwind &one : o_.unwinds)
            if (one.made && one.how == seen_unwind::faulted)
                u = &one;
        if (!u)
            return "it faulted";
        const char *what = raises_ ? fault_name(u->code) : signal_word(u->code);
        if (o_.handler_word_read && u->param0 == o_.handler_word)
            return format("it called 0x%08X, the word at %s, as the handler of %s, and faulted "
                          "there (%s)",
                          o_.handler_word, handler_word_place(), name(node_odd), what);
        if (o_.handler_word_read)
            return format("it faulted (%s) at 0x%08X, not refusing %s, whose Handler is the word "
                          "at %s (0x%08X)",
                          what, u->param0, name(node_odd), handler_word_place(), o_.handler_word);
        if (u->address == o_.addresses[node_odd] + 4 && s_.extra != odd::none)
            return format("it faulted (%s) reading the Handler of %s", what, name(node_odd));
        if (ours_at(u->address) || u->address == o_.addresses[node_odd])
            return format("it faulted (%s) reading %s", what, name_at(u->address & ~3u).c_str());
        return format("it faulted (%s) at 0x%08X", what, u->param0);
    }

    const char *handler_word_place() const
    {
        switch (s_.extra) {
        case odd::base_4: return "StackBase";
        case odd::base: return "StackBase + 4";
        default: return "StackLimit - 4";
        }
    }

    static const char *fault_name(uint32_t code)
    {
        switch (code) {
        case 0xC0000005u: return "an access violation";
        case 0xC000001Du: return "an illegal instruction";
        case 0xC0000096u: return "a privileged instruction";
        case 0xC0000094u: return "an integer division by zero";
        case 0x80000003u: return "a breakpoint";
        case 0xC00000FDu: return "a stack overflow";
        }
        return "an exception";
    }

    static const char *signal_word(uint32_t signal)
    {
        switch (signal) {
        case 4: return "SIGILL";
        case 5: return "SIGTRAP";
        case 7: return "SIGBUS";
        case 8: return "SIGFPE";
        case 11: return "SIGSEGV";
        }
        return "a signal";
    }

    std::string raise_reason(const expected_end &e) const
    {
        switch (e.status) {
        case STATUS_BAD_STACK: return format(" for %s", name(e.at));
        case STATUS_INVALID_UNWIND_TARGET:
            return format(" (%s lies above the target)", name(e.at));
        case STATUS_INVALID_DISPOSITION: return format(" (%s's handler answered %s)", name(e.at),
                                                       answer_words());
        }
        return "";
    }

    const char *answer_words() const
    {
        switch (s_.act) {
        case action::answers_0: return "0";
        case action::answers_2: return "2";
        case action::answers_4: return "4";
        case action::answers_max: return "0xFFFFFFFF";
        default: return "ExceptionCollidedUnwind";
        }
    }

    // ---- the fields of a call ----------------------------------------

    void fields(const expected_call &e, const seen_call &c)
    {
        const std::string who = name(e.node);
        const char *h = who.c_str();
        // W4: its own record as EstablisherFrame; the platform's record at
        // the head, in front of it; W7: the records before it gone.
        if (c.frame != o_.addresses[e.node])
            add("W4", format("%s's handler got %s as EstablisherFrame", h, name_at(c.frame).c_str()));
        if (ours_at(c.head) || c.head == SEH_CHAIN_END)
            add("W4", format("%s's handler ran with %s at the head, not a record of the "
                             "platform's",
                             h, name_at(c.head).c_str()));
        else if (c.head_next != o_.addresses[e.node])
            add("W4", format("%s's handler ran with the platform's record in front of %s, not "
                             "in front of its own",
                             h, name_at(c.head_next).c_str()));
        if (!c.self_linked)
            add("W4", format("%s was off the chain while its handler ran", h));
        if (c.stale != node_none)
            add("W7", format("%s was still on the chain while %s's handler ran", name(c.stale), h));
        record(e, c);
        context(e, c);
    }

    // U4, U5, U6: the exception record.
    void record(const expected_call &e, const seen_call &c)
    {
        const unwind_plan &plan = p_.unwinds[e.role];
        const char *h = name(e.node);
        const char *mine = plan.own_record ? "U4" : "U5";
        if (!plan.own_record) {
            if (c.record != o_.callers_record) {
                add("U5", format("%s's handler got %s as ExceptionRecord, not the caller's record",
                                 h, c.record ? "another record" : "null"));
                return;
            }
        } else {
            if (!c.record) {
                add("U4", format("%s's handler got a null ExceptionRecord", h));
                return;
            }
            for (size_t k = 0; k < p_.calls.size() && k < max_calls; ++k) {
                const seen_call &other = o_.calls[k];
                if (&other == &c)
                    break;
                if (other.role == e.role && other.record != c.record) {
                    add("U4", format("%s's handler got another record than %s's: the unwind's "
                                     "record is not one",
                                     h, name(other.node)));
                    return;
                }
                if (other.role != e.role && other.record == c.record &&
                    p_.unwinds[other.role].own_record) {
                    add("U4", format("%s's handler got the record of the %s, not one of its own "
                                     "unwind's",
                                     h, role_name(other.role)));
                    return;
                }
            }
        }
        if (!c.record_read) {
            add(mine, format("%s's handler got an ExceptionRecord that cannot be read", h));
            return;
        }
        const uint32_t unwind_bits = EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND;
        if (plan.own_record) {
            if (c.code != STATUS_UNWIND)
                add("U4", format("%s's handler got code 0x%08X", h, c.code));
            else if (c.chained)
                add("U4", format("%s's handler got a chained record", h));
            else if (c.parameters != 0)
                add("U4", format("%s's handler got %u parameters", h, c.parameters));
            else if (c.address != o_.unwinds[e.role].return_site)
                add("U4", format("%s's handler got %s as ExceptionAddress, not the return "
                                 "address into RtlUnwind's caller",
                                 h, c.address ? "another address" : "null"));
            else if (c.flags & ~unwind_bits)
                add("U4", format("%s's handler got flags 0x%08X", h, c.flags));
        } else {
            if (c.code != callers_code)
                add("U5", format("%s's handler saw the caller's code changed to 0x%08X", h, c.code));
            else if ((c.flags & ~unwind_bits) != callers_flags)
                add("U5", format("%s's handler saw the caller's flags replaced: 0x%08X", h,
                                 c.flags));
            else if (c.chained != o_.chained_record)
                add("U5", format("%s's handler saw the caller's chained record changed", h));
            else if (c.address != callers_address)
                add("U5", format("%s's handler saw the caller's ExceptionAddress changed", h));
            else if (c.parameters != 2 || c.param0 != callers_param0 || c.param1 != callers_param1)
                add("U5", format("%s's handler saw the caller's parameters changed", h));
        }
        if ((c.flags & unwind_bits) != (plan.flags & unwind_bits))
            add("U6", format("%s's handler got flags 0x%08X", h, c.flags));
    }

    // W8: the context, captured on entry and shared by the unwind's handlers.
    void context(const expected_call &e, const seen_call &c)
    {
        const char *h = name(e.node);
        if (!c.context) {
            add("W8", format("%s's handler got a null ContextRecord", h));
            return;
        }
        for (size_t k = 0; k < max_calls; ++k) {
            const seen_call &other = o_.calls[k];
            if (&other == &c)
                break;
            if (other.role == e.role && other.context != c.context) {
                add("W8", format("%s's handler got another ContextRecord than %s's", h,
                                 name(other.node)));
                return;
            }
            if (other.role != e.role && other.context == c.context) {
                add("W8", format("%s's handler got the ContextRecord of the %s", h,
                                 role_name(other.role)));
                return;
            }
        }
        if (!c.context_read) {
            add("W8", format("%s's handler got a ContextRecord that cannot be read", h));
            return;
        }
        const unwind_call &call = call_of(e.role);
        const call_values &v = values(e.role);
        const uint32_t eflags = (call.eflags_at_call ^ (e.changes & 8 ? flipped_flags : 0)) &
                                (arithmetic_flags | direction_flag);
        struct {
            const char *field;
            uint32_t seen, wanted;
        } const checks[] = {
            {"ContextFlags", c.regs.flags, 0x10007u},
            {"Eip", c.regs.eip, e.changes & 4 ? o_.unwinds[e.role].alternate_site
                                              : o_.unwinds[e.role].return_site},
            {"Esp", c.regs.esp, call.esp_at_call + 16},
            {"Eax", c.regs.eax, e.changes & 1 ? changed_eax : v.return_value},
            {"Ebx", c.regs.ebx, e.changes & 2 ? changed_ebx : v.ebx},
            {"Esi", c.regs.esi, v.esi},
            {"Edi", c.regs.edi, v.edi},
            {"Ebp", c.regs.ebp, call.ebp_at_call},
            {"EFlags", c.regs.eflags & (arithmetic_flags | direction_flag), eflags},
        };
        for (const auto &check : checks)
            if (check.seen != check.wanted) {
                add("W8", format("%s's handler got %s 0x%08X in its context, where the caller's "
                                 "was 0x%08X",
                                 h, check.field, check.seen, check.wanted));
                return;
            }
    }

    // ---- the ends ------------------------------------------------------

    void end(int role)
    {
        const expected_end &want = p_.ends[role];
        const seen_end got = end_seen(o_, role);
        if (want.how == ending::none || want.how == ending::abandoned)
            return;
        if (got.how == seen_end::at_target_ip) {
            add("U3", "control went to TargetIp");
            return;
        }
        if (want.how == ending::returns)
            returned(role, want, got);
        else if (want.record_itself)
            raised_record(role, got);
        else
            raised_status(role, want, got);
    }

    void returned(int role, const expected_end &wanted, const seen_end &got)
    {
        // A context that the handler could not change (W8 says why) comes
        // back as it was.
        expected_end want = wanted;
        if (!o_.context_changed)
            want.eax_changed = want.ebx_changed = want.eip_changed = want.eflags_flipped = false;
        const char *frame = want.eip_changed || want.eax_changed || want.ebx_changed ||
                                    want.eflags_flipped
                                ? "E5"
                                : "E1";
        if (got.how != seen_end::returned) {
            const char *promise = frame;
            if (got.how == seen_end::raised || got.how == seen_end::exited)
                promise = promise_of_status(got, role);
            if (std::string(promise) == "W1")
                promise = reach_promise(role);
            add(promise, format("%s where RtlUnwind must return%s", ending_words(got).c_str(),
                                role == role_nested ? " from the nested call" : ""));
            return;
        }
        const seen_unwind &u = o_.unwinds[role];
        const unwind_call &c = u.call;
        const call_values &v = values(role);
        const char *call = role == role_nested ? "the nested RtlUnwind" : "RtlUnwind";
        const uint32_t wanted_site = want.eip_changed ? 2 : 1;
        if (c.site != wanted_site)
            add(want.eip_changed ? "E5" : "E1",
                format("%s returned to %s", call,
                       c.site == 2 ? "the place that no handler put in its context"
                                   : "its return address, not to the Eip a handler set"));
        const uint32_t eax = want.eax_changed ? changed_eax : v.return_value;
        if (c.ret_eax != eax)
            add(want.eax_changed ? "E5" : "E1",
                format("%s returned EAX 0x%08X, not 0x%08X%s", call, c.ret_eax, eax,
                       c.ret_eax == v.eax ? " (EAX as it was at the call)" : ""));
        const uint32_t ebx = want.ebx_changed ? changed_ebx : v.ebx;
        if (c.ret_ebx != ebx)
            add(want.ebx_changed ? "E5" : "E1",
                format("%s returned EBX 0x%08X, not 0x%08X", call, c.ret_ebx, ebx));
        if (c.ret_esi != v.esi || c.ret_edi != v.edi)
            add("E1", format("%s returned ESI 0x%08X and EDI 0x%08X, not as the caller had them",
                             call, c.ret_esi, c.ret_edi));
        if (c.ret_ebp != c.ebp_at_call)
            add("E1", format("%s returned with EBP changed", call));
        const int32_t above = static_cast<int32_t>(c.esp_after - c.esp_at_call);
        if (above != 16)
            add("E1", format("%s returned with ESP %d above its value at the call", call, above));
        if (c.ret_eflags & direction_flag)
            add("E1", format("%s returned with the direction flag set", call));
        const uint32_t flags = (c.eflags_at_call ^ (want.eflags_flipped ? flipped_flags : 0)) &
                               arithmetic_flags;
        if ((c.ret_eflags & arithmetic_flags) != flags)
            add("E5", format("%s returned flags 0x%08X, where its context held 0x%08X", call,
                             c.ret_eflags & arithmetic_flags, flags));
        const int head = want.head_after;
        const uint32_t head_address = head == node_end ? SEH_CHAIN_END : o_.addresses[head];
        if (u.head_after != head_address)
            add(reach_promise(role),
                format("after %s returned the head was %s", call, name_at(u.head_after).c_str()));
        // U5: the caller's flags kept, the unwind flags still set when it
        // returns; which unwind flags is U6's matter, as the handlers saw.
        const unwind_plan &plan = p_.unwinds[role];
        const uint32_t unwind_bits = EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND;
        if (!plan.own_record && u.flags_after != (callers_flags | plan.flags)) {
            bool seen_so = false;
            for (size_t k = 0; k < p_.calls.size() && k < max_calls; ++k)
                seen_so |= o_.calls[k].role == role &&
                           (o_.calls[k].flags & unwind_bits) == (u.flags_after & unwind_bits);
            const bool kept = (u.flags_after & ~unwind_bits) == callers_flags;
            add(kept && seen_so ? "U6" : "U5",
                format("the caller's record held flags 0x%08X when %s returned", u.flags_after,
                       call));
        }
    }

    void raised_status(int role, const expected_end &want, const seen_end &got)
    {
        const std::string must = format("where RtlUnwind must raise %s%s",
                                        status_name(want.status), raise_reason(want).c_str());
        if (got.how == seen_end::exited && !raises_) {
            if (got.code != (want.status & 0xFF))
                add(want.promise, format("%s %s", ending_words(got).c_str(), must.c_str()));
            return;
        }
        if (got.how != seen_end::raised) {
            add(want.promise, format("%s %s", ending_words(got).c_str(), must.c_str()));
            return;
        }
        if (got.code != want.status) {
            add(want.promise, format("%s %s", ending_words(got).c_str(), must.c_str()));
            return;
        }
        // E4: non-continuable, with the unwind's record chained.
        const seen_unwind &u = o_.unwinds[role];
        const unwind_plan &plan = p_.unwinds[role];
        if (!(u.flags & 1))
            add("E4", format("%s was raised continuable", status_name(want.status)));
        else if (!plan.own_record && u.chained != o_.callers_record)
            add("E4", format("%s was raised with %s chained, not the unwind's record",
                             status_name(want.status),
                             u.chained ? "another record" : "no record"));
        else if (plan.own_record &&
                 (!u.chained || !u.chained_read || u.chained_code != STATUS_UNWIND))
            add("E4", format("%s was raised with %s chained, not the unwind's own record",
                             status_name(want.status),
                             u.chained ? "another record" : "no record"));
    }

    void raised_record(int role, const seen_end &got)
    {
        const unwind_plan &plan = p_.unwinds[role];
        const uint32_t code = plan.own_record ? STATUS_UNWIND : callers_code;
        const uint32_t exit_code = (code & 0xFF) ? (code & 0xFF) : 0xFF;
        const std::string must =
            format("where at the end marker it must raise %s", plan.own_record
                                                                  ? "its STATUS_UNWIND record"
                                                                  : "the caller's record");
        if (got.how == seen_end::returned) {
            const seen_unwind &u = o_.unwinds[role];
            add("E3",
                format("RtlUnwind returned with %s at the head%s",
                       name_at(u.head_after).c_str(),
                       u.call.ret_eax == values(role).return_value ? " and ReturnValue in EAX" : ""),
                true);
            return;
        }
        if (got.how == seen_end::exited && !raises_) {
            if (got.code != exit_code)
                add("E3", format("%s %s", ending_words(got).c_str(), must.c_str()));
            return;
        }
        if (got.how != seen_end::raised || got.code != code ||
            (!plan.own_record && o_.unwinds[role].raised_record != o_.callers_record))
            add("E3", format("%s %s", ending_words(got).c_str(), must.c_str()));
    }

    // ---- threads ---------------------------------------------------------

    static const char *thread_words(uint32_t fault)
    {
        static const char *const words[] = {
            "",
            "the new thread's chain held null",
            "the new thread's chain held the main thread's record",
            "the new thread's chain held a record off its stack",
            "StackLimit was not below StackBase",
            "a local variable lay outside StackLimit..StackBase",
            "the new thread's bounds held its creator's stack",
            "StackLimit..StackBase reached beyond the stack that the system maps for the thread",
            "the thread's stack could not grow down to StackLimit: touching it there faulted",
            "the main thread's head changed while the new thread unwound",
            "the main thread's record was relinked while the new thread unwound",
            "the new thread could not be started",
        };
        return words[fault];
    }

    void threads()
    {
        if (!o_.on_thread)
            return;
        if (o_.first_head_fault)
            add("T1", thread_words(o_.first_head_fault));
        if (o_.main_chain_fault)
            add("T1", thread_words(o_.main_chain_fault));
        if (o_.bounds_fault)
            add("T2", thread_words(o_.bounds_fault));
        if (o_.threads_difference[0])
            add("T3", o_.threads_difference);
    }
};

} // namespace

std::vector<const char *> tried(const situation &s, const prediction &p)
{
    bool has[32] = {};
    auto mark = [&](const char *promise) {
        for (int i = 0; i < promise_count; ++i)
            if (std::string(promises[i]) == promise)
                has[i] = true;
    };
    bool calls = false, walk_calls = false;
    for (const expected_call &c : p.calls) {
        calls = true;
        walk_calls |= c.role == role_tested || c.role == role_nested;
        if (p.unwinds[c.role].own_record)
            mark("U4");
    }
    for (int role : {role_tested, role_nested}) {
        const unwind_plan &u = p.unwinds[role];
        const expected_end &e = p.ends[role];
        if (!u.made)
            continue;
        if (u.target == node_none)
            mark("U2");
        if (returns(e)) {
            mark("U3");
            mark("E1");
            mark("E5");
            if (u.target == node_end)
                mark("E2");
            else
                mark("U1");
        }
        if (e.how == ending::raises)
            mark(e.record_itself ? "E3" : "E4");
        if (e.how == ending::raises && !e.record_itself)
            mark(e.promise);
    }
    if (s.record == supplied::callers)
        mark("U5");
    if (calls) {
        mark("U6");
        mark("W4");
        mark("W7");
        mark("W8");
    }
    if (walk_calls)
        mark("W1");
    // W2 where the walk meets the odd record: it raises there, or calls a
    // good one's handler.
    for (const expected_call &c : p.calls)
        if (c.node == node_odd)
            mark("W2");
    for (const expected_end &e : p.ends)
        if (e.how == ending::raises && e.status == STATUS_BAD_STACK)
            mark("W2");
    if (p.collision)
        mark("W5");
    if (s.act == action::collides || s.act == action::answers_0 || s.act == action::answers_2 ||
        s.act == action::answers_4 || s.act == action::answers_max)
        mark("W6");
    if (s.where == place::thread || s.where == place::threads) {
        mark("T1");
        mark("T2");
    }
    if (s.extra != odd::none && s.extra != odd::off_stack && s.extra != odd::misaligned)
        mark("T2");
    if (s.where == place::threads)
        mark("T3");
    std::vector<const char *> out;
    for (int i = 0; i < promise_count; ++i)
        if (has[i])
            out.push_back(promises[i]);
    return out;
}

std::vector<finding> compare(const situation &s, const prediction &p, const observation &o,
                             bool raises)
{
    return judge(s, p, o, raises).run();
}
