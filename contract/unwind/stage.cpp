// A situation's world, built in the frames of the functions that run it, so
// that records lie on the stack at rising addresses as a program's nested
// frames would put them: the tested records in the frame of the function
// that calls RtlUnwind, those of an unwind the call is made from in its
// caller's.
#include "stage.h"

#include <string.h>

#include <array>
#include <atomic>
#include <stdio.h>
#include <utility>

#include "meeting.h"
#include "peek.h"
#include "process.h"
#include "progress.h"
#include "registers.h"
#include "seh_frame.h"
#include "stack_bounds.h"
#include "stack_edge.h"
#include "statuses.h"

namespace {

// The state of the situation that a thread runs.
struct run_state {
    const situation *s;
    const prediction *p;
    observation *obs;
    uint32_t leave = 0;         // run_escapable's frame: the way out
    int roles[role_count];      // the calls of RtlUnwind under way, innermost last
    int depth = 0;
    bool outer_done = false, middle_done = false, acted = false;
    bool called[role_count][node_count] = {};
    overwritten odd_kept{}; // what the odd record overwrote on the stack
    uint32_t records_at = 0; // where r1 lies: the others follow it
    void (*at_actor)(run_state &) = nullptr; // the 8-thread run's meeting point
    void *meeting = nullptr;
};

thread_local run_state *current = nullptr;
thread_local unwind_call *current_call = nullptr;

EXCEPTION_REGISTRATION_RECORD static_record; // the odd record off the stack
EXCEPTION_RECORD chained_record;             // chained by the caller's record

uint32_t node_address(const observation &o, int n)
{
    return n == node_end ? SEH_CHAIN_END : o.addresses[n];
}

// The node whose record lies at addr, or node_none.
int node_at(const run_state &r, uint32_t addr)
{
    if (r.records_at && addr >= r.records_at && addr < r.records_at + 8 * most_above &&
        (addr - r.records_at) % 8 == 0)
        return static_cast<int>((addr - r.records_at) / 8);
    for (int n = node_target; n < node_count; ++n)
        if (n != node_end && r.obs->addresses[n] == addr && addr != 0)
            return n;
    return node_none;
}

uint32_t observe(int node, void *record, void *frame, void *context, void *dispatcher);

// Each record's handler. A platform may call it with the direction flag
// that a handler before left set: it is cleared first, so that what the
// handler reads and notes is not copied backwards.
template <int N>
uint32_t observer(void *record, void *frame, void *context, void *dispatcher)
{
    __asm__ volatile("cld" : : : "memory");
    return observe(N, record, frame, context, dispatcher);
}

template <int... N>
std::array<PEXCEPTION_ROUTINE, sizeof...(N)> observers_of(std::integer_sequence<int, N...>)
{
    return {SEH_HANDLER(observer<N>)...};
}

const auto observers = observers_of(std::make_integer_sequence<int, node_guard_outer>());

PEXCEPTION_ROUTINE handler_of(const run_state &r, int node)
{
    if (node == r.p->actor && change_of(*r.s).what == field::live_df)
        return SEH_HANDLER(handler_leaving_df);
    return observers[node];
}

void note_call(run_state &r, int node, int role, void *record, void *frame, void *context,
               void *dispatcher)
{
    observation &o = *r.obs;
    const uint32_t index = o.call_count++;
    if (index >= max_calls)
        return;
    seen_call &c = o.calls[index];
    c = seen_call{};
    c.node = node;
    c.role = role;
    c.frame = seh_addr(frame);
    c.record = seh_addr(record);
    c.context = seh_addr(context);
    c.dispatcher = seh_addr(dispatcher);
    c.head = get_seh_frame();
    c.stale = node_none;
    note_progress();
    // The chain from the head to the record, as far as it stays on the
    // stack: on a conforming platform, the platform's record and then it.
    uint32_t at = c.head;
    for (int steps = 0; steps < 256 && word_aligned(at) && on_stack(at, 8); ++steps) {
        const uint32_t next = *reinterpret_cast<const uint32_t *>(static_cast<uintptr_t>(at));
        if (steps == 0)
            c.head_next = next;
        const int n = node_at(r, at);
        if (n == node) {
            c.self_linked = 1;
            break;
        }
        if (n != node_none && role >= 0 && r.called[role][n] && c.stale == node_none)
            c.stale = n;
        at = next;
    }
    if (role >= 0)
        r.called[role][node] = true;
    uint32_t header[20];
    if (peek(c.record, header, sizeof header)) {
        c.record_read = 1;
        c.code = header[0];
        c.flags = header[1];
        c.chained = header[2];
        c.address = header[3];
        c.parameters = header[4];
        memcpy(c.params, &header[5], sizeof c.params);
    }
    c.context_read = read_context(c.context, &c.regs);
}

[[noreturn]] void leave(run_state &r) { escape_to(r.leave); }

// Calls RtlUnwind for `role`, to the node `target` (node_none: null).
void unwind(run_state &r, int role, int target, uint32_t record)
{
    observation &o = *r.obs;
    seen_unwind &u = o.unwinds[role];
    const call_values &v = values_of(role);
    unwind_call &c = u.call;
    c.target_frame = target == node_none ? 0 : node_address(o, target);
    c.target_ip = seh_addr(target_ip_landing);
    c.record = record;
    c.return_value = v.return_value;
    c.eax = v.eax;
    c.ebx = v.ebx;
    c.esi = v.esi;
    c.edi = v.edi;
    c.eflags = v.eflags;
    u.return_site = seh_addr(unwind_return_site);
    u.alternate_site = seh_addr(unwind_alternate_site);
    u.made = 1;
    r.roles[r.depth++] = role;
    c.outer = current_call;
    current_call = &c;
    call_rtl_unwind(&c);
    current_call = c.outer;
    --r.depth;
    u.how = seen_unwind::returned;
    u.head_after = get_seh_frame();
    if (record)
        u.flags_after = reinterpret_cast<const EXCEPTION_RECORD *>(record)->ExceptionFlags;
}

// The world of the call under test, in this frame: the record under the
// head, the records above the target, the misaligned record's room, the
// target, the record under it and the unlinked one, at rising addresses.
struct tested_world {
    EXCEPTION_REGISTRATION_RECORD below;
    EXCEPTION_REGISTRATION_RECORD records[most_above];
    alignas(4) unsigned char misaligned[12];
    EXCEPTION_REGISTRATION_RECORD target, floor, unlinked;
    EXCEPTION_RECORD callers;
};

uint32_t odd_address(const run_state &r, tested_world &w)
{
    const odd_row &odd = odd_of(*r.s);
    switch (odd.from) {
    case edge::none: return 0;
    case edge::data: return seh_addr(&static_record);
    case edge::word: return seh_addr(&w.misaligned[odd.offset]);
    case edge::limit:
    case edge::base: return bound_address(odd.from, odd.offset);
    }
    return 0;
}

bool at_a_bound(const situation &s) { return at_a_bound(odd_of(s).from); }

// Writes what of the odd record lies where the check may write: the whole
// record on the stack or in its own data, only the half inside the stack
// for one across a bound, nothing outside. What it overwrites on the stack
// is put back when the situation ends.
void write_odd(run_state &r)
{
    observation &o = *r.obs;
    const situation &s = *r.s;
    const uint32_t at = o.addresses[node_odd];
    const uint32_t words[2] = {node_address(o, next_of(s, node_odd)),
                               seh_addr(reinterpret_cast<void *>(handler_of(r, node_odd)))};
    // The Handler of a record across or beyond a bound is whatever lies
    // there (the check writes at most its Next): what a platform that calls
    // it calls.
    uint32_t word;
    if (at_a_bound(s) && !word_on_stack(at + 4) && read_memory(at + 4, &word, 4)) {
        o.handler_word_read = 1;
        o.handler_word = word;
    }
    write_record(at, words, at_a_bound(s), r.odd_kept);
}

void link(run_state &r, int n)
{
    observation &o = *r.obs;
    auto *record = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD *>(
        static_cast<uintptr_t>(node_address(o, n)));
    record->Next = seh_record(node_address(o, next_of(*r.s, n)));
    record->Handler = handler_of(r, n);
}

// T2: the bounds describe the calling thread's own stack: a local of its
// lies within them, its creator's (if any) does not, and they reach no
// further than the stack that the system maps for the thread.
uint32_t bounds_fault(uint32_t creators_local)
{
    uint32_t local = 0;
    if (stack_limit() >= stack_base())
        return bounds_inverted;
    if (!on_stack(seh_addr(&local), 4))
        return bounds_miss_local;
    if (creators_local && on_stack(creators_local, 4))
        return bounds_hold_creator;
    if (bounds_reach_beyond_stack())
        return bounds_beyond_stack;
    return thread_fine;
}

// The caller's exception record, as its row says.
uint32_t fill_callers(observation &o, const record_row &row, EXCEPTION_RECORD &callers)
{
    callers.ExceptionCode = callers_code;
    callers.ExceptionFlags = row.flags;
    callers.ExceptionRecord = row.chained ? &chained_record : nullptr;
    callers.ExceptionAddress = reinterpret_cast<void *>(callers_address);
    callers.NumberParameters = row.parameters;
    for (uint32_t i = 0; i < 15; ++i)
        callers.ExceptionInformation[i] = i < row.parameters ? callers_parameter(i) : 0;
    o.callers_record = seh_addr(&callers);
    o.chained_record = row.chained ? seh_addr(&chained_record) : 0;
    return o.callers_record;
}

void stage_tested(run_state &r)
{
    const situation &s = *r.s;
    observation &o = *r.obs;
    tested_world w;
    memset(&w, 0, sizeof w);
    r.records_at = seh_addr(&w.records[0]);
    for (int i = 0; i < most_above; ++i)
        o.addresses[node_above + i] = seh_addr(&w.records[i]);
    o.addresses[node_target] = seh_addr(&w.target);
    o.addresses[node_target_misaligned] = seh_addr(&w.target) + 2;
    o.addresses[node_floor] = seh_addr(&w.floor);
    o.addresses[node_unlinked] = seh_addr(&w.unlinked);
    o.addresses[node_below] = seh_addr(&w.below);
    o.addresses[node_odd] = odd_address(r, w);
    if (place_of(s).kind == place_kind::handler)
        o.addresses[node_guard_outer] = get_seh_frame();
    if (place_of(s).kind == place_kind::handler_2)
        o.addresses[node_guard_middle] = get_seh_frame();
    for (int i = 0; i < above_of(s).records; ++i)
        link(r, node_above + i);
    for (int n : {node_target, node_floor, node_unlinked, node_below})
        link(r, n);
    // A record at a bound of the stack means nothing when the bounds are
    // not the thread's: that is all there is to see then.
    if (at_a_bound(s) && !o.bounds_fault)
        o.bounds_fault = bounds_fault(0);
    if (at_a_bound(s) && o.bounds_fault)
        leave(r);
    const bool at_limit = odd_of(s).from == edge::limit;
    if (at_limit) {
        o.bounds_fault = bounds_unreachable; // what stays seen if a touch there ends the process
        grow_stack_to(stack_limit());
    }
    if (odd_of(s).from != edge::none)
        write_odd(r);
    if (at_limit)
        o.bounds_fault = thread_fine;
    const uint32_t record = record_of(s).own ? 0 : fill_callers(o, record_of(s), w.callers);
    o.staged = 1;
    set_seh_frame(node_address(o, head_of(s, role_tested)));
    unwind(r, role_tested, r.p->unwinds[role_tested].target, record);
}

// The unwinds that the call is made from: their records in the frame of
// the function that starts them.
struct outer_world {
    EXCEPTION_REGISTRATION_RECORD records[3];
};

void stage_outer(run_state &r, int role)
{
    observation &o = *r.obs;
    outer_world w;
    const int first = role == role_outer ? node_outer : node_middle;
    for (int i = 0; i < 3; ++i)
        o.addresses[first + i] = seh_addr(&w.records[i]);
    if (role == role_middle)
        o.addresses[node_guard_outer] = get_seh_frame();
    if (odd_of(*r.s).from == edge::base && odd_of(*r.s).good)
        o.addresses[node_odd] = bound_address(edge::base, odd_of(*r.s).offset);
    for (int i = 0; i < 3; ++i)
        link(r, first + i);
    set_seh_frame(node_address(o, first));
    unwind(r, role, first + 2, 0);
}

// Asks the platform's record at the head, as a nested unwind would, which
// record its unwind is working on (W5): it must answer
// ExceptionCollidedUnwind and name `running`. Not asked when the head is a
// record of the check's (W4 tells that).
void ask_the_head(run_state &r, int role, int running)
{
    observation &o = *r.obs;
    const uint32_t head = get_seh_frame();
    if (!word_aligned(head) || !on_stack(head, 8) || node_at(r, head) != node_none)
        return;
    EXCEPTION_RECORD nested = {};
    nested.ExceptionCode = STATUS_UNWIND;
    nested.ExceptionFlags = EXCEPTION_UNWINDING;
    uint32_t context[256] = {}; // room for any CONTEXT
    uint32_t named = 0;
    auto *guard = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD *>(static_cast<uintptr_t>(head));
    observation::ask &a = o.asks[role];
    a.running = node_address(o, running);
    a.answer = reinterpret_cast<uint32_t (*)(void *, void *, void *, void *)>(guard->Handler)(
        &nested, guard, context, &named);
    a.named = named;
    a.made = 1;
}

// The handler of the actor: it makes its situation's change, then answers
// as its situation says.
uint32_t act(run_state &r, void *context, void *dispatcher)
{
    const situation &s = *r.s;
    if (r.at_actor)
        r.at_actor(r);
    if (change_of(s).what != field::none)
        r.obs->context_changed =
            change_context(seh_addr(context), change_of(s), r.obs->unwinds[role_tested].alternate_site);
    const answer_row &answer = answer_of(s);
    switch (answer.kind) {
    case answer_kind::search: return ExceptionContinueSearch;
    case answer_kind::collided: {
        const uint32_t name = node_address(*r.obs, named_node(s, r.p->actor, node_none));
        uint32_t slot;
        if (peek(seh_addr(dispatcher), &slot, 4))
            *static_cast<uint32_t *>(dispatcher) = name;
        return ExceptionCollidedUnwind;
    }
    case answer_kind::invalid: return answer.value;
    case answer_kind::nests:
        ask_the_head(r, role_tested, r.p->actor);
        unwind(r, role_nested, r.p->unwinds[role_nested].target, 0);
        leave(r);
    }
    return ExceptionContinueSearch;
}

uint32_t observe(int node, void *record, void *frame, void *context, void *dispatcher)
{
    run_state *r = current;
    if (!r)
        return ExceptionContinueSearch;
    const int role = r->depth > 0 ? r->roles[r->depth - 1] : -1;
    note_call(*r, node, role, record, frame, context, dispatcher);
    if (r->obs->call_count > 4 * max_calls) {
        r->obs->runaway = 1;
        leave(*r);
    }
    if (role == role_outer && node == node_outer && !r->outer_done) {
        r->outer_done = true;
        ask_the_head(*r, role_outer, node_outer);
        if (place_of(*r->s).kind == place_kind::handler_2)
            stage_outer(*r, role_middle);
        else
            stage_tested(*r);
        leave(*r);
    }
    if (role == role_middle && node == node_middle && !r->middle_done) {
        r->middle_done = true;
        ask_the_head(*r, role_middle, node_middle);
        stage_tested(*r);
        leave(*r);
    }
    if (role == role_tested && node == r->p->actor && !r->acted) {
        r->acted = true;
        return act(*r, context, dispatcher);
    }
    return ExceptionContinueSearch;
}

void start(void *p)
{
    run_state &r = *static_cast<run_state *>(p);
    if (r.p->unwinds[role_outer].made)
        stage_outer(r, role_outer);
    else
        stage_tested(r);
}

// Runs s on this thread, its world alone on the chain.
void run_here(const situation &s, const prediction &p, observation &obs,
              void (*at_actor)(run_state &) = nullptr, void *meeting = nullptr)
{
    run_state r;
    r.s = &s;
    r.p = &p;
    r.obs = &obs;
    r.at_actor = at_actor;
    r.meeting = meeting;
    run_state *const outer = current;
    current = &r;
    const uint32_t head = get_seh_frame();
    set_seh_frame(SEH_CHAIN_END);
    if (run_escapable(start, &r, &r.leave))
        for (seen_unwind &u : obs.unwinds)
            if (u.made && u.how == seen_unwind::running)
                u.how = seen_unwind::left;
    set_seh_frame(head);
    put_back(r.odd_kept);
    current_call = nullptr;
    current = outer;
}

// A new thread's first chain (T1): empty, or records of the platform's own
// thread start on its own stack, ending in the end marker.
uint32_t first_chain_fault(uint32_t main_record)
{
    uint32_t at = get_seh_frame();
    for (int steps = 0; at != SEH_CHAIN_END; ++steps) {
        if (at == 0)
            return first_head_null;
        if (at == main_record)
            return first_head_main_record;
        if (steps == 8 || !word_aligned(at) || !on_stack(at, 8))
            return first_head_off_stack;
        at = *reinterpret_cast<const uint32_t *>(static_cast<uintptr_t>(at));
    }
    return thread_fine;
}

struct thread_run {
    const situation *s;
    const prediction *p;
    observation *obs;
    uint32_t main_record;
    uint32_t creators_local;
};

void on_new_thread(int, void *arg)
{
    thread_run &t = *static_cast<thread_run *>(arg);
    t.obs->on_thread = 1;
    t.obs->first_head_fault = first_chain_fault(t.main_record);
    t.obs->bounds_fault = bounds_fault(t.creators_local);
    run_here(*t.s, *t.p, *t.obs);
}

uint32_t main_handler(void *, void *, void *, void *) { return ExceptionContinueSearch; }

// The main thread keeps a record installed while the new thread runs, so
// that a chain shared between threads shows.
void run_on_new_thread(const situation &s, const prediction &p, observation &obs)
{
    EXCEPTION_REGISTRATION_RECORD mine = {seh_record(get_seh_frame()), SEH_HANDLER(main_handler)};
    set_seh_frame(seh_addr(&mine));
    const uint32_t below = seh_addr(mine.Next);
    uint32_t local = 0;
    thread_run t = {&s, &p, &obs, seh_addr(&mine), seh_addr(&local)};
    if (!run_threads(1, on_new_thread, &t))
        obs.main_chain_fault = thread_not_started;
    else if (get_seh_frame() != seh_addr(&mine))
        obs.main_chain_fault = main_head_changed;
    else if (seh_addr(mine.Next) != below)
        obs.main_chain_fault = main_record_relinked;
    set_seh_frame(below);
}

// 8 threads run the situation over many rounds, meeting in the actor's
// handler so that their unwinds run at once. The situation runs alone on a
// new thread first: that is what one thread sees. Each round is handed to
// the caller's judge of rounds, which holds it to what the lone run broke
// (T3); the records and contexts that each thread's actor got are kept.
struct threads_run {
    const situation *s;
    const prediction *p;
    observation *obs;
    round_judge judge;
    meeting_point<thread_count> start, actor, end;
    std::atomic<bool> told{false};
    std::atomic<bool> missed{false};
};

struct threads_meeting {
    threads_run *t;
    int index, round;
};

void meet_at_actor(run_state &r)
{
    auto &m = *static_cast<threads_meeting *>(r.meeting);
    const observation &o = *r.obs;
    if (o.call_count > 0 && o.call_count <= max_calls) {
        const seen_call &c = o.calls[o.call_count - 1];
        m.t->obs->round_records[m.round][m.index] = c.record;
        m.t->obs->round_contexts[m.round][m.index] = c.context;
    }
    if (!m.t->actor.meet())
        m.t->missed = true;
}

void on_thread_of_eight(int index, void *arg)
{
    threads_run &t = *static_cast<threads_run *>(arg);
    observation *mine = new observation;
    // Each thread's bounds, as the lone run looked at its own: bounds that
    // are not the thread's make the rest mean nothing. (Its first chain is
    // the lone run's to judge: with a chain shared between threads it
    // holds whatever the others have at the moment.)
    const uint32_t bounds = bounds_fault(0);
    for (int round = 0; round < rounds; ++round) {
        memset(mine, 0, offsetof(observation, calls));
        mine->on_thread = 1;
        mine->first_head_fault = t.obs->first_head_fault;
        mine->bounds_fault = bounds;
        threads_meeting m = {&t, index, round};
        t.start.meet();
        run_here(*t.s, *t.p, *mine, meet_at_actor, &m);
        const std::string found = t.judge(*mine);
        bool expected = false;
        if (!found.empty() && t.told.compare_exchange_strong(expected, true))
            snprintf(t.obs->threads_difference, sizeof t.obs->threads_difference, "%s",
                     found.c_str());
        t.end.meet();
    }
    delete mine;
}

void run_on_eight_threads(const situation &s, const prediction &p, observation &obs,
                          round_judge_maker judge)
{
    run_on_new_thread(s, p, obs);
    if (obs.main_chain_fault == thread_not_started)
        return;
    threads_run t;
    t.s = &s;
    t.p = &p;
    t.obs = &obs;
    t.judge = judge(s, p, obs);
    if (!run_threads(thread_count, on_thread_of_eight, &t))
        obs.main_chain_fault = thread_not_started;
    obs.threads_missed = t.missed;
}

} // namespace

