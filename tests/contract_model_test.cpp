// The contract program's situations, its model and its comparison, without
// a platform: observations are made up as a conforming platform would
// leave them, then spoiled one field at a time.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "compare.h"
#include "seh_frame.h"
#include "statuses.h"

namespace {

// Where the made-up world lies.
uint32_t at(int n) { return n == node_end ? SEH_CHAIN_END : 0x10000u + 0x10u * n; }
constexpr uint32_t callers_at = 0x9000, chained_at = 0x9100;
uint32_t own_record(int role) { return 0x6000u + 0x40u * role; }
uint32_t context_of(int role) { return 0x7000u + 0x400u * role; }

// What a conforming platform shows in s: every call and end as predicted.
observation conforming(const situation &s, const prediction &p, bool raises)
{
    observation o{};
    for (int n = 0; n < node_count; ++n)
        o.addresses[n] = at(n);
    o.callers_record = callers_at;
    o.chained_record = chained_at;
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
        c.chained = plan.own_record ? 0 : chained_at;
        c.address = plan.own_record ? u.return_site : callers_address;
        c.parameters = plan.own_record ? 0 : 2;
        c.param0 = plan.own_record ? 0 : callers_param0;
        c.param1 = plan.own_record ? 0 : callers_param1;
        c.context_read = 1;
        c.regs = {0x10007,
                  e.changes & 4 ? u.alternate_site : u.return_site,
                  u.call.esp_at_call + 16,
                  e.changes & 1 ? changed_eax : v.return_value,
                  e.changes & 2 ? changed_ebx : v.ebx,
                  v.esi,
                  v.edi,
                  u.call.ebp_at_call,
                  u.call.eflags_at_call ^ (e.changes & 8 ? flipped_flags : 0)};
    }
    for (int role = 0; role < role_count; ++role) {
        const expected_end &e = p.ends[role];
        seen_unwind &u = o.unwinds[role];
        const call_values &v = values_of(role);
        const bool own = p.unwinds[role].own_record;
        switch (e.how) {
        case ending::none: break;
        case ending::abandoned: u.how = seen_unwind::left; break;
        case ending::returns:
            u.how = seen_unwind::returned;
            u.call.site = e.eip_changed ? 2 : 1;
            u.call.ret_eax = e.eax_changed ? changed_eax : v.return_value;
            u.call.ret_ebx = e.ebx_changed ? changed_ebx : v.ebx;
            u.call.ret_esi = v.esi;
            u.call.ret_edi = v.edi;
            u.call.ret_ebp = u.call.ebp_at_call;
            u.call.esp_after = u.call.esp_at_call + 16;
            u.call.ret_eflags = u.call.eflags_at_call ^ (e.eflags_flipped ? flipped_flags : 0);
            u.head_after = at(e.head_after);
            u.flags_after = callers_flags | p.unwinds[role].flags;
            break;
        case ending::raises: {
            const uint32_t code = e.record_itself ? (own ? STATUS_UNWIND : callers_code) : e.status;
            if (!raises) {
                u.how = seen_unwind::ended;
                u.code = (code & 0xFF) ? code & 0xFF : 0xFF;
                break;
            }
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
    if (s.where == place::thread || s.where == place::threads)
        o.on_thread = 1;
    return o;
}

situation named(const char *name)
{
    situation s = {};
    EXPECT_TRUE(parse_situation(name, &s)) << name << " names no situation";
    EXPECT_TRUE(makes_sense(s)) << name;
    return s;
}

// The findings, as "PROMISE what".
std::vector<std::string> found(const situation &s, const observation &o, bool raises = true)
{
    std::vector<std::string> out;
    for (const finding &f : compare(s, predict(s), o, raises))
        out.push_back(std::string(f.promise) + (f.reference ? " (differs) " : " ") + f.what);
    return out;
}

// The one promise found, which must be the only one.
std::string only_promise(const situation &s, const observation &o, bool raises = true)
{
    const std::vector<std::string> all = found(s, o, raises);
    EXPECT_EQ(1u, all.size()) << testing::PrintToString(all);
    return all.empty() ? "" : all[0].substr(0, 2);
}

TEST(Situations, EveryOneMakesSenseAndIsFoundByItsName)
{
    std::set<std::string> names;
    for (const situation &s : all_situations()) {
        EXPECT_TRUE(makes_sense(s)) << name_of(s);
        EXPECT_TRUE(names.insert(name_of(s)).second) << name_of(s) << " twice";
        situation back;
        ASSERT_TRUE(situation_named(name_of(s), &back));
        EXPECT_TRUE(back == s);
    }
    situation none;
    EXPECT_FALSE(parse_situation("3-above/to-record/own/continues/nowhere", &none));
    EXPECT_FALSE(parse_situation("3-above//to-record/own/continues/top", &none));
}

// Every pair of values of two dimensions that some situation could hold is
// held by one of the list.
TEST(Situations, CoverEveryPairOfDimensionsThatCanOccur)
{
    const int sizes[] = {4, 9, 6, 2, 14, 5};
    auto value = [](const situation &s, int d) {
        const int v[] = {static_cast<int>(s.above), static_cast<int>(s.extra),
                         static_cast<int>(s.to),    static_cast<int>(s.record),
                         static_cast<int>(s.act),   static_cast<int>(s.where)};
        return v[d];
    };
    std::set<std::vector<int>> possible, held;
    for (int i = 0; i < 4 * 9 * 6 * 2 * 14 * 5; ++i) {
        int v[6];
        int rest = i;
        for (int d = 5; d >= 0; --d) {
            v[d] = rest % sizes[d];
            rest /= sizes[d];
        }
        const situation s = {static_cast<depth>(v[0]),    static_cast<odd>(v[1]),
                             static_cast<target>(v[2]),   static_cast<supplied>(v[3]),
                             static_cast<action>(v[4]),   static_cast<place>(v[5])};
        if (!makes_sense(s))
            continue;
        for (int a = 0; a < 6; ++a)
            for (int b = a + 1; b < 6; ++b)
                possible.insert({a, v[a], b, v[b]});
    }
    for (const situation &s : all_situations())
        for (int a = 0; a < 6; ++a)
            for (int b = a + 1; b < 6; ++b)
                held.insert({a, value(s, a), b, value(s, b)});
    for (const auto &pair : possible)
        EXPECT_TRUE(held.count(pair)) << "dimension " << pair[0] << " = " << pair[1]
                                      << " with dimension " << pair[2] << " = " << pair[3];
}

TEST(Situations, TryEveryPromiseSomewhere)
{
    std::set<std::string> tried_somewhere;
    for (const situation &s : all_situations())
        for (const char *promise : tried(s, predict(s)))
            tried_somewhere.insert(promise);
    for (int i = 0; i < promise_count; ++i)
        EXPECT_TRUE(tried_somewhere.count(promises[i])) << promises[i] << " is never tried";
}

TEST(Model, WalksNewestFirstToTheTargetAndReturns)
{
    const prediction p = predict(named("3-above/to-record/own/continues/top"));
    ASSERT_EQ(3u, p.calls.size());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(node_above + i, p.calls[i].node);
    EXPECT_EQ(ending::returns, p.ends[role_tested].how);
    EXPECT_EQ(node_target, p.ends[role_tested].head_after);
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
}

TEST(Comparison, FindsNothingInWhatAConformingPlatformDoes)
{
    for (const situation &s : all_situations())
        for (bool raises : {false, true}) {
            const prediction p = predict(s);
            EXPECT_TRUE(compare(s, p, conforming(s, p, raises), raises).empty())
                << name_of(s) << (raises ? " (raising)" : "") << ": "
                << testing::PrintToString(found(s, conforming(s, p, raises), raises));
        }
}

// Each spoiled observation is one difference, named with its promise.
TEST(Comparison, NamesTheFirstDifferenceWithItsPromise)
{
    const situation s = named("3-above/to-record/own/continues/top");
    const prediction p = predict(s);
    auto spoiled = [&](void (*spoil)(observation &)) {
        observation o = conforming(s, p, true);
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
    EXPECT_EQ("E5", spoiled([](observation &o) { o.unwinds[role_tested].call.ret_eflags ^= 1; }));
    EXPECT_EQ("W2", spoiled([](observation &o) { // refused where nothing was wrong
        o.call_count = 0;
        o.unwinds[role_tested].how = seen_unwind::raised;
        o.unwinds[role_tested].code = STATUS_BAD_STACK;
    }));
    EXPECT_EQ("T2", spoiled([](observation &o) { o.bounds_fault = bounds_beyond_stack; }));
}

// A stack that cannot reach StackLimit leaves a record there unwritten:
// the situation says so, and claims nothing of the promises it did not try.
TEST(Comparison, ReportsASituationThatCouldNotBeStagedAndNothingElse)
{
    const situation s = named("0-above/at-limit/exit/own/nests-past-next/top");
    const prediction p = predict(s);
    observation o = conforming(s, p, false);
    o.bounds_fault = bounds_unreachable;
    const std::vector<finding> all = compare(s, p, o, false);
    ASSERT_EQ(1u, all.size());
    EXPECT_STREQ("T2", all[0].promise);
    EXPECT_TRUE(all[0].unstaged);
    EXPECT_NE(std::string::npos, all[0].what.find("could not grow down to StackLimit"));
}

TEST(Comparison, TellsRaisesApartOnEachTarget)
{
    const situation exit = named("0-above/exit/own/collides/top");
    const prediction p = predict(exit);
    observation returned = conforming(exit, p, true);
    returned.unwinds[role_tested].how = seen_unwind::returned;
    returned.unwinds[role_tested].head_after = SEH_CHAIN_END;
    const std::vector<std::string> all = found(exit, returned);
    ASSERT_EQ(1u, all.size());
    EXPECT_EQ(0u, all[0].find("E3 (differs)")) << all[0] << ": reference behaviour only";

    const situation answers = named("3-above/to-record/callers/answers-ffffffff/top");
    const prediction q = predict(answers);
    observation continuable = conforming(answers, q, true);
    continuable.unwinds[role_tested].flags = 0;
    EXPECT_EQ("E4", only_promise(answers, continuable));
    observation other_exit = conforming(answers, q, false);
    other_exit.unwinds[role_tested].code = 0x28;
    EXPECT_EQ("W6", only_promise(answers, other_exit, false));
}

TEST(Comparison, BlamesACollisionOnThePlatformsRecordAlone)
{
    const situation s = named("3-above/to-record/own/nests-past-next/top");
    const prediction p = predict(s);
    observation o = conforming(s, p, true);
    o.asks[role_tested].named = at(node_above + 1);
    // and the nested walk goes astray after it
    o.call_count = 1;
    EXPECT_EQ("W5", only_promise(s, o));
}

} // namespace
