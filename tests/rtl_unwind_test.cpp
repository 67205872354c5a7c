// RtlUnwind of the reference platform layer.
#include <gtest/gtest.h>

#include <vector>

#include "capture.h"
#include "nt_tib.h"
#include "probes.h"
#include "qarvel.h"

namespace {

struct call {
    uint32_t frame;
    uint32_t flags;
    uint32_t code;
    EXCEPTION_RECORD *record;
};
std::vector<call> calls;

uint32_t logging_handler(EXCEPTION_RECORD *rec, void *frame, void *, void *)
{
    calls.push_back({seh_addr(frame), rec->ExceptionFlags, rec->ExceptionCode, rec});
    return ExceptionContinueSearch;
}

// Four records, newest (lowest address) first, in front of the old head.
struct chain {
    EXCEPTION_REGISTRATION_RECORD r[4];
    uint32_t old_head;
    explicit chain(EXCEPTION_ROUTINE handler = logging_handler)
    {
        calls.clear();
        old_head = get_seh_frame();
        for (int i = 0; i < 4; ++i) {
            r[i].Next = i < 3 ? seh_addr(&r[i + 1]) : old_head;
            r[i].Handler = handler;
        }
        set_seh_frame(seh_addr(&r[0]));
    }
    uint32_t at(int i) const { return seh_addr(&r[i]); }
    ~chain() { set_seh_frame(old_head); }
};

TEST(RtlUnwind, CallsHandlersAboveTheTargetNewestFirstAndStopsThere)
{
    chain c;
    RtlUnwind(&c.r[2], nullptr, nullptr, nullptr);
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(c.at(0), calls[0].frame);
    EXPECT_EQ(c.at(1), calls[1].frame);
    for (const call &k : calls) {
        EXPECT_EQ(EXCEPTION_UNWINDING, k.flags);
        EXPECT_EQ(STATUS_UNWIND, k.code);
    }
    EXPECT_EQ(c.at(2), get_seh_frame());
    // Nothing at or below the target was touched.
    EXPECT_EQ(c.at(3), c.r[2].Next);
    EXPECT_EQ(c.old_head, c.r[3].Next);
    EXPECT_EQ(logging_handler, c.r[2].Handler);
}

TEST(RtlUnwind, NullTargetIsAnExitUnwindOfTheWholeChainEndMarkerIsNot)
{
    on_new_thread([] {
        chain c;
        RtlUnwind(nullptr, nullptr, nullptr, nullptr);
        ASSERT_EQ(4u, calls.size());
        for (const call &k : calls)
            EXPECT_EQ(EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND, k.flags);
        EXPECT_EQ(SEH_CHAIN_END, get_seh_frame());
    });
    on_new_thread([] {
        chain c;
        RtlUnwind(reinterpret_cast<void *>(SEH_CHAIN_END), nullptr, nullptr,
                  nullptr);
        ASSERT_EQ(4u, calls.size());
        EXPECT_EQ(c.at(3), calls[3].frame);
        for (const call &k : calls)
            EXPECT_EQ(EXCEPTION_UNWINDING, k.flags);
        EXPECT_EQ(SEH_CHAIN_END, get_seh_frame());
    });
}

TEST(RtlUnwind, MarksTheCallersExceptionRecordAndPassesItOn)
{
    chain c;
    EXCEPTION_RECORD mine = {};
    mine.ExceptionCode = 0xE0001234;
    mine.ExceptionFlags = 1; // noncontinuable: must be kept
    RtlUnwind(&c.r[1], nullptr, &mine, nullptr);
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(&mine, calls[0].record);
    EXPECT_EQ(0xE0001234u, calls[0].code);
    EXPECT_EQ(1u | EXCEPTION_UNWINDING, calls[0].flags);
}

TEST(RtlUnwind, ReturnsTheValueWithCalleeSavedRegistersAsTheCallerHadThem)
{
    chain c;
    uint32_t out[5] = {};
    rtl_unwind_probe(c.at(3), 0xCAFE, out);
    EXPECT_EQ(3u, calls.size());
    EXPECT_EQ(0xCAFEu, out[0]);
    EXPECT_EQ(probe_ebx, out[1]);
    EXPECT_EQ(probe_esi, out[2]);
    EXPECT_EQ(probe_edi, out[3]);
    EXPECT_EQ(24u, out[4]) << "EBP or ESP not as the caller had them";
}

__attribute__((stdcall)) uint32_t popping_handler(EXCEPTION_RECORD *, void *,
                                                  void *, void *)
{
    calls.push_back({});
    return ExceptionContinueSearch;
}

TEST(RtlUnwind, HandlerThatPopsItsOwnArgumentsIsCalledSafely)
{
    chain c(reinterpret_cast<EXCEPTION_ROUTINE>(popping_handler));
    uint32_t out[5] = {};
    rtl_unwind_probe(c.at(3), 7, out);
    EXPECT_EQ(3u, calls.size());
    EXPECT_EQ(24u, out[4]);
}

// A nested unwind started by a handler, resuming behind invoke_callback as
// test 5 does: the record whose handler runs is passed over, not called
// again, and the nested target stays at the head.
uint32_t nested_target, nested_resume;
int nesting_calls;

uint32_t nesting_handler(EXCEPTION_RECORD *rec, void *, void *, void *)
{
    ++nesting_calls;
    if (nesting_calls == 1 && (rec->ExceptionFlags & EXCEPTION_UNWINDING))
        do_unwind(nested_target, nested_resume);
    return ExceptionContinueSearch;
}

uint32_t outer_target;
void unwind_to_outer_target()
{
    RtlUnwind(reinterpret_cast<void *>(outer_target), nullptr, nullptr, nullptr);
    ADD_FAILURE() << "outer unwind came back";
}

TEST(RtlUnwind, NestedUnwindFromAHandlerPassesOverTheRunningRecord)
{
    chain c;
    c.r[0].Handler = nesting_handler;
    nesting_calls = 0;
    nested_target = c.at(1);
    outer_target = c.at(3);
    invoke_callback_resumable(unwind_to_outer_target, &nested_resume);
    EXPECT_EQ(1, nesting_calls);
    EXPECT_TRUE(calls.empty()) << "the nested target's handler was called";
    EXPECT_EQ(c.at(1), get_seh_frame());
}

// Bad input ends the process with the status, never a fault or a hang.
using RtlUnwindDeathTest = testing::Test;

uint32_t refusing_handler(EXCEPTION_RECORD *, void *, void *, void *)
{
    return 0; // ExceptionContinueExecution: not an answer to an unwind
}

EXCEPTION_REGISTRATION_RECORD off_stack_record = {SEH_CHAIN_END, logging_handler};

TEST_F(RtlUnwindDeathTest, BadChainOrTargetEndsWithItsStatus)
{
    const auto bad_stack = testing::ExitedWithCode(0x28);
    const auto bad_target = testing::ExitedWithCode(0x29);
    EXPECT_EXIT(
        {
            chain c;
            set_seh_frame(c.at(0) + 1);
            RtlUnwind(&c.r[3], nullptr, nullptr, nullptr);
        },
        bad_stack, "RtlUnwind: STATUS_BAD_STACK \\(0xc0000028\\) at record 0x");
    EXPECT_EXIT(
        {
            set_seh_frame(seh_addr(&off_stack_record));
            RtlUnwind(nullptr, nullptr, nullptr, nullptr);
        },
        bad_stack, "STATUS_BAD_STACK");
    EXPECT_EXIT(
        {
            chain c;
            c.r[0].Next = seh_addr(&off_stack_record);
            RtlUnwind(&c.r[3], nullptr, nullptr, nullptr);
        },
        bad_stack, "STATUS_BAD_STACK");
    EXPECT_EXIT(
        {
            chain c;
            c.r[1].Next = c.at(0); // a loop: would never reach the end
            RtlUnwind(nullptr, nullptr, nullptr, nullptr);
        },
        bad_stack, "STATUS_BAD_STACK");
    EXPECT_EXIT(
        {
            chain c;
            set_seh_frame(c.at(2)); // r[0] and r[1] are not on the chain
            RtlUnwind(&c.r[0], nullptr, nullptr, nullptr);
        },
        bad_target, "STATUS_INVALID_UNWIND_TARGET \\(0xc0000029\\)");
    EXPECT_EXIT(
        {
            chain c;
            EXCEPTION_REGISTRATION_RECORD elsewhere;
            c.r[3].Next = SEH_CHAIN_END;
            RtlUnwind(&elsewhere, nullptr, nullptr, nullptr);
        },
        bad_target, "STATUS_INVALID_UNWIND_TARGET");
    EXPECT_EXIT(
        {
            chain c;
            uint32_t below;
            __asm__ volatile("leal -256(%%esp), %0" : "=r"(below));
            RtlUnwind(reinterpret_cast<void *>(below), nullptr, nullptr, nullptr);
        },
        bad_target, "STATUS_INVALID_UNWIND_TARGET");
    EXPECT_EXIT(
        {
            // A thread started without the layer shares its creator's block.
            pthread_t raw;
            pthread_create(
                &raw, nullptr,
                [](void *) -> void * {
                    RtlUnwind(nullptr, nullptr, nullptr, nullptr);
                    return nullptr;
                },
                nullptr);
            pthread_join(raw, nullptr);
        },
        testing::ExitedWithCode(SEH_PLATFORM_EXIT_NO_BLOCK), "no information block of its own");
    EXPECT_EXIT(
        {
            chain c(refusing_handler);
            RtlUnwind(&c.r[3], nullptr, nullptr, nullptr);
        },
        testing::ExitedWithCode(0x26),
        "STATUS_INVALID_DISPOSITION \\(0xc0000026\\) at record 0x");
}

} // namespace
