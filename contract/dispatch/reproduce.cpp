// The reproducer of a dispatch check: the template of
// reproducer_template.inc with the model's prediction for the situation as
// tables (the calls, the dispatches, how it resumes and ends), what the
// check's handlers do as a table of acts, the raise of the situation's row,
// and only the parts that the situation needs kept.
#include "reproduce.h"

#include <string.h>

#include <algorithm>

#include "behaviour.h"
#include "format.h"
#include "model.h"
#include "observation.h"
#include "process.h"
#include "reproducer.h"
#include "statuses.h"

namespace {

const char template_text[] =
#include "reproducer_template.inc"
    ;

// The nodes the C program names, with the model's numbers.
const struct {
    const char *word;
    int node;
} node_words[] = {
    {"B1", node_before},          {"ANSWERER", node_answerer}, {"AFTER", node_after},
    {"AFTER_2", node_after_2},    {"ODD", node_odd},           {"CATCHER", node_catcher},
    {"OUTER", node_outer},        {"MIDDLE", node_middle},     {"UNWOUND", node_unwound},
    {"UNWIND_TARGET", node_unwind_target}, {"VA", node_vectored_a},
    {"VB", node_vectored_b},      {"VC", node_vectored_c},     {"VOUTER", node_vectored_outer},
    {"FILTER", node_filter},
};

// The exceptions the C program tells apart, with the model's numbers.
const struct {
    const char *word;
    int exc;
} exception_words[] = {
    {"TESTED", exc_tested},
    {"OUTER_EXC", exc_outer},
    {"MIDDLE_EXC", exc_middle},
    {"INVALID_DISPOSITION", exc_invalid_disposition},
    {"NONCONTINUABLE", exc_noncontinuable},
    {"SINGLE_STEP", exc_step},
    {"OTHER", exc_other},
};

// The instruction of each processor exception, and what it needs loaded.
struct fault_code {
    fault how;
    const char *instruction;
    const char *registers;
};
const fault_code fault_codes[] = {
    {fault::int3, "int3", ""},
    {fault::read, "movl (%ecx), %eax", "c->ecx = INACCESSIBLE;"},
    {fault::write, "movl %eax, (%ecx)", "c->ecx = INACCESSIBLE;"},
    {fault::call, "call *%ecx", "c->ecx = INACCESSIBLE + 0x10;"},
    {fault::jump, "jmp *%ecx", "c->ecx = INACCESSIBLE + 0x10;"},
    {fault::divide, "divl %ecx", "c->ecx = 0;"},
    {fault::overflow, "idivl %ecx", "c->eax = 0x80000000u, c->edx = 0xFFFFFFFFu, c->ecx = 0xFFFFFFFFu;"},
    {fault::illegal, "ud2", ""},
    {fault::privileged, "hlt", ""},
    {fault::step, "pushfl\\n  orl $0x100, (%esp)\\n  popfl\\n  nop", ""},
    {fault::stack, "1: pushl %eax\\n  jmp 1b", ""},
};

// Each x87 exception's operation, and what comes before it.
struct x87_code {
    fault how;
    const char *setup;
    const char *operation;
};
const x87_code x87_codes[] = {
    {fault::x87_invalid, "  fld1\\n  fchs\\n", "fsqrt"},
    {fault::x87_denormal, "", "fldl 4(%esp)"},
    {fault::x87_divide, "  fldz\\n  fld1\\n", "fdiv %st(1), %st"},
    {fault::x87_overflow, "  fildl 4(%esp)\\n  fld1\\n", "fscale"},
    {fault::x87_underflow, "  fildl 4(%esp)\\n  fld1\\n", "fscale"},
    {fault::x87_inexact, "  fildl 4(%esp)\\n  fld1\\n", "fdiv %st(1), %st"},
    {fault::x87_stack, "", "fsqrt"},
};

const x87_code &x87_code_of(fault how)
{
    for (const x87_code &x : x87_codes)
        if (x.how == how)
            return x;
    return x87_codes[0];
}

const fault_code &code_of(fault how)
{
    for (const fault_code &f : fault_codes)
        if (f.how == how)
            return f;
    return fault_codes[0];
}

// What an emulator without trap numbers makes Wine report of each fault.
const char *emulated(fault how)
{
    switch (how) {
    case fault::read:
    case fault::write:
    case fault::call:
    case fault::jump:
    case fault::privileged: return "c->code == 0xC000001Du";
    case fault::divide:
    case fault::overflow: return "c->code == 0xC0000090u";
    case fault::step: return "c->code == 0x80000003u";
    case fault::int3: return "c->address == c->regs.eip + 1";
    default: return "0";
    }
}

const char *act_word(act a)
{
    switch (a) {
    case act::search: return "SEARCH";
    case act::continues: return "CONTINUES";
    case act::invalid: return "INVALID";
    case act::unwinds: return "UNWINDS";
    case act::leaves: return "LEAVES";
    case act::stages: return "STAGES";
    case act::executes: return "EXECUTES";
    }
    return "SEARCH";
}

// The change the answering record makes to the context, as a statement.
std::string change_statement(const answer_row &a)
{
    const char *member = "";
    switch (a.what) {
    case field::eax: member = "eax"; break;
    case field::ebx: member = "ebx"; break;
    case field::ecx: member = "ecx"; break;
    case field::edx: member = "edx"; break;
    case field::esi: member = "esi"; break;
    case field::edi: member = "edi"; break;
    case field::ebp: member = "ebp"; break;
    case field::eflags: return format("context->eflags ^= 0x%Xu", a.value);
    case field::esp: return format("context->esp -= 0x%Xu", a.value);
    case field::eip: return "context->eip = A(raise_alternate_site)";
    case field::trap:
        return format("context->eip = A(raise_stepped_site), context->eflags |= 0x%Xu", a.value);
    case field::none: return "";
    }
    return format("context->%s = 0x%08Xu", member, a.value);
}

// The nodes whose handlers the situation can call.
std::vector<int> present(const situation &s, const prediction &p)
{
    std::vector<int> nodes = tested_records(s);
    nodes.push_back(node_catcher);
    const place_kind where = place_of(s).kind;
    if (where == place_kind::in_handler || where == place_kind::in_handler_2)
        nodes.push_back(node_outer);
    if (where == place_kind::in_handler_2)
        nodes.push_back(node_middle);
    if (where == place_kind::in_unwind) {
        nodes.push_back(node_unwound);
        nodes.push_back(node_unwind_target);
    }
    for (int v : vectored_order(s))
        nodes.push_back(v);
    if (vectored_of(s).removed && std::find(nodes.begin(), nodes.end(), node_vectored_b) == nodes.end())
        nodes.push_back(node_vectored_b);
    if (p.filter_installed)
        nodes.push_back(node_filter);
    return nodes;
}

std::string node_word(int n)
{
    if (n == node_none)
        return "-1";
    if (n > node_before && n < node_before + most_before)
        return format("B1 + %d", n - node_before);
    for (const auto &w : node_words)
        if (w.node == n)
            return w.word;
    return "-1";
}

const char *site_words(resume_site site)
{
    switch (site) {
    case resume_site::returned: return "the raising call's return address";
    case resume_site::alternate: return "the place a handler put in the context";
    case resume_site::after: return "past the faulting instruction";
    default: return "nowhere";
    }
}

// What the contract expects, in words: the calls, then how it ends.
std::string expectation(const prediction &p)
{
    std::string out;
    for (const expected_call &c : p.calls)
        out += format("%s%s with %s, ", c.unwinding ? "an unwind calls " : "", node_name(c.node),
                      c.dispatch >= 0 ? exception_name(p.dispatches[c.dispatch].exc)
                                      : "its own record");
    if (p.calls.empty())
        out += "no handler called, ";
    if (p.resume.made)
        out += format("then the raise point resumes at %s", site_words(p.resume.site));
    else
        switch (p.end) {
        case situation_end::caught:
            out += format("then the outermost record takes %s",
                          exception_name(p.dispatches[p.caught_dispatch].exc));
            break;
        case situation_end::filter_leaves: out += "then the filter leaves the situation"; break;
        case situation_end::ends_process:
            out += format("then the process ends with 0x%08X", p.exit_code);
            break;
        case situation_end::returns: out += "then the situation goes on"; break;
        }
    if (p.answerer_landed)
        out += ", the answering record's unwind returning to it";
    return out;
}

// The raise point's entry for a raise by a call: it calls the function
// in the slot `offset` bytes above ESP, and goes on from its return.
std::string calling_entry(int offset)
{
    return format("        SYM(raise_entry) \":\\n  call *%d(%%esp)\\n\" SYM(raise_return) "
                  "\":\\n  pushfl\\n  pushl $1\\n  jmp 3f\\n\"",
                  offset);
}

} // namespace

