// The reproducer's text: the template's tags and placeholders, and what a
// generated program holds for a check (its building and running on the
// platforms is check_reproducers.py's).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "compare.h"
#include "observation.h"
#include "reproduce.h"

namespace {

situation named(const char *name)
{
    situation s;
    EXPECT_TRUE(parse_situation(unwind_dimensions(), name, &s)) << name;
    return s;
}

TEST(Template, KeepsTheLinesWhoseTagsHoldAndFillsInPlaceholders)
{
    template_values v;
    v.features = {"a", "b"};
    v.values = {{"NAME", "one\ntwo"}, {"X", "{{NAME}}"}};
    EXPECT_EQ(expand("plain\n@a kept\n@c dropped\n@!c kept too\n@a @!b dropped\n@a @b both\n"
                     "@c|a either\n@c|!b neither\n",
                     v),
              "plain\nkept\nkept too\nboth\neither\n");
    // A value may span lines and is not expanded again; braces that open
    // no placeholder are C's.
    EXPECT_EQ(expand("x {{NAME}} y\n", v), "x one\ntwo y\n");
    EXPECT_EQ(expand("{{X}}\n", v), "{{NAME}}\n");
    EXPECT_EQ(expand("int a[] = {{1, 2}};\nstatic const char *n[] = {{{NAME}}};\n", v),
              "int a[] = {{1, 2}};\nstatic const char *n[] = {one\ntwo};\n");
    EXPECT_EQ(expand("struct r runs[] = {{TARGET, 1}};\n", v), "struct r runs[] = {{TARGET, 1}};\n");
    // An unknown placeholder shows, and the expansion ends.
    EXPECT_EQ(expand("{{NOPE}} {{NOPE}}\n", v), "{{?NOPE}} {{?NOPE}}\n");
    // Dropped lines and empty values leave one blank line, not a gap.
    v.values.push_back({"EMPTY", ""});
    EXPECT_EQ(expand("a\n\n@c x\n{{EMPTY}}\n\nb\n\n", v), "a\n\nb\n\n");
}

// Every check of the list's first situations of each promise: a program
// with nothing left of the template's machinery, that names its check.
TEST(Reproducer, LeavesNoTagNorPlaceholderInAnyCheck)
{
    int done[promise_count] = {};
    for (const situation &s : unwind_situations())
        for (promise p : tried(s, predict(s))) {
            if (done[static_cast<int>(p)]++ >= 12)
                continue;
            const std::string text = reproducer(p, s);
            const std::string check = std::string(id_of(p)) + " " + name_of(s);
            for (size_t at = text.find("{{"); at != std::string::npos; at = text.find("{{", at + 1)) {
                const size_t name = text.find_first_not_of("?ABCDEFGHIJKLMNOPQRSTUVWXYZ_", at + 2);
                EXPECT_FALSE(name > at + 2 && text.compare(name, 2, "}}") == 0)
                    << check << ": " << text.substr(at, 20);
            }
            EXPECT_EQ(text.find("\n@"), std::string::npos) << check;
            EXPECT_EQ(text.find("/* " + check + ": "), 0u) << check;
            EXPECT_NE(text.find("printf(\"ok " + check + "\\n\");"), std::string::npos) << check;
        }
}

TEST(Reproducer, SaysWhatTheModelExpectsAndThePromisesWords)
{
    const situation s = named("1-above/base-4/exit/own/continues/top");
    const std::string text = reproducer(promise::W2, s);
    EXPECT_EQ(text, reproducer(promise::W2, s));
    // The expectation, from the prediction, as the events the handlers and
    // the vectored handler note: record 1 called by the unwind, then the
    // status raised non-continuable; both traces told by one printer.
    EXPECT_NE(text.find("{CALLED, 0, 1, UNWIND, 0, 0, 0, 0}, "
                        "{RAISED, -1, 0, UNWIND, 0xC0000028u, 1, 0, 0}};"),
              std::string::npos);
    EXPECT_NE(text.find("print(\"expected\", expected, EXPECTED);"), std::string::npos);
    EXPECT_NE(text.find("print(\"happened\", trace, events);"), std::string::npos);
    EXPECT_NE(text.find("W2, as the contract states it (walk-through): each record is checked"),
              std::string::npos);
    // Staged straight on: the record at StackBase - 4 has only its Next on
    // the stack, and only that word is written, and put back.
    EXPECT_NE(text.find(" addr[ODD] = tib(4) - 4;\n"), std::string::npos);
    EXPECT_NE(text.find("    poke(0, addr[ODD], addr[TARGET]);\n"), std::string::npos);
    EXPECT_NE(text.find("    if (poked[0]) memcpy((void *)poked[0], &was[0], 4);\n"), std::string::npos);
    EXPECT_EQ(text.find("poke(1,"), std::string::npos);
    // RtlUnwind called straight on, the status its end must raise named
    // with the check's words.
    EXPECT_NE(text.find("    RtlUnwind(0, (void *)A(landing), 0, 0x5EED0003u);\n"), std::string::npos);
    EXPECT_NE(text.find("e[i].code != 0xC0000028u"), std::string::npos);
    EXPECT_NE(text.find("\" where RtlUnwind must raise STATUS_BAD_STACK for the record at StackBase - 4\""),
              std::string::npos);
    // A nested unwind's end is held to the same words.
    EXPECT_NE(reproducer(promise::W2, named("1-above/at-base/exit/own/nests-to-target/top"))
                  .find("raised(&lone, NESTED, \"W2\", \" where RtlUnwind must raise STATUS_BAD_STACK "
                        "for the record at StackBase\");"),
              std::string::npos);
    // What the situation does not need is not there: no thread, no caller's
    // record, no assembly call, no actor, no nested unwind, no register
    // table, no context's fields, no run's fields where one unwind runs
    // alone, and no walk through runs of calls.
    for (const char *absent : {"pthread", "CALLERS_FLAGS", "call_unwind", "act(", "NESTED, ",
                               "OUTER_1", "F_EAX", "unsigned edi", "struct run", "call_of",
                               "unwinds[]", "codes[]"})
        EXPECT_EQ(text.find(absent), std::string::npos) << absent;
    EXPECT_NE(reproducer(promise::E1, named("1-above/to-record/own/continues/top"))
                  .find("call_unwind"),
              std::string::npos);
    // At StackBase, neither word of the record lies on the stack.
    EXPECT_EQ(reproducer(promise::W2, named("1-above/at-base/exit/own/continues/top")).find("poke"),
              std::string::npos);
}

// Raises and faults reach one vectored handler on every platform: the file
// has nothing of a target's own where its situation needs no thread and no
// word beyond the stack, and judges a status as the check does, W1 for one
// that is another contract's.
TEST(Reproducer, SeesWhatThePlatformRaisesAlikeOnBothTargets)
{
    const std::string text =
        reproducer(promise::W1, named("1-above/off-stack/exit/own/continues/top"));
    EXPECT_NE(text.find("AddVectoredExceptionHandler(1, caught);"), std::string::npos);
    EXPECT_EQ(text.find("_WIN32"), std::string::npos);
    EXPECT_EQ(text.find("_exit"), std::string::npos);
    EXPECT_EQ(text.find("signal"), std::string::npos);
    EXPECT_NE(text.find("static const unsigned faults[] = {0xC0000005u, "), std::string::npos);
    // The statuses that the comparison tells apart where the walk ends
    // instead of calling a handler.
    EXPECT_NE(text.find("static const unsigned codes[] = {0xC0000025u, 0xC0000026u, 0xC0000027u, "
                        "0xC0000028u, 0xC0000029u, 0xC00000FDu, 0xE0C0FFEEu};"),
              std::string::npos);
    // Threads at once: as many, over as many rounds, as the check's.
    const std::string t3 = reproducer(promise::T3, named("1-above/to-record/own/continues/8-threads"));
    EXPECT_NE(t3.find("#define THREADS " + std::to_string(thread_count) + "\n"), std::string::npos);
    EXPECT_NE(t3.find("#define ROUNDS " + std::to_string(rounds) + "\n"), std::string::npos);
}

// Where the walk goes astray is the comparison's to say: at StackBase - 4,
// the odd record's handler called after record 1's is W2's, and so is
// another record's where the status was due; called first, in record 1's
// stead, it is W1's (the walk passed record 1 over), and so not listed.
// For W1 the cases that are not W1's are the fewer, and listed.
TEST(Reproducer, ListsWhereAWalkGoneAstrayIsThePromisesAsTheComparisonSays)
{
    const situation s = named("1-above/base-4/exit/own/continues/top");
    const std::string w2 = reproducer(promise::W2, s);
    EXPECT_NE(w2.find("{1, 1, ODD, 2}"), std::string::npos);
    EXPECT_NE(w2.find("{1, 1, TARGET, 2}"), std::string::npos);
    EXPECT_EQ(w2.find("{0, 0, ODD, 2}"), std::string::npos);
    EXPECT_EQ(w2.find("{0, 1, ODD, 2}"), std::string::npos);
    EXPECT_NE(w2.find("is = !1,"), std::string::npos);
    // No end of the walk is W2's there: the rows are calls alone.
    EXPECT_NE(w2.find("static const struct { int from, to, node, unwind; } astray[]"),
              std::string::npos);
    const std::string w1 = reproducer(promise::W1, s);
    EXPECT_NE(w1.find("is = !0,"), std::string::npos);
    EXPECT_NE(w1.find("{1, 1, ODD, 2, CALLED, 0x0u}"), std::string::npos); // not W1's
    EXPECT_NE(w1.find("{0, 0, -1, -1, RETURNED, 0x0u}"), std::string::npos);
    // A promise that no walk gone astray concerns lists nothing.
    const std::string u4 = reproducer(promise::U4, s);
    EXPECT_NE(u4.find("astray[] = {{-1, -1, -1, -1}};"), std::string::npos);
}

// Short enough to paste into a bug report, and kept so.
TEST(Reproducer, StaysShort)
{
    const std::string text =
        reproducer(promise::W2, named("1-above/base-4/exit/own/continues/top"));
    EXPECT_LT(std::count(text.begin(), text.end(), '\n'), 150);
}

TEST(Reproducer, ReportsAReferenceBehaviourAsADifferenceThatExitsZero)
{
    const std::string e3 = reproducer(promise::E3, named("1-above/exit/own/continues/top"));
    EXPECT_NE(e3.find("printf(\"differs E3 1-above/exit/own/continues/top: %s\\n\", verdict);\n"
                      "    return 0;"),
              std::string::npos);
    const std::string u2 = reproducer(promise::U2, named("1-above/exit/own/continues/top"));
    EXPECT_NE(u2.find("printf(\"not ok U2 1-above/exit/own/continues/top: %s\\n\", verdict);\n"
                      "    return verdict[0] != 0;"),
              std::string::npos);
}

} // namespace
