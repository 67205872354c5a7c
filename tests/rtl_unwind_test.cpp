// RtlUnwind of the reference platform layer.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
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

TEST(RtlUnwind, EndMarkerAsTargetUnwindsTheWholeChainAndReturns)
{
    on_new_thread([] {
        chain c;
        EXPECT_EQ(0x5678u, RtlUnwind(reinterpret_cast<void *>(SEH_CHAIN_END),
                                     nullptr, nullptr, reinterpret_cast<void *>(0x5678)));
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

// With nothing above the target there is no walk, but the caller's record
// is marked all the same and the value comes back.
TEST(RtlUnwind, TargetAtTheHeadCallsNoHandlerYetMarksTheRecord)
{
    chain c;
    EXCEPTION_RECORD mine = {};
    const uint32_t value =
        RtlUnwind(&c.r[0], nullptr, &mine, reinterpret_cast<void *>(0x5eed));
    EXPECT_EQ(0x5eedu, value);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(EXCEPTION_UNWINDING, mine.ExceptionFlags);
    EXPECT_EQ(c.at(0), get_seh_frame());
    // And with a record of its own, as do_unwind asks.
    EXPECT_EQ(0xfeedu, RtlUnwind(&c.r[0], nullptr, nullptr, reinterpret_cast<void *>(0xfeed)));
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(c.at(0), get_seh_frame());
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

// Every handler of one unwind gets the same CONTEXT, captured on entry, and
// RtlUnwind returns with what the last handler left there.
std::vector<CONTEXT> contexts;
std::vector<CONTEXT *> context_pointers;
uint32_t context_handler(EXCEPTION_RECORD *, void *, void *context, void *)
{
    auto *c = static_cast<CONTEXT *>(context);
    context_pointers.push_back(c);
    contexts.push_back(*c);
    c->Eax += 1;
    c->Ebx = 0xB0B0B0B0;
    return ExceptionContinueSearch;
}

TEST(RtlUnwind, HandlersShareTheCallersContextAndRtlUnwindReturnsThroughIt)
{
    contexts.clear();
    context_pointers.clear();
    chain c(context_handler);
    uint32_t out[5] = {};
    rtl_unwind_probe(c.at(3), 0xCAFE, out);
    ASSERT_EQ(3u, contexts.size());
    EXPECT_EQ(context_pointers[0], context_pointers[1]);
    EXPECT_EQ(context_pointers[0], context_pointers[2]);
    const CONTEXT &first = contexts[0];
    EXPECT_EQ(CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS, first.ContextFlags);
    EXPECT_EQ(0xCAFEu, first.Eax);
    EXPECT_EQ(probe_ebx, first.Ebx);
    EXPECT_EQ(probe_esi, first.Esi);
    EXPECT_EQ(probe_edi, first.Edi);
    EXPECT_EQ(0u, first.EFlags & 0x400) << "the direction flag";
    // The probe's frame: EBP, with EBX, ESI, EDI and 12 bytes of padding
    // below it, then the return address that EIP holds.
    EXPECT_EQ(first.Ebp - 24, first.Esp);
    EXPECT_EQ(0xCAFEu + 1, contexts[1].Eax) << "the second handler sees the first's change";
    EXPECT_EQ(0xCAFEu + 3, out[0]);
    EXPECT_EQ(0xB0B0B0B0u, out[1]);
    EXPECT_EQ(probe_esi, out[2]);
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

// With EBP as frame pointer, a handler entered on an ABI-aligned stack has
// its frame at 8 modulo 16 (the return address and the saved EBP below it).
uint32_t frame_alignment;
uint32_t alignment_handler(EXCEPTION_RECORD *, void *, void *, void *)
{
    frame_alignment = seh_addr(__builtin_frame_address(0)) & 15;
    return ExceptionContinueSearch;
}

TEST(RtlUnwind, HandlersRunOnAnAlignedStack)
{
    chain c(alignment_handler);
    frame_alignment = 99;
    RtlUnwind(&c.r[1], nullptr, nullptr, nullptr);
    EXPECT_EQ(8u, frame_alignment);
}

// RtlUnwind is entered on whatever 4-byte aligned stack its caller has, as a
// stdcall API: the handlers still get an aligned one.
uint32_t unwind_past_one_record(uint32_t, uint32_t)
{
    chain c(alignment_handler);
    frame_alignment = 99;
    RtlUnwind(&c.r[1], nullptr, nullptr, nullptr);
    return frame_alignment;
}

TEST(RtlUnwind, HandlersRunOnAnAlignedStackWhateverTheCallersAlignment)
{
    for (uint32_t words = 0; words < 4; ++words)
        EXPECT_EQ(8u, call_shifted(words, unwind_past_one_record, 0, 0))
            << "caller's stack " << words << " words off";
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

// Where the real platform raises, the layer ends the process with the
// status (its low byte as exit code) after a line on stderr: never a fault
// or a hang.
using RtlUnwindDeathTest = testing::Test;

int exit_code(uint32_t status) { return static_cast<int>(status & 0xFF); }

// Writes each call to stderr, where the death test's pattern sees it: the
// record's place in the chain of telling_chain, the flags, and whether the
// record is still linked behind the head while its handler runs.
const chain *telling_chain;
uint32_t telling_handler(EXCEPTION_RECORD *rec, void *frame, void *, void *)
{
    const uint32_t at = seh_addr(frame);
    const auto *head = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD *>(get_seh_frame());
    fprintf(stderr, "handler %u flags %x%s\n", (at - telling_chain->at(0)) / 8,
            rec->ExceptionFlags, head->Next == at ? " linked" : "");
    return ExceptionContinueSearch;
}

TEST_F(RtlUnwindDeathTest, NullTargetUnwindsTheWholeChainThenRaisesItsRecord)
{
    EXPECT_EXIT(
        {
            chain c(telling_handler);
            telling_chain = &c;
            RtlUnwind(nullptr, nullptr, nullptr, nullptr);
        },
        testing::ExitedWithCode(exit_code(STATUS_UNWIND)),
        "^handler 0 flags 6 linked\nhandler 1 flags 6 linked\nhandler 2 flags 6 linked\n"
        "handler 3 flags 6 linked\nRtlUnwind: STATUS_UNWIND \\(0xc0000027\\) raised at "
        "the end of the chain, with no handler left\n$");
    EXPECT_EXIT(
        {
            chain c;
            EXCEPTION_RECORD mine = {};
            mine.ExceptionCode = 0xE0001234;
            RtlUnwind(nullptr, nullptr, &mine, nullptr);
        },
        testing::ExitedWithCode(0x34),
        "RtlUnwind: exception \\(0xe0001234\\) raised at the end of the chain");
    EXPECT_EXIT(
        {
            chain c;
            EXCEPTION_RECORD mine = {};
            mine.ExceptionCode = 0xE0000100; // must not end as a success
            RtlUnwind(nullptr, nullptr, &mine, nullptr);
        },
        testing::ExitedWithCode(0xFF), "exception \\(0xe0000100\\) raised");
}

TEST_F(RtlUnwindDeathTest, TargetNeverMetEndsAtTheEndMarkerLikeANullOne)
{
    EXPECT_EXIT(
        {
            chain c(telling_handler);
            telling_chain = &c;
            c.r[3].Next = SEH_CHAIN_END;
            RtlUnwind(&c.old_head, nullptr, nullptr, nullptr); // above every record
        },
        testing::ExitedWithCode(exit_code(STATUS_UNWIND)),
        "^handler 0 flags 2 linked\nhandler 1 flags 2 linked\nhandler 2 flags 2 linked\n"
        "handler 3 flags 2 linked\nRtlUnwind: STATUS_UNWIND \\(0xc0000027\\) raised at "
        "the end of the chain");
}

uint32_t refusing_handler(EXCEPTION_RECORD *, void *, void *, void *)
{
    return 0; // ExceptionContinueExecution: not an answer to an unwind
}

// Answers ExceptionCollidedUnwind, naming collided_name as the record to go
// on from, although no other unwind is running.
uint32_t collided_name;
uint32_t colliding_handler(EXCEPTION_RECORD *, void *, void *, void *dispatcher)
{
    if (collided_name != 0)
        *static_cast<uint32_t *>(dispatcher) = collided_name;
    return ExceptionCollidedUnwind;
}

TEST_F(RtlUnwindDeathTest, BadChainOrTargetEndsWithItsStatus)
{
    const auto bad_stack = testing::ExitedWithCode(exit_code(STATUS_BAD_STACK));
    const auto bad_target = testing::ExitedWithCode(exit_code(STATUS_INVALID_UNWIND_TARGET));
    EXPECT_EXIT(
        {
            chain c;
            set_seh_frame(c.at(0) + 1);
            RtlUnwind(&c.r[3], nullptr, nullptr, nullptr);
        },
        bad_stack, "RtlUnwind: STATUS_BAD_STACK \\(0xc0000028\\) at record 0x");
    // A record off the stack, first or further down; the null target keeps
    // the check from depending on where the program lies against the stack.
    static EXCEPTION_REGISTRATION_RECORD global_record = {SEH_CHAIN_END, logging_handler};
    EXPECT_EXIT(
        {
            set_seh_frame(seh_addr(&global_record));
            RtlUnwind(nullptr, nullptr, nullptr, nullptr);
        },
        bad_stack, "STATUS_BAD_STACK \\(0xc0000028\\) at record " + hex(seh_addr(&global_record)));
    EXPECT_EXIT(
        {
            chain c;
            c.r[0].Next = seh_addr(&global_record);
            RtlUnwind(nullptr, nullptr, nullptr, nullptr);
        },
        bad_stack, "STATUS_BAD_STACK \\(0xc0000028\\) at record " + hex(seh_addr(&global_record)));
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
            chain c; // a target between r[1] and r[2]: the walk passes it
            RtlUnwind(reinterpret_cast<char *>(&c.r[1]) + 4, nullptr, nullptr, nullptr);
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
            chain c(refusing_handler);
            RtlUnwind(&c.r[3], nullptr, nullptr, nullptr);
        },
        testing::ExitedWithCode(exit_code(STATUS_INVALID_DISPOSITION)),
        "STATUS_INVALID_DISPOSITION \\(0xc0000026\\) at record 0x");
}

// The error paths, entered from RtlUnwind's unaligned stack, realign their
// own and report.
uint32_t unwind_refused(uint32_t, uint32_t)
{
    chain c(refusing_handler);
    RtlUnwind(&c.r[3], nullptr, nullptr, nullptr);
    return 0;
}

TEST_F(RtlUnwindDeathTest, ErrorsAreReportedWhateverTheCallersAlignment)
{
    for (uint32_t words = 0; words < 4; ++words)
        EXPECT_EXIT(call_shifted(words, unwind_refused, 0, 0),
                    testing::ExitedWithCode(exit_code(STATUS_INVALID_DISPOSITION)),
                    "RtlUnwind: STATUS_INVALID_DISPOSITION \\(0xc0000026\\) at record 0x")
            << "caller's stack " << words << " words off";
}

// The record named by a collided disposition comes from a handler: one that
// is not a record on the stack above the guard is refused like a bad link.
TEST_F(RtlUnwindDeathTest, CollidedUnwindNamingABadRecordEndsWithItsStatus)
{
    const auto bad_stack = testing::ExitedWithCode(exit_code(STATUS_BAD_STACK));
    const auto unwind = [](uint32_t name) {
        chain c(colliding_handler);
        collided_name = name == 1 ? c.at(1) + 2 : name;
        RtlUnwind(&c.r[3], nullptr, nullptr, nullptr);
    };
    // No nested unwind filled the context in: it names nothing.
    EXPECT_EXIT(unwind(0), bad_stack, "STATUS_BAD_STACK \\(0xc0000028\\) at record 0x00000000\n");
    EXPECT_EXIT(unwind(1), bad_stack, "STATUS_BAD_STACK \\(0xc0000028\\) at record 0x[0-9a-f]*[26ae]\n");
    EXPECT_EXIT(unwind(SEH_CHAIN_END), bad_stack, "at record 0xffffffff\n");
    // The target itself: taken off like any record so named, and the walk
    // has then passed its target.
    EXPECT_EXIT(
        {
            chain c(colliding_handler);
            collided_name = c.at(3);
            c.r[3].Next = seh_addr(&c.old_head); // an older record
            RtlUnwind(&c.r[3], nullptr, nullptr, nullptr);
        },
        testing::ExitedWithCode(exit_code(STATUS_INVALID_UNWIND_TARGET)),
        "STATUS_INVALID_UNWIND_TARGET \\(0xc0000029\\) at record 0x");
    static EXCEPTION_REGISTRATION_RECORD global_record = {SEH_CHAIN_END, logging_handler};
    EXPECT_EXIT(unwind(seh_addr(&global_record)), bad_stack,
                "at record " + hex(seh_addr(&global_record)) + "\n");
}

TEST(RtlUnwind, CollidedUnwindNamingARecordGoesOnFromItWithoutItsHandler)
{
    chain c;
    c.r[0].Handler = colliding_handler;
    collided_name = c.at(1); // as if an unwind were running r[1]'s handler
    RtlUnwind(&c.r[3], nullptr, nullptr, nullptr);
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(c.at(2), calls[0].frame);
    EXPECT_EQ(c.at(3), get_seh_frame());
}

TEST_F(RtlUnwindDeathTest, ThreadWithoutABlockOfItsOwnIsRefused)
{
    EXPECT_EXIT(
        {
            // A thread that the layer did not start (the C library's own
            // pthread_create, as a raw clone would) shares its creator's FS.
            using create_fn = int(pthread_t *, const pthread_attr_t *,
                                  void *(*)(void *), void *);
            void *libc = dlopen("libc.so.6", RTLD_NOLOAD | RTLD_LAZY);
            auto *create = reinterpret_cast<create_fn *>(
                dlvsym(libc, "pthread_create", "GLIBC_2.34"));
            if (!create)
                _exit(99);
            pthread_t raw;
            create(
                &raw, nullptr,
                [](void *) -> void * {
                    RtlUnwind(nullptr, nullptr, nullptr, nullptr);
                    return nullptr;
                },
                nullptr);
            pthread_join(raw, nullptr);
        },
        testing::ExitedWithCode(SEH_PLATFORM_EXIT_NO_BLOCK),
        "RtlUnwind: this thread has no information block of its own");
}

} // namespace
