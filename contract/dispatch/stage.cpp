// A situation's world, built in the frames of the functions that run it, so
// that records lie on the stack at rising addresses as a program's nested
// frames would put them: the tested records in the frame of the function
// that raises, those of the place it is raised from in their callers'.
#include "stage.h"

#include <string.h>

#include <array>
#include <atomic>
#include <utility>

#include "behaviour.h"
#include "meeting.h"
#include "peek.h"
#include "platform_api.h"
#include "process.h"
#include "progress.h"
#include "raise_point.h"
#include "registers.h"
#include "chain_head.h"
#include "stack_bounds.h"
#include "stack_edge.h"

namespace {

// A registration record as the chain holds it.
struct record {
    uint32_t Next, Handler;
};

using handler_fn = uint32_t (*)(void *, void *, void *, void *);

// The state of the situation that a thread runs.
struct run_state {
    const situation *s;
    const prediction *p;
    observation *obs;
    uint32_t leave = 0;        // run_escapable's frame: out of the situation
    uint32_t tested_frame = 0; // the raising function's: where the answerer lands
    raise_call call = {};
    bool raising = false;   // the exception under test has been raised
    bool stepping = false;  // a handler continued it with the trap flag set
    bool tested_seen = false;
    uint32_t tested_code = 0;
    int times[node_count][exc_count] = {};
    int unwind_times[node_count] = {};
    void (*at_first_call)(run_state &) = nullptr; // the 8-thread run's meeting point
    void *meeting = nullptr;
    bool met = false;
    overwritten bound_kept{}; // what the record at a bound overwrote on the stack
};

thread_local run_state *current = nullptr;
std::atomic<uint32_t> handlers_elsewhere{0}; // calls on a thread that raised nothing

record odd_static_record; // the record off the stack
EXCEPTION_RECORD callers_chained; // chained by RtlRaiseException's record

uint32_t observe(int node, void *rec, void *frame, void *context, void *dispatcher,
                 uint32_t eflags);

// Each record's handler, as the platform's callers call them: cdecl, and
// stdcall for every other one (the dispatcher restores ESP, H1). The flags
// it was entered with are read before anything can change them.
template <int N>
uint32_t observer(void *rec, void *frame, void *context, void *dispatcher)
{
    uint32_t eflags;
    __asm__ volatile("pushfl\n\tpopl %0\n\tcld" : "=r"(eflags) : : "memory");
    return observe(N, rec, frame, context, dispatcher, eflags);
}

template <int N>
__attribute__((stdcall)) uint32_t observer_stdcall(void *rec, void *frame, void *context,
                                                   void *dispatcher)
{
    uint32_t eflags;
    __asm__ volatile("pushfl\n\tpopl %0\n\tcld" : "=r"(eflags) : : "memory");
    return observe(N, rec, frame, context, dispatcher, eflags);
}

// Added and removed again while a vectored handler runs: it may be called
// meanwhile, on another thread, and is not the check's to observe.
LONG WINAPI passing(EXCEPTION_POINTERS *) { return EXCEPTION_CONTINUE_SEARCH; }

// V8: the list changes while it is walked, and back.
void add_and_remove(observation &o)
{
    void *added = AddVectoredExceptionHandler(1, passing);
    o.in_call_add_null |= added == nullptr;
    o.in_call_remove_failed |= added && !RemoveVectoredExceptionHandler(added);
}

// The vectored handlers' calls under way, on every thread: one still under
// way when its situation is over was left by a jump.
std::atomic<int> vectored_running{0};
bool spent = false;
// Whether this is the child's main thread, whose stack's guard no one
// re-arms once it is reached.
thread_local bool main_thread = false;

template <int N>
LONG WINAPI vectored(EXCEPTION_POINTERS *x)
{
    uint32_t eflags;
    __asm__ volatile("pushfl\n\tpopl %0\n\tcld" : "=r"(eflags) : : "memory");
    vectored_running.fetch_add(1);
    if (N == node_vectored_a && current && vectored_of(*current->s).in_call)
        add_and_remove(*current->obs);
    const uint32_t answer = observe(N, x->ExceptionRecord, nullptr, x->ContextRecord, nullptr,
                                    eflags);
    vectored_running.fetch_sub(1);
    return static_cast<LONG>(answer);
}

template <int... N>
std::array<handler_fn, sizeof...(N)> observers_of(std::integer_sequence<int, N...>)
{
    return {(N % 2 ? reinterpret_cast<handler_fn>(observer_stdcall<N>)
                   : reinterpret_cast<handler_fn>(observer<N>))...};
}

const auto observers = observers_of(std::make_integer_sequence<int, node_vectored_a>());

PVECTORED_EXCEPTION_HANDLER vectored_of_node(int node)
{
    switch (node) {
    case node_vectored_a: return vectored<node_vectored_a>;
    case node_vectored_b: return vectored<node_vectored_b>;
    case node_vectored_c: return vectored<node_vectored_c>;
    default: return vectored<node_vectored_outer>;
    }
}

uint32_t address_of(const void *p) { return seh_addr(p); }

void note_call(run_state &r, int node, int exc, void *rec, void *frame, void *context,
               void *dispatcher, uint32_t eflags)
{
    observation &o = *r.obs;
    const uint32_t index = o.call_count++;
    note_progress();
    if (index >= max_calls)
        return;
    seen_call &c = o.calls[index];
    c.node = node;
    c.exc = exc;
    c.record = address_of(rec);
    c.frame = address_of(frame);
    c.context = address_of(context);
    c.dispatcher = address_of(dispatcher);
    c.eflags_at_entry = eflags;
    c.head = get_seh_frame();
    if (word_aligned(c.head) && on_stack(c.head, 8))
        c.head_next = *reinterpret_cast<const uint32_t *>(static_cast<uintptr_t>(c.head));
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
    c.context_read = read_context(c.context, &c.regs, &c.word_at_esp);
    if (exc == exc_tested && !o.raise.esp)
        o.raise.esp = r.call.esp_at_raise;
}

[[noreturn]] void leave(run_state &r) { escape_to(r.leave); }

// Calls a handler as the platform would, with ESP restored after it (a
// stdcall one pops its arguments) and the stack 16-byte aligned.
uint32_t call_handler(uint32_t handler, const uint32_t arguments[4])
{
    uint32_t answer;
    __asm__ volatile("movl %%esp, %%esi\n\t"
                     "andl $-16, %%esp\n\t"
                     "pushl 12(%2)\n\t"
                     "pushl 8(%2)\n\t"
                     "pushl 4(%2)\n\t"
                     "pushl (%2)\n\t"
                     "call *%1\n\t"
                     "movl %%esi, %%esp"
                     : "=a"(answer)
                     : "r"(handler), "r"(arguments)
                     : "ecx", "edx", "esi", "memory", "cc");
    return answer;
}

bool ours(const observation &o, uint32_t addr)
{
    for (int n = 0; n < node_vectored_a; ++n)
        if (o.addresses[n] == addr)
            return true;
    return false;
}

// N6: the record at the head while a first-pass handler runs is the
// dispatcher's (N1); asked as an unwind that reaches it asks, it must let
// the unwind go on. Not asked when the head is a record of the check's.
void ask_the_head(observation &o, const void *rec)
{
    const uint32_t head = get_seh_frame();
    if (!word_aligned(head) || !on_stack(head, 8) || ours(o, head))
        return;
    EXCEPTION_RECORD unwinding;
    if (!peek(address_of(rec), &unwinding, sizeof unwinding))
        return;
    unwinding.ExceptionFlags |= EXCEPTION_UNWINDING;
    uint32_t context[256] = {}; // room for any CONTEXT
    uint32_t named = 0;
    const uint32_t handler = reinterpret_cast<const uint32_t *>(static_cast<uintptr_t>(head))[1];
    const uint32_t arguments[4] = {address_of(&unwinding), head, address_of(context),
                                   address_of(&named)};
    o.unwind_answer = call_handler(handler, arguments);
    o.unwind_asked = 1;
}

// The exception a handler is given, by its code: the one under test is the
// first that is none of the others once it has been raised.
int classify(run_state &r, const EXCEPTION_RECORD *rec)
{
    uint32_t code;
    if (!peek(address_of(rec), &code, 4))
        return exc_other;
    // The main thread reached its stack's guard, whatever touched it.
    if (code == STATUS_STACK_OVERFLOW && main_thread)
        spent = true;
    if (!r.raising)
        return kind_of_code(code, 0, true, false);
    const int kind = kind_of_code(code, r.tested_code, r.tested_seen, r.stepping);
    if (kind == exc_tested && !r.tested_seen) {
        r.tested_seen = true;
        r.tested_code = code;
    }
    return kind;
}

// ---- the tested world

struct tested_world {
    record before[most_before];
    alignas(4) unsigned char misaligned[12];
    record answerer, after, after_2;
};

// The node of s's record at a bound of the stack, or node_none.
int node_at_bound(const situation &s)
{
    if (!at_a_bound(s))
        return node_none;
    return chain_of(s).kind == chain_kind::odd ? node_odd : node_answerer;
}

// Links `nodes` (head first) on top of the chain, their handlers the
// check's observers. Of a record at a bound, only the words inside the
// stack are written.
void link(run_state &r, const std::vector<int> &nodes)
{
    uint32_t next = get_seh_frame();
    for (size_t i = nodes.size(); i-- > 0;) {
        const uint32_t at = r.obs->addresses[nodes[i]];
        const uint32_t words[2] = {next,
                                   seh_addr(reinterpret_cast<void *>(observers[nodes[i]]))};
        write_record(at, words, nodes[i] == node_at_bound(*r.s), r.bound_kept);
        next = at;
    }
    set_seh_frame(next);
}

void fill_raise(run_state &r)
{
    const situation &s = *r.s;
    const raise_row &row = raise_of(s);
    observation &o = *r.obs;
    raise_call &c = r.call;
    c = raise_call{};
    c.eax = sentinels.eax;
    c.ebx = sentinels.ebx;
    c.ecx = sentinels.ecx;
    c.edx = sentinels.edx;
    c.esi = sentinels.esi;
    c.edi = sentinels.edi;
    c.ebp = sentinels.ebp;
    c.eflags = sentinels.eflags | 0x202u | (regs_of(s).df ? direction_flag : 0);
    static thread_local uint32_t arguments[16];
    static thread_local EXCEPTION_RECORD callers;
    for (uint32_t i = 0; i < 16; ++i)
        arguments[i] = argument_value(i);
    uint32_t pushed = 0;
    seen_raise &seen = o.raise;
    seen.alternate_site = address_of(raise_alternate_site);
    seen.after_site = address_of(raise_after_site);
    seen.step_site = address_of(raise_stepped_site);
    seen.step_next = address_of(raise_stepped_next);
    // Each fault's instruction and the place past it; an x87 exception's
    // entry comes before its operation, and its fwait reports it.
    struct site {
        fault how;
        char *at, *after, *entry, *report;
    };
#define SITE(name) {fault::name, fault_##name, fault_##name##_after, nullptr, nullptr}
#define X87_SITE(name) \
    {fault::name, fault_##name##_operation, fault_##name##_after, fault_##name, fault_##name##_report}
    static const site sites[] = {
        SITE(int3), SITE(read), SITE(write), SITE(call), SITE(jump), SITE(divide),
        SITE(overflow), SITE(illegal), SITE(privileged), SITE(step), SITE(stack),
        X87_SITE(x87_invalid), X87_SITE(x87_denormal), X87_SITE(x87_divide),
        X87_SITE(x87_overflow), X87_SITE(x87_underflow), X87_SITE(x87_inexact),
        X87_SITE(x87_stack),
    };
#undef SITE
#undef X87_SITE
    switch (row.kind) {
    case raise_kind::software:
        c.slots_n = 5;
        c.slots[0] = row.code;
        c.slots[1] = row.flags;
        c.slots[2] = row.count;
        c.slots[3] = row.null_arguments ? 0 : address_of(arguments);
        c.slots[4] = address_of(reinterpret_cast<void *>(&RaiseException));
        c.entry = address_of(raise_by_call_4);
        seen.return_site = address_of(raise_return_4);
        pushed = 20;
        break;
    case raise_kind::rtl:
        memset(&callers, 0, sizeof callers);
        callers.ExceptionCode = row.code;
        callers.ExceptionFlags = row.flags;
        callers.ExceptionRecord = &callers_chained;
        callers.ExceptionAddress = reinterpret_cast<void *>(callers_address);
        callers.NumberParameters = row.count;
        for (uint32_t i = 0; i < row.count; ++i)
            callers.ExceptionInformation[i] = argument_value(i);
        o.callers_chained = address_of(&callers_chained);
        c.slots_n = 2;
        c.slots[0] = address_of(&callers);
        c.slots[1] = address_of(reinterpret_cast<void *>(&RtlRaiseException));
        c.entry = address_of(raise_by_call_1);
        seen.return_site = address_of(raise_return_1);
        pushed = 8;
        break;
    case raise_kind::processor:
        for (const site &one : sites)
            if (one.how == row.how) {
                c.entry = address_of(one.entry ? one.entry : one.at);
                seen.after_site = address_of(one.after);
                seen.fault_site = address_of(one.how == fault::step ? one.after : one.at);
                seen.report_site = one.report ? address_of(one.report) : seen.fault_site;
            }
        // An x87 exception's slots: the control word that unmasks it, its
        // operand.
        if (const x87_row *x = x87_of(row.how)) {
            c.slots_n = 3;
            c.slots[0] = x->control;
            c.slots[1] = x->operand[0];
            c.slots[2] = x->operand[1];
        }
        switch (row.how) {
        case fault::read:
        case fault::write: c.ecx = inaccessible; break;
        case fault::call:
        case fault::jump:
            c.ecx = inaccessible + 0x10;
            seen.fault_site = c.ecx;
            break;
        case fault::divide: c.ecx = 0; break;
        case fault::overflow:
            c.eax = 0x80000000u;
            c.edx = 0xFFFFFFFFu;
            c.ecx = 0xFFFFFFFFu;
            break;
        default: break;
        }
        break;
    }
    c.pad = (16 - (regs_of(s).misalign + pushed) % 16) % 16;
}

// The stack below the raise holds what earlier calls left there, as a
// program's does, and the same on every run: a field of the record or
// context that the platform never writes does not pass for a zero.
__attribute__((noinline)) void dirty_stack(void)
{
    uint8_t below[dirty_stack_size];
    memset(below, dirty_stack_byte, sizeof below);
    __asm__ volatile("" : : "r"(below) : "memory"); // written, whatever the optimizer sees
}

// The x87 status word after the raise's operation runs with every x87
// exception masked, so that nothing is raised: what the processor itself
// makes of the operation. The raise point resumes past it, as it does
// past a fault that nothing reported; what that resume left is undone.
uint32_t x87_masked_status(run_state &r)
{
    const seen_raise kept = r.obs->raise;
    const uint32_t control = r.call.slots[0];
    r.call.slots[0] = 0x37F;
    raise_at(&r.call);
    const uint32_t status = r.obs->raise.x87_status;
    r.call.slots[0] = control;
    r.obs->raise = kept;
    return status;
}

void raise_tested(void *p)
{
    run_state &r = *static_cast<run_state *>(p);
    fill_raise(r);
    if (x87_of(raise_of(*r.s).how))
        r.obs->x87_masked_status = x87_masked_status(r);
    r.obs->raise.made = 1;
    r.obs->raise.head_before = get_seh_frame();
    r.raising = true;
    auto raise = [](void *c) {
        dirty_stack();
        raise_at(static_cast<raise_call *>(c));
    };
    if (!regs_of(*r.s).little)
        raise(&r.call);
    else if (!call_with_stack_left(little_stack_room, raise, &r.call)) {
        r.raising = false;
        r.obs->floor_missed = 1;
        r.obs->floor = stack_floor();
    }
}

void stage_tested(run_state &r)
{
    const situation &s = *r.s;
    observation &o = *r.obs;
    tested_world w;
    memset(&w, 0, sizeof w);
    for (int i = 0; i < most_before; ++i)
        o.addresses[node_before + i] = address_of(&w.before[i]);
    o.addresses[node_answerer] = address_of(&w.answerer);
    o.addresses[node_after] = address_of(&w.after);
    o.addresses[node_after_2] = address_of(&w.after_2);
    const chain_row &c = chain_of(s);
    o.addresses[node_odd] = c.from == edge::word ? address_of(&w.misaligned[c.offset])
                                                 : address_of(&odd_static_record);
    if (at_a_bound(s)) {
        if (!bounds_hold_stack()) {
            o.wrong_limit = stack_limit();
            o.wrong_base = stack_base();
            return;
        }
        o.addresses[node_at_bound(s)] = bound_address(c.from, c.offset);
        const uint32_t handler_at = o.addresses[node_at_bound(s)] + 4;
        if (!word_on_stack(handler_at) && peek(handler_at, &o.handler_word, 4))
            o.handler_word_read = 1;
        if (c.from == edge::limit)
            grow_stack_to(stack_limit());
    }
    const uint32_t below = get_seh_frame();
    link(r, tested_records(s));
    o.staged = 1;
    const uint16_t control = x87_control();
    run_escapable(raise_tested, &r, &r.tested_frame);
    x87_settle(control);
    set_seh_frame(below);
}

// ---- what the check's handlers do

// N3: the outer exception's record and context, kept to compare after the
// raise that its handler stages.
struct outer_copy {
    uint32_t record[20];
    uint32_t context[0xCC / 4 + 1];
    bool record_read = false, context_read = false;
};

void keep(outer_copy &k, uint32_t rec, uint32_t context)
{
    k.record_read = peek(rec, k.record, sizeof k.record);
    k.context_read = peek(context, k.context, sizeof k.context);
}

uint32_t compare_kept(const outer_copy &k, uint32_t rec, uint32_t context)
{
    outer_copy now;
    keep(now, rec, context);
    if (k.record_read && (!now.record_read || memcmp(k.record, now.record, sizeof k.record)))
        return outer_record_changed;
    if (k.context_read && (!now.context_read || memcmp(k.context, now.context, sizeof k.context)))
        return outer_context_changed;
    return outer_kept;
}

void stage_in(run_state &r, int node, uint32_t rec, uint32_t context)
{
    outer_copy kept;
    keep(kept, rec, context);
    if (node == node_outer && place_of(*r.s).kind == place_kind::in_handler_2) {
        record middle;
        r.obs->addresses[node_middle] = address_of(&middle);
        link(r, {node_middle});
        RaiseException(middle_code, 0, 0, nullptr);
        set_seh_frame(middle.Next);
    } else {
        stage_tested(r);
    }
    if (!r.obs->outer_changed)
        r.obs->outer_changed = compare_kept(kept, rec, context);
}

uint32_t answer_of_act(int node, act what, uint32_t value)
{
    const bool vectored_or_filter = is_vectored(node) || node == node_filter;
    switch (what) {
    case act::continues: return vectored_or_filter ? static_cast<uint32_t>(-1) : 0;
    case act::invalid: return value;
    case act::executes: return 1;
    default: return vectored_or_filter ? 0 : 1;
    }
}

uint32_t observe(int node, void *rec, void *frame, void *context, void *dispatcher,
                 uint32_t eflags)
{
    run_state *r = current;
    if (!r) {
        handlers_elsewhere.fetch_add(1);
        return is_vectored(node) || node == node_filter ? 0 : 1;
    }
    observation &o = *r->obs;
    const int exc = classify(*r, static_cast<const EXCEPTION_RECORD *>(rec));
    note_call(*r, node, exc, rec, frame, context, dispatcher, eflags);
    if (o.call_count > 2 * max_calls) {
        o.runaway = 1;
        leave(*r);
    }
    if (r->at_first_call && exc == exc_tested && !r->met) {
        r->met = true;
        r->at_first_call(*r);
    }
    const uint32_t index = o.call_count - 1;
    const bool unwinding =
        index < max_calls && (o.calls[index].flags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND));
    if (unwinding) {
        if (stages_in_unwind(*r->s, node, r->unwind_times[node]++))
            stage_tested(*r);
        return ExceptionContinueSearch;
    }
    const decision d = decide(*r->s, node, exc, r->times[node][exc]++);
    switch (d.what) {
    case act::continues: {
        const uint32_t moved_to = d.past_step ? o.raise.step_next
                                  : raise_of(*r->s).kind == raise_kind::processor || d.move
                                      ? o.raise.after_site
                                      : 0;
        leave_context(address_of(context), *r->s, d, moved_to, o.raise.alternate_site);
        r->stepping |= d.step;
        if (index < max_calls) {
            seen_call &c = o.calls[index];
            uint32_t word;
            c.left_read = read_context(c.context, &c.left, &word);
        }
        break;
    }
    case act::unwinds:
        ask_the_head(o, rec);
        RtlUnwind(frame, nullptr, static_cast<EXCEPTION_RECORD *>(rec), nullptr);
        o.landed = 1;
        o.head_at_landing = get_seh_frame();
        escape_to(r->tested_frame);
    case act::leaves:
        ask_the_head(o, rec);
        RtlUnwind(frame, nullptr, static_cast<EXCEPTION_RECORD *>(rec), nullptr);
        o.end = static_cast<uint32_t>(situation_end::caught);
        o.caught_exc = static_cast<uint32_t>(exc);
        o.caught_record = address_of(rec);
        leave(*r);
    case act::stages:
        stage_in(*r, node, address_of(rec), address_of(context));
        if (node == node_filter) {
            o.end = static_cast<uint32_t>(situation_end::filter_leaves);
            leave(*r);
        }
        break;
    default: break;
    }
    return answer_of_act(node, d.what, d.value);
}

LONG WINAPI stand_in_filter(EXCEPTION_POINTERS *) { return EXCEPTION_CONTINUE_SEARCH; }

LONG WINAPI filter(EXCEPTION_POINTERS *x)
{
    uint32_t eflags;
    __asm__ volatile("pushfl\n\tpopl %0\n\tcld" : "=r"(eflags) : : "memory");
    return static_cast<LONG>(
        observe(node_filter, x->ExceptionRecord, nullptr, x->ContextRecord, nullptr, eflags));
}

// ---- the places

// At rising addresses in the order the chain meets them: the outermost
// record last.
struct place_world {
    record unwound, unwind_target, outer;
    record catcher;
};

void start(void *p)
{
    run_state &r = *static_cast<run_state *>(p);
    observation &o = *r.obs;
    place_world w;
    o.addresses[node_catcher] = address_of(&w.catcher);
    o.addresses[node_outer] = address_of(&w.outer);
    o.addresses[node_unwound] = address_of(&w.unwound);
    o.addresses[node_unwind_target] = address_of(&w.unwind_target);
    link(r, {node_catcher});
    switch (place_of(*r.s).kind) {
    case place_kind::top:
    case place_kind::thread:
    case place_kind::threads: stage_tested(r); break;
    case place_kind::in_handler:
    case place_kind::in_handler_2:
        link(r, {node_outer});
        RaiseException(outer_code, 0, 0, nullptr);
        break;
    case place_kind::in_vectored:
    case place_kind::in_filter: RaiseException(outer_code, 0, 0, nullptr); break;
    case place_kind::in_unwind:
        link(r, {node_unwound, node_unwind_target});
        RtlUnwind(&w.unwind_target, nullptr, nullptr, nullptr);
        break;
    }
    o.end = static_cast<uint32_t>(situation_end::returns);
}

// The vectored handlers of s, added as its row says; `handles` gets them.
void add_vectored(const situation &s, observation &o, void *handles[4])
{
    const vectored_row &v = vectored_of(s);
    int n = 0;
    if (v.removed) {
        void *gone = AddVectoredExceptionHandler(0, vectored<node_vectored_b>);
        o.add_handle_null = gone == nullptr;
        o.remove_result = RemoveVectoredExceptionHandler(gone) != 0;
        o.remove_again_result = RemoveVectoredExceptionHandler(gone) != 0 ? 1 : 0;
    }
    if (v.count >= 1)
        handles[n++] = AddVectoredExceptionHandler(0, vectored_of_node(node_vectored_a));
    if (v.count >= 3) {
        handles[n++] = AddVectoredExceptionHandler(0, vectored_of_node(node_vectored_b));
        handles[n++] = AddVectoredExceptionHandler(1, vectored_of_node(node_vectored_c));
    }
    if (place_of(s).kind == place_kind::in_vectored)
        handles[n++] = AddVectoredExceptionHandler(0, vectored_of_node(node_vectored_outer));
    for (int i = 0; i < n; ++i)
        o.add_handle_null |= handles[i] == nullptr;
}

void remove_vectored(void *handles[4])
{
    for (int i = 0; i < 4; ++i)
        if (handles[i])
            RemoveVectoredExceptionHandler(handles[i]);
}

// Runs s on this thread, its world on top of the thread's chain.
void run_here(const situation &s, const prediction &p, observation &obs, bool add_handlers,
              void (*at_first_call)(run_state &) = nullptr, void *meeting = nullptr)
{
    run_state *r = new run_state;
    r->s = &s;
    r->p = &p;
    r->obs = &obs;
    r->at_first_call = at_first_call;
    r->meeting = meeting;
    void *handles[4] = {};
    if (add_handlers)
        add_vectored(s, obs, handles);
    // F3: each call returns the filter it replaces. A stand-in, never
    // called, goes first, so that the situation's own filter is set over a
    // filter known to be there.
    LPTOP_LEVEL_EXCEPTION_FILTER previous = nullptr;
    const bool filters = p.filter_installed || ends_process(s);
    bool replaced_returned = true;
    if (filters) {
        previous = SetUnhandledExceptionFilter(stand_in_filter);
        replaced_returned = SetUnhandledExceptionFilter(p.filter_installed ? filter : nullptr) ==
                            stand_in_filter;
    }
    current = r;
    const uint32_t head = get_seh_frame();
    run_escapable(start, r, &r->leave);
    set_seh_frame(head);
    put_back(r->bound_kept);
    current = nullptr;
    if (filters) {
        const LPTOP_LEVEL_EXCEPTION_FILTER mine = SetUnhandledExceptionFilter(previous);
        obs.filter_restored =
            replaced_returned && mine == (p.filter_installed ? filter : nullptr) ? 1 : 2;
    }
    remove_vectored(handles);
    delete r;
}

// ---- threads

struct thread_run {
    const situation *s;
    const prediction *p;
    observation *obs;
    bool add_handlers;
};

void on_new_thread(int, void *arg)
{
    thread_run &t = *static_cast<thread_run *>(arg);
    run_here(*t.s, *t.p, *t.obs, t.add_handlers);
}

struct threads_run {
    const situation *s;
    const prediction *p;
    observation *obs;
    round_judge judge;
    meeting_point<thread_count> start, first_call;
    std::atomic<bool> told{false};
    std::atomic<bool> missed{false};
};

void meet_at_first_call(run_state &r)
{
    auto &t = *static_cast<threads_run *>(r.meeting);
    if (!t.first_call.meet())
        t.missed = true;
}

void on_thread_of_eight(int, void *arg)
{
    threads_run &t = *static_cast<threads_run *>(arg);
    observation *mine = new observation;
    for (int round = 0; round < rounds; ++round) {
        memset(mine, 0, sizeof *mine);
        t.start.meet();
        run_here(*t.s, *t.p, *mine, false, meet_at_first_call, &t);
        // The handlers were added once for all the threads, by the lone run.
        mine->add_handle_null = t.obs->add_handle_null;
        mine->remove_result = t.obs->remove_result;
        mine->remove_again_result = t.obs->remove_again_result;
        const std::string found = t.judge(*mine);
        bool expected = false;
        if (!found.empty() && t.told.compare_exchange_strong(expected, true))
            snprintf(t.obs->threads_difference, sizeof t.obs->threads_difference, "%s",
                     found.c_str());
    }
    delete mine;
}

void run_on_eight_threads(const situation &s, const prediction &p, observation &obs,
                          round_judge_maker judge)
{
    thread_run lone = {&s, &p, &obs, true};
    if (!run_threads(1, on_new_thread, &lone))
        return;
    threads_run t;
    t.s = &s;
    t.p = &p;
    t.obs = &obs;
    t.judge = judge(s, p, obs);
    observation scratch;
    void *handles[4] = {};
    add_vectored(s, scratch, handles);
    run_threads(thread_count, on_thread_of_eight, &t);
    remove_vectored(handles);
    obs.threads_missed = t.missed;
}

} // namespace

