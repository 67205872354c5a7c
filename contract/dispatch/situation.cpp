#include "situation.h"

#include <algorithm>

#include "world.h"

// The values of each dimension: each class of a value's domain has a row,
// and so has each of its boundaries. A code over all 32 bits, flags with
// other bits than the one that counts, argument counts about the cap;
// each processor exception; every answer with its meaning and values only
// a byte of which would be one; each field of the context a handler can
// change.
const raise_row raise_rows[] = {
    {"raise", 0, raise_kind::software, 0xE0000061u, 0, 2, false, fault::none, promise::R1, false, false},
    {"raise-nc", 1, raise_kind::software, 0xE0000062u, 1, 2, false, fault::none, promise::R1, false, false},
    {"code-0", 2, raise_kind::software, 0, 0, 2, false, fault::none, promise::R1, false, false},
    {"code-f0abcdef", 2, raise_kind::software, 0xF0ABCDEFu, 0, 2, false, fault::none, promise::R1, false, false},
    {"code-ffffffff", 2, raise_kind::software, 0xFFFFFFFFu, 0, 2, false, fault::none, promise::R1, false, false},
    {"flags-12", 2, raise_kind::software, 0xE0000063u, 0x12, 2, false, fault::none, promise::R1, false, false},
    {"flags-ffffffff", 2, raise_kind::software, 0xE0000064u, 0xFFFFFFFFu, 2, false, fault::none, promise::R1, false, false},
    {"args-0", 2, raise_kind::software, 0xE0000065u, 0, 0, false, fault::none, promise::R1, false, false},
    {"args-1", 2, raise_kind::software, 0xE0000065u, 0, 1, false, fault::none, promise::R1, false, false},
    {"args-15", 2, raise_kind::software, 0xE0000065u, 0, 15, false, fault::none, promise::R1, false, false},
    {"args-16", 2, raise_kind::software, 0xE0000065u, 0, 16, false, fault::none, promise::R1, false, false},
    {"args-ffffffff", 2, raise_kind::software, 0xE0000065u, 0, 0xFFFFFFFFu, false, fault::none, promise::R1, false, false},
    {"null-args", 2, raise_kind::software, 0xE0000066u, 0, 5, true, fault::none, promise::R1, false, false},
    // Every field set: a flag no one defines, a chained record, every
    // parameter there is room for, an address to be replaced.
    {"rtl-raise", 1, raise_kind::rtl, 0xE0000067u, 0x40000000u, 15, false, fault::none, promise::R7, false, false},
    {"int3", 2, raise_kind::processor, 0x80000003u, 0, 0, false, fault::int3, promise::X1, true, false},
    {"read", 2, raise_kind::processor, access_violation, 0, 0, false, fault::read, promise::X2, true, false},
    {"write", 2, raise_kind::processor, access_violation, 0, 0, false, fault::write, promise::X3, true, false},
    {"call-bad", 2, raise_kind::processor, access_violation, 0, 0, false, fault::call, promise::X4, true, false},
    {"jump-bad", 2, raise_kind::processor, access_violation, 0, 0, false, fault::jump, promise::X4, true, false},
    {"div0", 2, raise_kind::processor, 0xC0000094u, 0, 0, false, fault::divide, promise::X5, true, false},
    {"quotient-overflow", 3, raise_kind::processor, 0xC0000095u, 0, 0, false, fault::overflow, promise::X5, true, true},
    {"ud2", 2, raise_kind::processor, 0xC000001Du, 0, 0, false, fault::illegal, promise::X6, true, false},
    {"hlt", 2, raise_kind::processor, 0xC0000096u, 0, 0, false, fault::privileged, promise::X7, true, false},
    {"single-step", 2, raise_kind::processor, 0x80000004u, 0, 0, false, fault::step, promise::X8, false, false},
    {"stack-overflow", 4, raise_kind::processor, 0xC00000FDu, 0, 0, false, fault::stack, promise::X9, true, false},
    // Each floating-point exception, unmasked alone: the fwait after the
    // operation reports it, and runs again when the context is continued.
    {"x87-invalid", 3, raise_kind::processor, 0xC0000090u, 0, 0, false, fault::x87_invalid, promise::X10, true, false},
    {"x87-denormal", 3, raise_kind::processor, 0xC000008Du, 0, 0, false, fault::x87_denormal, promise::X10, true, false},
    {"x87-divide", 2, raise_kind::processor, 0xC000008Eu, 0, 0, false, fault::x87_divide, promise::X10, true, false},
    {"x87-overflow", 3, raise_kind::processor, 0xC0000091u, 0, 0, false, fault::x87_overflow, promise::X10, true, false},
    {"x87-underflow", 3, raise_kind::processor, 0xC0000093u, 0, 0, false, fault::x87_underflow, promise::X10, true, false},
    {"x87-inexact", 3, raise_kind::processor, 0xC000008Fu, 0, 0, false, fault::x87_inexact, promise::X10, true, false},
    {"x87-stack", 3, raise_kind::processor, 0xC0000092u, 0, 0, false, fault::x87_stack, promise::X10, true, false},
};

