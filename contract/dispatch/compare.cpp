// Compares a situation's observation with the model's prediction: the
// calls, then the raise point's resume and the situation's end, then the
// calls of the platform's API, then threads.
#include "comparison.h"

#include "seh_frame.h"
#include "statuses.h"

// A situation whose raise could not be made as it says is judged by that
// alone: nothing else of it was tried.
findings comparison::run(void)
{
    if (o_.wrong_limit || o_.wrong_base) {
        // No record can be placed at a bound that is not the stack's.
        add(promise::D2, format("StackLimit 0x%08X and StackBase 0x%08X do not hold the "
                                "calling thread's stack: the walk's check cannot be tried at "
                                "them",
                                o_.wrong_limit, o_.wrong_base));
        found_.mark_unstaged();
        return found_;
    }
    if (o_.floor_missed) {
        add(promise::D2, format("the lowest address of the stack the thread may use, 0x%08X, "
                                "does not lie below the raise point, or lies beyond any stack's "
                                "reach: the raise cannot be made with little stack left",
                                o_.floor));
        found_.mark_unstaged();
        return found_;
    }
    if (x87_untried()) {
        found_.mark_unstaged();
        return found_;
    }
    calls();
    if (walk_agrees_) {
        resume();
        landing();
        ending();
    }
    apis();
    threads();
    return found_;
}

std::string comparison::name_at(uint32_t addr) const
{
    if (addr == 0)
        return "null";
    if (addr == SEH_CHAIN_END)
        return "the end marker";
    for (int n = 0; n < node_vectored_a; ++n)
        if (o_.addresses[n] == addr)
            return node_name(n);
    return format("0x%08X, which is no record of the check's", addr);
}

bool comparison::ours(uint32_t addr) const
{
    for (int n = 0; n < node_vectored_a; ++n)
        if (o_.addresses[n] == addr && addr)
            return true;
    return false;
}

std::string comparison::call_words(const seen_call &c) const
{
    const bool unwinding = c.flags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND);
    return format("%s%s with %s", unwinding ? "an unwind called " : "", node_name(c.node),
                  exception_name(c.exc));
}

std::string comparison::expected_words(const expected_call &e) const
{
    const int exc = e.dispatch >= 0 ? p_.dispatches[e.dispatch].exc : exc_other;
    return format("%s%s with %s", e.unwinding ? "an unwind to call " : "", node_name(e.node),
                  e.dispatch >= 0 ? exception_name(exc) : "its own record");
}

// What a fault that a call was made for tells of a record at a bound that
// the walk should have refused: that the platform called the word beyond
// the stack as its handler, or read its words there. Else "".
std::string comparison::fault_words(const seen_call &c) const
{
    const chain_row &row = chain_of(s_);
    if (c.exc != exc_other || row.kind != chain_kind::odd || !at_a_bound(s_))
        return "";
    const uint32_t at = o_.addresses[node_odd];
    const std::string record = "the record at " + bound_place(row.from, row.offset);
    if (o_.handler_word_read && c.address == o_.handler_word)
        return format(": it called 0x%08X, the word at %s, as the handler of %s, and faulted "
                      "there (0x%08X)",
                      o_.handler_word, handler_word_place(row.from, row.offset).c_str(),
                      record.c_str(), c.code);
    if (c.code == access_violation && c.parameters >= 2 && c.params[1] - at < 8)
        return format(": it read the word at 0x%08X of %s, beyond the stack, and faulted",
                      c.params[1], record.c_str());
    return "";
}

// How the situation ended, when it ended otherwise than the model says.
std::string comparison::ending_words(void) const
{
    switch (end_.how) {
    case child_end::exited:
        return format("the process ended with exit status 0x%X%s%s", end_.code,
                      status_name(end_.code) ? format(" (%s)", status_name(end_.code)).c_str()
                                             : "",
                      regs_of(s_).df ? " (a platform whose signal handlers start with the "
                                       "faulting code's direction flag, as qemu-user enters "
                                       "them, may crash so: the emulator's deviation)"
                                     : "");
    case child_end::signalled: return format("the process was ended by signal %u", end_.code);
    case child_end::hung:
        return end_.code == child_end::endless ? "it never ended, though handlers were still "
                                                 "being called after 60 s"
                                               : "it hung";
    case child_end::not_started: return "no process could be started to run it";
    default: break;
    }
    if (o_.runaway)
        return "handlers were called without end";
    switch (static_cast<situation_end>(o_.end)) {
    case situation_end::caught:
        return format("the outermost record took %s", exception_name(o_.caught_exc));
    case situation_end::filter_leaves: return "the filter left the situation";
    default: break;
    }
    if (o_.raise.resumed)
        return "the raise point resumed";
    return "the situation went on";
}

