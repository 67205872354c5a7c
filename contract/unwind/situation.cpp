#include "situation.h"

#include "format.h"
#include "model.h"
#include "world.h"

// The values of each dimension. Each class of a value's domain has a row,
// and so has each of its boundaries: a record on either side of each edge
// of the stack, every way of being misaligned; every disposition with its
// meaning, and the values that only a byte or a word of would be one; each
// field of the context that a handler can change, each flag alone; each
// record a collided answer can name; chains longer than any fixed limit.
// One record unwound is the plainest unwind there is: it weighs least.
const above_row above_rows[] = {
    {"0-above", 1, 0},
    {"1-above", 0, 1},
    {"3-above", 2, 3},
    {"64-above", 4, 64},
    {"1100-above", 6, most_above},
};

const odd_row odd_rows[] = {
    {"", 0, "no odd record", edge::none, 0, true},
    {"off-stack", 2, "the static record", edge::data, 0, false},
    {"misaligned-1", 2, "the record 1 byte off a word", edge::word, 1, false},
    {"misaligned", 2, "the misaligned record", edge::word, 2, false},
    {"misaligned-3", 2, "the record 3 bytes off a word", edge::word, 3, false},
    {"at-limit", 2, "the record at StackLimit", edge::limit, 0, true},
    {"limit-4", 2, "the record at StackLimit - 4", edge::limit, -4, false},
    {"limit-8", 2, "the record at StackLimit - 8", edge::limit, -8, false},
    {"base-8", 2, "the record at StackBase - 8", edge::base, -8, true},
    {"base-4", 2, "the record at StackBase - 4", edge::base, -4, false},
    {"at-base", 2, "the record at StackBase", edge::base, 0, false},
};

const target_row target_rows[] = {
    {"to-record", 0, target_kind::record},
    {"exit", 1, target_kind::exit},
    {"to-end", 1, target_kind::end},
    {"to-unlinked", 2, target_kind::unlinked},
    {"below-head", 2, target_kind::below_head},
    {"passed-over", 2, target_kind::passed_over},
    {"to-misaligned", 2, target_kind::misaligned},
};

const record_row record_rows[] = {
    {"own", 0, true, 0, 0, false},
    {"callers", 1, false, 1, 2, true},
    {"callers-bare", 2, false, 0, 0, false},
    // Every flag but the unwind flags, every parameter there is room for.
    {"callers-full", 2, false, 0xFFFFFFF9u, 15, true},
};

const answer_row answer_rows[] = {
    {"continues", 0, answer_kind::search, 1, named::none},
    {"collides", 1, answer_kind::collided, 3, named::next},
    {"collides-past-next", 2, answer_kind::collided, 3, named::past_next},
    {"collides-to-target", 2, answer_kind::collided, 3, named::target_record},
    {"collides-past-target", 2, answer_kind::collided, 3, named::past_target},
    {"answers-0", 2, answer_kind::invalid, 0, named::none},
    {"answers-2", 2, answer_kind::invalid, 2, named::none},
    {"answers-4", 2, answer_kind::invalid, 4, named::none},
    {"answers-101", 2, answer_kind::invalid, 0x101, named::none},
    {"answers-103", 2, answer_kind::invalid, 0x103, named::none},
    {"answers-10001", 2, answer_kind::invalid, 0x10001, named::none},
    {"answers-10003", 2, answer_kind::invalid, 0x10003, named::none},
    {"answers-7fffffff", 2, answer_kind::invalid, 0x7FFFFFFFu, named::none},
    {"answers-80000001", 2, answer_kind::invalid, 0x80000001u, named::none},
    {"answers-ffffffff", 2, answer_kind::invalid, 0xFFFFFFFFu, named::none},
    {"nests-to-next", 2, answer_kind::nests, 0, named::next},
    {"nests-past-next", 2, answer_kind::nests, 0, named::past_next},
    {"nests-to-target", 2, answer_kind::nests, 0, named::same_target},
};

