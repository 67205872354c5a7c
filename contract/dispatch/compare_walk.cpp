// The calls of the first pass and of the unwinds that end it (D1, H1, H3,
// N1, N2, V1, V2, V3, and whichever promise puts a call where it is), call
// by call: the first call that is not the predicted one is the walk's one
// difference.
#include "comparison.h"

#include "seh_frame.h"

namespace {

constexpr uint32_t unwind_bits = EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND;

bool same(const expected_call &e, const prediction &p, const seen_call &c)
{
    const int exc = e.dispatch >= 0 ? p.dispatches[e.dispatch].exc : c.exc;
    const bool unwinding = (c.flags & unwind_bits) != 0;
    return e.node == c.node && exc == c.exc && e.unwinding == unwinding;
}

} // namespace

// Whether c, the call that e predicts, came as an unwind's only because the
// record that RaiseException built kept an unwind bit of its flags.
bool comparison::raise_flags_taken_for_unwind(const expected_call &e, const seen_call &c) const
{
    const raise_row &r = raise_of(s_);
    return r.kind == raise_kind::software && (r.flags & unwind_bits) && !e.unwinding &&
           e.dispatch >= 0 && p_.dispatches[e.dispatch].exc == exc_tested && e.node == c.node &&
           c.exc == exc_tested && (c.flags & r.flags & unwind_bits);
}

// Whether any handler saw the exception under test.
bool comparison::tested_seen(void) const
{
    const size_t seen = o_.call_count < max_calls ? o_.call_count : max_calls;
    for (size_t k = 0; k < seen; ++k)
        if (o_.calls[k].exc == exc_tested)
            return true;
    return false;
}

// Whether the process ended, before the i-th call, without any handler
// having seen the stack overflow under test.
bool comparison::never_raised(size_t i) const
{
    return raise_of(s_).how == fault::stack && p_.calls[i].dispatch >= 0 &&
           p_.dispatches[p_.calls[i].dispatch].exc == exc_tested && !tested_seen();
}

// Whether the i-th call, the single step's first, never came while the
// raise point resumed, or another exception's call came instead.
bool comparison::step_missed(size_t i) const
{
    const expected_call &e = p_.calls[i];
    if (e.dispatch < 0 || p_.dispatches[e.dispatch].exc != exc_step ||
        (i > 0 && p_.calls[i - 1].dispatch == e.dispatch))
        return false;
    const size_t seen = o_.call_count < max_calls ? o_.call_count : max_calls;
    return i < seen ? o_.calls[i].exc != exc_step : o_.raise.resumed != 0;
}

// The promise that an extra call breaks: what should have ended the walk.
promise comparison::stop_promise(void) const
{
    if (p_.resume.made)
        return p_.resume.why;
    if (p_.end == situation_end::ends_process)
        return p_.exit_why;
    return p_.calls.empty() ? promise::D1 : p_.calls.back().why;
}

void comparison::calls(void)
{
    const size_t seen = o_.call_count < max_calls ? o_.call_count : max_calls;
    const size_t want = p_.calls.size();
    size_t i = 0;
    while (i < seen && i < want && same(p_.calls[i], p_, o_.calls[i]))
        ++i;
    agree_ = i;
    // Where the platform ends the process after the filter, its frame may
    // unwind the records before it first.
    size_t extra = i;
    while (p_.may_unwind_at_end && i == want && extra < seen &&
           (o_.calls[extra].flags & unwind_bits) && is_record(o_.calls[extra].node))
        ++extra;
    walk_agrees_ = i == want && extra == seen && o_.call_count <= max_calls;
    i = extra;
    if (!walk_agrees_) {
        if (i < want && step_missed(i))
            // C1: the context went on without the trap flag its continuer set.
            add(promise::C1, format("%s where the contract says %s: the context continued with "
                                    "the trap flag set ran on without a single step",
                                    i < seen ? format("the platform called %s",
                                                      call_words(o_.calls[i]).c_str())
                                                   .c_str()
                                             : ending_words().c_str(),
                                    expected_words(p_.calls[i]).c_str()));
        else if (i < want && i < seen && raise_flags_taken_for_unwind(p_.calls[i], o_.calls[i]))
            // R2: a bit of dwExceptionFlags that reached the record made the
            // handler take the first pass for an unwind.
            add(promise::R2, format("%s got flags 0x%08X, where RaiseException was given 0x%08X: "
                                    "it took the first pass for an unwind",
                                    node_name(o_.calls[i].node), o_.calls[i].flags,
                                    raise_of(s_).flags));
        else if (i < want && i < seen) {
            add(p_.calls[i].why, format("the platform called %s where the contract says %s%s",
                                        call_words(o_.calls[i]).c_str(),
                                        expected_words(p_.calls[i]).c_str(),
                                        fault_words(o_.calls[i]).c_str()));
            // D1, V1: the vectored handlers before the chain's records.
            const expected_call &e = p_.calls[i];
            const seen_call &c = o_.calls[i];
            const bool first_pass = !e.unwinding && !(c.flags & unwind_bits) && e.dispatch >= 0 &&
                                    c.exc == p_.dispatches[e.dispatch].exc;
            if (first_pass && ((is_vectored(e.node) && is_record(c.node) && e.why == promise::V1) ||
                               (is_record(e.node) && is_vectored(c.node) && e.why == promise::D1)))
                add(e.why == promise::V1 ? promise::D1 : promise::V1,
                    format("the platform called %s before %s: the vectored handlers come "
                           "before the chain's records",
                           call_words(c).c_str(), expected_words(e).c_str()));
        }
        else if (i < want && never_raised(i))
            // X9: the stack overflow never reached a handler.
            add(promise::X9, format("%s before %s: the platform raised no exception for the "
                                    "overflow",
                                    ending_words().c_str(), expected_words(p_.calls[i]).c_str()));
        else if (i < want && p_.calls[i].node == node_answerer && at_a_bound(s_) &&
                 p_.calls[i].why == promise::D1)
            // D2: the walk ended at the answering record at a bound, which
            // passes the check.
            add(promise::D2, format("%s before %s, which lies inside the stack",
                                    ending_words().c_str(), expected_words(p_.calls[i]).c_str()));
        else if (i < want)
            // A process that dies at a fault raised with the direction flag
            // set: what an emulator that enters signal handlers so causes.
            add(p_.calls[i].why,
                format("%s before %s", ending_words().c_str(), expected_words(p_.calls[i]).c_str()),
                regs_of(s_).df && p_.calls[i].why == promise::H2 &&
                    (end_.how == child_end::exited || end_.how == child_end::signalled));
        else
            add(stop_promise(), format("the platform called %s after the contract's last call%s%s",
                                       call_words(o_.calls[i]).c_str(),
                                       p_.resume.made ? ", where execution must resume" : "",
                                       fault_words(o_.calls[i]).c_str()));
    }
    pointers();
    for (size_t k = 0; k < agree_; ++k)
        call_fields(p_.calls[k], o_.calls[k]);
}