std::vector<promise> tried(const situation &s, const prediction &p)
{
    promise_set has;
    const raise_row &r = raise_of(s);
    switch (r.kind) {
    case raise_kind::software:
        for (promise one : {promise::R1, promise::R2, promise::R3, promise::R4, promise::R5,
                            promise::R6, promise::R8})
            has.add(one);
        break;
    case raise_kind::rtl:
        has.add(promise::R6);
        has.add(promise::R7);
        has.add(promise::R8);
        break;
    case raise_kind::processor:
        if (!r.code_open)
            has.add(r.x);
        has.add(promise::H2);
        has.add(promise::R8);
        break;
    }
    bool frame_calls = false, vectored_calls = false;
    for (const expected_call &c : p.calls) {
        has.add(c.why);
        if (!c.unwinding && is_record(c.node))
            frame_calls = true;
        if (is_vectored(c.node))
            vectored_calls = true;
        if (c.nested == 1)
            has.add(promise::N2);
        if (c.act.what == act::invalid || c.act.what == act::continues)
            has.add(promise::H3);
    }
    if (frame_calls) {
        has.add(promise::D1);
        has.add(promise::H1);
        has.add(promise::N1);
    }
    if (vectored_calls) {
        has.add(promise::V1);
        has.add(promise::V3);
        if (frame_calls)
            has.add(promise::V2);
    }
    if (vectored_of(s).removed)
        has.add(promise::V4);
    for (const expected_dispatch &d : p.dispatches)
        if (d.exc == exc_invalid_disposition || d.exc == exc_noncontinuable)
            has.add(promise::H4);
    if (p.resume.made) {
        has.add(p.resume.why);
        has.add(promise::D3);
    }
    if (p.answerer_landed || p.end == situation_end::caught)
        has.add(promise::H5);
    if (p.unwinds_past_dispatcher)
        has.add(promise::N6);
    if (nested_place(s) && place_of(s).kind != place_kind::in_unwind)
        has.add(promise::N3);
    // A raise in a vectored handler, the list changed during its call, the
    // threads meeting in their vectored handlers: no lock of the
    // dispatcher's is held while one runs.
    if (place_of(s).kind == place_kind::in_vectored ||
        (vectored_calls && (vectored_of(s).in_call || place_of(s).kind == place_kind::threads)))
        has.add(promise::V8);
    if (p.filter_installed || ends_process(s))
        has.add(promise::F3);
    if (p.end == situation_end::ends_process)
        has.add(p.exit_why == promise::D2 ? promise::F4 : p.exit_why);
    if (chain_of(s).kind == chain_kind::odd || at_a_bound(s))
        has.add(promise::D2);
    if (place_of(s).kind == place_kind::thread || place_of(s).kind == place_kind::threads) {
        has.add(promise::D5);
        if (vectored_calls)
            has.add(promise::V5);
    }
    std::vector<promise> out;
    for (int k = 0; k < promise_count; ++k) {
        const promise one = static_cast<promise>(k);
        if (has.has(one) && info(one).judged != judgement::open)
            out.push_back(one);
    }
    return out;
}

namespace {

size_t deviations(const findings &f)
{
    size_t n = 0;
    for (const finding &one : f.list())
        n += !one.reference;
    return n;
}

} // namespace

// Where a handler continued an x87 exception with the context unchanged,
// whether its fwait faults again is the x87 state that the platform
// resumes, which the contract leaves it: the platform is judged by the
// prediction whose calls it follows further, the reference where both
// part at the same call, and resuming the x87 without the exception, which
// the SDM's restart of the faulting instruction does not foresee, differs.
findings compare(const situation &s, const prediction &p, const observation &o,
                 const child_end &end)
{
    comparison reference(s, p, o, end);
    findings found = reference.run();
    if (!restarts_x87(s, p) || deviations(found) == 0)
        return found;
    const prediction q = predict(s, x87_resume::cleared);
    comparison other(s, q, o, end);
    findings cleared = other.run();
    if (other.followed() <= reference.followed())
        return found;
    cleared.add(promise::C4,
                format("continued with the context unchanged, execution went on past the "
                       "fwait that reported the %s exception: the platform resumed the x87 "
                       "without the exception pending that the context's status word holds "
                       "(status word 0x%04X after it), where the SDM has the restarted fwait "
                       "fault again; the contract holds the resumed context to its integer "
                       "registers, Eip, Esp and EFlags (C1)",
                       x87_of(raise_of(s).how)->flag, o.raise.x87_status),
                true);
    return cleared;
}
