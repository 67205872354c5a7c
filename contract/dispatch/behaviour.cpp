#include "behaviour.h"

#include "statuses.h"

namespace {

constexpr uint32_t STATUS_NONCONTINUABLE = 0xC0000025u;

// How a handler that continues the exception leaves the context: a fault
// would run again, so Eip goes past it; a single step's trap flag, which
// the platform may keep (X8 leaves it open), is cleared. A change to the
// context of RaiseException, whose Eip lies inside it, is seen only where
// the raise point resumes: Eip goes there too.
decision continuing(const situation &s, bool change)
{
    decision d;
    d.what = act::continues;
    d.change = change;
    d.clear_tf = raise_of(s).how == fault::step;
    d.move = raise_of(s).restarts || (change && raise_of(s).kind == raise_kind::software);
    d.step = change && answer_of(s).what == field::trap;
    return d;
}

bool top_of_thread(const situation &s)
{
    return place_of(s).kind == place_kind::top || place_of(s).kind == place_kind::thread;
}

} // namespace

decision decide(const situation &s, int node, int exc, int time)
{
    decision d;
    const chain_row &chain = chain_of(s);
    switch (node) {
    case node_vectored_a:
    case node_vectored_b:
    case node_vectored_c:
        if (exc == exc_tested && time == 0 && vectored_of(s).continuer == node)
            return continuing(s, false);
        return d;
    case node_vectored_outer:
    case node_outer:
        if (exc == exc_outer && time == 0)
            d.what = act::stages;
        return d;
    case node_middle:
        if (exc == exc_middle && time == 0)
            d.what = act::stages;
        return d;
    case node_before:
        if (exc == exc_tested && time == 0 && chain.invalid) {
            d.what = act::invalid;
            d.value = chain.invalid;
        }
        return d;
    case node_answerer: {
        // X8: it takes the single step that its trap flag raised, and goes
        // on past the stepped instruction, the flag cleared.
        if (exc == exc_step && time == 0) {
            d.what = act::continues;
            d.clear_tf = true;
            d.past_step = true;
            return d;
        }
        if (exc != exc_tested)
            return d;
        const answer_row &answer = answer_of(s);
        if (time == 0) {
            switch (answer.kind) {
            case answer_kind::continues: {
                // The first time a fault is continued unchanged, it must run
                // again (C4): the next time, it is moved past.
                decision c = continuing(s, answer.what != field::none);
                if (answer.what == field::none && raise_of(s).restarts)
                    c.move = false;
                if (answer.what == field::eip || answer.what == field::trap)
                    c.move = false;
                return c;
            }
            case answer_kind::invalid:
                d.what = act::invalid;
                d.value = answer.value;
                return d;
            case answer_kind::unwinds: d.what = act::unwinds; return d;
            }
        }
        if (time == 1 && answer.kind == answer_kind::continues && answer.what == field::none &&
            raise_of(s).restarts && !noncontinuable(s))
            return continuing(s, false);
        return d;
    }
    case node_catcher:
        if (exc == exc_tested && chain.kind == chain_kind::none && top_of_thread(s))
            return d;
        if (exc == exc_outer && place_of(s).kind == place_kind::in_filter)
            return d;
        d.what = act::leaves;
        return d;
    case node_filter:
        if (exc == exc_outer && time == 0 && place_of(s).kind == place_kind::in_filter) {
            d.what = act::stages;
            return d;
        }
        if (exc == exc_tested && time == 0) {
            switch (filter_of(s).kind) {
            case filter_kind::continues: return continuing(s, false);
            case filter_kind::searches: return d;
            case filter_kind::none:
            case filter_kind::executes: break;
            }
        }
        d.what = act::executes;
        return d;
    }
    return d; // every other record searches
}

bool stages_in_unwind(const situation &s, int node, int time)
{
    return node == node_unwound && time == 0 && place_of(s).kind == place_kind::in_unwind;
}

int kind_of_code(uint32_t code, uint32_t tested_code, bool tested_seen, bool stepping)
{
    if (code == outer_code)
        return exc_outer;
    if (code == middle_code)
        return exc_middle;
    if (code == STATUS_INVALID_DISPOSITION)
        return exc_invalid_disposition;
    if (code == STATUS_NONCONTINUABLE)
        return exc_noncontinuable;
    if (stepping)
        return exc_step;
    return !tested_seen || code == tested_code ? exc_tested : exc_other;
}
