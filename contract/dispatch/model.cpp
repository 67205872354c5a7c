// The dispatcher's contract, as a simulation of a conforming platform
// around the check's handlers. Each step says which promise makes it so.
#include "model.h"

#include "statuses.h"

namespace {

constexpr uint32_t STATUS_NONCONTINUABLE = 0xC0000025u;

// The chain, head last. Besides the check's records (node numbers) it
// holds the platform's: the end of the thread's chain, the dispatcher's
// record while a first-pass handler runs (N1, naming that handler's
// record), an unwind's record while an unwind handler runs (naming the
// record it works on), and, while the filter runs, whatever the platform
// keeps there (not judged).
constexpr int entry_base = -1;
constexpr int entry_unknown = -3;
constexpr int entry_guard = -2000;  // - R
constexpr int entry_helper = -1000; // - W

bool is_guard(int e) { return e <= entry_guard && e > entry_guard - node_count; }
bool is_helper(int e) { return e <= entry_helper && e > entry_helper - node_count; }

// Ways out of a walk that the simulation takes as the staging does: the
// answering record lands in its function (H5), the situation is left.
struct landed {};
struct left {};

class simulation {
public:
    simulation(const situation &s, x87_resume x87) : s_(s), x87_(x87) {}

    prediction run(void)
    {
        p_.filter_installed =
            filter_of(s_).kind != filter_kind::none || place_of(s_).kind == place_kind::in_filter;
        chain_.push_back(entry_base);
        chain_.push_back(node_catcher);
        try {
            start();
        } catch (const left &) {
        }
        return p_;
    }

private:
    const situation &s_;
    const x87_resume x87_;
    prediction p_;
    std::vector<int> chain_;
    int times_[node_count][exc_count] = {};
    int unwind_times_[node_count] = {};
    int current_ = -1; // the dispatch whose handler runs
    bool in_vectored_ = false; // a vectored handler's call is running
    promise why_ = promise::D1;

    void start(void)
    {
        switch (place_of(s_).kind) {
        case place_kind::top:
        case place_kind::thread:
        case place_kind::threads: stage_tested(); return;
        case place_kind::in_handler:
        case place_kind::in_handler_2:
            chain_.push_back(node_outer);
            raise(exc_outer, 0, -1, promise::D1);
            chain_.pop_back();
            return;
        case place_kind::in_vectored:
        case place_kind::in_filter: raise(exc_outer, 0, -1, promise::D1); return;
        case place_kind::in_unwind:
            chain_.push_back(node_unwind_target);
            chain_.push_back(node_unwound);
            unwind(node_unwind_target, -1, promise::H5);
            chain_.pop_back();
            return;
        }
    }

    void stage_tested(void)
    {
        const size_t below = chain_.size();
        const std::vector<int> records = tested_records(s_);
        for (size_t i = records.size(); i-- > 0;)
            chain_.push_back(records[i]);
        try {
            raise_tested();
        } catch (const landed &) {
            p_.answerer_landed = true;
        }
        chain_.resize(below);
    }

    void raise_tested(void)
    {
        const raise_row &r = raise_of(s_);
        uint32_t flags = 0;
        if (r.kind == raise_kind::software)
            flags = r.flags & EXCEPTION_NONCONTINUABLE_FLAG; // R2
        else if (r.kind == raise_kind::rtl)
            flags = r.flags; // R7: the caller's record as it is
        int restart_of = -1;
        for (;;) {
            const int d = raise(exc_tested, flags, -1, promise::D1, restart_of);
            if (d < 0)
                return;
            const expected_call &by = last_continue_;
            // C4: a fault continued unchanged runs again.
            const bool again = r.restarts && !by.act.move && !by.act.step &&
                               !(by.act.change && answer_of(s_).what == field::eip);
            const bool runs_on = again && x87_of(r.how) && x87_ == x87_resume::cleared;
            if (again && !runs_on) {
                restart_of = d;
                continue;
            }
            expected_resume &e = p_.resume;
            e.made = true;
            e.by = by.node;
            e.dispatch = d;
            const bool eip = by.act.change && answer_of(s_).what == field::eip;
            e.site = eip ? resume_site::alternate
                     : by.act.move || r.how == fault::step || runs_on ? resume_site::after
                                                                      : resume_site::returned;
            // C2: RaiseException's context, unchanged, resumes inside it and
            // returns as a call does; the registers are the caller's.
            e.as_left = !(r.kind == raise_kind::software && e.site == resume_site::returned);
            e.why = is_vectored(by.node)      ? promise::V3
                    : by.node == node_filter  ? promise::F2
                    : !e.as_left              ? promise::C2
                    : restart_of >= 0 || runs_on || (r.how == fault::step && !by.act.change)
                                              ? promise::C4
                                              : promise::C1;
            if (by.act.step)
                step();
            return;
        }
    }

    expected_call last_continue_ = {};

