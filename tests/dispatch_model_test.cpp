// dispatch-contract's situations, its model and its comparison, without a
// platform: observations are made up as a conforming platform would leave
// them, then spoiled one field at a time.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <set>
#include <string>

#include "compare.h"
#include "seh_frame.h"
#include "situations_check.h"
#include "statuses.h"

namespace {

// Where the made-up world lies.
uint32_t at(int n) { return 0x100000u + 0x10u * n; }
uint32_t record_of_dispatch(int d) { return 0x8000u + 0x100u * d; }
uint32_t context_of(int d) { return 0x200000u + 0x1000u * d; }
constexpr uint32_t raise_esp = 0x300000u, head_guard = 0x6000u, callers_at = 0x9000,
                   chained_at = 0x9100;

// What a conforming platform shows in s: every call and end as predicted.
observation *conforming(const situation &s, const prediction &p, child_end *end)
{
    static observation o;
    memset(&o, 0, sizeof o);
    for (int n = 0; n < node_count; ++n)
        o.addresses[n] = at(n);
    const raise_row &r = raise_of(s);
    seen_raise &raise = o.raise;
    raise.made = 1;
    raise.esp = raise_esp;
    raise.head_before = raise.head_after = at(tested_records(s).front());
    raise.return_site = 0x4001;
    raise.alternate_site = 0x4002;
    raise.after_site = 0x4003;
    raise.fault_site = r.how == fault::call || r.how == fault::jump ? 0x20 : 0x4004;
    raise.step_site = 0x4005;
    raise.step_next = 0x4008;
    // An x87 exception: its fwait reports it, and the processor sets its
    // flags whether or not the exception is masked.
    raise.report_site = x87_of(r.how) ? 0x4006 : raise.fault_site;
    if (const x87_row *x = x87_of(r.how))
        o.x87_masked_status = x->flags;
    o.callers_chained = chained_at;
    o.staged = 1;
    o.remove_result = 1;
    o.filter_restored = 1;
    for (const expected_call &e : p.calls) {
        seen_call &c = o.calls[o.call_count++];
        const expected_dispatch *d = e.dispatch >= 0 ? &p.dispatches[e.dispatch] : nullptr;
        c.node = e.node;
        c.exc = d ? d->exc : exc_outer;
        c.record = d ? record_of_dispatch(e.dispatch) : 0x8F00;
        c.context = d ? context_of(e.dispatch) : 0x2F0000;
        c.frame = is_record(e.node) ? at(e.node) : 0;
        c.head = head_guard;
        c.head_next = d && d->head != node_none ? at(d->head) : 0;
        c.record_read = c.context_read = 1;
        c.flags = (d ? d->flags : 0) | (e.nested == 1 ? EXCEPTION_NESTED_CALL_FLAG : 0) |
                  (e.unwinding ? EXCEPTION_UNWINDING : 0);
        // FloatSave.ErrorOffset: the x87 instruction, as a processor keeps it
        c.regs = {0x1003F, 0x4444, 0x2FF000, 1, 2, 3, 4, 5, 6, 7, 0x202, raise.fault_site};
        if (d && d->exc == exc_tested) {
            switch (r.kind) {
            case raise_kind::software:
                c.code = r.code;
                c.parameters = r.null_arguments ? 0 : r.count > 15 ? 15 : r.count;
                for (uint32_t i = 0; i < c.parameters; ++i)
                    c.params[i] = argument_value(i);
                c.address = c.regs.eip;
                break;
            case raise_kind::rtl:
                c.record = callers_at;
                c.code = r.code;
                c.chained = chained_at;
                c.parameters = r.count;
                for (uint32_t i = 0; i < r.count; ++i)
                    c.params[i] = argument_value(i);
                c.address = c.regs.eip = raise.return_site;
                c.regs.esp = raise_esp + 4;
                c.regs.ebx = sentinels.ebx;
                c.regs.esi = sentinels.esi;
                c.regs.edi = sentinels.edi;
                c.regs.ebp = sentinels.ebp;
                break;
            case raise_kind::processor:
                c.code = r.code;
                c.address = raise.fault_site;
                c.regs.eip = raise.report_site;
                c.regs.esp = raise_esp - (r.how == fault::call ? 4 : 0);
                c.regs.ebx = sentinels.ebx;
                c.regs.esi = sentinels.esi;
                c.regs.edi = sentinels.edi;
                c.regs.ebp = sentinels.ebp;
                c.regs.eflags = sentinels.eflags | 0x202 | (regs_of(s).df ? direction_flag : 0);
                c.word_at_esp = raise.after_site;
                if (r.how == fault::read || r.how == fault::write) {
                    c.parameters = 2;
                    c.params[0] = r.how == fault::write;
                    c.params[1] = inaccessible;
                } else if (r.how == fault::call || r.how == fault::jump) {
                    c.parameters = 2;
                    c.params[1] = raise.fault_site;
                }
                break;
            }
        } else if (d && d->exc == exc_step) {
            // One instruction ran, adding 1 to the EAX that the continuer left.
            c.code = single_step_code;
            c.address = c.regs.eip = raise.step_next;
            c.regs.eax = 0x600DEAAA + 1;
        } else if (d) {
            c.code = d->exc == exc_outer ? outer_code : d->exc == exc_middle ? middle_code : 0;
            if (d->chained >= 0)
                c.chained = p.dispatches[d->chained].exc == exc_tested && r.kind == raise_kind::rtl
                                ? callers_at
                                : record_of_dispatch(d->chained);
        }
        if (e.act.what == act::continues) {
            c.left_read = 1;
            c.left = c.regs;
            c.left.eax = 0x600DEAAA;
        }
    }
    const expected_resume &want = p.resume;
    if (want.made) {
        raise.resumed = static_cast<uint32_t>(want.site);
        if (want.as_left) {
            const context_fields &left = o.calls[0].left; // any: they all leave the same
            raise.eax = left.eax;
            raise.ebx = left.ebx;
            raise.ecx = left.ecx;
            raise.edx = left.edx;
            raise.esi = left.esi;
            raise.edi = left.edi;
            raise.ebp = left.ebp;
            raise.esp_after = left.esp;
            raise.eflags = left.eflags;
        } else {
            raise.esp_after = raise_esp + 16;
            raise.ebx = sentinels.ebx;
            raise.esi = sentinels.esi;
            raise.edi = sentinels.edi;
            raise.ebp = sentinels.ebp;
        }
    }
    if (p.answerer_landed) {
        o.landed = 1;
        o.head_at_landing = at(node_answerer);
    }
    o.end = static_cast<uint32_t>(p.end);
    if (p.end == situation_end::caught)
        o.caught_exc = static_cast<uint32_t>(p.dispatches[p.caught_dispatch].exc);
    *end = child_end{};
    if (p.end == situation_end::ends_process)
        *end = child_end{child_end::exited, p.exit_code & 0xFF};
    return &o;
}

// The continuer's context and the resume agree whichever call continued;
// a single step comes with the context that it left, one instruction on.
void settle(const prediction &p, observation &o)
{
    for (uint32_t k = 0; k < o.call_count; ++k)
        if (o.calls[k].left_read)
            o.calls[k].left = o.calls[0].left_read ? o.calls[0].left : o.calls[k].left;
    context_fields stepped = {};
    for (uint32_t k = 0; k < o.call_count; ++k)
        if (p.calls[k].act.step)
            stepped = o.calls[k].left;
    for (uint32_t k = 0; k < o.call_count; ++k)
        if (o.calls[k].exc == exc_step) {
            o.calls[k].regs = stepped;
            o.calls[k].regs.eax += 1;
            o.calls[k].address = o.calls[k].regs.eip = o.raise.step_next;
            if (o.calls[k].left_read) {
                o.calls[k].left = o.calls[k].regs;
                o.calls[k].left.eip = o.raise.step_next;
            }
        }
    for (uint32_t k = 0; k < o.call_count; ++k)
        if (o.calls[k].left_read && p.resume.as_left) {
            const context_fields &left = o.calls[k].left;
            o.raise.eax = left.eax;
            o.raise.ebx = left.ebx;
            o.raise.ecx = left.ecx;
            o.raise.edx = left.edx;
            o.raise.esi = left.esi;
            o.raise.edi = left.edi;
            o.raise.ebp = left.ebp;
            o.raise.esp_after = left.esp;
            o.raise.eflags = left.eflags;
        }
}

observation &made_up(const situation &s, const prediction &p, child_end *end)
{
    observation &o = *conforming(s, p, end);
    settle(p, o);
    return o;
}

situation named(const char *name)
{
    situation s;
    memset(s.v, 0, sizeof s.v);
    EXPECT_TRUE(parse_situation(dispatch_dimensions(), name, &s)) << name << " names none";
    EXPECT_TRUE(makes_sense(s)) << name;
    return s;
}

std::vector<std::string> found(const situation &s, const observation &o, const child_end &end)
{
    std::vector<std::string> out;
    const findings all = compare(s, predict(s), o, end);
    for (const finding &f : all.list())
        out.push_back(std::string(id_of(f.which)) + (f.reference ? " (differs) " : " ") + f.what);
    return out;
}

const dimensions &dims = dispatch_dimensions();

TEST(DispatchSituations, EveryOneMakesSenseAndIsFoundByItsName)
{
    EXPECT_EQ(std::vector<std::string>{}, misnamed(dims, dispatch_situations(), makes_sense));
    EXPECT_EQ(std::vector<std::string>{}, shared_value_names(dims));
}

// Every pair of values that some situation could hold is held by one of
// the list, smaller ones first, and few of them end their process, which
// costs a new one.
TEST(DispatchSituations, CoverEveryPairThatCanOccurSmallestFirst)
{
    const std::vector<situation> &all = dispatch_situations();
    EXPECT_EQ(std::vector<std::string>{}, uncovered(dims, dispatch_coverage(), all, makes_sense));
    EXPECT_EQ(std::vector<std::string>{}, out_of_order(dims, all));
    EXPECT_LE(std::count_if(all.begin(), all.end(), ends_process), 26);
}

// Every dispatcher promise that is judged at all is tried somewhere; one
// that is open never is.
TEST(DispatchSituations, TryEveryJudgedDispatcherPromise)
{
    promise_set somewhere;
    for (const situation &s : dispatch_situations())
        for (promise p : tried(s, predict(s))) {
            EXPECT_NE(judgement::open, info(p).judged) << id_of(p) << " in " << name_of(s);
            somewhere.add(p);
        }
    for (int i = 0; i < promise_count; ++i) {
        const promise p = static_cast<promise>(i);
        if (strchr("RDHNCVXF", info(p).family) && info(p).judged != judgement::open) {
            EXPECT_TRUE(somewhere.has(p)) << id_of(p) << " is never tried";
        }
    }
}

// Every call a conforming platform makes is kept, in any situation.
TEST(DispatchModel, PredictsNoMoreCallsThanAreKept)
{
    size_t most = 0;
    for (const situation &s : sample(dims, makes_sense, 3000, 5))
        most = std::max(most, predict(s).calls.size());
    for (const situation &s : dispatch_situations())
        most = std::max(most, predict(s).calls.size());
    EXPECT_LE(most, static_cast<size_t>(max_calls));
}

TEST(DispatchModel, WalksVectoredThenTheChainToTheAnswer)
{
    const prediction p = predict(named("raise/3-vectored/middle/continues/top"));
    std::vector<int> nodes;
    for (const expected_call &c : p.calls)
        nodes.push_back(c.node);
    EXPECT_EQ((std::vector<int>{node_vectored_c, node_vectored_a, node_vectored_b, node_before,
                                node_answerer}),
              nodes);
    EXPECT_TRUE(p.resume.made);
    EXPECT_EQ(promise::C2, p.resume.why);
}

// An invalid answer raises STATUS_INVALID_DISPOSITION from the head again,
// chained to the exception; the outermost record takes it.
TEST(DispatchModel, RaisesTheStatusOfAnInvalidAnswerFromTheHead)
{
    const prediction p = predict(named("raise/1-vectored/before-answers-101/continues/top"));
    ASSERT_EQ(2u, p.dispatches.size());
    EXPECT_EQ(exc_invalid_disposition, p.dispatches[1].exc);
    EXPECT_EQ(0, p.dispatches[1].chained);
    EXPECT_EQ(node_vectored_a, p.calls[2].node) << "vectored handlers first again";
    EXPECT_EQ(situation_end::caught, p.end);
    EXPECT_FALSE(p.resume.made);
}

// The nested flag is set from the dispatcher's record through the record
// it names, and cleared after it.
TEST(DispatchModel, SetsTheNestedFlagThroughTheRecordRunning)
{
    const prediction p = predict(named("raise/none-answers/continues/in-handler"));
    bool outer_nested = false;
    for (const expected_call &c : p.calls)
        if (!c.unwinding && p.dispatches[c.dispatch].exc == exc_tested) {
            if (c.node == node_outer)
                outer_nested = c.nested == 1;
            else if (c.node == node_catcher || c.node == node_before) {
                EXPECT_EQ(0, c.nested) << node_name(c.node);
            }
        }
    EXPECT_TRUE(outer_nested);
}

// A fault continued unchanged runs again (C4), then moves on.
TEST(DispatchModel, RestartsAFaultContinuedUnchanged)
{
    const prediction p = predict(named("read/first/continues/top"));
    ASSERT_EQ(2u, p.dispatches.size());
    EXPECT_EQ(0, p.dispatches[1].restart_of);
    EXPECT_EQ(resume_site::after, p.resume.site);
    EXPECT_EQ(promise::C4, p.resume.why);
    // An x87 exception's fwait, resumed without the exception pending, runs on.
    const prediction x87 = predict(named("x87-divide/first/continues/top"), x87_resume::cleared);
    ASSERT_EQ(1u, x87.dispatches.size());
    EXPECT_EQ(resume_site::after, x87.resume.site);
    EXPECT_EQ(promise::C4, x87.resume.why);
    // A noncontinuable exception continued raises C3's status instead.
    const prediction nc = predict(named("raise-nc/first/continues/top"));
    EXPECT_EQ(exc_noncontinuable, nc.dispatches.back().exc);
    EXPECT_FALSE(nc.resume.made);
}

TEST(DispatchComparison, FindsNothingInWhatAConformingPlatformDoes)
{
    for (const situation &s : dispatch_situations()) {
        const prediction p = predict(s);
        child_end end;
        const observation &o = made_up(s, p, &end);
        EXPECT_TRUE(compare(s, p, o, end).empty())
            << name_of(s) << ": " << testing::PrintToString(found(s, o, end));
    }
}

TEST(DispatchComparison, FindsNothingInAnySituationThatMakesSense)
{
    for (const situation &s : sample(dims, makes_sense, 1000, 11)) {
        const prediction p = predict(s);
        child_end end;
        const observation &o = made_up(s, p, &end);
        EXPECT_TRUE(compare(s, p, o, end).empty())
            << name_of(s) << ": " << testing::PrintToString(found(s, o, end));
    }
}

// Each spoiled field is one difference, named with its promise.
TEST(DispatchComparison, NamesEachSpoiledFieldWithItsPromise)
{
    struct spoil {
        const char *situation, *promise;
        void (*how)(observation &, child_end &);
    } const spoils[] = {
        {"code-f0abcdef/first/continues/top", "R1", [](observation &o, child_end &) { o.calls[0].code &= ~0x10000000u; }},
        {"flags-12/first/continues/top", "R2", [](observation &o, child_end &) { o.calls[0].flags = 0x20; }},
        {"raise/first/continues/top", "R3", [](observation &o, child_end &) { o.calls[0].chained = 0x1234; }},
        {"args-16/first/continues/top", "R4", [](observation &o, child_end &) { o.calls[0].parameters = 16; }},
        {"null-args/first/continues/top", "R4", [](observation &o, child_end &) { o.calls[0].parameters = 5; }},
        {"raise/first/continues/top", "R5", [](observation &o, child_end &) { o.calls[0].address += 1; }},
        {"raise/first/continues/top", "R6", [](observation &o, child_end &) { o.calls[0].regs.flags = 0x10003; }},
        {"rtl-raise/first/continues/top", "R7", [](observation &o, child_end &) { o.calls[0].regs.esp += 4; }},
        {"raise/first/continues/top", "R8", [](observation &o, child_end &) { o.calls[0].context = 0x400000; }},
        {"raise/1-vectored/first/continues/top", "V2", [](observation &o, child_end &) { o.calls[0].context += 8; }},
        {"raise/middle/continues/top", "H1", [](observation &o, child_end &) { o.calls[1].frame = at(node_after); }},
        {"raise/middle/continues/top", "N1", [](observation &o, child_end &) { o.calls[1].head = at(node_answerer); }},
        {"raise/middle/continues/top", "D1", [](observation &o, child_end &) { o.calls[0].node = node_after; }},
        {"raise/first/sets-ebx/top", "C1", [](observation &o, child_end &) { o.raise.ebx ^= 1; }},
        {"raise/first/continues/top", "C2", [](observation &o, child_end &) { o.raise.esp_after -= 4; }},
        {"raise/first/continues/top", "D3", [](observation &o, child_end &) { o.raise.head_after = 0x1; }},
        {"read/first/continues/top", "X2", [](observation &o, child_end &) { o.calls[0].params[1] = 0; }},
        {"write/first/sets-eax/top", "X3", [](observation &o, child_end &) { o.calls[0].params[0] = 0; }},
        {"call-bad/first/sets-eax/top", "X4", [](observation &o, child_end &) { o.calls[0].word_at_esp = 0; }},
        {"int3/first/sets-eax/top", "X1", [](observation &o, child_end &) { o.calls[0].regs.ebx = 0; }},
        {"ud2/first/sets-eax/top", "H2", [](observation &o, child_end &) { o.calls[0].eflags_at_entry |= direction_flag; }},
        {"raise/first/unwinds/top", "H5", [](observation &o, child_end &) { o.head_at_landing = 0; }},
        {"raise/vectored-removed/first/continues/top", "V4", [](observation &o, child_end &) { o.remove_again_result = 1; }},
        {"raise/none-answers/continues/top/filter-executes", "F2", [](observation &, child_end &e) { e.code = 0; }},
        {"raise/none-answers/continues/top/filter-executes", "F3", [](observation &o, child_end &) { o.filter_restored = 2; }},
        {"raise/off-stack/continues/top", "F4", [](observation &, child_end &e) { e.code = 0x62; }},
        // The record at StackLimit refused, or bounds that hold no stack.
        {"raise/at-limit/continues/top", "D2", [](observation &o, child_end &e) { o.call_count = 0; e = child_end{child_end::exited, 0x61}; }},
        {"raise/base-8/continues/top", "D2", [](observation &o, child_end &) { o.wrong_limit = 0x2000; o.wrong_base = 0x1000; }},
        {"raise/first/continues/in-handler", "N3", [](observation &o, child_end &) { o.outer_changed = outer_context_changed; }},
        {"raise/first/continues/8-threads", "D5", [](observation &o, child_end &) { strcpy(o.threads_difference, "a thread broke R1"); }},
        // A kept unwind bit makes the handler take the first pass for an unwind.
        {"flags-12/first/continues/top", "R2", [](observation &o, child_end &) { o.calls[0].flags = 0x12; }},
        {"flags-12/1-vectored/first/continues/top", "R2", [](observation &o, child_end &) { o.calls[0].flags = 0x12; }},
        {"raise/3-vectored-add-remove/first/continues/top", "V8", [](observation &o, child_end &) { o.in_call_remove_failed = 1; }},
        {"raise/1-vectored/first/continues/8-threads", "V8", [](observation &o, child_end &) { o.threads_missed = 1; }},
        {"raise/first/continues/8-threads", "D5", [](observation &o, child_end &) { o.threads_missed = 1; }},
        {"raise/first/unwinds/top", "N6", [](observation &o, child_end &) { o.unwind_asked = 1; o.unwind_answer = ExceptionNestedException; }},
        {"raise/first/sets-tf/top", "X8", [](observation &o, child_end &) { o.calls[1].address = o.calls[1].regs.eip = o.raise.step_site; }},
        {"raise/first/sets-tf/top", "C1", [](observation &o, child_end &) { o.calls[1].regs.eax -= 1; }},
        {"stack-overflow/first/unwinds/new-thread", "X9", [](observation &o, child_end &e) { o.call_count = 0; e = child_end{child_end::exited, 0xFD}; }},
        {"raise/first/sets-tf/top", "C1", [](observation &o, child_end &) { o.call_count = 1; }},
    };
    for (const spoil &one : spoils) {
        const situation s = named(one.situation);
        const prediction p = predict(s);
        child_end end;
        observation &o = made_up(s, p, &end);
        one.how(o, end);
        const std::vector<std::string> all = found(s, o, end);
        ASSERT_EQ(1u, all.size()) << one.situation << " " << one.promise << ": "
                                  << testing::PrintToString(all);
        EXPECT_EQ(one.promise, all[0].substr(0, all[0].find(' '))) << one.situation << ": " << all[0];
    }
}

// A platform that takes the record at StackBase - 4 for a good one calls
// the word beyond the stack as its handler: the line says so.
TEST(DispatchComparison, NamesTheWordBeyondTheStackThatThePlatformCalled)
{
    const situation s = named("raise/base-4/continues/top");
    const prediction p = predict(s);
    child_end end;
    observation &o = made_up(s, p, &end);
    o.handler_word_read = 1;
    o.handler_word = 0x464C457Fu;
    seen_call &fault = o.calls[o.call_count++];
    fault = o.calls[0];
    fault.exc = exc_other;
    fault.code = access_violation;
    fault.address = o.handler_word;
    const std::vector<std::string> all = found(s, o, end);
    ASSERT_EQ(1u, all.size()) << testing::PrintToString(all);
    EXPECT_NE(std::string::npos,
              all[0].find("D2 the platform called record 1 with an "
                          "exception no situation raises after the contract's last call: it "
                          "called 0x464C457F, the word at StackBase, as the handler of the "
                          "record at StackBase - 4, and faulted there (0xC0000005)"))
        << all[0];
}

// The trap flag left set by a continuer raises a single step at the
// instruction after the stepped site's one, which its taker moves past.
TEST(DispatchModel, ContinuesWithTheTrapFlagIntoASingleStep)
{
    const prediction p = predict(named("read/first/sets-tf/top"));
    ASSERT_EQ(2u, p.dispatches.size()) << "no restart: the continuer moved Eip";
    EXPECT_EQ(exc_step, p.dispatches[1].exc);
    EXPECT_EQ(promise::X8, p.dispatches[1].why);
    EXPECT_TRUE(p.calls[0].act.step);
    EXPECT_TRUE(p.calls[1].act.past_step);
    EXPECT_EQ(1, p.resume.dispatch);
    EXPECT_EQ(resume_site::after, p.resume.site);
    EXPECT_EQ(promise::C1, p.resume.why);
}

// The vectored calls of an exception raised in a vectored handler are
// there only if no lock is held during its call.
TEST(DispatchModel, PutsTheVectoredCallsOfARaiseInAVectoredHandlerUnderV8)
{
    const prediction p = predict(named("raise/1-vectored/first/continues/in-vectored"));
    int tested = 0;
    for (const expected_call &c : p.calls)
        if (is_vectored(c.node) && p.dispatches[c.dispatch].exc == exc_tested) {
            EXPECT_EQ(promise::V8, c.why) << node_name(c.node);
            ++tested;
        } else if (is_vectored(c.node)) {
            EXPECT_EQ(promise::V1, c.why) << node_name(c.node);
        }
    EXPECT_EQ(2, tested);
}

// A frame record called where a vectored handler is due breaks the order
// that D1 and V1 both state; a record called instead of another is D1's.
TEST(DispatchComparison, NamesTheVectoredOrderUnderD1AndV1)
{
    const situation s = named("raise/1-vectored/first/continues/top");
    const prediction p = predict(s);
    child_end end;
    observation &o = made_up(s, p, &end);
    std::swap(o.calls[0], o.calls[1]);
    const findings all = compare(s, p, o, end);
    EXPECT_TRUE(all.has(promise::D1));
    EXPECT_TRUE(all.has(promise::V1));
    EXPECT_EQ(2u, all.list().size());
}

// Where Wine runs under qemu-user a single step comes as a breakpoint one
// byte back: the emulator's, a difference.
TEST(DispatchComparison, NamesASingleStepReportedAsABreakpointAsTheEmulators)
{
    const situation s = named("raise/first/sets-tf/top");
    const prediction p = predict(s);
    child_end end;
    observation &o = made_up(s, p, &end);
    o.calls[1].code = 0x80000003u;
    o.calls[1].address = o.calls[1].regs.eip = o.raise.step_next - 1;
    const findings all = compare(s, p, o, end);
    ASSERT_EQ(1u, all.list().size());
    EXPECT_EQ(promise::X8, all.list()[0].which);
    EXPECT_TRUE(all.list()[0].reference);
}

// Wine chains nothing to the dispatcher's statuses: one source says it
// must, so that is a difference, not a deviation.
TEST(DispatchComparison, JudgesAStatusWithoutItsChainedRecordAsDiffering)
{
    const situation s = named("raise/first/answers-3/top");
    const prediction p = predict(s);
    child_end end;
    observation &o = made_up(s, p, &end);
    for (uint32_t k = 0; k < o.call_count; ++k)
        if (o.calls[k].exc == exc_invalid_disposition)
            o.calls[k].chained = 0;
    const findings all = compare(s, p, o, end);
    ASSERT_EQ(1u, all.list().size());
    EXPECT_EQ(promise::H4, all.list()[0].which);
    EXPECT_TRUE(all.list()[0].reference);
}

// What an emulator whose signal frames carry no trap number makes Wine
// report is named as the emulator's and judged as a difference.
TEST(DispatchComparison, NamesTheEmulatorsDeviationAsADifference)
{
    const situation s = named("read/first/continues/top");
    const prediction p = predict(s);
    child_end end;
    observation &o = made_up(s, p, &end);
    for (uint32_t k = 0; k < o.call_count; ++k)
        o.calls[k].code = 0xC000001Du;
    const findings all = compare(s, p, o, end);
    ASSERT_EQ(1u, all.list().size());
    EXPECT_EQ(promise::X2, all.list()[0].which);
    EXPECT_TRUE(all.list()[0].reference);
    EXPECT_NE(std::string::npos, all.list()[0].what.find("qemu-user"));
}

// A raise that could not be made with little stack left is not judged as
// one that was: the check says why, and nothing else.
TEST(DispatchComparison, NamesARaiseWithLittleStackLeftThatCouldNotBeMade)
{
    const situation s = named("raise/little-stack/first/continues/top");
    const prediction p = predict(s);
    child_end end;
    observation &o = made_up(s, p, &end);
    o.floor_missed = 1;
    o.floor = 0x00401000u;
    const findings all = compare(s, p, o, end);
    ASSERT_EQ(1u, all.list().size());
    EXPECT_EQ(promise::D2, all.list()[0].which);
    EXPECT_NE(std::string::npos, all.list()[0].what.find("0x00401000"));
}

// An x87 exception: a processor that sets no flag for the operation, or
// that goes on past the fwait with the exception pending, cannot try X10
// (qemu-i386): the emulator's, a difference, and nothing else of the
// situation is judged. A platform that reports the fwait, or took the
// exception and went on without a handler, deviates; an address of 0 is
// the emulator's only where the context's FloatSave kept none either.
TEST(DispatchComparison, JudgesX10OnlyWhereTheProcessorRaisesTheException)
{
    const situation s = named("x87-divide/1-vectored/first/continues/top");
    const prediction p = predict(s);
    struct spoil {
        const char *what;
        bool differs;
        void (*how)(observation &);
    } const spoils[] = {
        {"does not set the zero-divide flag", true, [](observation &o) { o.x87_masked_status = 0x3800; }},
        {"went on past the fwait", true,
         [](observation &o) {
             o.call_count = 0;
             o.raise.x87_status = 0xB084;
         }},
        {"the raise point resumed before", false, [](observation &o) { o.call_count = 0; }},
        {"where the x87 instruction that raised it", false,
         [](observation &o) { o.calls[0].address = o.raise.report_site; }},
        {"QEMU's FXSAVE stores none", true,
         [](observation &o) {
             o.calls[0].address = 0;
             o.calls[0].regs.error_offset = 0;
         }},
        {"where the x87 instruction that raised it", false,
         [](observation &o) {
             o.calls[0].address = 0;
             o.calls[0].regs.error_offset = o.raise.fault_site;
         }},
    };
    for (const spoil &one : spoils) {
        child_end end;
        observation &o = made_up(s, p, &end);
        one.how(o);
        const findings all = compare(s, p, o, end);
        ASSERT_FALSE(all.empty()) << one.what;
        const finding &first = all.list()[0];
        EXPECT_NE(std::string::npos, first.what.find(one.what)) << first.what;
        EXPECT_EQ(one.differs, first.reference) << first.what;
        if (one.differs) {
            EXPECT_EQ(promise::X10, first.which) << first.what;
            EXPECT_EQ(1u, all.list().size()) << first.what;
        }
    }
}

// Where the platform resumes a continued x87 exception without it pending,
// the situation is judged by what follows then, and that alone differs;
// a fault that is not the x87's must come again.
TEST(DispatchComparison, JudgesAnX87FwaitThatRanOnAsDiffering)
{
    for (const char *name :
         {"x87-divide/first/continues/top", "x87-divide/first/continues/in-handler",
          "x87-divide/first/continues/in-vectored"}) {
        const situation s = named(name);
        child_end end;
        observation &o = made_up(s, predict(s, x87_resume::cleared), &end);
        o.raise.x87_status = 0x3000;
        const findings ran_on = compare(s, predict(s), o, end);
        ASSERT_EQ(1u, ran_on.list().size())
            << name << ": " << testing::PrintToString(found(s, o, end));
        EXPECT_EQ(promise::C4, ran_on.list()[0].which) << name;
        EXPECT_TRUE(ran_on.list()[0].reference) << name;
        EXPECT_NE(std::string::npos, ran_on.list()[0].what.find("went on past the fwait"))
            << ran_on.list()[0].what;
        // What else the platform did wrong is still a deviation.
        for (uint32_t k = 0; k < o.call_count; ++k)
            if (o.calls[k].exc == exc_tested)
                o.calls[k].address = o.raise.report_site;
        const findings spoiled = compare(s, predict(s), o, end);
        EXPECT_TRUE(spoiled.has(promise::X10)) << name;
        EXPECT_TRUE(spoiled.has(promise::C4)) << name;
        // One that raises it again is held to the reference, whatever else
        // it does wrong.
        observation &again = made_up(s, predict(s), &end);
        again.raise.eax ^= 1;
        const findings wrong = compare(s, predict(s), again, end);
        ASSERT_FALSE(wrong.empty()) << name;
        EXPECT_FALSE(wrong.list()[0].reference) << wrong.list()[0].what;
        EXPECT_NE(std::string::npos, wrong.list()[0].what.find("EAX")) << wrong.list()[0].what;
    }
    const situation read = named("read/first/continues/top");
    child_end end;
    observation &o = made_up(read, predict(read), &end);
    o.call_count = 1;
    const findings once = compare(read, predict(read), o, end);
    ASSERT_FALSE(once.empty());
    EXPECT_EQ(promise::C4, once.list()[0].which);
    EXPECT_FALSE(once.list()[0].reference);
}

} // namespace
