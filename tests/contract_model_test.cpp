// The contract program's situations, its model and its comparison, without
// a platform: observations are made up as a conforming platform would
// leave them, then spoiled one field at a time.
#include <gtest/gtest.h>

#include <string.h>

#include <set>
#include <string>

#include "compare.h"
#include "seh_frame.h"
#include "situations_check.h"
#include "statuses.h"

namespace {

// Where the made-up world lies.
uint32_t at(int n) { return n == node_end ? SEH_CHAIN_END : 0x100000u + 0x10u * n; }
constexpr uint32_t callers_at = 0x9000, chained_at = 0x9100;
uint32_t own_record(int role) { return 0x6000u + 0x40u * role; }
uint32_t context_of(int role) { return 0x7000u + 0x400u * role; }

// What a conforming platform shows in s: every call and end as predicted.
observation *conforming(const situation &s, const prediction &p)
{
    static observation o;
    memset(&o, 0, sizeof o);
    for (int n = 0; n < node_count; ++n)
        o.addresses[n] = at(n);
    o.addresses[node_target_misaligned] = at(node_target) + 2;
    const record_row &given = record_of(s);
    o.callers_record = callers_at;
    o.chained_record = given.chained ? chained_at : 0;
    o.staged = 1;
    o.context_changed = 1;
    for (int role = 0; role < role_count; ++role) {
        const unwind_plan &plan = p.unwinds[role];
        seen_unwind &u = o.unwinds[role];
        if (!plan.made)
            continue;
        u.made = 1;
        u.call.esp_at_call = 0x2000u + 0x100u * role;
        u.call.ebp_at_call = 0x3000u + 0x100u * role;
        u.call.eflags_at_call = values_of(role).eflags | 0x202u;
        u.return_site = 0x4000u + role;
        u.alternate_site = 0x5000u + role;
    }
    for (const expected_call &e : p.calls) {
        seen_call &c = o.calls[o.call_count++];
        const unwind_plan &plan = p.unwinds[e.role];
        const seen_unwind &u = o.unwinds[e.role];
        const call_values &v = values_of(e.role);
        c.node = e.node;
        c.role = e.role;
        c.frame = at(e.node);
        c.record = plan.own_record ? own_record(e.role) : callers_at;
        c.context = context_of(e.role);
        c.head = at(guard_of(e.role));
        c.head_next = at(e.node);
        c.self_linked = 1;
        c.stale = node_none;
        c.record_read = 1;
        c.code = plan.own_record ? STATUS_UNWIND : callers_code;
        c.flags = plan.flags;
        c.chained = plan.own_record ? 0 : o.chained_record;
        c.address = plan.own_record ? u.return_site : callers_address;
        c.parameters = plan.own_record ? 0 : given.parameters;
        for (uint32_t i = 0; !plan.own_record && i < given.parameters; ++i)
            c.params[i] = callers_parameter(i);
        c.context_read = 1;
        auto changed = [&](field f, uint32_t was) {
            return after_change(s, f, e.changed, was, u.alternate_site);
        };
        c.regs = {0x10007,
                  changed(field::eip, u.return_site),
                  changed(field::esp, u.call.esp_at_call + 16),
                  changed(field::eax, v.return_value),
                  changed(field::ebx, v.ebx),
                  changed(field::ecx, 0x0C0C0C0C),
                  changed(field::edx, 0x0D0D0D0D),
                  changed(field::esi, v.esi),
                  changed(field::edi, v.edi),
                  changed(field::ebp, u.call.ebp_at_call),
                  changed(field::eflags, u.call.eflags_at_call)};
    }
    for (int role = 0; role < role_count; ++role) {
        const expected_end &e = p.ends[role];
        seen_unwind &u = o.unwinds[role];
        const call_values &v = values_of(role);
        const bool own = p.unwinds[role].own_record;
        auto changed = [&](field f, uint32_t was) {
            return after_change(s, f, e.changed, was, u.alternate_site);
        };
        switch (e.how) {
        case ending::none: break;
        case ending::abandoned: u.how = seen_unwind::left; break;
        case ending::returns:
            u.how = seen_unwind::returned;
            u.call.site = e.changed && change_of(s).what == field::eip ? 2 : 1;
            u.call.ret_eax = changed(field::eax, v.return_value);
            u.call.ret_ebx = changed(field::ebx, v.ebx);
            u.call.ret_ecx = changed(field::ecx, 0x0C0C0C0C);
            u.call.ret_edx = changed(field::edx, 0x0D0D0D0D);
            u.call.ret_esi = changed(field::esi, v.esi);
            u.call.ret_edi = changed(field::edi, v.edi);
            u.call.ret_ebp = changed(field::ebp, u.call.ebp_at_call);
            u.call.esp_after = changed(field::esp, u.call.esp_at_call + 16);
            u.call.ret_eflags = changed(field::eflags, u.call.eflags_at_call);
            u.head_after = at(e.head_after);
            u.flags_after = p.unwinds[role].flags;
            break;
        case ending::raises: {
            const uint32_t code = e.record_itself ? (own ? STATUS_UNWIND : callers_code) : e.status;
            u.how = seen_unwind::raised;
            u.code = code;
            u.raised_record = e.record_itself ? (own ? own_record(role) : callers_at) : 0x8800;
            u.flags = 1;
            u.chained = own ? own_record(role) : callers_at;
            u.chained_read = 1;
            u.chained_code = own ? STATUS_UNWIND : callers_code;
            break;
        }
        }
    }
    if (p.unwinds[role_nested].made)
        o.asks[role_tested] = {1, ExceptionCollidedUnwind, at(p.actor), at(p.actor)};
    if (p.unwinds[role_outer].made)
        o.asks[role_outer] = {1, ExceptionCollidedUnwind, at(node_outer), at(node_outer)};
    const place_kind where = place_of(s).kind;
    if (where == place_kind::thread || where == place_kind::threads)
        o.on_thread = 1;
    for (int round = 0; round < rounds; ++round)
        for (int t = 0; t < thread_count && where == place_kind::threads; ++t) {
            o.round_records[round][t] = 0x10000000u + 0x1000u * t;
            o.round_contexts[round][t] = 0x20000000u + 0x1000u * t;
        }
    return &o;
}

situation named(const char *name)
{
    situation s;
    memset(s.v, 0, sizeof s.v);
    EXPECT_TRUE(parse_situation(unwind_dimensions(), name, &s)) << name << " names no situation";
    EXPECT_TRUE(makes_sense(s)) << name;
    return s;
}

// The findings, as "PROMISE what".
std::vector<std::string> found(const situation &s, const observation &o, child_end end = {})
{
    std::vector<std::string> out;
    const findings all = compare(s, predict(s), o, end);
    for (const finding &f : all.list())
        out.push_back(std::string(id_of(f.which)) + (f.reference ? " (differs) " : " ") + f.what);
    return out;
}

// The one promise found, which must be the only one.
std::string only_promise(const situation &s, const observation &o, child_end end = {})
{
    const std::vector<std::string> all = found(s, o, end);
    EXPECT_EQ(1u, all.size()) << testing::PrintToString(all);
    return all.empty() ? "" : all[0].substr(0, all[0].find(' '));
}

const dimensions &dims = unwind_dimensions();

TEST(Situations, EveryOneMakesSenseAndIsFoundByItsName)
{
    EXPECT_EQ(std::vector<std::string>{}, misnamed(dims, unwind_situations(), makes_sense));
    EXPECT_EQ(std::vector<std::string>{}, shared_value_names(dims));
    situation none;
    EXPECT_FALSE(parse_situation(dims, "3-above/to-record/own/continues/nowhere", &none));
    EXPECT_FALSE(parse_situation(dims, "3-above//to-record/own/continues/top", &none));
    EXPECT_FALSE(parse_situation(dims, "3-above/to-record/own/continues/top/top", &none));
}

// Every combination of values of an interaction's dimensions that some
// situation could hold is held by one of the list.
TEST(Situations, CoverEveryCombinationThatCanOccur)
{
    EXPECT_EQ(std::vector<std::string>{},
              uncovered(dims, unwind_coverage(), unwind_situations(), makes_sense));
}

TEST(Situations, TryEveryUnwindPromiseSomewhere)
{
    promise_set tried_somewhere;
    for (const situation &s : unwind_situations())
        for (promise p : tried(s, predict(s)))
            tried_somewhere.add(p);
    for (int i = 0; i < promise_count; ++i) {
        const promise p = static_cast<promise>(i);
        if (strchr("UWET", info(p).family)) {
            EXPECT_TRUE(tried_somewhere.has(p)) << id_of(p) << " is never tried";
        }
    }
}

TEST(Situations, RunSmallestFirst)
{
    EXPECT_EQ(std::vector<std::string>{}, out_of_order(dims, unwind_situations()));
    EXPECT_EQ("1-above/to-record/own/continues/top", name_of(unwind_situations()[0]));
}

TEST(Model, WalksNewestFirstToTheTargetAndReturns)
{
    const prediction p = predict(named("3-above/to-record/own/continues/top"));
    ASSERT_EQ(3u, p.calls.size());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(node_above + i, p.calls[i].node);
    EXPECT_EQ(ending::returns, p.ends[role_tested].how);
    EXPECT_EQ(node_target, p.ends[role_tested].head_after);
    const prediction longest = predict(named("1100-above/to-record/own/continues/top"));
    EXPECT_EQ(1100u, longest.calls.size());
}

TEST(Model, RaisesWhereTheContractSays)
{
    const prediction passed = predict(named("1-above/passed-over/own/continues/top"));
    EXPECT_EQ(STATUS_INVALID_UNWIND_TARGET, passed.ends[role_tested].status);
    EXPECT_EQ(node_floor, passed.ends[role_tested].at);
    const prediction exit = predict(named("0-above/exit/own/collides/top"));
    EXPECT_TRUE(exit.ends[role_tested].record_itself);
    ASSERT_EQ(1u, exit.calls.size()) << "the record named by the collided answer is passed over";
    EXPECT_EQ(EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND, exit.unwinds[role_tested].flags);
    // Every 32 bits of a disposition count: a value whose low byte is
    // ExceptionContinueSearch is none.
    EXPECT_EQ(STATUS_INVALID_DISPOSITION,
              predict(named("1-above/to-record/own/answers-101/top")).ends[role_tested].status);
    // A target two bytes into a record is passed over: the walk raises at
    // the record beyond it, after calling that record's handler.
    const prediction misaligned = predict(named("0-above/to-misaligned/own/continues/top"));
    ASSERT_EQ(1u, misaligned.calls.size());
    EXPECT_EQ(node_target, misaligned.calls[0].node);
    EXPECT_EQ(STATUS_INVALID_UNWIND_TARGET, misaligned.ends[role_tested].status);
}

// A collided answer goes on from the record it names, whichever that is:
// the records up to it are taken off unasked.
TEST(Model, GoesOnFromTheRecordACollidedAnswerNames)
{
    const prediction skip = predict(named("3-above/to-record/own/collides-past-next/top"));
    ASSERT_EQ(1u, skip.calls.size());
    EXPECT_EQ(ending::returns, skip.ends[role_tested].how);
    const prediction past = predict(named("3-above/exit/own/collides-past-target/top"));
    EXPECT_TRUE(past.ends[role_tested].record_itself);
    const prediction target = predict(named("3-above/to-record/own/collides-to-target/top"));
    EXPECT_EQ(STATUS_INVALID_UNWIND_TARGET, target.ends[role_tested].status);
}

// The model says what the caller of RtlUnwind gets after each change the
// actor makes to the context: E5's values, not E1's, even for the
// direction flag.
TEST(Model, HandsTheCallerWhatTheActorChanged)
{
    for (const char *change : {"sets-esp", "sets-ebp", "sets-esi", "flips-df", "sets-ecx"}) {
        const situation s = named((std::string("1-above/to-record/own/continues/") + change +
                                   "/top").c_str());
        const prediction p = predict(s);
        EXPECT_TRUE(p.ends[role_tested].changed) << change;
        EXPECT_TRUE(compare(s, p, *conforming(s, p), child_end{}).empty()) << change;
    }
    const situation df = named("1-above/to-record/own/continues/flips-df/top");
    const prediction p = predict(df);
    observation &cleared = *conforming(df, p);
    cleared.unwinds[role_tested].call.ret_eflags &= ~direction_flag;
    EXPECT_EQ("E5", only_promise(df, cleared));
}

TEST(Comparison, FindsNothingInWhatAConformingPlatformDoes)
{
    for (const situation &s : unwind_situations()) {
        const prediction p = predict(s);
        const observation &o = *conforming(s, p);
        EXPECT_TRUE(compare(s, p, o, child_end{}).empty())
            << name_of(s) << ": " << testing::PrintToString(found(s, o));
    }
}

// The model is right where no generated situation looks: a conforming
// platform passes every situation drawn from all that make sense.
TEST(Comparison, FindsNothingInAnySituationThatMakesSense)
{
    for (const situation &s : sample(dims, makes_sense, 2000, 7)) {
        const prediction p = predict(s);
        const observation &o = *conforming(s, p);
        EXPECT_TRUE(compare(s, p, o, child_end{}).empty())
            << name_of(s) << ": " << testing::PrintToString(found(s, o));
    }
}

// Each spoiled observation is one difference, named with its promise.
TEST(Comparison, NamesTheFirstDifferenceWithItsPromise)
{
    const situation s = named("3-above/to-record/own/continues/top");
    const prediction p = predict(s);
    auto spoiled = [&](void (*spoil)(observation &)) {
        observation &o = *conforming(s, p);
        spoil(o);
        return only_promise(s, o);
    };
    EXPECT_EQ("W1", spoiled([](observation &o) { // the head record skipped
        for (uint32_t i = 1; i < o.call_count; ++i)
            o.calls[i - 1] = o.calls[i];
        --o.call_count;
    }));
    EXPECT_EQ("U1", spoiled([](observation &o) { // the target's handler called too
        o.calls[o.call_count] = o.calls[o.call_count - 1];
        o.calls[o.call_count].node = node_target;
        ++o.call_count;
    }));
    EXPECT_EQ("W7", spoiled([](observation &o) { // a handler called twice
        o.calls[o.call_count] = o.calls[o.call_count - 1];
        ++o.call_count;
    }));
    EXPECT_EQ("U6", spoiled([](observation &o) { o.calls[1].flags = 0; }));
    EXPECT_EQ("W4", spoiled([](observation &o) { o.calls[1].frame = at(node_guard_tested); }));
    EXPECT_EQ("W8", spoiled([](observation &o) { o.calls[0].context = 0; }));
    EXPECT_EQ("U4", spoiled([](observation &o) { o.calls[2].record = 0x8888; }));
    EXPECT_EQ("E1", spoiled([](observation &o) { o.unwinds[role_tested].call.esp_after -= 4; }));
    EXPECT_EQ("E1", spoiled([](observation &o) { o.unwinds[role_tested].call.ret_edi ^= 1; }));
    EXPECT_EQ("E5", spoiled([](observation &o) { o.unwinds[role_tested].call.ret_eflags ^= 1; }));
    EXPECT_EQ("W2", spoiled([](observation &o) { // refused where nothing was wrong
        o.call_count = 0;
        o.unwinds[role_tested].how = seen_unwind::raised;
        o.unwinds[role_tested].code = STATUS_BAD_STACK;
    }));
    EXPECT_EQ("T2", spoiled([](observation &o) { o.bounds_fault = bounds_beyond_stack; }));
}

// What a caller's record holds, every field and parameter of it, reaches
// the handlers unchanged.
TEST(Comparison, HoldsTheCallersRecordFieldByField)
{
    const situation s = named("3-above/to-record/callers-full/continues/top");
    const prediction p = predict(s);
    observation &high_flags = *conforming(s, p);
    high_flags.calls[1].flags &= 0xFF;
    EXPECT_EQ("U5", only_promise(s, high_flags));
    observation &last_parameter = *conforming(s, p);
    last_parameter.calls[2].params[14] ^= 1;
    EXPECT_EQ("U5", only_promise(s, last_parameter));
}

// A walk that ignores the record a collided answer names and calls the
// handler it was to pass over breaks W6.
TEST(Comparison, BlamesAWalkThatIgnoresTheNamedRecordOnW6)
{
    const situation s = named("3-above/to-record/own/collides-past-next/top");
    const prediction p = predict(s);
    observation &o = *conforming(s, p);
    o.calls[1] = o.calls[0];
    o.calls[1].node = node_above + 1;
    o.call_count = 2;
    EXPECT_EQ("W6", only_promise(s, o));
}

// A stack that cannot reach StackLimit leaves a record there unwritten:
// the situation says so, and claims nothing of the promises it did not try.
TEST(Comparison, ReportsASituationThatCouldNotBeStagedAndNothingElse)
{
    const situation s = named("0-above/at-limit/exit/own/nests-past-next/top");
    const prediction p = predict(s);
    observation &o = *conforming(s, p);
    o.bounds_fault = bounds_unreachable;
    const findings all = compare(s, p, o, child_end{});
    ASSERT_EQ(1u, all.list().size());
    EXPECT_EQ(promise::T2, all.list()[0].which);
    EXPECT_TRUE(all.list()[0].unstaged);
    EXPECT_NE(std::string::npos, all.list()[0].what.find("could not grow down to StackLimit"));
}

TEST(Comparison, TellsRaisesApart)
{
    const situation exit = named("0-above/exit/own/collides/top");
    const prediction p = predict(exit);
    observation &returned = *conforming(exit, p);
    returned.unwinds[role_tested].how = seen_unwind::returned;
    returned.unwinds[role_tested].head_after = SEH_CHAIN_END;
    const std::vector<std::string> all = found(exit, returned);
    ASSERT_EQ(1u, all.size());
    EXPECT_EQ(0u, all[0].find("E3 ")) << all[0];
    EXPECT_EQ(result::differs, checks_of(tried(exit, p), compare(exit, p, returned, {}))
                                   .back()
                                   .is)
        << "E3 rests on one source: a platform that returns differs";

    const situation answers = named("3-above/to-record/callers/answers-ffffffff/top");
    const prediction q = predict(answers);
    observation &continuable = *conforming(answers, q);
    continuable.unwinds[role_tested].flags = 0;
    EXPECT_EQ("E4", only_promise(answers, continuable));
    observation &other_status = *conforming(answers, q);
    other_status.unwinds[role_tested].code = STATUS_BAD_STACK;
    EXPECT_EQ("W6", only_promise(answers, other_status));
}

// A child that hangs in the middle of a walk is a deviation of the promise
// the walk was trying, named as a hang.
TEST(Comparison, ReportsAHangAsTheDeviationItInterrupted)
{
    const situation s = named("3-above/to-record/own/continues/top");
    const prediction p = predict(s);
    observation &o = *conforming(s, p);
    o.call_count = 1;
    o.unwinds[role_tested].how = seen_unwind::running;
    const std::vector<std::string> all = found(s, o, child_end{child_end::hung, child_end::no_progress});
    ASSERT_EQ(1u, all.size());
    EXPECT_EQ(0u, all[0].find("W1 it hung")) << all[0];
}

TEST(Comparison, BlamesACollisionOnThePlatformsRecordAlone)
{
    const situation s = named("3-above/to-record/own/nests-past-next/top");
    const prediction p = predict(s);
    observation &o = *conforming(s, p);
    o.asks[role_tested].named = at(node_above + 1);
    // and the nested walk goes astray after it
    o.call_count = 1;
    EXPECT_EQ("W5", only_promise(s, o));
}

// A promise the table calls open is never judged; one that rests on one
// source is judged "differs".
TEST(Promises, TheTableSaysHowEachIsJudged)
{
    EXPECT_EQ(judgement::one_source, info(promise::E3).judged);
    EXPECT_EQ(judgement::open, info(promise::V6).judged);
    promise p;
    EXPECT_TRUE(promise_named("X10", &p));
    EXPECT_EQ(promise::X10, p);
    EXPECT_FALSE(promise_named("W9", &p));
    findings one;
    one.add(promise::W1, "first");
    one.add(promise::W1, "second");
    ASSERT_EQ(1u, one.list().size());
    EXPECT_EQ("first", one.list()[0].what);
}

} // namespace