// The x87's flags: invalid 1, denormal 2, divide 4, overflow 8, underflow
// 0x10, inexact 0x20, stack fault 0x40; the control word masks the first
// six by the same bits, 0x37F masking all.
const x87_row x87_rows[] = {
    {fault::x87_invalid, 0x37E, 0x01, "invalid-operation", {0, 0}, "fsqrt of -1"},
    {fault::x87_denormal, 0x37D, 0x02, "denormal-operand", {1, 0}, "fld of the smallest denormal double"},
    {fault::x87_divide, 0x37B, 0x04, "zero-divide", {0, 0}, "fdiv of 1 by 0"},
    {fault::x87_overflow, 0x377, 0x08, "overflow", {20000, 0}, "fscale of 1 by 20000"},
    {fault::x87_underflow, 0x36F, 0x10, "underflow", {static_cast<uint32_t>(-20000), 0}, "fscale of 1 by -20000"},
    {fault::x87_inexact, 0x35F, 0x20, "precision", {3, 0}, "fdiv of 1 by 3"},
    {fault::x87_stack, 0x37E, 0x41, "stack-fault", {0, 0}, "fsqrt of an empty register"},
};

const x87_row *x87_of(fault how)
{
    for (const x87_row &x : x87_rows)
        if (x.how == how)
            return &x;
    return nullptr;
}

const regs_row regs_rows[] = {
    {"", 0, 0, false, false},
    {"esp-4", 1, 4, false, false},
    {"esp-12", 1, 12, false, false},
    {"df-set", 2, 0, true, false},
    // The dispatch, the handlers and what they do run near the stack's end,
    // where the system must grow it or keep within it.
    {"little-stack", 2, 0, false, true},
};

const vectored_row vectored_rows[] = {
    {"", 0, 0, node_none, false, false},
    {"1-vectored", 1, 1, node_none, false, false},
    {"3-vectored", 2, 3, node_none, false, false},
    // c, a, b in the order called: the one in the middle continues.
    {"3-vectored-continues", 2, 3, node_vectored_a, false, false},
    {"vectored-removed", 2, 1, node_none, true, false},
    // The list changed while it is walked, and back, by the handler in the
    // middle.
    {"3-vectored-add-remove", 2, 3, node_none, false, true},
};

const chain_row chain_rows[] = {
    {"first", 0, chain_kind::answered, 0, 2, 0, edge::none, 0},
    {"middle", 1, chain_kind::answered, 1, 1, 0, edge::none, 0},
    {"last", 1, chain_kind::answered, 3, 0, 0, edge::none, 0},
    {"64-before", 3, chain_kind::answered, most_before, 1, 0, edge::none, 0},
    // The first record answers a value that is no answer: its low byte
    // or the whole of it.
    {"before-answers-3", 2, chain_kind::answered, 1, 1, 3, edge::none, 0},
    {"before-answers-100", 2, chain_kind::answered, 1, 1, 0x100, edge::none, 0},
    {"before-answers-101", 2, chain_kind::answered, 1, 1, 0x101, edge::none, 0},
    {"before-answers-ffffffff", 2, chain_kind::answered, 1, 1, 0xFFFFFFFFu, edge::none, 0},
    {"none-answers", 1, chain_kind::none, 3, 0, 0, edge::none, 0},
    // The records at the bounds of the stack: the answering record at the
    // lowest place a record may lie, the head, and at the highest, the
    // last of the check's; and a record on the other side of each, or
    // across it, which fails the walk's check.
    {"at-limit", 3, chain_kind::answered, 0, 1, 0, edge::limit, 0},
    {"base-8", 3, chain_kind::answered, 1, 0, 0, edge::base, -8},
    {"off-stack", 3, chain_kind::odd, 1, 0, 0, edge::data, 0},
    {"misaligned", 3, chain_kind::odd, 1, 0, 0, edge::word, 2},
    {"limit-4", 3, chain_kind::odd, 0, 0, 0, edge::limit, -4},
    {"base-4", 3, chain_kind::odd, 1, 0, 0, edge::base, -4},
    {"at-base", 3, chain_kind::odd, 1, 0, 0, edge::base, 0},
};