extern "C" raise_call *raise_returned(const uint32_t *saved)
{
    run_state *r = current;
    seen_raise &seen = r->obs->raise;
    seen.x87_status = saved[0] & 0xFFFF;
    seen.ebp = saved[1];
    seen.edi = saved[2];
    seen.esi = saved[3];
    seen.ebx = saved[4];
    seen.edx = saved[5];
    seen.ecx = saved[6];
    seen.eax = saved[7];
    seen.resumed = saved[8];
    seen.eflags = saved[9];
    seen.esp_after = seh_addr(saved) + 40;
    seen.esp = r->call.esp_at_raise;
    seen.head_after = get_seh_frame();
    return &r->call;
}

void prepare_dispatch_child(void)
{
#ifdef _WIN32
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
#endif
    main_thread = true;
}

void run_situation(const situation &s, observation &obs, round_judge_maker judge)
{
    const prediction p = predict(s);
    const uint32_t elsewhere = handlers_elsewhere.load();
    switch (place_of(s).kind) {
    case place_kind::thread: {
        thread_run t = {&s, &p, &obs, true};
        run_threads(1, on_new_thread, &t);
        break;
    }
    case place_kind::threads: run_on_eight_threads(s, p, obs, judge); break;
    default: run_here(s, p, obs, true); break;
    }
    obs.wrong_thread = handlers_elsewhere.load() != elsewhere;
    if (vectored_running.exchange(0) != 0)
        spent = true;
}

bool dispatch_child_spent(void) { return spent; }
