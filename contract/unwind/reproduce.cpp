// The reproducer of a check: the template of reproducer_template.inc with
// the situation's records, the model's prediction for it and the promise's
// words filled in, and only the parts that the situation and the promise
// need kept.
#include "reproduce.h"

#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <tuple>

#include "comparison.h"
#include "format.h"
#include "model.h"
#include "observation.h"
#include "seh_frame.h"
#include "statuses.h"

namespace {

const char template_text[] =
#include "reproducer_template.inc"
    ;

// The records that a situation's world holds, as the reproducer numbers
// them: the records above the target first (0..N-1), then the others in
// the order of `extra`, the platform's records of the outer unwinds and
// the end marker last.
class numbering {
public:
    explicit numbering(const situation &s) : n_(above_of(s).records)
    {
        const target_kind t = target_of(s).kind;
        const place_kind place = place_of(s).kind;
        const bool outer = place == place_kind::handler || place == place_kind::handler_2;
        const bool middle = place == place_kind::handler_2;
        add(node_target, "TARGET");
        add(node_floor, "FLOOR");
        if (t == target_kind::unlinked)
            add(node_unlinked, "UNLINKED");
        if (t == target_kind::below_head)
            add(node_below, "BELOW");
        if (t == target_kind::misaligned)
            add(node_target_misaligned, "TARGET_2");
        if (odd_of(s).from != edge::none)
            add(node_odd, "ODD");
        if (outer) {
            add(node_outer, "OUTER_1");
            add(node_outer_2, "OUTER_2");
            add(node_outer_target, "OUTER_TARGET");
        }
        if (middle) {
            add(node_middle, "MIDDLE_1");
            add(node_middle_2, "MIDDLE_2");
            add(node_middle_target, "MIDDLE_TARGET");
        }
        guard_first_ = n_ + static_cast<int>(order_.size());
        if (outer)
            add(node_guard_outer, "GUARD_OUTER");
        if (middle)
            add(node_guard_middle, "GUARD_MIDDLE");
        add(node_end, "END_NODE");
    }

    // The reproducer's number of model node n; -1 for none (a null
    // target), -3 for a record the reproducer does not stage.
    int of(int n) const
    {
        if (n == node_none)
            return -1;
        if (n >= node_above && n < node_above + n_)
            return n - node_above;
        const auto at = std::find(order_.begin(), order_.end(), n);
        return at == order_.end() ? -3 : n_ + static_cast<int>(at - order_.begin());
    }
    // Its name in the program's text: "TARGET", "3", "-1".
    std::string word(int n) const
    {
        const int k = of(n);
        if (k >= n_)
            return words_[static_cast<size_t>(k - n_)];
        return format("%d", k);
    }

    // The name of the reproducer's number k.
    std::string word_of(int k) const
    {
        return k >= n_ ? words_[static_cast<size_t>(k - n_)] : format("%d", k);
    }
    // "TARGET = N, FLOOR, ..., END_NODE, NODES, GUARD_FIRST = GUARD_OUTER"
    std::string enumeration(void) const
    {
        std::string out;
        for (size_t i = 0; i < words_.size(); ++i)
            out += words_[i] + (i == 0 ? " = N, " : ", ");
        return out + "NODES, GUARD_FIRST = " + words_[static_cast<size_t>(guard_first_ - n_)];
    }
    const std::vector<int> &order(void) const { return order_; }
    int above(void) const { return n_; }
    int guard_first(void) const { return guard_first_; }

private:
    int n_;
    int guard_first_ = 0;
    std::vector<int> order_;
    std::vector<std::string> words_;

