// The chain head at FS:0 and the thread information block behind it.
#include <gtest/gtest.h>

#include "capture.h"
#include "nt_tib.h"

namespace {

TEST(Chain, EmptyHeadIsTheEndMarkerOnEveryNewThread)
{
    for (int i = 0; i < 3; ++i)
        on_new_thread([] { EXPECT_EQ(SEH_CHAIN_END, get_seh_frame()); });
}

TEST(Chain, WrittenHeadReadsBackAndRewritingItChangesNothing)
{
    const uint32_t before = get_seh_frame();
    raw_record record{before, nullptr};
    set_seh_frame(seh_addr(&record));
    EXPECT_EQ(seh_addr(&record), get_seh_frame());
    set_seh_frame(get_seh_frame());
    EXPECT_EQ(seh_addr(&record), get_seh_frame());
    set_seh_frame(before);
    EXPECT_EQ(before, get_seh_frame());
}

TEST(Chain, HeadWrittenOnOneThreadIsNotSeenOnAnother)
{
    const uint32_t mine = get_seh_frame();
    uint32_t seen_there = 0;
    on_new_thread([&] {
        set_seh_frame(0x1234);
        on_new_thread([] { EXPECT_EQ(SEH_CHAIN_END, get_seh_frame()); });
        seen_there = get_seh_frame();
        set_seh_frame(SEH_CHAIN_END);
    });
    EXPECT_EQ(0x1234u, seen_there);
    EXPECT_EQ(mine, get_seh_frame());
}

void expect_block_describes_this_thread()
{
    const NT_TIB *tib = tib_current();
    const uint32_t local = seh_addr(&tib);
    EXPECT_EQ(tib, tib->Self);
    EXPECT_LT(seh_addr(tib->StackLimit), local);
    EXPECT_GT(seh_addr(tib->StackBase), local);
    EXPECT_EQ(seh_addr(tib->ExceptionList), get_seh_frame());
}

TEST(Chain, BlockGivesTheThreadsOwnStackBounds)
{
    expect_block_describes_this_thread();
    const NT_TIB *main_block = tib_current();
    on_new_thread([&] {
        expect_block_describes_this_thread();
        EXPECT_NE(main_block, tib_current());
    });
}

} // namespace