extern "C" unwind_call *unwind_returned(const uint32_t *saved)
{
    unwind_call *c = current_call;
    c->ret_ebp = saved[0];
    c->ret_edi = saved[1];
    c->ret_esi = saved[2];
    c->ret_ebx = saved[3];
    c->ret_edx = saved[4];
    c->ret_ecx = saved[5];
    c->ret_eax = saved[6];
    c->site = saved[7];
    c->ret_eflags = saved[8];
    c->esp_after = seh_addr(saved) + 36;
    return c;
}

extern "C" uint32_t observe_actor(void *record, void *frame, void *context, void *dispatcher)
{
    return observe(current->p->actor, record, frame, context, dispatcher);
}

extern "C" void arrived_at_target_ip(void)
{
    if (seen_unwind *u = unwind_in_progress())
        u->how = seen_unwind::at_target_ip;
    escape_to(way_out());
}

seen_unwind *unwind_in_progress(void)
{
    run_state *r = current;
    if (!r || r->depth == 0)
        return nullptr;
    return &r->obs->unwinds[r->roles[r->depth - 1]];
}

uint32_t way_out(void) { return current ? current->leave : 0; }

void run_situation(const situation &s, observation &obs, round_judge_maker judge)
{
    const prediction p = predict(s);
    switch (place_of(s).kind) {
    case place_kind::thread: run_on_new_thread(s, p, obs); break;
    case place_kind::threads: run_on_eight_threads(s, p, obs, judge); break;
    default: run_here(s, p, obs); break;
    }
}