    // X8: the context continued with the trap flag set runs one
    // instruction, then traps; C1: as its continuer left it. The single
    // step is taken past that instruction, and the raise point resumes.
    void step(void)
    {
        const int d = raise(exc_step, 0, -1, promise::X8);
        expected_resume &e = p_.resume;
        if (d < 0) {
            e = expected_resume{};
            return;
        }
        e.by = last_continue_.node;
        e.dispatch = d;
        e.site = resume_site::after;
        e.as_left = true;
        e.why = promise::C1;
    }

    // Raises an exception and runs its first pass. Returns the dispatch
    // when a handler continued it and it may resume, else -1 (it was
    // taken, or it raised a status that was).
    int raise(int exc, uint32_t flags, int chained, promise why, int restart_of = -1)
    {
        const int d = static_cast<int>(p_.dispatches.size());
        int head = chain_.back();
        p_.dispatches.push_back({exc, flags, chained, head >= 0 ? head : node_none, current_,
                                 restart_of, why});
        // What runs during the dispatch, restored however it ends.
        struct running {
            simulation &sim;
            int dispatch;
            promise why;
            ~running()
            {
                sim.current_ = dispatch;
                sim.why_ = why;
            }
        } outer{*this, current_, why_};
        current_ = d;
        why_ = restart_of >= 0 ? promise::C4 : why;
        const int continued = first_pass(d);
        current_ = outer.dispatch;
        why_ = outer.why;
        if (continued < 0)
            return -1;
        // C3, F5: continuing a noncontinuable exception raises
        // STATUS_NONCONTINUABLE_EXCEPTION, chained to it (H4).
        if (p_.dispatches[d].flags & EXCEPTION_NONCONTINUABLE_FLAG) {
            const promise status_why = continued == node_filter ? promise::F5 : promise::C3;
            raise(exc_noncontinuable, EXCEPTION_NONCONTINUABLE_FLAG, d, status_why);
            return -1;
        }
        return d;
    }

    expected_call &call(int node, int d, bool unwinding, int8_t nested)
    {
        p_.calls.push_back({node, d, unwinding, nested, why_, decision{}});
        return p_.calls.back();
    }

    decision decide_call(int node, int d)
    {
        const int exc = p_.dispatches[d].exc;
        return decide(s_, node, exc, times_[node][exc]++);
    }

    // The first pass of dispatch d: the node that continued it, or -1.
    int first_pass(int d)
    {
        const int exc = p_.dispatches[d].exc;
        // V1: the vectored handlers first, in their order.
        // V8: while a vectored handler runs no lock keeps the handlers
        // from an exception it raises.
        for (int v : vectored_order(s_)) {
            expected_call &c = call(v, d, false, -1);
            c.why = in_vectored_ ? promise::V8 : why_ == promise::D1 ? promise::V1 : why_;
            const decision act = decide_call(v, d);
            p_.calls.back().act = act;
            if (act.what == act::stages) {
                const bool was = in_vectored_;
                in_vectored_ = true;
                stage_tested();
                in_vectored_ = was;
                continue;
            }
            if (act.what == act::continues) {
                last_continue_ = p_.calls.back();
                return v; // V3
            }
        }
        // D1: then the chain, from the head. N2: a dispatcher's record
        // sets the nested flag up to the record it names.
        int nested_until = node_none;
        bool unknown = false;
        for (size_t i = chain_.size(); i-- > 0;) {
            const int e = chain_[i];
            if (e == entry_base)
                return end_of_chain(d);
            if (e == entry_unknown) {
                unknown = true;
                continue;
            }
            if (is_guard(e)) {
                const int named = entry_guard - e;
                if (nested_until == node_none || rank_of(named) > rank_of(nested_until))
                    nested_until = named;
                continue;
            }
            if (is_helper(e))
                continue; // an unwind's record: ExceptionContinueSearch to the first pass
            if (e == node_odd) {
                // D2, F4: the walk ends, no filter, the process ends.
                p_.end = situation_end::ends_process;
                p_.exit_code = code_of(exc);
                p_.exit_why = promise::D2;
                throw left{};
            }
            const int8_t nested = unknown ? -1 : nested_until != node_none;
            call(e, d, false, nested);
            if (nested == 1)
                p_.calls.back().why = promise::N2;
            else if (regs_of(s_).df && exc == exc_tested)
                p_.calls.back().why = promise::H2; // handlers entered with DF clear
            const size_t me = p_.calls.size() - 1;
            const decision act = decide_call(e, d);
            p_.calls[me].act = act;
            chain_.push_back(entry_guard - e); // N1
            const promise walk_why = why_;
            switch (act.what) {
            case act::stages: stage_in(e); break;
            case act::unwinds:
                unwind(e, d, promise::H5);
                throw landed{};
            case act::leaves:
                unwind(e, d, nested_place(s_) ? promise::N4 : promise::H5);
                p_.end = situation_end::caught;
                p_.caught_dispatch = d;
                throw left{};
            default: break;
            }
            chain_.pop_back();
            why_ = walk_why;
            if (act.what == act::stages)
                why_ = promise::N5; // N5: the outer walk goes on after R
            if (e == nested_until)
                nested_until = node_none;
            switch (act.what) {
            case act::continues: last_continue_ = p_.calls[me]; return e;
            case act::invalid:
                // H3: the status is raised; H4: after the handler returned,
                // chained to the exception, from the head.
                raise(exc_invalid_disposition, EXCEPTION_NONCONTINUABLE_FLAG, d, promise::H3);
                return -1;
            default: break;
            }
        }
        return -1;
    }

