// unwind-contract's observing records, against the conforming layer.
#include <gtest/gtest.h>

#include "observe.h"
#include "report.h"

// The child-side entry of the program; these tests start no children.
bool run_named_check(const char *) { return false; }

namespace {

struct observing : testing::Test {
    void SetUp() override
    {
        sight_count = 0;
        answer = nullptr;
    }
    void TearDown() override { uninstall(); }
};

TEST_F(observing, InstallLinksNewestFirstInFrontOfTheOldHead)
{
    const uint32_t before = get_seh_frame();
    EXCEPTION_REGISTRATION_RECORD r[3];
    install(r, 3);
    EXPECT_EQ(record_at(0), get_seh_frame());
    EXPECT_EQ(record_at(1), r[0].Next);
    EXPECT_EQ(record_at(2), r[1].Next);
    EXPECT_EQ(before, r[2].Next);
    EXPECT_EQ(before, old_head());
    EXPECT_EQ(2, index_of(record_at(2)));
    EXPECT_EQ(-1, index_of(before));
    uninstall();
    EXPECT_EQ(before, get_seh_frame());
}

TEST_F(observing, HandlersNoteWhatTheUnwindShowsThem)
{
    EXCEPTION_REGISTRATION_RECORD r[3];
    install(r, 3);
    const unwind_call c = unwind(record_at(2), nullptr, 0, 0x1234);
    ASSERT_EQ(2, sight_count);
    for (int i = 0; i < 2; ++i) {
        const sight &s = sights[i];
        EXPECT_EQ(i, s.index);
        EXPECT_EQ(record_at(i), s.frame);
        EXPECT_EQ(0xC0000027u, s.fields.ExceptionCode);
        EXPECT_EQ(unwind_return_site, s.fields.ExceptionAddress);
        EXPECT_EQ(-1, index_of(s.head)) << "the layer's own record is at the head";
        // Record i and the ones below it, not those already unwound.
        EXPECT_EQ(0x7u & ~((1u << i) - 1), s.on_chain) << i;
    }
    EXPECT_EQ(1, calls_of(0));
    EXPECT_EQ(0, calls_of(2));
    EXPECT_EQ(record_at(2), get_seh_frame());
    EXPECT_EQ(0x1234u, c.eax);
    EXPECT_EQ(call_ebx, c.ebx);
    EXPECT_EQ(16u, c.esp_after - c.esp_at_call);
    EXPECT_EQ(c.ebp_before, c.ebp);
}

TEST_F(observing, AChainThatLoopsIsWalkedAFiniteWay)
{
    EXCEPTION_REGISTRATION_RECORD r[2];
    install(r, 2);
    r[1].Next = record_at(0); // 1 -> 2 -> 1 -> ...
    EXCEPTION_RECORD record = {};
    r[0].Handler(&record, &r[0], nullptr, nullptr);
    ASSERT_EQ(1, sight_count);
    EXPECT_EQ(0x3u, sights[0].on_chain);
}

TEST_F(observing, AnswerDecidesTheDisposition)
{
    EXCEPTION_REGISTRATION_RECORD r[1];
    install(r, 1);
    answer = [](const sight &) -> uint32_t { return 7; };
    EXCEPTION_RECORD record = {};
    EXPECT_EQ(7u, r[0].Handler(&record, &r[0], nullptr, nullptr));
    answer = nullptr;
    EXPECT_EQ(ExceptionContinueSearch, r[0].Handler(&record, &r[0], nullptr, nullptr));
}

TEST_F(observing, RecordsAreNamedWithoutAddresses)
{
    EXCEPTION_REGISTRATION_RECORD r[2], other;
    const uint32_t before = get_seh_frame();
    install(r, 2);
    EXPECT_STREQ("record 2", name_of(record_at(1)));
    EXPECT_STREQ("the end marker", name_of(SEH_CHAIN_END));
    EXPECT_STREQ("null", name_of(0));
    if (before != SEH_CHAIN_END) {
        EXPECT_STREQ("the head from before the check", name_of(before));
    }
    EXPECT_STREQ("a record not of this check", name_of(seh_addr(&other)));
}

using observing_death = observing;

TEST_F(observing_death, AHandlerCalledWithoutEndEndsTheProcess)
{
    EXPECT_EXIT(
        {
            EXCEPTION_REGISTRATION_RECORD r[1];
            install(r, 1);
            EXCEPTION_RECORD record = {};
            for (int i = 0; i <= max_sights; ++i)
                r[0].Handler(&record, &r[0], nullptr, nullptr);
            _exit(3);
        },
        testing::ExitedWithCode(0), "");
}

} // namespace
