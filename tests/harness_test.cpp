// The return-frame harness, invoke_callback, and the forced unwind back to
// the harness, on the reference platform.
#include <gtest/gtest.h>

#include "capture.h"
#include "probes.h"
#include "qarvel.h"
#include "scenarios.h"

namespace {

const std::string mismatch = "exception frame mismatch on callback return.\n";

// What a scenario saw of the harness while it ran.
uint32_t head_inside, next_inside, saved_frame_inside, saved_ebp_inside;
int handler_calls, handler_unwinding_calls;
bool ran_past_unwind;

void note_harness_state()
{
    head_inside = get_seh_frame();
    next_inside =
        reinterpret_cast<raw_record *>(head_inside)->Next;
    saved_frame_inside = saved_exception_frame;
    saved_ebp_inside = saved_ebp;
}

void returns_at_once() { note_harness_state(); }

void leaves_record()
{
    static raw_record left;
    left.Next = get_seh_frame();
    left.Handler = handle_exception;
    set_seh_frame(seh_addr(&left));
}

void removes_harness_record()
{
    set_seh_frame(
        reinterpret_cast<raw_record *>(get_seh_frame())->Next);
}

void unwinds_nothing()
{
    note_harness_state();
    perform_test_unwind();
    ran_past_unwind = true;
}

uint32_t counting_handler(EXCEPTION_RECORD *rec, void *, void *, void *)
{
    ++handler_calls;
    if (rec->ExceptionFlags & EXCEPTION_UNWINDING)
        ++handler_unwinding_calls;
    return ExceptionContinueSearch;
}

void unwinds_one_record()
{
    raw_record record{get_seh_frame(), counting_handler};
    set_seh_frame(seh_addr(&record));
    perform_test_unwind();
    ran_past_unwind = true;
}

struct Harness : testing::Test {
    void SetUp() override
    {
        head_inside = next_inside = saved_frame_inside = saved_ebp_inside = 0;
        handler_calls = handler_unwinding_calls = 0;
        ran_past_unwind = false;
        head_before = get_seh_frame();
    }
    std::string run(scenario_fn scenario)
    {
        std::string out =
            captured_stdout([&] { establish_return_frame(scenario); });
        EXPECT_EQ(head_before, get_seh_frame()) << "head not restored";
        return out;
    }
    uint32_t head_before = 0;
};

TEST_F(Harness, CallbackThatReturnsAtOncePrintsNothingAndRecordsItsRun)
{
    EXPECT_EQ("", run(returns_at_once));
    // The harness record was the head inside the run, and both saved words
    // still name that run afterwards.
    EXPECT_EQ(saved_frame_inside, head_inside);
    EXPECT_EQ(saved_frame_inside, saved_exception_frame);
    EXPECT_EQ(saved_ebp_inside, saved_ebp);
    EXPECT_EQ(head_before, next_inside);
    EXPECT_LT(saved_ebp, saved_exception_frame);
}

TEST_F(Harness, ForeignHeadOnReturnIsReportedOnceAndRepaired)
{
    EXPECT_EQ(mismatch, run(leaves_record));
    EXPECT_EQ(mismatch, run(removes_harness_record));
    EXPECT_EQ(mismatch, run(test_02_dangling_frame));
}

TEST_F(Harness, ForcedUnwindComesBackToTheHarnessSilently)
{
    EXPECT_EQ("", run(unwinds_nothing));
    EXPECT_FALSE(ran_past_unwind);
    EXPECT_EQ(0, handler_calls);

    EXPECT_EQ("", run(unwinds_one_record));
    EXPECT_FALSE(ran_past_unwind);
    EXPECT_EQ(1, handler_calls);
    EXPECT_EQ(1, handler_unwinding_calls);
}

TEST_F(Harness, ScenariosOfTheProgramPrintOnlyWhatTheyShould)
{
    EXPECT_EQ("", run(test_01_just_return));
    EXPECT_EQ("", run(test_03_unwind_nothing));
    EXPECT_EQ("", run(test_04_clean_unwind_frame));
    EXPECT_EQ("should get here.\nshould get here.\n",
              run(test_05_dirty_unwind_frame));
    // Test 5's resume pair: the first record and the recorded frame pointer
    // of its own invoke_callback calls, below the harness's.
    EXPECT_LT(dirty_exception_frame, saved_exception_frame);
    EXPECT_LT(dirty_unwind_target, dirty_exception_frame);
}

TEST_F(Harness, UnbalancedCallbackStillReturnsCleanly)
{
    EXPECT_EQ("", run(reinterpret_cast<scenario_fn>(unbalanced_high_callback)));
    EXPECT_EQ("", run(reinterpret_cast<scenario_fn>(unbalanced_low_callback)));
    uint32_t slot = 0;
    EXPECT_EQ(42u, invoke_callback(unbalanced_high_callback, &slot));
    EXPECT_EQ(42u, invoke_callback(unbalanced_low_callback, &slot));
}

uint32_t recorded_fp, recorded_saved_fp, recorded_return;
uint32_t record_own_frame()
{
    const uint32_t *frame = reinterpret_cast<const uint32_t *>(recorded_fp);
    recorded_saved_fp = frame[0];
    recorded_return = frame[1];
    return 0x5eed;
}

TEST(InvokeCallback, RecordsTheFrameWhoseReturnAddressIsItsCallSite)
{
    EXPECT_EQ(0x5eedu, probe_invoke_callback(record_own_frame, &recorded_fp));
    EXPECT_EQ(seh_addr(probe_return_site), recorded_return);
    // The slot below the return address holds the caller's frame pointer,
    // which lies above the recorded one.
    EXPECT_GT(recorded_saved_fp, recorded_fp);
}

} // namespace