const answer_row answer_rows[] = {
    {"continues", 0, answer_kind::continues, field::none, 0},
    {"sets-eax", 1, answer_kind::continues, field::eax, 0x600DEAAAu},
    {"sets-ebx", 1, answer_kind::continues, field::ebx, 0x600DEBBBu},
    {"sets-ecx", 1, answer_kind::continues, field::ecx, 0x600DECCCu},
    {"sets-edx", 1, answer_kind::continues, field::edx, 0x600DEDDDu},
    {"sets-esi", 1, answer_kind::continues, field::esi, 0x600DE51Au},
    {"sets-edi", 1, answer_kind::continues, field::edi, 0x600DED1Au},
    {"sets-ebp", 1, answer_kind::continues, field::ebp, 0x600DEB9Bu},
    // 512 bytes down: where a platform's copy of the context may well lie.
    {"sets-esp", 1, answer_kind::continues, field::esp, 0x200},
    {"sets-eip", 1, answer_kind::continues, field::eip, 0},
    {"flips-status", 1, answer_kind::continues, field::eflags, status_flags},
    {"flips-df", 1, answer_kind::continues, field::eflags, direction_flag},
    // One instruction runs, then the single step traps.
    {"sets-tf", 1, answer_kind::continues, field::trap, trap_flag},
    {"unwinds", 1, answer_kind::unwinds, field::none, 0},
    {"answers-3", 2, answer_kind::invalid, field::none, 3},
    {"answers-7", 2, answer_kind::invalid, field::none, 7},
    {"answers-100", 2, answer_kind::invalid, field::none, 0x100},
    {"answers-ffffffff", 2, answer_kind::invalid, field::none, 0xFFFFFFFFu},
};

const place_row place_rows[] = {
    {"top", 0, place_kind::top},
    {"in-handler", 2, place_kind::in_handler},
    {"in-handler-2", 3, place_kind::in_handler_2},
    {"in-vectored", 2, place_kind::in_vectored},
    {"in-unwind", 2, place_kind::in_unwind},
    {"in-filter", 3, place_kind::in_filter},
    {"new-thread", 2, place_kind::thread},
    {"8-threads", 4, place_kind::threads},
};

const filter_row filter_rows[] = {
    {"", 0, filter_kind::none},
    {"filter-continues", 1, filter_kind::continues},
    {"filter-executes", 2, filter_kind::executes},
    {"filter-searches", 2, filter_kind::searches},
};

uint32_t changed_value(const answer_row &answer, uint32_t was, uint32_t alternate_site)
{
    switch (answer.what) {
    case field::eflags: return was ^ answer.value;
    case field::esp: return was - answer.value;
    case field::eip: return alternate_site;
    case field::trap: return was | answer.value;
    case field::none: return was;
    default: return answer.value;
    }
}

bool at_a_bound(const situation &s) { return at_a_bound(chain_of(s).from); }

bool noncontinuable(const situation &s) { return raise_of(s).flags & EXCEPTION_NONCONTINUABLE_FLAG; }

bool nested_place(const situation &s)
{
    switch (place_of(s).kind) {
    case place_kind::top:
    case place_kind::thread:
    case place_kind::threads: return false;
    default: return true;
    }
}

bool ends_process(const situation &s)
{
    if (chain_of(s).kind == chain_kind::odd)
        return true;
    const place_kind where = place_of(s).kind;
    return chain_of(s).kind == chain_kind::none &&
           (where == place_kind::top || where == place_kind::thread) &&
           filter_of(s).kind != filter_kind::continues;
}

