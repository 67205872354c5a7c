// unwind-contract's parent side: child processes on linux-i386, and the
// verdict on what they did. The children here are stand-ins for checks.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "checks.h"
#include "process.h"
#include "report.h"
#include "verdict.h"

// The stand-in checks that run_check_process runs in its children.
bool run_named_check(const char *name)
{
    if (strcmp(name, "reports") == 0) {
        report_pending("still waiting");
        report_fail("handler called %d times", 2);
        report_ok();
    } else if (strcmp(name, "exits_0x28") == 0) {
        report_pending("before the end");
        end_process(0x28);
    } else if (strcmp(name, "hangs") == 0) {
        report_pending("before the hang");
        for (;;)
            pause();
    } else if (strcmp(name, "faults") == 0) {
        raise(SIGSEGV);
    } else if (strcmp(name, "closes_stdout_and_hangs") == 0) {
        fclose(stdout);
        for (;;)
            pause();
    } else {
        return false;
    }
    report_done();
    return true;
}

namespace {

TEST(ContractProcess, ChildLinesAndExitCodeComeBack)
{
    outcome o = run_check_process("reports", 5);
    EXPECT_EQ(outcome::exited, o.how);
    EXPECT_EQ(0u, o.code);
    const std::vector<std::string> want = {"pending still waiting",
                                           "fail handler called 2 times", "ok", "done"};
    EXPECT_EQ(want, o.lines);

    o = run_check_process("exits_0x28", 5);
    EXPECT_EQ(outcome::exited, o.how);
    EXPECT_EQ(0x28u, o.code);
    EXPECT_EQ(std::vector<std::string>{"pending before the end"}, o.lines);
}

TEST(ContractProcess, FaultsAndHangsAreTold)
{
    outcome o = run_check_process("faults", 5);
    EXPECT_EQ(outcome::faulted, o.how);
    EXPECT_EQ("killed by SIGSEGV", o.fault);

    o = run_check_process("hangs", 1);
    EXPECT_EQ(outcome::hung, o.how);
    EXPECT_EQ(std::vector<std::string>{"pending before the hang"}, o.lines);

    // A hang after the pipe is closed is a hang all the same.
    EXPECT_EQ(outcome::hung, run_check_process("closes_stdout_and_hangs", 1).how);
}

void no_run(void) {}

const check returning = {"U1", "u1", "stops at the target", no_run, ending::returns, 0};
const check ending_bad_stack = {"W2", "w2", "ends with STATUS_BAD_STACK", no_run,
                                ending::status, status_bad_stack};
const check reference_unwind = {"E3", "e3", "ends by raising STATUS_UNWIND", no_run,
                                ending::reference, status_unwind};
const check raising = {"E4", "e4", "is raised", no_run, ending::raise,
                       status_invalid_disposition};
const check exit_unwind = {"U2", "u2", "unwinds every record", no_run,
                           ending::unwind_end, 0};

outcome exited(uint32_t code, std::vector<std::string> lines)
{
    outcome o;
    o.how = outcome::exited;
    o.code = code;
    o.lines = std::move(lines);
    return o;
}

std::string line(const check &c, const outcome &o) { return line_of(c, judge(c, o)); }

TEST(ContractVerdict, ReturningCheckNeedsItsOkAndItsEnd)
{
    EXPECT_EQ("ok U1 stops at the target", line(returning, exited(0, {"ok", "done"})));
    // The first failure wins over a later ok, and over the others.
    EXPECT_EQ("not ok U1 stops at the target: got a different record",
              line(returning, exited(0, {"fail got a different record", "ok",
                                         "fail handler called 2 times", "done"})));
    EXPECT_EQ("not ok U1 stops at the target: the process ended before the check was done",
              line(returning, exited(0, {"ok"})));
    EXPECT_EQ("not ok U1 stops at the target: ended with exit code 0x28 (STATUS_BAD_STACK)",
              line(returning, exited(0x28, {"ok"})));
    EXPECT_EQ("not ok U1 stops at the target: no handler was called",
              line(returning, exited(0, {"pending record 1", "pending no handler was called",
                                         "done"})));
    outcome hung;
    hung.how = outcome::hung;
    hung.lines = {"ok"};
    EXPECT_EQ("not ok U1 stops at the target: hung", line(returning, hung));
}

TEST(ContractVerdict, StatusCheckPassesOnlyOnItsStatus)
{
    EXPECT_EQ("ok W2 ends with STATUS_BAD_STACK", line(ending_bad_stack, exited(0x28, {})));
    EXPECT_EQ("not ok W2 ends with STATUS_BAD_STACK: RtlUnwind returned",
              line(ending_bad_stack, exited(0, {"done"})));
    EXPECT_EQ("not ok W2 ends with STATUS_BAD_STACK: ended with exit code 0x29 "
              "(STATUS_INVALID_UNWIND_TARGET)",
              line(ending_bad_stack, exited(0x29, {})));
    EXPECT_EQ("not ok W2 ends with STATUS_BAD_STACK: the bad record's handler was called",
              line(ending_bad_stack, exited(0x28, {"fail the bad record's handler was called"})));
    outcome faulted;
    faulted.how = outcome::faulted;
    faulted.fault = "killed by SIGSEGV";
    EXPECT_EQ("not ok W2 ends with STATUS_BAD_STACK: killed by SIGSEGV",
              line(ending_bad_stack, faulted));
    check either = ending_bad_stack;
    either.also = status_invalid_unwind_target;
    EXPECT_EQ(verdict::ok, judge(either, exited(0x29, {})).result);
}

TEST(ContractVerdict, ReferenceBehaviourDiffersButAFaultIsNotOk)
{
    EXPECT_EQ("ok E3 ends by raising STATUS_UNWIND", line(reference_unwind, exited(0x27, {})));
    EXPECT_EQ("differs E3 ends by raising STATUS_UNWIND: RtlUnwind returned",
              line(reference_unwind, exited(0, {"done"})));
    EXPECT_EQ("differs E3 ends by raising STATUS_UNWIND: RtlUnwind returned with the chain empty",
              line(reference_unwind, exited(0, {"returned with the chain empty", "done"})));
    EXPECT_EQ(verdict::differs, judge(reference_unwind, exited(0x29, {})).result);
    outcome faulted;
    faulted.how = outcome::faulted;
    faulted.fault = "killed by SIGBUS";
    EXPECT_EQ(verdict::not_ok, judge(reference_unwind, faulted).result);
}

TEST(ContractVerdict, RaiseIsCaughtOrOnTheLayerEndsWithTheStatus)
{
    EXPECT_EQ(verdict::ok, judge(raising, exited(0, {"ok", "caught"})).result);
    EXPECT_EQ("not ok E4 is raised: raised as continuable",
              line(raising, exited(0, {"fail raised as continuable", "ok", "caught"})));
    // The layer cannot raise: it ends the process with the status.
    EXPECT_EQ(verdict::ok, judge(raising, exited(0x26, {})).result);
    EXPECT_EQ("not ok E4 is raised: RtlUnwind returned", line(raising, exited(0, {"done"})));
}

TEST(ContractVerdict, ExitUnwindMayReturnOrEndWithStatusUnwind)
{
    EXPECT_EQ(verdict::ok, judge(exit_unwind, exited(0, {"ok", "done"})).result);
    EXPECT_EQ(verdict::ok, judge(exit_unwind, exited(0x27, {"ok"})).result);
    EXPECT_EQ("not ok U2 unwinds every record: the oldest record's handler was not called",
              line(exit_unwind, exited(0x27, {"pending the oldest record's handler was not called"})));
    EXPECT_EQ(verdict::not_ok, judge(exit_unwind, exited(0x28, {"ok"})).result);
}

} // namespace
