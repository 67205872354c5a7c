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

// The check's words for the status an unwind must raise.
std::string must_raise(const situation &s, const expected_end &e)
{
    return format(" where RtlUnwind must raise %s%s", status_name(e.status), reason_of(s, e).c_str());
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

// The rows of a C array: on the line of its name where they are few and
// short, else a line of their own each `per_line` (0: as many as fit in
// 100 columns).
std::string rows_text(const std::vector<std::string> &rows, size_t per_line)
{
    std::string all;
    for (const std::string &row : rows)
        all += (all.empty() ? "" : ", ") + row;
    if (all.size() <= 90)
        return all;
    std::string out, line;
    size_t on_line = 0;
    for (const std::string &row : rows) {
        if (!line.empty() && (per_line ? on_line == per_line : line.size() + row.size() > 100)) {
            out += line + ",\n";
            line.clear();
            on_line = 0;
        }
        line += (line.empty() ? "    " : ", ") + row;
        ++on_line;
    }
    return "\n" + out + line;
}

// The reproducer's events (its enum): a call, and the ends of an unwind
// that it tells apart.
enum { r_call, r_returned, r_raised, r_faulted, r_at_target_ip, r_left };
const char *const event_words[] = {"CALLED", "RETURNED", "RAISED", "FAULTED", "AT_TARGET_IP", "LEFT"};

// Where the walk goes astray, whether the comparison names `which`: for
// every call i (0 to the predicted calls), every handler of a record the
// reproducer stages called in every unwind, or else none called and the
// unwind of the predicted call ending each way the reproducer tells apart.
// The comparison itself says, on an observation whose calls before i are
// the predicted ones. As C rows "{from, to, node, unwind, how, code}" of
// the cases that are `which`'s, or those that are not where they are
// fewer (*is false then); runs of i folded into one row.
std::string astray_rows(promise which, const situation &s, const prediction &p,
                        const numbering &nodes, bool *is, bool *ends, bool *codes)
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
    // The rows of a side: runs of consecutive calls i folded into one.
    struct row {
        int from, to, node, role, how;
        uint32_t code;
    };
    std::vector<row> rows[2];
    for (int named = 0; named < 2; ++named)
        for (const auto &one : named ? yes : no) {
            const std::vector<int> &at = one.second;
            for (size_t a = 0, b; a < at.size(); a = b) {
                for (b = a + 1; b < at.size() && at[b] == at[b - 1] + 1; ++b)
                    ;
                rows[named].push_back({at[a], at[b - 1], std::get<0>(one.first),
                                       std::get<1>(one.first), std::get<2>(one.first),
                                       std::get<3>(one.first)});
            }
        }
    *is = rows[1].size() <= rows[0].size();
    const std::vector<row> &listed = rows[*is ? 1 : 0];
    *ends = *codes = false;
    for (const row &r : listed) {
        *ends = *ends || r.node < 0;
        *codes = *codes || (r.node < 0 && r.how == r_raised);
    }
    // Where no row is an end, a row is a call's: its record and unwind.
    std::vector<std::string> out;
    for (const row &r : listed)
        out.push_back(format("{%d, %d, %s, %d", r.from, r.to,
                             r.node < 0 ? "-1" : nodes.word_of(r.node).c_str(), r.role) +
                      (*ends ? format(", %s, 0x%Xu}", event_words[r.how], r.code) : "}"));
    // No row: one that no walk matches, for C has no empty array.
    return listed.empty() ? "{-1, -1, -1, -1}" : rows_text(out, 3);
}


// The handler calls as the reproducer records them: a run of consecutive
// records above the target called by one unwind is one event.
struct call_run {
    int node, count, role;
};

std::vector<call_run> call_runs(const prediction &p, int above)
{
    std::vector<call_run> runs;
    for (const expected_call &c : p.calls) {
        if (!runs.empty()) {
            call_run &last = runs.back();
            if (last.role == c.role && c.node == last.node + last.count && c.node > node_above &&
                c.node < node_above + above) {
                ++last.count;
                continue;
            }
        }
        runs.push_back({c.node, 1, c.role});
    }
    return runs;
}

const char *const role_words[] = {"OUTER", "MIDDLE", "UNWIND", "NESTED"};