const dimensions &dispatch_dimensions(void)
{
    static const dimensions dims = {
        dimension_of("raise", raise_rows),       dimension_of("registers", regs_rows),
        dimension_of("vectored", vectored_rows), dimension_of("chain", chain_rows),
        dimension_of("answer", answer_rows),     dimension_of("place", place_rows),
        dimension_of("filter", filter_rows),
    };
    return dims;
}

const coverage &dispatch_coverage(void)
{
    static const coverage what = [] {
        coverage c;
        c.interactions = every_pair(dim_count);
        c.order = {dim_raise, dim_place, dim_chain, dim_answer, dim_vectored, dim_regs, dim_filter};
        return c;
    }();
    return what;
}

std::string name_of(const situation &s) { return name_of(dispatch_dimensions(), s); }

namespace {

bool has(const situation &s, dispatch_dimension d) { return s.v[d] >= 0; }

// The raises with which an exception nobody takes is tried: each such
// situation ends its process, which costs a new one.
bool ends_cheaply(const raise_row &r)
{
    return r.how == fault::none ? r.kind == raise_kind::software && r.count == 2 &&
                                      !r.null_arguments && (r.flags & ~1u) == 0 &&
                                      (r.code == 0xE0000061u || r.code == 0xF0ABCDEFu ||
                                       r.code == 0xE0000062u)
                                : r.how == fault::read;
}

} // namespace

