// Compares a situation's observation with the model's prediction. The
// platform's records that the check asked come first, then the handler
// calls, call by call: the first call that is not the predicted one is the
// one difference of the walk, named with the promise that its place in the
// walk concerns, and nothing after it is judged but what it cannot have
// caused (the fields of the calls before it). Then how each call of
// RtlUnwind ended, then the threads.
#include "comparison.h"

#include "registers.h"
#include "seh_frame.h"

findings comparison::run(void)
{
    // Bounds that are not the thread's: the walk's checks of records
    // against them mean nothing, and neither does a record at a bound; the
    // situation is not staged, and only that is reported.
    if (o_.bounds_fault) {
        threads();
        found_.mark_unstaged();
        return found_;
    }
    if (!asked() && !calls())
        for (int role = role_tested; role < role_count; ++role)
            end(role);
    threads();
    return found_;
}

uint32_t comparison::address_of(int n) const
{
    return n == node_end ? SEH_CHAIN_END : o_.addresses[n];
}

// The node of the world whose record lies at addr, or node_none: the
// records above the target, which lie one after the other, found at once.
int comparison::node_at(uint32_t addr) const
{
    const uint32_t first = o_.addresses[node_above];
    if (addr >= first && addr < first + 8u * most_above && (addr - first) % 8 == 0)
        return node_above + static_cast<int>((addr - first) / 8);
    for (int n = node_above + most_above; n < node_count; ++n)
        if (n != node_end && o_.addresses[n] == addr && addr != 0)
            return n;
    return node_none;
}

// The name of whatever lies at addr: a record of the world, the platform's
// record of an unwind (as its handlers saw it at the head), the end marker,
// null, or an address of nothing the check knows.
std::string comparison::name_at(uint32_t addr) const
{
    if (addr == 0)
        return "null";
    if (addr == SEH_CHAIN_END)
        return "the end marker";
    const int n = node_at(addr);
    if (n != node_none)
        return name(n);
    for (uint32_t i = 0; i < o_.call_count && i < max_calls; ++i)
        if (o_.calls[i].head == addr && o_.calls[i].role >= 0)
            return format("the platform's record of the %s", role_name(o_.calls[i].role));
    return format("0x%08X, which is no record of the check's", addr);
}

bool comparison::ours_at(uint32_t addr) const
{
    const int n = node_at(addr);
    return n != node_none && !is_guard(n);
}

std::vector<promise> tried(const situation &s, const prediction &p)
{
    promise_set has;
    bool calls = false, walk_calls = false;
    for (const expected_call &c : p.calls) {
        calls = true;
        walk_calls |= c.role == role_tested || c.role == role_nested;
        if (p.unwinds[c.role].own_record)
            has.add(promise::U4);
    }
    for (int role : {role_tested, role_nested}) {
        const unwind_plan &u = p.unwinds[role];
        const expected_end &e = p.ends[role];
        if (!u.made)
            continue;
        if (u.target == node_none)
            has.add(promise::U2);
        if (e.how == ending::returns) {
            has.add(promise::U3);
            has.add(promise::E1);
            has.add(promise::E5);
            has.add(u.target == node_end ? promise::E2 : promise::U1);
        }
        if (e.how == ending::raises)
            has.add(e.record_itself ? promise::E3 : promise::E4);
        if (e.how == ending::raises && !e.record_itself)
            has.add(e.which);
    }
    if (!record_of(s).own)
        has.add(promise::U5);
    if (calls) {
        has.add(promise::U6);
        has.add(promise::W4);
        has.add(promise::W7);
        has.add(promise::W8);
    }
    if (walk_calls)
        has.add(promise::W1);
    // W2 where the walk meets the odd record: it raises there, or calls a
    // good one's handler.
    for (const expected_call &c : p.calls)
        if (c.node == node_odd)
            has.add(promise::W2);
    for (const expected_end &e : p.ends)
        if (e.how == ending::raises && e.which == promise::W2)
            has.add(promise::W2);
    if (p.collision)
        has.add(promise::W5);
    if (answer_of(s).kind == answer_kind::collided || answer_of(s).kind == answer_kind::invalid)
        has.add(promise::W6);
    const place_kind where = place_of(s).kind;
    if (where == place_kind::thread || where == place_kind::threads) {
        has.add(promise::T1);
        has.add(promise::T2);
    }
    if (at_a_bound(odd_of(s).from))
        has.add(promise::T2);
    if (where == place_kind::threads)
        has.add(promise::T3);
    std::vector<promise> out;
    for (int k = 0; k < promise_count; ++k)
        if (has.has(static_cast<promise>(k)))
            out.push_back(static_cast<promise>(k));
    return out;
}

findings compare(const situation &s, const prediction &p, const observation &o,
                 const child_end &end)
{
    return comparison(s, p, o, end).run();
}