// The expected events: the calls, then how each unwind ends, innermost
// first, as the reproducer notes them.
std::string events(const situation &s, const prediction &p, const numbering &nodes, bool e4,
                   int *count)
{
    std::vector<std::string> rows;
    for (const call_run &r : call_runs(p, nodes.above()))
        rows.push_back(format("{CALLED, %s, %d, %s, 0, 0, 0, 0}", nodes.word(r.node).c_str(),
                              r.count, role_words[r.role]));
    const record_row &rec = record_of(s);
    for (int role = role_count - 1; role >= 0; --role) {
        const unwind_plan &u = p.unwinds[role];
        const expected_end &e = p.ends[role];
        if (!u.made)
            continue;
        const char *who = role_words[role];
        if (e.how == ending::returns)
            rows.push_back(format("{RETURNED, %s, 0, %s, %d, 0x%Xu, 0, 0}",
                                  nodes.word(e.head_after).c_str(), who,
                                  e.head_after == u.target ? 1 : 0, u.flags));
        else if (e.how == ending::raises && e.record_itself)
            rows.push_back(format("{RAISED, -1, 0, %s, 0x%08Xu, %u, %s, 0}", who,
                                  u.own_record ? STATUS_UNWIND : callers_code, u.flags & 1,
                                  !e4 ? "0" : !u.own_record && rec.chained ? "ANOTHER" : "NO_RECORD"));
        else if (e.how == ending::raises)
            rows.push_back(format("{RAISED, -1, 0, %s, 0x%08Xu, 1, %s, 0}", who, e.status,
                                  !e4 ? "0" : u.own_record ? "ITS_OWN" : "THE_CALLERS"));
        else if (e.how == ending::abandoned)
            rows.push_back(format("{LEFT, -1, 0, %s, 0, 0, 0, 0}", who));
    }
    *count = static_cast<int>(rows.size());
    return rows_text(rows, 0);
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
    const bool changes = change.what != field::none && change.what != field::live_df;
    const char *id = id_of(which);
    auto is = [&](std::initializer_list<promise> list) {
        return std::find(list.begin(), list.end(), which) != list.end();
    };
    template_values v;
    auto on = [&](const char *name) {
        return std::find(v.features.begin(), v.features.end(), name) != v.features.end();
    };
    auto feature = [&](const char *name, bool yes) {
        if (yes)
            v.features.push_back(name);
    };
    bool listed = true, end_rows = false, codes_listed = false;
    const std::string astray = astray_rows(which, s, p, nodes, &listed, &end_rows, &codes_listed);
    const bool rounds_run = which == promise::T3 && place == place_kind::threads;
    const bool ask = which == promise::W5 && (answer.kind == answer_kind::nests || outer);
    const bool ends = !is({promise::W4, promise::W7, promise::W8, promise::U4, promise::T2,
                           promise::T3});
    bool returns = false, raises_status = false, raises_record = false;
    for (int role : {role_tested, role_nested}) {
        const expected_end &e = p.ends[role];
        returns |= ends && e.how == ending::returns;
        raises_status |= ends && e.how == ending::raises && !e.record_itself;
        raises_record |= ends && e.how == ending::raises && e.record_itself;
    }
    feature("N", n > 0);
    feature("few", n <= 8);
    // Handler calls of consecutive records noted as one event: only records
    // above the target follow one another so.
    feature("runs", n > 1);
    feature("thread", thread);
    feature("rounds", rounds_run);
    feature("outer", outer);
    feature("middle", middle);
    feature("odd_data", odd.from == edge::data);
    feature("odd_bound", bound);
    feature("odd_limit", odd.from == edge::limit);
    feature("grows", odd.from == edge::limit);
    // The words of a record at a bound that lie on the stack: below
    // StackBase, or from StackLimit on.
    bool on_stack[2] = {false, false};
    for (int k = 0; k < 2 && bound; ++k)
        on_stack[k] = odd.from == edge::base ? odd.offset + 4 * k + 4 <= 0 : odd.offset + 4 * k >= 0;
    feature("poke", on_stack[0] || on_stack[1]);
    feature("bounds", bound || thread);
    feature("callers", !rec.own);
    feature("chained", !rec.own && rec.chained);
    feature("search", answer.kind == answer_kind::search);
    feature("collided", answer.kind == answer_kind::collided);
    feature("invalid", answer.kind == answer_kind::invalid);
    feature("nested", answer.kind == answer_kind::nests);
    feature("change", changes);
    feature("std", change.what == field::live_df);
    feature("full_context", changes || which == promise::W8);
    // The actor does something of its own: answers otherwise than going on,
    // changes its context, meets the other threads or asks the platform.
    feature("acts", answer.kind != answer_kind::search || changes || rounds_run || ask);
    // RtlUnwind called from assembly where its registers are judged, where a
    // handler changes them, where a return that must not be says what EAX
    // held (E3), and where threads that unwind at once may be handed one
    // another's context.
    feature("asm", change.what != field::none || is({promise::E1, promise::E3, promise::E5,
                                                     promise::W8, promise::U4, promise::T3}));
    feature("ask", ask);
    feature("ends", ends);
    feature("e4", which == promise::E4);
    feature("end_rows", end_rows);
    feature("codes", codes_listed);
    feature("W4", which == promise::W4);
    feature("W7", which == promise::W7);
    feature("chain", is({promise::W4, promise::W7}));
    feature("record", is({promise::U4, promise::U5, promise::U6}));
    feature("context", which == promise::W8);
    const bool regs = returns && is({promise::E1, promise::E5});
    feature("regs", regs);
    feature("after", which == promise::W8 || regs);
    feature("fields", is({promise::W4, promise::W7, promise::U4, promise::U5, promise::U6,
                          promise::W8}));
    feature("extras", on("fields"));
    feature("returns", returns);
    feature("callers_after", returns && !rec.own && is({promise::U5, promise::U6}));
    feature("raises_status", raises_status);
    feature("raises_record", raises_record);
    feature("name_at", which == promise::W4 || ask || returns);
    // One unwind, called by the program itself, whose handlers only go on,
    // and a verdict that needs no more than the events: the walk, and the
    // status its end raises. Globals then hold what the run saw, and the
    // first event that is not the contract's is the one difference.
    const expected_end &end = p.ends[role_tested];
    const bool end_judged = ends && end.how != ending::none && end.how != ending::abandoned;
    const bool lean = place == place_kind::top && n <= 1 && answer.kind == answer_kind::search &&
                      change.what == field::none && !on("asm") && !on("extras") && !ask &&
                      !returns && !raises_record && which != promise::E4;
    feature("lean", lean);
    feature("must", lean && end_judged && end.how == ending::raises && end.which == which);
    feature("end_u3", lean && end_judged && which == promise::U3);
    feature("status_unwind", which == promise::E4 || ask || returns || raises_record || on("record"));

    const promise_info &told = info(which);
    const bool reference = told.judged == judgement::one_source;
    const std::string check = std::string(id) + " " + name_of(s);
    const std::string prelude = expand(reproducer_prelude, v);
    set(v, "PRELUDE", prelude.substr(0, prelude.size() - 1));
    set(v, "CHECK", check);
    set(v, "P", id);
    set(v, "SITUATION", name_of(s));
    set(v, "PROMISE_TEXT",
        comment(format("%s, as the contract states it (%s): %s.", id, told.source, told.what), 100));
    set(v, "SITUATION_TEXT", comment(description(s, p), 100));
    set(v, "EXIT_TEXT",
        comment(reference
                    ? format("It prints what the contract expects, what happened and the check's "
                             "line, and exits 0: only one source states %s, and a platform that "
                             "does otherwise \"differs\" from that reference.",
                             id)
                    : format("It prints what the contract expects, what happened and the check's "
                             "line; exits 1 where %s breaks.",
                             id),
                100));
    set(v, "NOT_OK", reference ? "differs" : "not ok");
    set(v, "EXIT", reference ? "0" : "verdict[0] != 0");

    // The records.
    set(v, "N", format("%d", n));
    set(v, "NODE_ENUM", nodes.enumeration());
    std::string names;
    for (int k = 0; n <= 8 && k < n; ++k)
        names += format("%s\"record %d\"", names.empty() ? "" : ", ", k + 1);
    for (int node : nodes.order())
        names += (names.empty() ? "" : ", ") + quoted(node_name(node, s));
    set(v, "NODE_NAMES", names);

    // The prediction.
    int count = 0;
    set(v, "EVENTS", events(s, p, nodes, which == promise::E4, &count));
    const int calls = static_cast<int>(p.calls.size());
    set(v, "COUNTS", format("EXPECTED = %d, ", count) + (lean ? format("CALLS = %d, ", calls) : "") +
                         format("MAX = %d", calls + 8));
    set(v, "CALLS_TOO", lean ? " and calls" : "");
    set(v, "ACTOR", p.actor == node_none ? "-3" : nodes.word(p.actor));
    size_t changed_from = p.calls.size() + 8;
    for (size_t i = p.calls.size(); i-- > 0;)
        if (p.calls[i].changed)
            changed_from = i;
    set(v, "CHANGED_FROM", format("%d", static_cast<int>(changed_from)));
    std::string at_call, own_flags;
    for (int role = 0; role < role_count; ++role) {
        const unwind_plan &u = p.unwinds[role];
        const call_values &c = values_of(role);
        if (!u.made)
            continue;
        at_call += format("%s[%s] = {0x%08Xu, 0x%08Xu, 0x%08Xu, 0x%08Xu, 0x%04Xu}",
                          at_call.empty() ? "\n    " : ",\n    ", role_words[role], c.eax, c.ebx,
                          c.esi, c.edi, c.eflags);
        own_flags += format("%s[%s] = {%d, 0x%Xu}", own_flags.empty() ? "" : ", ",
                            role_words[role], u.own_record ? 1 : 0, u.flags);
    }
    set(v, "AT_CALL", at_call);
    set(v, "OWN_FLAGS", own_flags);
    set(v, "ASTRAY", astray);
    set(v, "ASTRAY_IS", listed ? "1" : "0");
    set(v, "ASTRAY_WHOSE", format(listed ? "%s's" : "not %s's", id));
    std::string codes;
    for (uint32_t code : raised_codes())
        codes += format("%s0x%08Xu", codes.empty() ? "" : ", ", code);
    set(v, "CODES", codes);

    std::string macros;
    if (!rec.own || returns || raises_record)
        macros += format("#define CALLERS_CODE 0x%08Xu\n", callers_code);
    if (!rec.own)
        macros += format("#define CALLERS_FLAGS 0x%Xu\n#define CALLERS_COUNT %u\n"
                         "#define CALLERS_CHAINED %s\n#define CALLERS_ADDRESS 0x%08Xu\n"
                         "#define CALLERS_PARAMETER(i) (0x%08Xu + %uu * (i))\n",
                         rec.flags, rec.parameters, rec.chained ? "A(&chained)" : "0u",
                         callers_address, callers_parameter(0),
                         callers_parameter(1) - callers_parameter(0));
    if (!macros.empty())
        macros.pop_back();
    feature("macros", !macros.empty());
    set(v, "MACROS", macros);
    std::string statuses, faults;
#define STATUS(name, code, promise, what)                                                  \
    if (strcmp(walk_promise(#promise), "W1"))                                              \
        statuses += format("%s{%su, \"%s\"}", statuses.empty() ? "" : ", ", #code,          \
                           walk_promise(#promise));
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

    // The world of the call under test, and its staging, straight on.
    const target_kind target = target_of(s).kind;
    std::string frames = target == target_kind::below_head ? "below" : "";
    if (n > 0)
        frames += std::string(frames.empty() ? "" : ", ") + "r[N]";
    const std::string lower = target == target_kind::unlinked ? "target, floor, unlinked;"
                                                              : "target, floor;";
    std::string world = frames.empty() ? "FRAME " + lower
                        : odd.from == edge::word
                            ? "FRAME " + frames + "; unsigned char misaligned[12]; FRAME " + lower
                            : "FRAME " + frames + ", " + lower;
    if (!rec.own)
        world += " RECORD callers;";
    set(v, "WORLD", world);
    std::string stage;
    auto line = [&](const std::string &text) { stage += "    " + text + "\n"; };
    // The run's state: the lean program's globals, or the run's fields.
    const std::string R = lean ? "" : "r->", run = lean ? "" : "r, ";
    auto at = [&](const std::string &node) { return R + "addr[" + node + "]"; };
    if (n > 1 || !rec.own)
        line("int i;");
    if (!rec.own || odd.from == edge::word)
        line("memset(&w, 0, sizeof w);");
    if (n > 1)
        line("for (i = 0; i < N; i++)\n        " + at("i") + " = A(&w.r[i]);");
    // The addresses, then the chain, each on one line.
    std::vector<std::string> places;
    if (n == 1)
        places.push_back(at("0") + " = A(&w.r[0]);");
    places.push_back(at("TARGET") + " = A(&w.target);");
    places.push_back(at("FLOOR") + " = A(&w.floor);");
    if (target == target_kind::unlinked)
        places.push_back(at("UNLINKED") + " = A(&w.unlinked);");
    if (target == target_kind::below_head)
        places.push_back(at("BELOW") + " = A(&w.below);");
    if (target == target_kind::misaligned)
        places.push_back(at("TARGET_2") + " = A(&w.target) + 2;");
    if (place == place_kind::handler)
        places.push_back(at("GUARD_OUTER") + " = tib(0);");
    if (middle)
        places.push_back(at("GUARD_MIDDLE") + " = tib(0);");
    switch (odd.from) {
    case edge::none: break;
    case edge::data: places.push_back(at("ODD") + " = A(&off_stack);"); break;
    case edge::word: places.push_back(at("ODD") + format(" = A(w.misaligned + %d);", odd.offset)); break;
    case edge::limit:
    case edge::base:
        places.push_back(at("ODD") + format(" = tib(%d)%s;", odd.from == edge::limit ? 8 : 4,
                                            odd.offset ? format(" - %d", -odd.offset).c_str() : ""));
        break;
    }
    auto joined = [](const std::vector<std::string> &statements) {
        std::string out;
        for (const std::string &one : statements)
            out += (out.empty() ? "" : " ") + one;
        return out;
    };
    line(joined(places));
    if (n > 1)
        line("for (i = 0; i + 1 < N; i++)\n        chain(" + run + "i, i + 1);");
    std::vector<std::string> links;
    if (n > 0)
        links.push_back(format("chain(%s%s, ", run.c_str(), n == 1 ? "0" : "N - 1") +
                        nodes.word(next_of(s, node_above + n - 1)) + ");");
    for (int node : {node_target, node_floor, node_unlinked, node_below})
        if (nodes.of(node) >= 0)
            links.push_back("chain(" + run + nodes.word(node) + ", " +
                            nodes.word(next_of(s, node)) + ");");
    const std::string odd_next = odd.from == edge::none ? "" : nodes.word(next_of(s, node_odd));
    if (odd.from == edge::data || odd.from == edge::word)
        links.push_back("chain(" + run + "ODD, " + odd_next + ");");
    line(joined(links));
    if (bound) {
        // The bounds must be the thread's: else the situation is not staged.
        if (lean)
            line("if ((bounds = tib(8) >= tib(4) ? \"StackLimit was not below StackBase\" : "
                 "!on_stack(A(&w) & ~7u) ? \"a local variable lay outside StackLimit..StackBase\" "
                 ": 0)) return;");
        else
            line("if ((r->bounds = bounds()))\n        leave(r);");
        if (odd.from == edge::limit) {
            line(R + "bounds = \"the thread's stack could not grow down to StackLimit: touching it "
                 "there faulted\";");
            line("grow_to(tib(8));");
        }
        for (int k = 0; k < 2; ++k)
            if (on_stack[k])
                line(format("poke(%s%d, %s%s, %s);", run.c_str(), k, at("ODD").c_str(),
                            k ? " + 4" : "", k ? "A(handler)" : at(odd_next).c_str()));
        if (odd.from == edge::limit)
            line(R + "bounds = 0;");
    }
    if (!rec.own) {
        if (!lean)
            line("r->callers = &w.callers;");
        line("w.callers.code = CALLERS_CODE;");
        line("w.callers.flags = CALLERS_FLAGS;");
        if (rec.chained)
            line("w.callers.chained = &chained;");
        line("w.callers.address = CALLERS_ADDRESS;");
        line("w.callers.count = CALLERS_COUNT;");
        line("for (i = 0; i < CALLERS_COUNT; i++)\n        w.callers.params[i] = CALLERS_PARAMETER(i);");
    }
    line("set_head(" + at(nodes.word(head_of(s, role_tested))) + ");");
    const int target_node = p.unwinds[role_tested].target;
    const std::string unwind_target = nodes.word(target_node);
    if (lean) {
        // The call, and its return noted: the head after it, 1 at its target.
        const std::string target_at = target_node == node_none ? "0" : "(void *)" + at(unwind_target);
        line("running = UNWIND;");
        line(format("RtlUnwind(%s, (void *)A(landing), %s, 0x%08Xu);", target_at.c_str(),
                    rec.own ? "0" : "&w.callers", values_of(role_tested).return_value));
        line("running = -1;");
        line("trace[events++] = (struct event){RETURNED, node_at(tib(0)), 0, UNWIND, " +
             (target_node == node_none ? std::string("0") : "tib(0) == " + at(unwind_target)) +
             ", 0, 0, tib(0)};");
    } else
        line(format("unwind(r, UNWIND, %s, %s, 0x%08Xu);", unwind_target.c_str(),
                    rec.own ? "0" : "r->callers", values_of(role_tested).return_value));
    stage.pop_back();
    set(v, "STAGE", stage);
    set(v, "STAGE_PARAMS", lean ? "void" : "struct run *r");
    set(v, "POKED", on("poke") ? ", poked[2], was[2]" : "");
    std::string put_back;
    for (int k = 0; k < 2; ++k)
        if (on_stack[k])
            put_back += format("%s    if (poked[%d]) memcpy((void *)poked[%d], &was[%d], 4);",
                               put_back.empty() ? "" : "\n", k, k, k);
    set(v, "PUT_BACK", put_back);
    if (on("must")) {
        set(v, "MUST_CODE", format("0x%08Xu", end.status));
        set(v, "MUST_WORDS", quoted(must_raise(s, end)));
    }
    std::string stage_outer;
    if (odd.from == edge::base && odd.good && outer)
        stage_outer = "    r->addr[ODD] = tib(4) - 8;";
    set(v, "STAGE_OUTER", stage_outer);
    const std::string outer_next = nodes.word(next_of(s, node_outer_target));
    set(v, "OUTER_NEXT", middle ? "(role == OUTER ? " + outer_next + " : GUARD_OUTER)" : outer_next);
    set(v, "OUTER_CALL", middle ? "stage_outer(r, MIDDLE)" : "stage_tested(r)");
    set(v, "OUTER_VALUE", format("0x%08Xu", values_of(role_outer).return_value));
    set(v, "MIDDLE_VALUE", format("0x%08Xu", values_of(role_middle).return_value));
    set(v, "CHAIN_HANDLER", change.what == field::live_df
                                ? "n == ACTOR ? A(handler_std) : A(handler)"
                                : "A(handler)");

    // The actor.
    set(v, "CHANGE", change_statement(change));
    set(v, "NAMED", answer.kind == answer_kind::collided
                        ? nodes.word(named_node(s, p.actor, node_none))
                        : "-1");
    set(v, "ANSWER", format("0x%Xu", answer.value));
    set(v, "NESTED_TARGET", nodes.word(p.unwinds[role_nested].target));
    set(v, "NESTED_VALUE", format("0x%08Xu", values_of(role_nested).return_value));
    set(v, "CHANGE_FIELD", field_word(change.what));
    set(v, "CHANGED_VALUE", changed_value(change));
    set(v, "CHANGE_BITS", format("0x%Xu", change.what == field::eflags ? change.value : 0u));

    // The judgement: the walk, then how each unwind that the contract says
    // ends ended, unless the walk went astray.
    std::vector<std::string> judged;
    for (int role : {role_tested, role_nested}) {
        const expected_end &e = p.ends[role];
        const char *who = role_words[role];
        if (!ends || e.how == ending::none || e.how == ending::abandoned)
            continue;
        if (e.how == ending::returns)
            judged.push_back(format("returned(&lone, %s, \"%s\", %d);", who,
                                    reach_of(p.unwinds[role]), e.changed ? 1 : 0));
        else if (e.record_itself)
            judged.push_back(format("raised_record(&lone, %s);", who));
        else
            judged.push_back(format("raised(&lone, %s, \"%s\", %s);", who, id_of(e.which),
                                    quoted(must_raise(s, e)).c_str()));
    }
    const std::string walked = ask ? "!asked(&lone) && !walk(&lone)" : "!walk(&lone)";
    std::string judge;
    if (judged.empty())
        judge = ask ? "    if (!asked(&lone))\n        walk(&lone);" : "    walk(&lone);";
    else if (judged.size() == 1)
        judge = "    if (" + walked + ")\n        " + judged[0];
    else
        judge = "    if (" + walked + ") {\n        " + judged[0] + "\n        " + judged[1] +
                "\n    }";
    set(v, "JUDGE", judge);
    (void)on;
    return expand(template_text, v);
}