bool makes_sense(const situation &s)
{
    const bool r = has(s, dim_raise), g = has(s, dim_regs), v = has(s, dim_vectored),
               c = has(s, dim_chain), a = has(s, dim_answer), p = has(s, dim_place),
               f = has(s, dim_filter);
    // DF set at a faulting instruction: a software raise made so breaks
    // the calling convention (H2 leaves it open). Tried alone, at the top.
    if (g && regs_of(s).df) {
        if (r && !(raise_of(s).how == fault::int3 || raise_of(s).how == fault::read ||
                   raise_of(s).how == fault::illegal))
            return false;
        if ((p && place_of(s).kind != place_kind::top) || (c && s.v[dim_chain] != 0) ||
            (v && s.v[dim_vectored] != 0) || (a && s.v[dim_answer] != 0) ||
            (f && s.v[dim_filter] != 0))
            return false;
    }
    // A stack overflow: at the top of the main thread or on a new thread,
    // taken by unwinding (nothing can continue at the overflowing push).
    if (r && raise_of(s).how == fault::stack) {
        if ((p && place_of(s).kind != place_kind::thread && place_of(s).kind != place_kind::top) ||
            (a && answer_of(s).kind != answer_kind::unwinds) ||
            (c && (chain_of(s).kind != chain_kind::answered || chain_of(s).invalid ||
                   chain_of(s).from != edge::none)) ||
            (v && s.v[dim_vectored] != 0) || (g && s.v[dim_regs] != 0))
            return false;
    }
    // Where the answering record is never asked, its answer is the plainest.
    if (c && a && s.v[dim_answer] != 0 &&
        (chain_of(s).kind != chain_kind::answered || chain_of(s).invalid))
        return false;
    if (v && vectored_of(s).continuer != node_none) {
        if ((a && s.v[dim_answer] != 0) || (c && s.v[dim_chain] != 0))
            return false;
        // Continuing a noncontinuable exception from a vectored handler is
        // open (V6).
        if (r && (raise_of(s).flags & EXCEPTION_NONCONTINUABLE_FLAG))
            return false;
    }
    // A noncontinuable exception resumes no context: a change to it shows
    // nothing.
    if (r && a && (raise_of(s).flags & EXCEPTION_NONCONTINUABLE_FLAG) &&
        answer_of(s).kind == answer_kind::continues && answer_of(s).what != field::none)
        return false;
    // The filter is asked only by an exception that no record takes, at the
    // top of a thread's work; a record that fails the walk's check keeps it
    // from being asked at all (F4), which is tried too.
    if (f && filter_of(s).kind != filter_kind::none) {
        if ((c && chain_of(s).kind != chain_kind::none && chain_of(s).kind != chain_kind::odd) ||
            (p && place_of(s).kind != place_kind::top && place_of(s).kind != place_kind::thread))
            return false;
    }
    // A raise in the filter is taken by a record: the filter stages it.
    if (p && c && place_of(s).kind == place_kind::in_filter && chain_of(s).kind == chain_kind::none)
        return false;
    // A vectored handler's call that an unwind leaves stays in the
    // platform's list (V4 leaves it open): a raise in one is resolved there.
    if (p && place_of(s).kind == place_kind::in_vectored) {
        if (c && (chain_of(s).kind != chain_kind::answered || chain_of(s).invalid))
            return false;
        if (a && answer_of(s).kind == answer_kind::invalid)
            return false;
        if (r && a && (raise_of(s).flags & EXCEPTION_NONCONTINUABLE_FLAG) &&
            answer_of(s).kind == answer_kind::continues)
            return false;
    }
    // A record that fails the walk's check, at the top of the main thread.
    if (c && p && chain_of(s).kind == chain_kind::odd && place_of(s).kind != place_kind::top)
        return false;
    // At the head, it leaves no handler to see a processor exception's code
    // before the process ends with it, but a vectored one: the end's code is
    // judged by what the handlers saw (an emulator may make it another).
    if (c && r && v && chain_of(s).kind == chain_kind::odd && chain_of(s).before == 0 &&
        raise_of(s).kind == raise_kind::processor && vectored_of(s).count == 0)
        return false;
    // The answering record at a bound lies out of the stack's order with
    // the records a later walk would meet: the dispatcher's (N1) in front of
    // the one at StackLimit, every record behind the one at StackBase - 8,
    // where no outer exception's record may lie in front of it either. It
    // continues the exception, and nothing walks the chain again.
    if (c && chain_of(s).kind == chain_kind::answered && at_a_bound(s)) {
        if (p && nested_place(s) && chain_of(s).from == edge::base)
            return false;
        if (a && answer_of(s).kind != answer_kind::continues)
            return false;
        if (r && (raise_of(s).flags & EXCEPTION_NONCONTINUABLE_FLAG))
            return false;
    }
    if (r && p && place_of(s).kind == place_kind::threads && raise_of(s).how == fault::stack)
        return false;
    // Raised near the stack's end, a record at StackLimit would lie below
    // the raise, where the dispatch writes.
    if (g && c && regs_of(s).little && chain_of(s).from == edge::limit)
        return false;
    if (!r || !g || !v || !c || !a || !p || !f)
        return true;
    // Each situation that ends its process costs a process: a few of them.
    if (ends_process(s) &&
        (!ends_cheaply(raise_of(s)) || s.v[dim_vectored] > 1 || s.v[dim_regs] != 0 ||
         (place_of(s).kind == place_kind::thread && s.v[dim_raise] != 0)))
        return false;
    return true;
}

namespace {

bool raises_x87(const situation &s) { return has(s, dim_raise) && x87_of(raise_of(s).how); }

// An x87 exception is raised only where the processor raises it, which an
// emulator may not: its situations cover the pairs of its raise with every
// other value, and those of every other dimension among themselves are
// covered without them, so that such a processor misses no other pair.
bool makes_sense_without_x87(const situation &s) { return !raises_x87(s) && makes_sense(s); }
bool makes_sense_with_x87(const situation &s)
{
    return (!has(s, dim_raise) || raises_x87(s)) && makes_sense(s);
}

} // namespace

const std::vector<situation> &dispatch_situations(void)
{
    static const std::vector<situation> all = [] {
        std::vector<situation> out =
            cover(dispatch_dimensions(), dispatch_coverage(), makes_sense_without_x87);
        coverage x87 = dispatch_coverage();
        x87.interactions.clear();
        for (int d = 0; d < dim_count; ++d)
            if (d != dim_raise)
                x87.interactions.push_back({dim_raise, d});
        const std::vector<situation> more =
            cover(dispatch_dimensions(), x87, makes_sense_with_x87);
        out.insert(out.end(), more.begin(), more.end());
        std::stable_sort(out.begin(), out.end(), [](const situation &a, const situation &b) {
            return weight_of(dispatch_dimensions(), a) < weight_of(dispatch_dimensions(), b);
        });
        return out;
    }();
    return all;
}