    uint32_t code_of(int exc) const
    {
        switch (exc) {
        case exc_tested: return raise_of(s_).code;
        case exc_outer: return outer_code;
        case exc_middle: return middle_code;
        case exc_invalid_disposition: return STATUS_INVALID_DISPOSITION;
        case exc_noncontinuable: return STATUS_NONCONTINUABLE;
        case exc_step: return single_step_code;
        }
        return 0;
    }

    // F1: the platform's frame at the start of the thread calls the
    // filter; F2, F4: what it answers, or no filter, ends the process.
    int end_of_chain(int d)
    {
        const int exc = p_.dispatches[d].exc;
        if (p_.filter_installed) {
            const promise walk_why = why_;
            why_ = promise::F1;
            call(node_filter, d, false, -1);
            const size_t me = p_.calls.size() - 1;
            const decision act = decide_call(node_filter, d);
            p_.calls[me].act = act;
            why_ = walk_why;
            if (act.what == act::stages) {
                chain_.push_back(entry_unknown);
                stage_tested();
                p_.end = situation_end::filter_leaves;
                throw left{};
            }
            if (act.what == act::continues) {
                last_continue_ = p_.calls[me];
                return node_filter;
            }
            p_.exit_why = promise::F2;
        }
        p_.end = situation_end::ends_process;
        p_.exit_code = code_of(exc);
        p_.may_unwind_at_end = true;
        throw left{};
    }

    // The raise that a handler's call stages, below the record it runs for.
    void stage_in(int node)
    {
        if (node == node_outer && place_of(s_).kind == place_kind::in_handler_2) {
            chain_.push_back(node_middle);
            raise(exc_middle, 0, -1, promise::N2);
            chain_.pop_back();
            return;
        }
        stage_tested();
    }

    // An unwind to `target` with the record of dispatch d (-1: its own):
    // H5, N4, N6, and the unwind contract's walk.
    void unwind(int target, int d, promise why)
    {
        while (!chain_.empty() && chain_.back() != target) {
            const int e = chain_.back();
            if (is_guard(e) || e == entry_unknown) {
                p_.unwinds_past_dispatcher |= is_guard(e);
                chain_.pop_back(); // N6: the dispatcher's record, silently
                continue;
            }
            if (is_helper(e)) {
                // W5: another unwind's record; the record it works on goes
                // without its handler being called again.
                chain_.pop_back();
                chain_.pop_back();
                continue;
            }
            if (e == entry_base)
                break; // no model walks here
            const promise was = why_;
            why_ = why;
            call(e, d, true, -1);
            chain_.push_back(entry_helper - e);
            if (stages_in_unwind(s_, e, unwind_times_[e]++))
                stage_tested();
            chain_.pop_back();
            why_ = was;
            chain_.pop_back(); // W7
        }
    }
};

} // namespace

std::vector<int> vectored_order(const situation &s)
{
    std::vector<int> order;
    switch (vectored_of(s).count) {
    case 1: order = {node_vectored_a}; break;
    case 3: order = {node_vectored_c, node_vectored_a, node_vectored_b}; break;
    default: break;
    }
    if (place_of(s).kind == place_kind::in_vectored)
        order.push_back(node_vectored_outer);
    return order;
}

std::vector<int> tested_records(const situation &s)
{
    const chain_row &c = chain_of(s);
    std::vector<int> records;
    for (int i = 0; i < c.before; ++i)
        records.push_back(node_before + i);
    if (c.kind == chain_kind::odd)
        records.push_back(node_odd);
    if (c.kind != chain_kind::none)
        records.push_back(node_answerer);
    if (c.after > 0)
        records.push_back(node_after);
    if (c.after > 1)
        records.push_back(node_after_2);
    return records;
}

int rank_of(int node)
{
    if (node >= node_before && node <= node_after_2)
        return node;
    switch (node) {
    case node_odd: return node_after_2 + 1;
    case node_middle: return node_after_2 + 2;
    case node_unwound: return node_after_2 + 3;
    case node_unwind_target: return node_after_2 + 4;
    case node_outer: return node_after_2 + 5;
    case node_catcher: return node_after_2 + 6;
    }
    return node_after_2 + 7;
}

prediction predict(const situation &s, x87_resume x87) { return simulation(s, x87).run(); }

bool restarts_x87(const situation &s, const prediction &p)
{
    if (!x87_of(raise_of(s).how))
        return false;
    for (const expected_dispatch &d : p.dispatches)
        if (d.restart_of >= 0)
            return true;
    return false;
}
