// The dispatch reproducer's text: what a generated program holds for a
// check (its building and running on the platforms is
// check_reproducers.py's).
#include <gtest/gtest.h>

#include <string>

#include "behaviour.h"
#include "compare.h"
#include "reproduce.h"

namespace {

situation named(const char *name)
{
    situation s;
    EXPECT_TRUE(parse_situation(dispatch_dimensions(), name, &s)) << name;
    return s;
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// The list's first situations of each promise: a program with nothing left
// of the template's machinery, that names its check and prints its line.
TEST(DispatchReproducer, LeavesNoTagNorPlaceholderInAnyCheck)
{
    int done[promise_count] = {};
    for (const situation &s : dispatch_situations())
        for (promise p : tried(s, predict(s))) {
            if (done[static_cast<int>(p)]++ >= 6)
                continue;
            const std::string text = reproducer(p, s);
            const std::string check = std::string(id_of(p)) + " " + name_of(s);
            EXPECT_FALSE(has(text, "{{?")) << check;
            EXPECT_FALSE(has(text, "\n@")) << check;
            EXPECT_TRUE(has(text, " *     dispatch-contract " + check + "\n")) << check;
            EXPECT_TRUE(has(text, "\"ok " + check + "\\n\"")) << check;
        }
}

// The expectations are the model's: its calls, in order, with the promise
// that puts each there, and how the raise point resumes.
std::string calls_of(const prediction &p)
{
    std::string calls;
    for (const expected_call &c : p.calls)
        calls += "    {" + std::to_string(c.node) + ", " + std::to_string(c.dispatch) + ", " +
                 std::to_string(c.unwinding) + ", " + std::to_string(c.nested) + ", " +
                 std::to_string(c.act.what == act::continues) + ", " +
                 std::to_string(c.act.step) + ", \"" + id_of(c.why) + "\"},\n";
    return calls;
}

// The k-th prediction's row up to the handler that resumes the raise point.
std::string resume_of(const prediction &p, int k)
{
    const std::string n = std::to_string(k);
    return "{calls_" + n + ", " + std::to_string(p.calls.size()) + ", dispatches_" + n + ", " +
           std::to_string(std::max<size_t>(1, p.dispatches.size())) + ", " +
           std::to_string(p.resume.made) + ", " +
           std::to_string(static_cast<unsigned>(p.resume.site)) + "u, \"" + id_of(p.resume.why) +
           "\", " + std::to_string(p.resume.dispatch) + ", " + std::to_string(p.resume.by) + ",";
}

TEST(DispatchReproducer, HoldsTheModelsPrediction)
{
    const situation s = named("raise/before-answers-3/continues/top");
    const std::string text = reproducer(promise::H4, s);
    EXPECT_EQ(text, reproducer(promise::H4, s));
    const prediction p = predict(s);
    EXPECT_TRUE(has(text, calls_of(p))) << calls_of(p);
    EXPECT_TRUE(has(text, resume_of(p, 0))) << resume_of(p, 0);
    EXPECT_FALSE(has(text, "calls_1"));
    // The continue with the trap flag set, its single step and the resume.
    const situation step = named("raise/first/sets-tf/top");
    const prediction q = predict(step);
    EXPECT_TRUE(has(reproducer(promise::C1, step), calls_of(q))) << calls_of(q);
    EXPECT_TRUE(has(reproducer(promise::C1, step), resume_of(q, 0))) << resume_of(q, 0);
    // An x87 exception continued unchanged: both ways its fwait may go.
    const situation x87 = named("x87-divide/first/continues/in-handler");
    const std::string both = reproducer(promise::C4, x87);
    const prediction pending = predict(x87), cleared = predict(x87, x87_resume::cleared);
    EXPECT_TRUE(has(both, resume_of(pending, 0) + " ")) << resume_of(pending, 0);
    EXPECT_TRUE(has(both, resume_of(cleared, 1) + " ")) << resume_of(cleared, 1);
    EXPECT_TRUE(has(both, "calls_1[] = {\n" + calls_of(cleared))) << calls_of(cleared);
    // record 1 answers 3, once, for the exception
    EXPECT_TRUE(has(text, "{0, 0, 0, INVALID, 0x3u, 0, 0, 0, 0, 0},"));
    EXPECT_TRUE(has(text, "static void status("));
    // No part of another raise or place.
    EXPECT_FALSE(has(text, "pthread_create"));
    EXPECT_FALSE(has(text, "RtlRaiseException"));
    EXPECT_FALSE(has(text, "fault_after"));
}

// Each raise stages its own instruction or call, and each place its own
// staging; eight threads judge every promise, to hold each round to the
// dispatch alone.
TEST(DispatchReproducer, KeepsOnlyWhatTheSituationNeeds)
{
    const std::string read = reproducer(promise::X2, named("read/first/continues/top"));
    EXPECT_TRUE(has(read, "movl (%ecx), %eax"));
    EXPECT_TRUE(has(read, "c->ecx = INACCESSIBLE;"));
    EXPECT_TRUE(has(read, "c->code == 0xC000001Du")); // what the emulator makes Wine say
    EXPECT_FALSE(has(read, "static void software("));
    const std::string rtl = reproducer(promise::R7, named("rtl-raise/first/continues/top"));
    EXPECT_TRUE(has(rtl, "GetProcAddress(GetModuleHandleA(\"ntdll.dll\"), \"RtlRaiseException\")"));
    const std::string unwind = reproducer(promise::H5, named("raise/first/continues/in-unwind"));
    EXPECT_TRUE(has(unwind, "RtlUnwind(&w.unwind_target, 0, 0, 0);"));
    const std::string eight = reproducer(promise::D5, named("raise/first/continues/8-threads"));
    EXPECT_TRUE(has(eight, "#define THREADS " + std::to_string(thread_count) + "\n"));
    EXPECT_TRUE(has(eight, "found(\"R1\""));
    EXPECT_FALSE(has(reproducer(promise::D1, named("raise/first/continues/top")), "found(\"R1\""));
}

// The exceptions the program tells apart are numbered as the model numbers
// them, every one of them: the tables of dispatches and acts use those
// numbers.
TEST(DispatchReproducer, NumbersEveryExceptionAsTheModel)
{
    const std::string text = reproducer(promise::D1, named("raise/first/continues/top"));
    const size_t from = text.find("enum { TESTED = 0");
    ASSERT_NE(from, std::string::npos);
    const std::string line = text.substr(from, text.find('\n', from) - from);
    for (int e = 0; e <= exc_other; ++e)
        EXPECT_TRUE(has(line, " = " + std::to_string(e) + (e == exc_other ? ", EXCS" : ","))) << e;
    EXPECT_TRUE(has(line, "SINGLE_STEP = " + std::to_string(exc_step) + ","));
}

// The answer that sets the trap flag: its stepped site, the change and the
// answerer's taking of the step as the model decides them, the single
// step's own judgement; not elsewhere.
TEST(DispatchReproducer, StagesTheSingleStep)
{
    const situation s = named("raise/first/sets-tf/top");
    const std::string step = reproducer(promise::X8, s);
    EXPECT_TRUE(has(step, "SYM(raise_stepped_site) \":\\n  leal 1(%eax), %eax\\n\" "
                          "SYM(raise_stepped_next)"));
    EXPECT_TRUE(has(step, "context->eip = A(raise_stepped_site), context->eflags |= 0x100u;"));
    const decision taken = decide(s, node_answerer, exc_step, 0);
    ASSERT_TRUE(taken.past_step);
    const auto n = [](int k) { return std::to_string(k) + ", "; };
    EXPECT_TRUE(has(step, "{" + n(node_answerer) + n(exc_step) + "0, CONTINUES, 0x0u, " +
                              n(taken.change) + n(taken.move) + n(taken.clear_tf) +
                              n(taken.step) + std::to_string(taken.past_step) + "},"));
    EXPECT_TRUE(has(step, "static void stepped("));
    EXPECT_TRUE(has(step, "return SINGLE_STEP;"));
    const std::string plain = reproducer(promise::C1, named("raise/first/continues/top"));
    EXPECT_FALSE(has(plain, "raise_stepped_site"));
    EXPECT_FALSE(has(plain, "stepping"));
}

// The row that changes the vectored list during a call: the change in
// handler a, judged by V8; not elsewhere.
TEST(DispatchReproducer, ChangesTheListInAVectoredCall)
{
    const std::string changed =
        reproducer(promise::V8, named("raise/3-vectored-add-remove/first/continues/top"));
    EXPECT_TRUE(has(changed, "if (n == VA && me) add_and_remove(me->o);"));
    EXPECT_TRUE(has(changed, "found(\"V8\", 0, \"AddVectoredExceptionHandler returned null inside"));
    const std::string kept = reproducer(promise::R1, named("raise/3-vectored/first/continues/top"));
    EXPECT_FALSE(has(kept, "add_and_remove"));
}

} // namespace
