// A raise with little stack left: the call that makes it runs just above
// the stack's floor, on the main thread and on a new one, or not at all.
#include <gtest/gtest.h>

#include <pthread.h>

#include "chain_head.h"
#include "process.h"
#include "stack_bounds.h"
#include "stack_edge.h"

namespace {

constexpr uint32_t room = 12 * 1024;

void note_frame(void *at) { *static_cast<uint32_t *>(at) = seh_addr(__builtin_frame_address(0)); }

// Where fn's frame lay, as far above the floor as it lay (0: not called).
uint32_t room_left(uint32_t wanted)
{
    uint32_t frame = 0;
    if (!call_with_stack_left(wanted, note_frame, &frame))
        return 0;
    return frame - stack_floor();
}

void expect_just_above_the_floor(void)
{
    // The layer's floor is StackLimit: its guard lies right below.
    EXPECT_EQ(stack_limit(), stack_floor());
    const uint32_t left = room_left(room);
    EXPECT_LE(left, room);
    EXPECT_GT(left, room - 256);
}

TEST(StackLeft, CallsJustAboveTheFloorOfTheMainThread) { expect_just_above_the_floor(); }

TEST(StackLeft, CallsJustAboveTheFloorOfANewThread)
{
    pthread_t t;
    ASSERT_EQ(0, pthread_create(&t, nullptr, [](void *) -> void * {
        expect_just_above_the_floor();
        return nullptr;
    }, nullptr));
    pthread_join(t, nullptr);
}

TEST(StackLeft, CallsNothingWhereTheStackHasNotTheRoom)
{
    uint32_t frame = 0;
    const uint32_t here = seh_addr(__builtin_frame_address(0));
    EXPECT_FALSE(call_with_stack_left(here - stack_floor(), note_frame, &frame));
    EXPECT_EQ(0u, frame);
}

} // namespace
