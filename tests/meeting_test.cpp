// The threads of a check meet within its handlers, where the program's x87
// control word may unmask exceptions: the meeting must not compute with it.
#include <gtest/gtest.h>

#include <atomic>

#include "meeting.h"
#include "process.h"

namespace {

struct meeting_run {
    meeting_point<2> point;
    std::atomic<int> met{0};
    std::atomic<uint16_t> flags{0};
};

void meet_with_x87_clear(int, void *arg)
{
    auto &run = *static_cast<meeting_run *>(arg);
    const uint16_t masked = 0x37F;
    uint16_t status;
    __asm__ volatile("fninit\n\tfldcw %0" : : "m"(masked) : "memory");
    if (run.point.meet())
        ++run.met;
    __asm__ volatile("fnstsw %0" : "=m"(status) : : "memory");
    run.flags |= static_cast<uint16_t>(status & 0x3F);
}

TEST(MeetingPoint, RaisesNoX87Flag)
{
    meeting_run run;
    ASSERT_TRUE(run_threads(2, meet_with_x87_clear, &run));
    EXPECT_EQ(run.met, 2);
    // An inexact division, say, would have raised the unmasked exception.
    EXPECT_EQ(run.flags, 0) << "x87 exception flags the meeting raised";
}

} // namespace
