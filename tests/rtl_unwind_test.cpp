// RtlUnwind of the reference platform layer, and how it raises what it
// cannot do.
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
    raw_record r[4];
    uint32_t old_head;
    explicit chain(test_handler handler = logging_handler)
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
        EXPECT_EQ(0x5678u,
                  rtl_unwind_value(reinterpret_cast<void *>(SEH_CHAIN_END), nullptr, 0x5678));
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
    const uint32_t value = rtl_unwind_value(&c.r[0], &mine, 0x5eed);
    EXPECT_EQ(0x5eedu, value);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(EXCEPTION_UNWINDING, mine.ExceptionFlags);
    EXPECT_EQ(c.at(0), get_seh_frame());
    // And with a record of its own, as do_unwind asks.
    EXPECT_EQ(0xfeedu, rtl_unwind_value(&c.r[0], nullptr, 0xfeed));
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
    chain c(reinterpret_cast<test_handler>(popping_handler));
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

// E3: at the end marker, which was not its target, the unwind raises its
// record with the chain now empty; when nobody takes it, the process ends
// with the code's low byte, after a line on stderr: never a fault or a
// hang.
using RtlUnwindDeathTest = testing::Test;

int exit_code(uint32_t status) { return static_cast<int>(status & 0xFF); }

// The line with which the layer ends a process whose exception nobody took.
std::string unhandled_line(const char *code)
{
    return std::string("seh_platform: unhandled exception ") + code +
           " at 0x[0-9a-f]{8} in thread [0-9]+\n";
}

// Writes each call to stderr, where the death test's pattern sees it: the
// record's place in the chain of telling_chain, the flags, and whether the
// record is still linked behind the head while its handler runs.
const chain *telling_chain;
uint32_t telling_handler(EXCEPTION_RECORD *rec, void *frame, void *, void *)
{
    const uint32_t at = seh_addr(frame);
    const auto *head = reinterpret_cast<raw_record *>(get_seh_frame());
    fprintf(stderr, "handler %u flags %lx%s\n", (at - telling_chain->at(0)) / 8,
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
        "handler 3 flags 6 linked\n" + unhandled_line("0xc0000027 \\(STATUS_UNWIND\\)") + "$");
    EXPECT_EXIT(
        {
            chain c;
            EXCEPTION_RECORD mine = {};
            mine.ExceptionCode = 0xE0001234;
            RtlUnwind(nullptr, nullptr, &mine, nullptr);
        },
        testing::ExitedWithCode(0x34), unhandled_line("0xe0001234"));
    EXPECT_EXIT(
        {
            chain c;
            EXCEPTION_RECORD mine = {};
            mine.ExceptionCode = 0xE0000100; // must not end as a success
            RtlUnwind(nullptr, nullptr, &mine, nullptr);
        },
        testing::ExitedWithCode(0xFF), unhandled_line("0xe0000100"));
}

// E3 in-process: the record raised is the unwind's own (STATUS_UNWIND) or
// the caller's itself, with its unwind flags, and the chain is empty.
TEST(RtlUnwind, AtTheEndMarkerTheUnwindsRecordIsRaised)
{
    on_new_thread([] {
        {
            chain c;
            const raised own = raised_by([] { RtlUnwind(nullptr, nullptr, nullptr, nullptr); });
            EXPECT_TRUE(own.seen);
            EXPECT_EQ(STATUS_UNWIND, own.code);
            EXPECT_EQ(EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND, own.flags);
            EXPECT_EQ(4u, calls.size());
        }
        chain c;
        c.r[3].Next = SEH_CHAIN_END;
        EXCEPTION_RECORD mine = {};
        mine.ExceptionCode = 0xE0001234;
        const raised callers = raised_by([&] { RtlUnwind(&c.old_head, nullptr, &mine, nullptr); });
        EXPECT_EQ(&mine, callers.record);
        EXPECT_EQ(EXCEPTION_UNWINDING, callers.flags);
    });
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
        "handler 3 flags 2 linked\n" + unhandled_line("0xc0000027 \\(STATUS_UNWIND\\)"));
}

// Answers an unwind with ExceptionContinueExecution, which is no answer to
// one; an exception's first pass it passes on.
uint32_t refusing_handler(EXCEPTION_RECORD *rec, void *, void *, void *)
{
    return rec->ExceptionFlags & EXCEPTION_UNWIND ? 0 : ExceptionContinueSearch;
}

// Answers an unwind with ExceptionCollidedUnwind, naming collided_name as
// the record to go on from, although no other unwind is running.
uint32_t collided_name;
uint32_t colliding_handler(EXCEPTION_RECORD *rec, void *, void *, void *dispatcher)
{
    if (!(rec->ExceptionFlags & EXCEPTION_UNWIND))
        return ExceptionContinueSearch;
    if (collided_name != 0)
        *static_cast<uint32_t *>(dispatcher) = collided_name;
    return ExceptionCollidedUnwind;
}