    void add(int n, const char *word)
    {
        order_.push_back(n);
        words_.push_back(word);
    }
};

const char *reach_of(const unwind_plan &u)
{
    if (u.target == node_none)
        return "U2";
    if (u.target == node_end)
        return "E2";
    if (u.target == node_unlinked || u.target == node_target_misaligned)
        return "W1";
    return "U1";
}

std::string reason_of(const situation &s, const expected_end &e)
{
    switch (e.status) {
    case STATUS_BAD_STACK: return format(" for %s", node_name(e.at, s));
    case STATUS_INVALID_UNWIND_TARGET:
        return format(" (%s lies above the target)", node_name(e.at, s));
    case STATUS_INVALID_DISPOSITION: {
        const uint32_t value = answer_of(s).value;
        return value < 10 ? format(" (%s's handler answered %u)", node_name(e.at, s), value)
                          : format(" (%s's handler answered 0x%X)", node_name(e.at, s), value);
    }
    }
    return "";
}

const char *field_word(field f)
{
    switch (f) {
    case field::eax: return "F_EAX";
    case field::ebx: return "F_EBX";
    case field::ecx: return "F_ECX";
    case field::edx: return "F_EDX";
    case field::esi: return "F_ESI";
    case field::edi: return "F_EDI";
    case field::ebp: return "F_EBP";
    case field::esp: return "F_ESP";
    case field::eip: return "F_EIP";
    case field::eflags: return "F_EFLAGS";
    case field::none:
    case field::live_df: break;
    }
    return "F_NONE";
}

const char *member_of(field f)
{
    switch (f) {
    case field::eax: return "eax";
    case field::ebx: return "ebx";
    case field::ecx: return "ecx";
    case field::edx: return "edx";
    case field::esi: return "esi";
    case field::edi: return "edi";
    case field::ebp: return "ebp";
    case field::esp: return "esp";
    case field::eip: return "eip";
    case field::eflags: return "eflags";
    case field::none:
    case field::live_df: break;
    }
    return "";
}

// The change as a statement on the context, and as what a field then holds.
std::string change_statement(const change_row &c)
{
    switch (c.what) {
    case field::eflags: return format("context->eflags ^= 0x%03Xu", c.value);
    case field::esp: return format("context->esp -= 0x%Xu", c.value);
    case field::eip: return "context->eip = A(alternate_site)";
    case field::none:
    case field::live_df: return "";
    default: return format("context->%s = 0x%08Xu", member_of(c.what), c.value);
    }
}

std::string changed_value(const change_row &c)
{
    switch (c.what) {
    case field::eflags: return format("was ^ 0x%03Xu", c.value);
    case field::esp: return format("was - 0x%Xu", c.value);
    case field::eip: return "A(alternate_site)";
    case field::none:
    case field::live_df: return "was";
    default: return format("0x%08Xu", c.value);
    }
}

const char *const unwind_words[] = {"the outer unwind", "the middle unwind", "the unwind",
                                    "the nested unwind"};

// The handler calls, as runs of consecutive records of one unwind.
struct run_of_calls {
    int node, count, role;
    bool changed;
};

std::vector<run_of_calls> runs_of(const prediction &p)
{
    std::vector<run_of_calls> runs;
    for (const expected_call &c : p.calls) {
        if (!runs.empty()) {
            run_of_calls &last = runs.back();
            if (last.role == c.role && last.changed == c.changed &&
                c.node == last.node + last.count && c.node < node_above + most_above)
            {
                ++last.count;
                continue;
            }
        }
        runs.push_back({c.node, 1, c.role, c.changed});
    }
    return runs;
}

// What the contract expects, in words: the calls, then each end.
std::string expectation(const situation &s, const prediction &p)
{
    std::string out;
    for (const run_of_calls &r : runs_of(p)) {
        out += r.count == 1 ? format("%s's handler", node_name(r.node, s))
                            : format("the handlers of %s to %s", node_name(r.node, s),
                                     node_name(r.node + r.count - 1, s));
        out += format(" (%s), ", unwind_words[r.role]);
    }
    if (p.calls.empty())
        out += "no handler called, ";
    std::vector<std::string> ends;
    for (int role : {role_tested, role_nested}) {
        const expected_end &e = p.ends[role];
        const unwind_plan &u = p.unwinds[role];
        if (e.how == ending::returns)
            ends.push_back(format("%s returns with %s at the head", unwind_words[role],
                                  e.head_after == node_end ? "the end marker"
                                                           : node_name(e.head_after, s)));
        else if (e.how == ending::raises && e.record_itself)
            ends.push_back(format("%s raises %s at the end marker (E3)", unwind_words[role],
                                  u.own_record ? "its own STATUS_UNWIND record"
                                               : "the caller's record"));
        else if (e.how == ending::raises)
            ends.push_back(format("%s raises %s%s, non-continuable, chaining its record",
                                  unwind_words[role], status_name(e.status),
                                  reason_of(s, e).c_str()));
    }
    for (size_t i = 0; i < ends.size(); ++i)
        out += (i ? "; " : "then ") + ends[i];
    return out;
}

// The situation in words, value by value.
std::string description(const situation &s, const prediction &p)
{
    std::string out = format("The situation: %d record%s of the check's above the target",
                             above_of(s).records, above_of(s).records == 1 ? "" : "s");
    const odd_row &odd = odd_of(s);
    if (odd.from != edge::none)
        out += format("; %s on the chain (%s)", odd.record,
                      odd.good ? "within the stack: its handler is called"
                               : "outside the stack or misaligned: it must be refused");
    static const char *const targets[] = {
        "a record on the chain",
        "null, an exit unwind",
        "0xFFFFFFFF, the end marker",
        "a record above every record, never on the chain",
        "a record below the head",
        "a record between two records, which the walk passes over",
        "two bytes into the record on the chain that would be the target",
    };
    out += format("; TargetFrame %s", targets[static_cast<int>(target_of(s).kind)]);
    const record_row &rec = record_of(s);
    out += rec.own ? "; ExceptionRecord null, so RtlUnwind supplies its own"
                   : format("; the caller's ExceptionRecord (flags 0x%X, %u parameters%s)",
                            rec.flags, rec.parameters, rec.chained ? ", a chained record" : "");
    const answer_row &answer = answer_of(s);
    const std::string actor = p.actor == node_none ? "no record" : node_name(p.actor, s);
    switch (answer.kind) {
    case answer_kind::search: out += "; every handler answers ExceptionContinueSearch"; break;
    case answer_kind::collided:
        out += format("; %s's handler answers ExceptionCollidedUnwind naming %s", actor.c_str(),
                      node_name(named_node(s, p.actor, node_none), s));
        break;
    case answer_kind::invalid:
        out += format("; %s's handler answers 0x%X", actor.c_str(), answer.value);
        break;
    case answer_kind::nests: {
        const int t = p.unwinds[role_nested].target;
        out += format("; %s's handler calls RtlUnwind to %s, then leaves the walk",
                      actor.c_str(), t == node_none ? "null" : node_name(t, s));
        break;
    }
    }
    const change_row &change = change_of(s);
    if (change.what == field::live_df)
        out += "; that handler returns with the direction flag set";
    else if (change.what != field::none)
        out += format("; that handler does %s", change_statement(change).c_str());
    static const char *const places[] = {
        "RtlUnwind is called by the program itself",
        "RtlUnwind is called from the handler of another unwind's record",
        "RtlUnwind is called from a handler of an unwind called from a handler",
        "all this on a new thread",
        "all this on a new thread",
    };
    out += "; " + std::string(places[static_cast<int>(place_of(s).kind)]);
    if (place_of(s).kind == place_kind::threads)
        out += format(", and for T3 on %d threads at once over %d rounds", thread_count, rounds);
    return out + ".";
}

// The promise that a status concerns where it ends a walk that was to go
// on: the one it reports where that is RtlUnwind's, else W1.
const char *walk_promise(const char *reported)
{
#define FAMILY(letter, contract, what)                                  \
    if (reported[0] == #letter[0] && strcmp(#contract, "unwind") == 0) \
        return reported;
#define PROMISE(id, family, judgement, source, what)
#include "promises.def"
#undef FAMILY
#undef PROMISE
    return "W1";
}

// The codes that the reproducer tells apart where RtlUnwind raises: the
// platform's statuses and the caller's code; any other is code 0.
std::vector<uint32_t> raised_codes(void)
{
    std::vector<uint32_t> codes;
#define STATUS(name, code, promise, what) codes.push_back(code##u);
#define LAYER_EXIT(name, status, promise, what)
#include "statuses.def"
#undef STATUS
#undef LAYER_EXIT
    codes.push_back(callers_code);
    return codes;
}

// The reproducer's ends of an unwind (its enum), with what it tells apart.
enum { r_call, r_returned, r_raised, r_faulted, r_at_target_ip, r_left };

// Where the walk goes astray, whether the comparison names `which`: for
// every call i (0 to the predicted calls), every handler of a record the
// reproducer stages called in every unwind, or else none called and the
// unwind of the predicted call ending each way the reproducer tells apart.
// The comparison itself says, on an observation whose calls before i are
// the predicted ones. As C rows "{from, to, node, unwind, how, code}" of
// the cases that are `which`'s, or those that are not where they are
// fewer (*is false then); runs of i folded into one row.
std::string astray_rows(promise which, const situation &s, const prediction &p,
                        const numbering &nodes, bool *is)
{
    std::unique_ptr<observation> o(new observation());
    const child_end gone{};
    for (int n = 0; n < node_count; ++n)
        o->addresses[n] = 0x10000u + 8u * static_cast<uint32_t>(n);
    for (size_t k = 0; k < p.calls.size() && k < max_calls; ++k) {
        o->calls[k].node = p.calls[k].node;
        o->calls[k].role = p.calls[k].role;
    }
    std::vector<int> staged;
    for (int k = 0; k < nodes.above(); ++k)
        staged.push_back(node_above + k);
    for (int n : nodes.order())
        if (!is_guard(n) && n != node_end)
            staged.push_back(n);
    // key (node, unwind, how, code) -> the calls i at which it is `which`'s, and not
    std::map<std::tuple<int, int, int, uint32_t>, std::vector<int>> yes, no;
    auto judge = [&](size_t i, int node, int role, int how, uint32_t code) {
        const bool named = comparison(s, p, *o, gone).astray_at(i).has(which);
        (named ? yes : no)[std::make_tuple(node < 0 ? -1 : nodes.of(node), role, how, code)]
            .push_back(static_cast<int>(i));
    };
    const size_t calls = std::min<size_t>(p.calls.size(), max_calls - 1);
    for (size_t i = 0; i <= calls; ++i) {
        o->call_count = static_cast<uint32_t>(i + 1);
        for (int node : staged)
            for (int role = -1; role < role_count; ++role) {
                if (role >= 0 && !p.unwinds[role].made)
                    continue;
                if (i < p.calls.size() && node == p.calls[i].node && role == p.calls[i].role)
                    continue;
                for (seen_unwind &u : o->unwinds)
                    u.made = 0;
                if (role >= 0)
                    o->unwinds[role].made = 1;
                o->calls[i].node = node;
                o->calls[i].role = role;
                judge(i, node, role, r_call, 0);
            }
        if (i < p.calls.size()) {
            o->calls[i].node = p.calls[i].node;
            o->calls[i].role = p.calls[i].role;
        }
        if (i == p.calls.size())
            continue;
        o->call_count = static_cast<uint32_t>(i);
        seen_unwind &u = o->unwinds[p.calls[i].role];
        u = seen_unwind{};
        u.made = 1;
        const int target = p.unwinds[p.calls[i].role].target;
        // how, the observation's end, the row's code, what was raised, the head after
        const uint32_t reached = target == node_none ? 0u : target == node_end ? SEH_CHAIN_END
                                                                             : o->addresses[target];
        const struct {
            int how;
            uint32_t seen, row, raised, head;
        } ends[] = {
            {r_returned, seen_unwind::returned, 1, 0, reached},
            {r_returned, seen_unwind::returned, 0, 0, 0xDEAD0000u},
            {r_raised, seen_unwind::raised, 0, 0xE0000001u, 0},
            {r_faulted, seen_unwind::faulted, 0, 0xC0000005u, 0},
            {r_at_target_ip, seen_unwind::at_target_ip, 0, 0, 0},
            {r_left, seen_unwind::left, 0, 0, 0},
        };
        for (const auto &e : ends) {
            if (e.how == r_returned && e.row == 1 && target == node_none)
                continue;
            u.how = e.seen;
            u.code = e.raised;
            u.head_after = e.head;
            judge(i, node_none, -1, e.how, e.row);
        }
        u.how = seen_unwind::raised;
        for (uint32_t code : raised_codes()) {
            u.code = code;
            judge(i, node_none, -1, r_raised, code);
        }
        u = seen_unwind{};
    }
    size_t count[2] = {0, 0};
    std::string rows[2];
    for (int named = 0; named < 2; ++named)
        for (const auto &one : named ? yes : no) {
            const std::vector<int> &at = one.second;
            for (size_t a = 0, b; a < at.size(); a = b) {
                for (b = a + 1; b < at.size() && at[b] == at[b - 1] + 1; ++b)
                    ;
                const uint32_t code = std::get<3>(one.first);
                rows[named] += format("%s{%d, %d, %s, %d, %d, 0x%Xu}",
                                      count[named] % 3 ? ", " : count[named] ? ",\n    " : "\n    ",
                                      at[a], at[b - 1],
                                      std::get<0>(one.first) < 0 ? "-1" : nodes.word_of(std::get<0>(one.first)).c_str(),
                                      std::get<1>(one.first), std::get<2>(one.first), code);
                ++count[named];
            }
        }
    *is = count[1] <= count[0];
    const size_t k = count[*is ? 1 : 0];
    return rows[*is ? 1 : 0] + (k % 3 ? ", " : k ? ",\n    " : "\n    ") + "{-1, -1, -1, -1, -1, 0}";
}

} // namespace

std::string reproducer(promise which, const situation &s)
{
    const prediction p = predict(s);
    const numbering nodes(s);
    const int n = nodes.above();
    const odd_row &odd = odd_of(s);
    const record_row &rec = record_of(s);
    const answer_row &answer = answer_of(s);
    const change_row &change = change_of(s);
    const place_kind place = place_of(s).kind;
    const bool outer = place == place_kind::handler || place == place_kind::handler_2;
    const bool middle = place == place_kind::handler_2;
    const bool thread = place == place_kind::thread || place == place_kind::threads;
    const bool bound = odd.from == edge::limit || odd.from == edge::base;
    const char *id = id_of(which);
    auto is = [&](std::initializer_list<promise> list) {
        return std::find(list.begin(), list.end(), which) != list.end();
    };
    template_values v;
    auto feature = [&](const char *name, bool on) {
        if (on)
            v.features.push_back(name);
    };
    feature("N", n > 0);
    feature("thread", thread);
    feature("rounds", which == promise::T3 && place == place_kind::threads);
    feature("outer", outer);
    feature("middle", middle);
    feature("odd", odd.from != edge::none);
    feature("odd_data", odd.from == edge::data);
    feature("odd_word", odd.from == edge::word);
    feature("odd_bound", bound);
    feature("odd_limit", odd.from == edge::limit);
    feature("bounds", bound || thread);
    feature("callers", !rec.own);
    feature("chained", !rec.own && rec.chained);
    feature("unlinked", target_of(s).kind == target_kind::unlinked);
    feature("below", target_of(s).kind == target_kind::below_head);
    feature("search", answer.kind == answer_kind::search);
    feature("collided", answer.kind == answer_kind::collided);
    feature("invalid", answer.kind == answer_kind::invalid);
    feature("nested", answer.kind == answer_kind::nests);
    feature("change", change.what != field::none && change.what != field::live_df);
    feature("std", change.what == field::live_df);
    // RtlUnwind called from assembly where its registers are judged, where a
    // handler changes them, where a return that must not be says what EAX
    // held (E3), and where threads that unwind at once may be handed one
    // another's context.
    feature("asm", change.what != field::none || is({promise::E1, promise::E3, promise::E5,
                                                     promise::W8, promise::U4, promise::T3}));
    feature("ask", which == promise::W5 && (answer.kind == answer_kind::nests || outer));
    feature("ends", !is({promise::W4, promise::W7, promise::W8, promise::U4, promise::T2,
                         promise::T3}));
    feature("W4", which == promise::W4);
    feature("W7", which == promise::W7);
    feature("chain", is({promise::W4, promise::W7}));
    feature("record", is({promise::U4, promise::U5, promise::U6}));
    feature("context", which == promise::W8);
    feature("regs", is({promise::E1, promise::E5}));
    feature("after", is({promise::W8, promise::E1, promise::E5}));
    feature("fields", is({promise::W4, promise::W7, promise::U4, promise::U5, promise::U6,
                          promise::W8}));
    bool returns = false, raises_status = false, raises_record = false;
    for (int role : {role_tested, role_nested}) {
        const expected_end &e = p.ends[role];
        returns |= e.how == ending::returns;
        raises_status |= e.how == ending::raises && !e.record_itself;
        raises_record |= e.how == ending::raises && e.record_itself;
    }
    feature("returns", returns);
    feature("callers_after", returns && !rec.own && is({promise::U5, promise::U6}));
    feature("raises_status", raises_status);
    feature("raises_record", raises_record);

    const promise_info &told = info(which);
    const bool reference = told.judged == judgement::one_source;
    const std::string check = std::string(id) + " " + name_of(s);
    set(v, "PRELUDE", std::string(reproducer_prelude).substr(0, strlen(reproducer_prelude) - 1));
    set(v, "CHECK", check);
    set(v, "P", id);
    set(v, "SITUATION", name_of(s));
    set(v, "PROMISE_TEXT",
        comment(format("%s, as the contract states it (%s): %s.", id, told.source, told.what)));
    set(v, "SITUATION_TEXT",
        comment(description(s, p) + " The contract expects: " + expectation(s, p) + "."));
    set(v, "EXIT_TEXT",
        comment(reference
                    ? format("It prints what the contract expects, what happened and the check's "
                             "line, and exits 0: only one source states %s, and a platform that "
                             "does otherwise \"differs\" from that reference.",
                             id)
                    : format("It prints what the contract expects, what happened and the check's "
                             "line, and exits 1 when the platform breaks %s here, 0 when it "
                             "keeps it.",
                             id)));
    set(v, "NOT_OK", reference ? "differs" : "not ok");
    set(v, "NOT_OK_STATUS", reference ? "0" : "1");

    // The records.
    set(v, "N", format("%d", n));
    set(v, "NODE_ENUM", nodes.enumeration());
    std::string names;
    for (int node : nodes.order())
        names += (names.empty() ? "" : ", ") + quoted(node_name(node, s));
    set(v, "NODE_NAMES", names);

    // The prediction.
    std::string runs;
    for (const run_of_calls &r : runs_of(p))
        runs += format("%s{%s, %d, %d, %d}", runs.empty() ? "" : ", ", nodes.word(r.node).c_str(),
                       r.count, r.role, r.changed ? 1 : 0);
    set(v, "RUNS", runs.empty() ? "{0, 0, UNWIND, 0}" : runs);
    set(v, "CALLS", format("%d", static_cast<int>(p.calls.size())));
    set(v, "ACTOR", p.actor == node_none ? "-3" : nodes.word(p.actor));
    std::string plans;
    for (int role = 0; role < role_count; ++role) {
        const unwind_plan &u = p.unwinds[role];
        const expected_end &e = p.ends[role];
        const call_values &c = values_of(role);
        const int end = e.how == ending::returns  ? 1
                        : e.how == ending::raises ? 2
                        : e.how == ending::abandoned ? 3
                                                     : 0;
        static const char *const roles[] = {"OUTER", "MIDDLE", "UNWIND", "NESTED"};
        if (!u.made)
            continue;
        const std::string at_call =
            v.features.end() != std::find(v.features.begin(), v.features.end(), "asm")
                ? format(" {0x%08Xu, 0x%08Xu, 0x%08Xu, 0x%08Xu, 0x%04Xu},", c.eax, c.ebx,
                         c.esi, c.edi, c.eflags)
                : "";
        plans += format("    [%s] = {1, %s, %d, %d, %s, %d, %s, 0x%Xu, 0x%08Xu, 0x%08Xu,%s \"%s\", "
                        "\"%s\", %s},\n",
                        roles[role], nodes.word(u.target).c_str(), u.own_record ? 1 : 0, end,
                        e.how == ending::returns ? nodes.word(e.head_after).c_str() : "-1",
                        e.changed ? 1 : 0, nodes.word(head_of(s, role)).c_str(), u.flags,
                        e.how == ending::raises ? e.status : 0u, c.return_value, at_call.c_str(),
                        e.how == ending::raises ? id_of(e.which) : "", reach_of(u),
                        quoted(reason_of(s, e)).c_str());
    }
    plans.pop_back();
    set(v, "PLANS", plans);
    set(v, "EXPECTED", quoted(expectation(s, p)));
    bool listed = true;
    set(v, "ASTRAY", astray_rows(which, s, p, nodes, &listed));
    set(v, "ASTRAY_IS", listed ? "1" : "0");
    set(v, "ASTRAY_WHOSE", format(listed ? "%s's" : "not %s's", id));
    std::string codes;
    for (uint32_t code : raised_codes())
        codes += format("%s0x%08Xu", codes.empty() ? "" : ", ", code);
    set(v, "CODES", codes);

    std::string macros = format("#define CALLERS_CODE 0x%08Xu\n", callers_code);
    if (!rec.own)
        macros += format("#define CALLERS_FLAGS 0x%Xu\n#define CALLERS_COUNT %u\n"
                         "#define CALLERS_CHAINED %s\n#define CALLERS_ADDRESS 0x%08Xu\n"
                         "#define CALLERS_PARAMETER(i) (0x%08Xu + %uu * (i))\n",
                         rec.flags, rec.parameters, rec.chained ? "A(&chained)" : "0u",
                         callers_address, callers_parameter(0),
                         callers_parameter(1) - callers_parameter(0));
    macros.pop_back();
    set(v, "MACROS", macros);
    std::string statuses, faults;
#define STATUS(name, code, promise, what)                                                  \
    if (strcmp(walk_promise(#promise), "W1"))                                              \
        statuses += format("%s{%su, \"%s\"}", statuses.empty() ? "" : ", ", #code,          \
                           walk_promise(#promise));                                        \
    if (strcmp(#name, "STATUS_UNWIND") == 0)                                               \
        set(v, "STATUS_DEFINES", format("#define STATUS_UNWIND %su", #code));
#define LAYER_EXIT(name, status, promise, what)
#include "statuses.def"
#undef STATUS
#undef LAYER_EXIT
#define FAULT(code, words) faults += format("%s%su", faults.empty() ? "" : ", ", #code);
#include "faults.def"
#undef FAULT
    set(v, "STATUSES", statuses);
    set(v, "FAULTS", faults);
    set(v, "THREADS", format("%d", thread_count));
    set(v, "ROUNDS", format("%d", rounds));

    // The staging of the world.
    std::string stage;
    auto line = [&](const std::string &text) { stage += "    " + text + "\n"; };
    if (n > 0 || !rec.own)
        line("int i;");
    if (n > 0)
        line("for (i = 0; i < N; i++)\n        r->addr[i] = A(&w.r[i]);");
    line("r->addr[TARGET] = A(&w.target);");
    line("r->addr[FLOOR] = A(&w.floor);");
    if (target_of(s).kind == target_kind::unlinked)
        line("r->addr[UNLINKED] = A(&w.unlinked);");
    if (target_of(s).kind == target_kind::below_head)
        line("r->addr[BELOW] = A(&w.below);");
    if (target_of(s).kind == target_kind::misaligned)
        line("r->addr[TARGET_2] = A(&w.target) + 2;");
    if (place == place_kind::handler)
        line("r->addr[GUARD_OUTER] = tib(0);");
    if (middle)
        line("r->addr[GUARD_MIDDLE] = tib(0);");
    switch (odd.from) {
    case edge::none: break;
    case edge::data: line("r->addr[ODD] = A(&off_stack);"); break;
    case edge::word: line(format("r->addr[ODD] = A(w.misaligned + %d);", odd.offset)); break;
    case edge::limit:
    case edge::base:
        line(format("r->addr[ODD] = tib(%d)%s;", odd.from == edge::limit ? 8 : 4,
                    odd.offset ? format(" - %d", -odd.offset).c_str() : ""));
        break;
    }
    if (n > 1)
        line("for (i = 0; i + 1 < N; i++)\n        chain(r, i, i + 1);");
    if (n > 0)
        line("chain(r, N - 1, " + nodes.word(next_of(s, node_above + n - 1)) + ");");
    for (int node : {node_target, node_floor, node_unlinked, node_below})
        if (nodes.of(node) >= 0)
            line("chain(r, " + nodes.word(node) + ", " + nodes.word(next_of(s, node)) + ");");
    const std::string odd_next = odd.from == edge::none ? "" : nodes.word(next_of(s, node_odd));
    switch (odd.from) {
    case edge::none: break;
    case edge::data:
    case edge::word: line("chain(r, ODD, " + odd_next + ");"); break;
    case edge::limit:
    case edge::base:
        line("if ((r->bounds = bounds(0)))\n        leave(r);");
        if (odd.from == edge::limit) {
            line("r->bounds = \"the thread's stack could not grow down to StackLimit: touching it "
                 "there faulted\";");
            line("grow_to(tib(8));");
        }
        line("write_odd(r, " + odd_next + ");");
        if (odd.from == edge::limit)
            line("r->bounds = 0;");
        break;
    }
    if (!rec.own) {
        line("r->callers = &w.callers;");
        line("w.callers.code = CALLERS_CODE;");
        line("w.callers.flags = CALLERS_FLAGS;");
        if (rec.chained)
            line("w.callers.chained = &chained;");
        line("w.callers.address = CALLERS_ADDRESS;");
        line("w.callers.count = CALLERS_COUNT;");
        line("for (i = 0; i < CALLERS_COUNT; i++)\n        w.callers.params[i] = CALLERS_PARAMETER(i);");
    }
    line("set_head(r->addr[" + nodes.word(head_of(s, role_tested)) + "]);");
    stage.pop_back();
    set(v, "STAGE", stage);
    set(v, "TARGET", nodes.word(p.unwinds[role_tested].target));
    set(v, "RECORD", rec.own ? "0" : "r->callers");
    std::string stage_outer;
    if (odd.from == edge::base && odd.good && outer)
        stage_outer = "    r->addr[ODD] = tib(4) - 8;";
    set(v, "STAGE_OUTER", stage_outer);
    const std::string outer_next = nodes.word(next_of(s, node_outer_target));
    set(v, "OUTER_NEXT", middle ? "(role == OUTER ? " + outer_next + " : GUARD_OUTER)" : outer_next);
    set(v, "OUTER_CALL", middle ? "stage_outer(r, MIDDLE)" : "stage_tested(r)");

    // The actor.
    set(v, "CHANGE", change_statement(change));
    set(v, "NAMED", answer.kind == answer_kind::collided
                        ? nodes.word(named_node(s, p.actor, node_none))
                        : "-1");
    set(v, "ANSWER", format("0x%Xu", answer.value));
    set(v, "NESTED_TARGET", nodes.word(p.unwinds[role_nested].target));
    set(v, "CHANGE_FIELD", field_word(change.what));
    set(v, "CHANGED_VALUE", changed_value(change));
    set(v, "CHANGE_BITS", format("0x%Xu", change.what == field::eflags ? change.value : 0u));
    return expand(template_text, v);
}