std::string reproducer(promise which, const situation &s)
{
    const prediction p = predict(s);
    const raise_row &r = raise_of(s);
    const place_kind where = place_of(s).kind;
    const chain_row &chain = chain_of(s);
    const std::vector<int> nodes = present(s, p);
    const bool processor = r.kind == raise_kind::processor;
    const bool thread = where == place_kind::thread || where == place_kind::threads;
    const bool nested = where == place_kind::in_handler || where == place_kind::in_handler_2 ||
                        where == place_kind::in_vectored || where == place_kind::in_filter;
    template_values v;
    auto feature = [&](const char *name, bool on) {
        if (on)
            v.features.push_back(name);
    };
    feature("software", r.kind == raise_kind::software);
    feature("rtl", r.kind == raise_kind::rtl);
    feature("processor", processor);
    const x87_row *x87 = x87_of(r.how);
    feature("x87", x87 != nullptr);
    feature("access", r.how == fault::read || r.how == fault::write);
    feature("execute", r.how == fault::call || r.how == fault::jump);
    bool status = false;
    for (const expected_dispatch &d : p.dispatches)
        status |= d.exc == exc_invalid_disposition || d.exc == exc_noncontinuable;
    feature("status", status);
    feature("before", chain.before > 0);
    feature("odd", chain.kind == chain_kind::odd && !at_a_bound(s));
    feature("bound", at_a_bound(s));
    feature("bound_odd", at_a_bound(s) && chain.kind == chain_kind::odd);
    feature("bound_answerer", at_a_bound(s) && chain.kind != chain_kind::odd);
    feature("limit", chain.from == edge::limit);
    feature("little", regs_of(s).little);
    feature("top", where == place_kind::top);
    feature("here", !thread);
    feature("thread", thread);
    feature("threads", where == place_kind::threads);
    feature("in_handler", where == place_kind::in_handler);
    feature("in_handler_2", where == place_kind::in_handler_2);
    feature("in_vectored", where == place_kind::in_vectored);
    feature("in_unwind", where == place_kind::in_unwind);
    feature("in_filter", where == place_kind::in_filter);
    feature("nested", nested);
    feature("stages", nested);
    feature("unwinds", answer_of(s).kind == answer_kind::unwinds);
    feature("change", answer_of(s).what != field::none);
    feature("stepped", answer_of(s).what == field::trap);
    feature("vectored", !vectored_order(s).empty() || vectored_of(s).removed);
    feature("removed", vectored_of(s).removed);
    feature("in_call", vectored_of(s).in_call && !vectored_order(s).empty());
    const bool filters = p.filter_installed || ends_process(s);
    feature("filters", filters);
    feature("as_returned", p.resume.made && !p.resume.as_left);
    // The judgement of the promise; on eight threads every promise's, to
    // hold each round to the dispatch alone.
    for (int k = 0; k < promise_count; ++k)
        if (where == place_kind::threads || static_cast<promise>(k) == which)
            v.features.push_back(id_of(static_cast<promise>(k)));

    const std::string check = std::string(id_of(which)) + " " + name_of(s);
    const promise_info &told = info(which);
    template_values prelude;
    prelude.features = {"full_context"};
    if (chain.from == edge::limit)
        prelude.features.push_back("grows");
    const std::string declared = expand(reproducer_prelude, prelude);
    set(v, "PRELUDE", declared.substr(0, declared.size() - 1));
    set(v, "CHECK", check);
    set(v, "P", id_of(which));
    set(v, "SITUATION", name_of(s));
    set(v, "PROMISE_TEXT", comment(format("%s, as the contract states it (%s): %s.", id_of(which),
                                          told.source, told.what)));
    set(v, "SITUATION_TEXT", comment("The contract expects: " + expectation(p) + "."));
    set(v, "EXPECTED", quoted(expectation(p)));

    // The names.
    std::string enumeration, names, handlers, table;
    for (const auto &w : node_words)
        enumeration += format("%s%s = %d", enumeration.empty() ? "" : ", ", w.word, w.node);
    set(v, "NODE_ENUM", enumeration);
    for (int n : nodes) {
        names += format("[%d] = %s, ", n, quoted(node_name(n)).c_str());
        handlers += format(is_vectored(n) || n == node_filter ? "VECTORED_(%d)\n"
                           : n % 2                          ? "STDCALL_(%d)\n"
                                                            : "CDECL(%d)\n",
                           n);
        table += format("[%d] = A(h%d), ", n, n);
    }
    names.resize(names.size() - 2);
    table.resize(table.size() - 2);
    handlers.pop_back();
    set(v, "NODE_NAMES", names);
    set(v, "HANDLERS", handlers);
    set(v, "HANDLER_TABLE", table);
    std::string exceptions, exception_enum;
    for (int e = 0; e <= exc_other; ++e)
        exceptions += format("%s%s", e ? ", " : "", quoted(exception_name(e)).c_str());
    for (const auto &w : exception_words)
        exception_enum += format("%s%s = %d", exception_enum.empty() ? "" : ", ", w.word, w.exc);
    set(v, "EXCEPTION_ENUM", exception_enum);
    set(v, "EXCEPTION_NAMES", exceptions);
    set(v, "CODES", format("#define OUTER_CODE 0x%08Xu\n#define MIDDLE_CODE 0x%08Xu\n"
                           "#define SINGLE_STEP_CODE 0x%08Xu\n"
                           "static const unsigned codes[EXCS] = {[OUTER_EXC] = OUTER_CODE, "
                           "[MIDDLE_EXC] = MIDDLE_CODE, [INVALID_DISPOSITION] = 0x%08Xu, "
                           "[NONCONTINUABLE] = 0x%08Xu};",
                           outer_code, middle_code, single_step_code, STATUS_INVALID_DISPOSITION,
                           STATUS_NONCONTINUABLE_EXCEPTION));
    set(v, "MAX_CALLS", format("%d", max_calls));
    std::string statuses = "static const char *status_name(unsigned code)\n{\n";
#define STATUS(name, code, promise, what) \
    statuses += format("    if (code == %su)\n        return \"%s\";\n", #code, #name);
#define LAYER_EXIT(name, status, promise, what)
#include "statuses.def"
#undef STATUS
#undef LAYER_EXIT
    set(v, "STATUS_NAMES", statuses + "    return 0;\n}");

    // What the check's handlers do: every decision that is not a search.
    std::string acts;
    auto same = [](const decision &a, const decision &b) {
        return a.what == b.what && a.value == b.value && a.change == b.change &&
               a.move == b.move && a.clear_tf == b.clear_tf && a.step == b.step &&
               a.past_step == b.past_step;
    };
    for (int n : nodes) {
        // A node that does one thing whatever it is called for is one row.
        const decision first = decide(s, n, 0, 0);
        bool uniform = true;
        for (int exc = 0; exc < exc_count; ++exc)
            for (int time = 0; time < 3; ++time)
                uniform = uniform && same(decide(s, n, exc, time), first);
        for (int exc = 0; exc < exc_count; ++exc) {
            for (int time = 0; time < 3; ++time) {
                const decision d = decide(s, n, exc, time);
                const bool any_time = same(d, decide(s, n, exc, (time + 1) % 3)) &&
                                      same(d, decide(s, n, exc, (time + 2) % 3));
                if (d.what != act::search)
                    acts += format("    {%d, %d, %d, %s, 0x%Xu, %d, %d, %d, %d, %d},\n", n,
                                   uniform ? -1 : exc, any_time ? -1 : time, act_word(d.what),
                                   d.value, d.change, d.move, d.clear_tf, d.step, d.past_step);
                if (any_time)
                    break;
            }
            if (uniform)
                break;
        }
    }
    set(v, "ACTS", acts + "    {-1, 0, 0, SEARCH, 0, 0, 0, 0, 0, 0}");
    set(v, "CHANGE", change_statement(answer_of(s)));

    // The prediction, and where the platform may resume a continued x87
    // exception without it pending, what follows then.
    std::vector<prediction> ps = {p};
    if (restarts_x87(s, p))
        ps.push_back(predict(s, x87_resume::cleared));
    std::string tables, rows;
    size_t most = 1;
    for (size_t k = 0; k < ps.size(); ++k) {
        const prediction &q = ps[k];
        std::string calls;
        for (const expected_call &c : q.calls)
            calls += format("    {%d, %d, %d, %d, %d, %d, \"%s\"},\n", c.node, c.dispatch,
                            c.unwinding, c.nested, c.act.what == act::continues, c.act.step,
                            id_of(c.why));
        std::string dispatches;
        for (const expected_dispatch &d : q.dispatches)
            dispatches += format("%s    {%d, %d, %d, %d}", dispatches.empty() ? "" : ",\n", d.exc,
                                 d.chained, d.parent, d.head);
        const unsigned n = static_cast<unsigned>(k);
        tables += format("static const struct expected calls_%u[] = {\n%s    {-1, 0, 0, 0, 0, 0, "
                         "\"\"}\n};\nstatic const struct dispatch dispatches_%u[] = {\n%s\n};\n",
                         n, calls.c_str(), n,
                         dispatches.empty() ? "    {0, -1, -1, -1}" : dispatches.c_str());
        const size_t count = std::max<size_t>(1, q.dispatches.size());
        most = std::max(most, count);
        const expected_resume &e = q.resume;
        const promise exit_promise = q.exit_why == promise::D2 ? promise::F4 : q.exit_why;
        rows += format(
            "    {calls_%u, %u, dispatches_%u, %u, %d, %uu, \"%s\", %d, %d, %d, %d, %d, 0x%08Xu, "
            "\"%s\", \"%s\", %d, %d, %d},\n",
            n, static_cast<unsigned>(q.calls.size()), n, static_cast<unsigned>(count), e.made,
            static_cast<uint32_t>(e.site), id_of(e.why), e.dispatch, e.by, !e.as_left,
            q.answerer_landed, static_cast<int>(q.end), q.exit_code, id_of(q.exit_why),
            id_of(exit_promise),
            q.caught_dispatch >= 0 ? q.dispatches[static_cast<size_t>(q.caught_dispatch)].exc : -1,
            q.may_unwind_at_end, q.unwinds_past_dispatcher);
    }
    set(v, "PREDICTIONS",
        tables + "static const struct prediction predictions[] = {\n" + rows + "};");
    set(v, "DISPATCH_COUNT", format("%u", static_cast<unsigned>(most)));
    std::string prediction = format(
        "#define FILTERS %d\n#define REMOVED %d\n#define VECTORED_COUNT %d\n#define DF_SET %d\n"
        "#define NESTED_PLACE %d",
        filters, vectored_of(s).removed, vectored_of(s).count, regs_of(s).df, nested_place(s));
    // The raise.
    prediction += format("\n#define RAISE_CODE 0x%08Xu\n#define RAISE_FLAGS 0x%Xu\n"
                         "#define RAISE_COUNT %uu\n#define NULL_ARGUMENTS %d\n"
                         "#define ARGUMENT(i) (0x%08Xu + 0x%Xu * (i))\n",
                         r.code, r.flags, r.count, r.null_arguments, argument_value(0),
                         argument_value(1) - argument_value(0));
    prediction += format("#define EAX 0x%08Xu\n#define EBX 0x%08Xu\n#define ECX 0x%08Xu\n"
                         "#define EDX 0x%08Xu\n#define ESI 0x%08Xu\n#define EDI 0x%08Xu\n"
                         "#define EBP 0x%08Xu\n#define EFLAGS 0x%Xu\n",
                         sentinels.eax, sentinels.ebx, sentinels.ecx, sentinels.edx, sentinels.esi,
                         sentinels.edi, sentinels.ebp,
                         sentinels.eflags | (regs_of(s).df ? direction_flag : 0));
    prediction += format("#define PROCESSOR %d\n#define X \"%s\"\n#define CODE_OPEN %d\n"
                         "#define STEP %d\n#define STACK %d\n#define CALL_PUSHES %du\n"
                         "#define WRITE %du\n#define INACCESSIBLE 0x%Xu",
                         processor, id_of(r.x), r.code_open, r.how == fault::step,
                         r.how == fault::stack, r.how == fault::call ? 4 : 0,
                         r.how == fault::write, inaccessible);
    if (x87)
        prediction += format("\n#define X87_CONTROL 0x%Xu\n#define X87_FLAGS 0x%Xu\n"
                             "#define X87_FLAG \"%s\"\n#define X87_WORDS \"%s\"",
                             x87->control, x87->flags, x87->flag, x87->words);
    set(v, "PREDICTION", prediction);
    set(v, "EMULATED", emulated(r.how));

    // The raise point.
    std::string raise, pushed = "0";
    auto line = [&](const std::string &text) { raise += "    " + text + "\n"; };
    line("c->eax = EAX, c->ebx = EBX, c->ecx = ECX, c->edx = EDX;");
    line("c->esi = ESI, c->edi = EDI, c->ebp = EBP, c->eflags = EFLAGS | 0x202u;");
    line("c->entry = A(raise_entry);");
    switch (r.kind) {
    case raise_kind::software:
        line("for (i = 0; i < 16; i++)\n        arguments[i] = ARGUMENT(i);");
        line("c->slots_n = 5, c->slots[0] = RAISE_CODE, c->slots[1] = RAISE_FLAGS, "
             "c->slots[2] = RAISE_COUNT;");
        line("c->slots[3] = NULL_ARGUMENTS ? 0 : A(arguments), c->slots[4] = A(RaiseException);");
        line("r->o->raise.return_site = A(raise_return);");
        pushed = "20";
        set(v, "ENTRY", calling_entry(16));
        break;
    case raise_kind::rtl:
        line("callers.code = RAISE_CODE, callers.flags = RAISE_FLAGS, callers.chained = &chained;");
        line(format("callers.address = 0x%08Xu, callers.count = RAISE_COUNT;", callers_address));
        line("for (i = 0; i < (int)RAISE_COUNT; i++)\n        callers.params[i] = ARGUMENT(i);");
        line("r->o->callers_chained = A(&chained);");
        line("c->slots_n = 2, c->slots[0] = A(&callers), c->slots[1] = A(RTL_RAISE);");
        line("r->o->raise.return_site = A(raise_return);");
        pushed = "8";
        set(v, "ENTRY", calling_entry(4));
        break;
    case raise_kind::processor: {
        if (x87) {
            const x87_code &f = x87_code_of(r.how);
            line(format("c->slots_n = 3, c->slots[0] = X87_CONTROL, c->slots[1] = 0x%08Xu, "
                        "c->slots[2] = 0x%08Xu;",
                        x87->operand[0], x87->operand[1]));
            line("r->o->raise.fault_site = A(fault_operation), "
                 "r->o->raise.report_site = A(fault_report);");
            set(v, "ENTRY",
                format("        SYM(raise_entry) \":\\n  fninit\\n  fldcw (%%esp)\\n%s\" "
                       "SYM(fault_operation) \":\\n  %s\\n\" SYM(fault_report) \":\\n  "
                       "fwait\\n\" SYM(fault_after) \":\\n  jmp \" SYM(raise_after_site) "
                       "\"\\n\"",
                       f.setup, f.operation));
            break;
        }
        const fault_code &f = code_of(r.how);
        if (*f.registers)
            line(f.registers);
        line(r.how == fault::step                                ? "r->o->raise.fault_site = A(fault_after);"
             : r.how == fault::call || r.how == fault::jump ? "r->o->raise.fault_site = c->ecx;"
                                                            : "r->o->raise.fault_site = A(raise_entry);");
        set(v, "ENTRY", format("        SYM(raise_entry) \":\\n  %s\\n\" SYM(fault_after) "
                               "\":\\n  jmp \" SYM(raise_after_site) \"\\n\"",
                               f.instruction));
        break;
    }
    }
    line(format("c->pad = (16 - (%u + %s) %% 16) %% 16;", regs_of(s).misalign, pushed.c_str()));
    raise.pop_back();
    set(v, "RAISE", raise);
    set(v, "DIRTY_SIZE", format("%u", dirty_stack_size));
    set(v, "DIRTY_BYTE", format("0x%02X", dirty_stack_byte));
    set(v, "SITES", x87         ? "fault_operation[], fault_report[], fault_after[]"
                    : processor ? "fault_after[]"
                                : "raise_return[]");
    set(v, "MOVED_TO", processor ? "A(fault_after)" : "A(raise_after_site)");

    // The records and the vectored handlers.
    std::string tested;
    for (int n : tested_records(s))
        tested += node_word(n) + ", ";
    set(v, "TESTED_RECORDS", tested + "-1");
    set(v, "BEFORE", format("%d", chain.before));
    set(v, "ODD_ADDRESS",
        chain.from == edge::word ? format("A(w.misaligned) + %d", chain.offset) : "A(&off_stack)");
    set(v, "BOUND_NODE", chain.kind == chain_kind::odd ? "ODD" : "ANSWERER");
    set(v, "ODD_PLACE", bound_place(chain.from, chain.offset));
    set(v, "HANDLER_PLACE", handler_word_place(chain.from, chain.offset));
    set(v, "BOUND_ADDRESS", format("tib(%d) - %d", chain.from == edge::limit ? 8 : 4, -chain.offset));
    std::string add;
    auto added = [&](const char *first, const char *node) {
        add += format("    handles[n++] = AddVectoredExceptionHandler(%s, (VECTORED)handlers[%s]);\n",
                      first, node);
    };
    if (vectored_of(s).count >= 1)
        added("0", "VA");
    if (vectored_of(s).count >= 3) {
        added("0", "VB");
        added("1", "VC");
    }
    if (where == place_kind::in_vectored)
        added("0", "VOUTER");
    if (!add.empty())
        add.pop_back();
    set(v, "ADD_VECTORED", add);
    set(v, "FILTER", p.filter_installed ? "(VECTORED)handlers[FILTER]" : "0");
    set(v, "LITTLE_ROOM", format("%u", little_stack_room));
    set(v, "RESERVATION_KEPT", format("%u", reservation_kept));
    set(v, "THREADS", format("%d", thread_count));
    set(v, "ROUNDS", format("%d", rounds));
    return expand(template_text, v);
}