const change_row change_rows[] = {
    {"", 0, field::none, 0},
    {"sets-eax", 1, field::eax, 0x600DEAAAu},
    {"sets-ebx", 1, field::ebx, 0x600DEBBBu},
    {"sets-ecx", 1, field::ecx, 0x600DECCCu},
    {"sets-edx", 1, field::edx, 0x600DEDDDu},
    {"sets-esi", 1, field::esi, 0x600DE51Au},
    {"sets-edi", 1, field::edi, 0x600DED1Au},
    {"sets-ebp", 1, field::ebp, 0x600DEB9Bu},
    // 512 bytes below: within the frame that RtlUnwind had, where a copy
    // of the context may well lie.
    {"sets-esp", 1, field::esp, 0x200},
    {"sets-eip", 1, field::eip, 0},
    {"flips-cf", 1, field::eflags, 0x001},
    {"flips-pf", 1, field::eflags, 0x004},
    {"flips-af", 1, field::eflags, 0x010},
    {"flips-zf", 1, field::eflags, 0x040},
    {"flips-sf", 1, field::eflags, 0x080},
    {"flips-df", 1, field::eflags, 0x400},
    {"flips-of", 1, field::eflags, 0x800},
    {"leaves-df", 1, field::live_df, 0},
};

const place_row place_rows[] = {
    {"top", 0, place_kind::top},
    {"in-handler", 2, place_kind::handler},
    {"in-handler-2", 3, place_kind::handler_2},
    {"new-thread", 2, place_kind::thread},
    {"8-threads", 4, place_kind::threads},
};

uint32_t changed_value(const change_row &change, uint32_t was, uint32_t alternate_site)
{
    switch (change.what) {
    case field::eflags: return was ^ change.value;
    case field::esp: return was - change.value;
    case field::eip: return alternate_site;
    case field::none:
    case field::live_df: return was;
    default: return change.value;
    }
}


uint32_t after_change(const situation &s, field f, bool changed, uint32_t was,
                      uint32_t alternate_site)
{
    if (!changed || change_of(s).what != f)
        return was;
    return changed_value(change_of(s), was, alternate_site);
}

const dimensions &unwind_dimensions(void)
{
    static const dimensions dims = {
        dimension_of("records above", above_rows), dimension_of("odd record", odd_rows),
        dimension_of("target", target_rows),        dimension_of("exception record", record_rows),
        dimension_of("answer", answer_rows),        dimension_of("change", change_rows),
        dimension_of("place", place_rows),
    };
    return dims;
}

const coverage &unwind_coverage(void)
{
    static const coverage what = [] {
        coverage c;
        c.interactions = every_pair(dim_count);
        c.interactions.push_back({dim_answer, dim_record, dim_place});
        c.interactions.push_back({dim_target, dim_record, dim_place});
        c.order = {dim_above, dim_odd, dim_target, dim_answer, dim_place, dim_change, dim_record};
        return c;
    }();
    return what;
}

std::string name_of(const situation &s) { return name_of(unwind_dimensions(), s); }

namespace {

bool has(const situation &s, unwind_dimension d) { return s.v[d] >= 0; }

} // namespace

bool makes_sense(const situation &s)
{
    if (has(s, dim_odd) && has(s, dim_target) && odd_of(s).from != edge::none &&
        target_of(s).kind != target_kind::exit && target_of(s).kind != target_kind::end)
        return false;
    if (has(s, dim_target) && has(s, dim_above) &&
        target_of(s).kind == target_kind::passed_over && above_of(s).records == 0)
        return false;
    if (has(s, dim_target) && target_of(s).kind == target_kind::below_head &&
        ((has(s, dim_answer) && answer_of(s).kind != answer_kind::search) ||
         (has(s, dim_change) && change_of(s).what != field::none)))
        return false;
    if (!has(s, dim_above) || !has(s, dim_odd) || !has(s, dim_target) || !has(s, dim_answer) ||
        !has(s, dim_place))
        return true;
    const walk_facts facts = facts_of(s);
    if (!facts.sensible)
        return false;
    // A walk that raises does not resume the context, and the contract says
    // how RtlUnwind returns after a handler broke the calling convention,
    // not how a walk that must raise goes on with string instructions
    // running backwards. On several threads at once, raises are not tried.
    if (facts.raises && has(s, dim_change) && change_of(s).what != field::none)
        return false;
    if (facts.raises && has(s, dim_place) && place_of(s).kind == place_kind::threads)
        return false;
    if (has(s, dim_change) && change_of(s).what != field::none && !facts.actor_exists)
        return false;
    return true;
}

const std::vector<situation> &unwind_situations(void)
{
    static const std::vector<situation> all =
        cover(unwind_dimensions(), unwind_coverage(), makes_sense);
    return all;
}