// E4: the status, noncontinuable, with the unwind's record chained (its own
// STATUS_UNWIND record, or the caller's).
void expect_status(const raised &r, uint32_t status, const EXCEPTION_RECORD *callers = nullptr)
{
    EXPECT_TRUE(r.seen);
    EXPECT_EQ(status, r.code);
    EXPECT_EQ(static_cast<uint32_t>(EXCEPTION_NONCONTINUABLE), r.flags);
    if (callers)
        EXPECT_EQ(callers, r.chained);
    else
        EXPECT_EQ(STATUS_UNWIND, r.chained_code);
}

TEST(RtlUnwind, BadChainOrTargetRaisesItsStatus)
{
    const raised misaligned = raised_by([] {
        chain c;
        set_seh_frame(c.at(0) + 1);
        RtlUnwind(&c.r[3], nullptr, nullptr, nullptr);
    });
    expect_status(misaligned, STATUS_BAD_STACK);
    // A record off the stack, first or further down; the null target keeps
    // the check from depending on where the program lies against the stack.
    static raw_record global_record = {SEH_CHAIN_END, logging_handler};
    EXCEPTION_RECORD mine = {};
    const raised off_stack = raised_by([&] {
        set_seh_frame(seh_addr(&global_record));
        RtlUnwind(nullptr, nullptr, &mine, nullptr);
    });
    expect_status(off_stack, STATUS_BAD_STACK, &mine);
    const raised further = raised_by([] {
        chain c;
        c.r[0].Next = seh_addr(&global_record);
        RtlUnwind(nullptr, nullptr, nullptr, nullptr);
    });
    expect_status(further, STATUS_BAD_STACK);
    EXPECT_EQ(1u, calls.size()) << "only the record before it was unwound";
    expect_status(raised_by([] {
                      chain c;
                      c.r[1].Next = c.at(0); // a loop: would never reach the end
                      RtlUnwind(nullptr, nullptr, nullptr, nullptr);
                  }),
                  STATUS_BAD_STACK);
    expect_status(raised_by([] {
                      chain c;
                      set_seh_frame(c.at(2)); // r[0] and r[1] are not on the chain
                      RtlUnwind(&c.r[0], nullptr, nullptr, nullptr);
                  }),
                  STATUS_INVALID_UNWIND_TARGET);
    expect_status(raised_by([] {
                      chain c; // a target between r[1] and r[2]: the walk passes it
                      RtlUnwind(reinterpret_cast<char *>(&c.r[1]) + 4, nullptr, nullptr, nullptr);
                  }),
                  STATUS_INVALID_UNWIND_TARGET);
    const raised below = raised_by([&] {
        chain c;
        uint32_t under;
        __asm__ volatile("leal -256(%%esp), %0" : "=r"(under));
        RtlUnwind(reinterpret_cast<void *>(under), nullptr, &mine, nullptr);
    });
    expect_status(below, STATUS_INVALID_UNWIND_TARGET, &mine);
    expect_status(raised_by([] {
                      chain c(refusing_handler);
                      RtlUnwind(&c.r[3], nullptr, nullptr, nullptr);
                  }),
                  STATUS_INVALID_DISPOSITION);
}

// The error paths, entered from RtlUnwind's unaligned stack, realign their
// own and raise; with nobody to take the status, the process ends with it.
uint32_t unwind_refused(uint32_t, uint32_t)
{
    chain c(refusing_handler);
    RtlUnwind(&c.r[3], nullptr, nullptr, nullptr);
    return 0;
}

TEST_F(RtlUnwindDeathTest, ErrorsAreRaisedWhateverTheCallersAlignment)
{
    for (uint32_t words = 0; words < 4; ++words)
        EXPECT_EXIT(call_shifted(words, unwind_refused, 0, 0),
                    testing::ExitedWithCode(exit_code(STATUS_INVALID_DISPOSITION)),
                    unhandled_line("0xc0000026 \\(STATUS_INVALID_DISPOSITION\\)"))
            << "caller's stack " << words << " words off";
}

// The record named by a collided disposition comes from a handler: one that
// is not a record on the stack above the guard is refused like a bad link.
TEST(RtlUnwind, CollidedUnwindNamingABadRecordRaisesItsStatus)
{
    const auto unwind = [](uint32_t name) {
        return raised_by([name] {
            chain c(colliding_handler);
            collided_name = name == 1 ? c.at(1) + 2 : name;
            RtlUnwind(&c.r[3], nullptr, nullptr, nullptr);
        });
    };
    // No nested unwind filled the context in: it names nothing.
    expect_status(unwind(0), STATUS_BAD_STACK);
    expect_status(unwind(1), STATUS_BAD_STACK);
    expect_status(unwind(SEH_CHAIN_END), STATUS_BAD_STACK);
    static raw_record global_record = {SEH_CHAIN_END, logging_handler};
    expect_status(unwind(seh_addr(&global_record)), STATUS_BAD_STACK);
    // The target itself: taken off like any record so named, and the walk
    // has then passed its target.
    expect_status(raised_by([] {
                      chain c(colliding_handler);
                      collided_name = c.at(3);
                      c.r[3].Next = seh_addr(&c.old_head); // an older record
                      RtlUnwind(&c.r[3], nullptr, nullptr, nullptr);
                  }),
                  STATUS_INVALID_UNWIND_TARGET);
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