// H1, V2: every handler of a dispatch gets the same record and context;
// R8: a dispatch raised during another has a context of its own.
void comparison::pointers(void)
{
    // Each dispatch's record and context as its first frame handler got
    // them (its first handler's, when no frame handler is called).
    std::vector<uint32_t> records(p_.dispatches.size(), 0), contexts(p_.dispatches.size(), 0);
    for (int pass = 0; pass < 2; ++pass)
        for (size_t k = 0; k < agree_; ++k) {
            const expected_call &e = p_.calls[k];
            if (e.dispatch >= 0 && !e.unwinding && !records[e.dispatch] &&
                (pass == 1 || !is_vectored(e.node))) {
                records[e.dispatch] = o_.calls[k].record;
                contexts[e.dispatch] = o_.calls[k].context;
            }
        }
    for (size_t k = 0; k < agree_; ++k) {
        const expected_call &e = p_.calls[k];
        const seen_call &c = o_.calls[k];
        if (e.dispatch < 0)
            continue;
        const promise which = e.unwinding ? e.why : is_vectored(e.node) ? promise::V2 : promise::H1;
        if (records[e.dispatch] && c.record != records[e.dispatch])
            add(which, format("%s got another exception record than the other handlers",
                              call_words(c).c_str()));
        else if (!e.unwinding && c.context != contexts[e.dispatch])
            add(which, format("%s got another context than the other handlers",
                              call_words(c).c_str()));
    }
    for (size_t d = 0; d < p_.dispatches.size(); ++d) {
        const int parent = p_.dispatches[d].parent;
        if (parent >= 0 && contexts[d] && contexts[d] == contexts[parent])
            add(promise::R8, format("%s got the context of %s, during whose dispatch it was "
                                    "raised",
                                    exception_name(p_.dispatches[d].exc),
                                    exception_name(p_.dispatches[parent].exc)));
    }
}

void comparison::call_fields(const expected_call &e, const seen_call &c)
{
    const std::string who = call_words(c);
    if (!c.record_read) {
        add(e.why, format("%s got an exception record that cannot be read", who.c_str()));
        return;
    }
    if (e.unwinding) {
        // H5, N4: the unwind calls with the unwinding flag.
        if (!(c.flags & EXCEPTION_UNWINDING))
            add(e.why, format("%s got flags 0x%08X", who.c_str(), c.flags));
        return;
    }
    if (is_record(e.node)) {
        // H1: its own record, no unwind flag.
        if (c.frame != address_of(e.node))
            add(promise::H1, format("%s got %s as EstablisherFrame", who.c_str(),
                                    name_at(c.frame).c_str()));
        if (c.flags & unwind_bits)
            add(promise::H1, format("%s got flags 0x%08X in the first pass", who.c_str(),
                                    c.flags));
        // N1: the dispatcher's record at the head, in front of the head as
        // the dispatch found it.
        const expected_dispatch &d = p_.dispatches[e.dispatch];
        if (c.head == address_of(e.node) || ours(c.head))
            add(promise::N1, format("while %s ran, the head was %s, not a record of the "
                                    "dispatcher's",
                                    who.c_str(), name_at(c.head).c_str()));
        else if (d.head != node_none && c.head_next != address_of(d.head))
            add(promise::N1, format("while %s ran, the dispatcher's record at the head led to "
                                    "%s, not to %s",
                                    who.c_str(), name_at(c.head_next).c_str(),
                                    node_name(d.head)));
    }
    // N2: the nested flag from the dispatcher's record through the record
    // it names, and not elsewhere.
    if (e.nested >= 0 && ((c.flags & EXCEPTION_NESTED_CALL_FLAG) != 0) != (e.nested == 1))
        add(promise::N2, format("%s got flags 0x%08X, %s EXCEPTION_NESTED_CALL", who.c_str(),
                                c.flags, e.nested ? "without" : "with"));
    raised(e, c);
}
