// The first pass: the walk (D1-D3), the handler calls and their answers
// (H1-H5, C1, C3) and nested exceptions (N1-N6), on records of a test's
// own.
#include <gtest/gtest.h>

#include <setjmp.h>
#include <stdio.h>

#include <functional>
#include <vector>

#include "capture.h"
#include "exceptions.h"

namespace {

constexpr uint32_t outer_code = 0xE0000010, nested_code = 0xE0000011;

struct call {
    int index; // which record of the chain
    uint32_t code, flags;
    const EXCEPTION_RECORD *record;
    void *context, *dispatcher;
    uint32_t head, head_next; // FS:0 during the call, and its Next
    uint32_t frame_alignment, direction_flag;
};
std::vector<call> calls;

struct chain;
chain *current;
// What the record `index` answers, and does before.
std::function<uint32_t(int index, EXCEPTION_RECORD *, void *frame, void *dispatcher)> behave;

// Four records on the stack, newest (lowest) first, in front of the old
// head.
struct chain {
    raw_record r[4];
    uint32_t old_head;
    explicit chain(test_handler handler);
    uint32_t at(int i) const { return seh_addr(&r[i]); }
    ~chain()
    {
        set_seh_frame(old_head);
        current = nullptr;
    }
};

uint32_t chain_handler(EXCEPTION_RECORD *rec, void *frame, void *context, void *dispatcher)
{
    uint32_t flags;
    __asm__ volatile("pushfl\n\tpopl %0" : "=r"(flags));
    const int index = static_cast<int>((seh_addr(frame) - current->at(0)) / 8);
    const uint32_t head = get_seh_frame();
    calls.push_back({index, rec->ExceptionCode, rec->ExceptionFlags, rec, context, dispatcher,
                     head, seh_record(head)->Next ? seh_addr(seh_record(head)->Next) : 0,
                     seh_addr(__builtin_frame_address(0)) & 15, flags & 0x400});
    return behave ? behave(index, rec, frame, dispatcher) : uint32_t{ExceptionContinueSearch};
}

chain::chain(test_handler handler = chain_handler)
{
    calls.clear();
    current = this;
    old_head = get_seh_frame();
    for (int i = 0; i < 4; ++i) {
        r[i].Next = i < 3 ? seh_addr(&r[i + 1]) : old_head;
        r[i].Handler = handler;
    }
    set_seh_frame(seh_addr(&r[0]));
}

std::vector<int> order_of(uint32_t code, uint32_t flags_mask = 0, uint32_t flags = 0)
{
    std::vector<int> order;
    for (const call &c : calls)
        if (c.code == code && (c.flags & flags_mask) == flags)
            order.push_back(c.index);
    return order;
}

// The record that takes an exception as a compiler's __except does (H5):
// unwinds to itself, then goes on in its function (taken_here).
jmp_buf taken_here;
uint32_t take(void *frame, EXCEPTION_RECORD *rec)
{
    RtlUnwind(frame, nullptr, rec, nullptr);
    longjmp(taken_here, 1);
}

TEST(Dispatch, VectoredHandlersFirstThenTheChainNewestFirstToTheFirstThatContinues)
{
    handling h(nullptr);
    chain c;
    behave = [](int index, EXCEPTION_RECORD *, void *, void *) {
        return index == 2 ? uint32_t{ExceptionContinueExecution} : uint32_t{ExceptionContinueSearch};
    };
    const uint32_t head = get_seh_frame();
    RaiseException(outer_code, 0, 0, nullptr);
    EXPECT_EQ(head, get_seh_frame()) << "D3: the chain as it was";
    ASSERT_EQ(1u, h.seen.size());
    EXPECT_EQ((std::vector<int>{0, 1, 2}), order_of(outer_code));
    for (const call &k : calls) {
        // H1: one record and one context, those the vectored handler got
        // (V2); first-pass flags; on an aligned stack, DF clear (H2).
        EXPECT_EQ(h.seen[0].record_at, k.record);
        EXPECT_EQ(h.seen[0].context_at, k.context);
        EXPECT_EQ(0u, k.flags);
        EXPECT_EQ(8u, k.frame_alignment);
        EXPECT_EQ(0u, k.direction_flag);
        // N1: the dispatcher's record at the head, in front of the head as
        // the dispatch found it, and not the record called.
        EXPECT_NE(c.at(k.index), k.head);
        EXPECT_EQ(c.at(0), k.head_next);
    }
    behave = nullptr;
}

__attribute__((stdcall)) uint32_t popping_handler(EXCEPTION_RECORD *, void *, void *, void *)
{
    calls.push_back({});
    return ExceptionContinueSearch;
}

// H1: the dispatcher restores ESP after each call, so a stdcall handler
// (which pops its arguments) works as a cdecl one.
TEST(Dispatch, StdcallHandlersAreCalledSafely)
{
    chain c(reinterpret_cast<test_handler>(popping_handler));
    c.r[3].Handler = [](EXCEPTION_RECORD *rec, void *frame, void *, void *) {
        return take(frame, rec);
    };
    if (!setjmp(taken_here))
        RaiseException(outer_code, 0, 0, nullptr);
    EXPECT_EQ(6u, calls.size()) << "three records asked, then unwound";
    EXPECT_EQ(c.at(3), get_seh_frame()) << "H5: the taking record at the head";
}

// H5: the records before the one that takes the exception are unwound with
// the same record; the dispatcher's own record goes silently (N6); later
// exceptions dispatch as any.
TEST(Dispatch, TakingAnExceptionUnwindsTheRecordsBeforeIt)
{
    chain c;
    behave = [](int index, EXCEPTION_RECORD *rec, void *frame, void *) {
        if (index == 2 && !(rec->ExceptionFlags & EXCEPTION_UNWIND))
            return take(frame, rec);
        return uint32_t{ExceptionContinueSearch};
    };
    const EXCEPTION_RECORD *raised = nullptr;
    for (int round = 0; round < 2; ++round) {
        calls.clear();
        set_seh_frame(c.at(0));
        if (!setjmp(taken_here))
            RaiseException(outer_code, EXCEPTION_NONCONTINUABLE, 0, nullptr);
        EXPECT_EQ(c.at(2), get_seh_frame());
        EXPECT_EQ((std::vector<int>{0, 1, 2}), order_of(outer_code, EXCEPTION_UNWIND, 0));
        EXPECT_EQ((std::vector<int>{0, 1}),
                  order_of(outer_code, EXCEPTION_UNWIND, EXCEPTION_UNWINDING));
        raised = calls[0].record;
        for (const call &k : calls)
            EXPECT_EQ(raised, k.record);
    }
    behave = nullptr;
}

// H3, H4: an answer that is none to a first pass raises
// STATUS_INVALID_DISPOSITION after the handler returned: noncontinuable
// alone, no parameters, the offending record chained; its walk starts at
// the head again, vectored handlers first.
void expect_invalid_disposition_for(uint32_t answer)
{
    SCOPED_TRACE(answer);
    handling h(nullptr);
    chain c;
    behave = [answer](int index, EXCEPTION_RECORD *rec, void *frame, void *) {
        if (rec->ExceptionFlags & EXCEPTION_UNWIND)
            return uint32_t{ExceptionContinueSearch};
        if (index == 1 && rec->ExceptionCode == outer_code)
            return answer;
        if (index == 3 && rec->ExceptionCode == STATUS_INVALID_DISPOSITION)
            return take(frame, rec);
        return uint32_t{ExceptionContinueSearch};
    };
    if (!setjmp(taken_here))
        RaiseException(outer_code, 0, 0, nullptr);
    behave = nullptr;
    ASSERT_EQ(2u, h.seen.size());
    const EXCEPTION_RECORD &status = h.seen[1].record;
    EXPECT_EQ(STATUS_INVALID_DISPOSITION, status.ExceptionCode);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_NONCONTINUABLE), status.ExceptionFlags);
    EXPECT_EQ(h.seen[0].record_at, status.ExceptionRecord);
    EXPECT_EQ(0u, status.NumberParameters);
    EXPECT_EQ((std::vector<int>{0, 1}), order_of(outer_code));
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3}),
              order_of(STATUS_INVALID_DISPOSITION, EXCEPTION_UNWIND, 0));
}

TEST(Dispatch, AnAnswerThatIsNoneRaisesInvalidDisposition)
{
    for (const uint32_t answer : {uint32_t{ExceptionCollidedUnwind}, 7u, 0xFFFFFFFFu, 0x80000000u})
        expect_invalid_disposition_for(answer);
}

// C3: continuing a noncontinuable exception raises
// STATUS_NONCONTINUABLE_EXCEPTION in turn, chained to it.
TEST(Dispatch, ContinuingANoncontinuableExceptionRaisesItsStatus)
{
    handling h(nullptr);
    chain c;
    behave = [](int index, EXCEPTION_RECORD *rec, void *frame, void *) {
        if (rec->ExceptionFlags & EXCEPTION_UNWIND)
            return uint32_t{ExceptionContinueSearch};
        if (index == 0 && rec->ExceptionCode == outer_code)
            return uint32_t{ExceptionContinueExecution};
        if (index == 2 && rec->ExceptionCode == STATUS_NONCONTINUABLE_EXCEPTION)
            return take(frame, rec);
        return uint32_t{ExceptionContinueSearch};
    };
    if (!setjmp(taken_here))
        RaiseException(outer_code, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    ASSERT_EQ(2u, h.seen.size());
    EXPECT_EQ(STATUS_NONCONTINUABLE_EXCEPTION, h.seen[1].record.ExceptionCode);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_NONCONTINUABLE), h.seen[1].record.ExceptionFlags);
    EXPECT_EQ(h.seen[0].record_at, h.seen[1].record.ExceptionRecord);
    EXPECT_EQ((std::vector<int>{0}), order_of(outer_code));
    behave = nullptr;
}

// N1, N2, N3, N5: record 1's handler raises a nested exception. Its walk
// starts at the dispatcher's record, which names record 1: the nested flag
// holds for records 0 and 1 and is cleared for record 2, which continues
// it. Back in record 1's handler, the outer walk goes on after it with the
// outer exception as it was.
TEST(Nested, TheNestedFlagHoldsThroughTheRecordWhoseHandlerRaised)
{
    chain c;
    std::vector<uint32_t> outer_flags_seen_by_1;
    behave = [&](int index, EXCEPTION_RECORD *rec, void *, void *) {
        if (rec->ExceptionCode == nested_code)
            return index == 2 ? uint32_t{ExceptionContinueExecution} : uint32_t{ExceptionContinueSearch};
        if (index == 1) {
            RaiseException(nested_code, 0, 0, nullptr);
            outer_flags_seen_by_1.push_back(rec->ExceptionFlags);
        }
        return index == 2 ? uint32_t{ExceptionContinueExecution} : uint32_t{ExceptionContinueSearch};
    };
    RaiseException(outer_code, 0, 0, nullptr);
    EXPECT_EQ((std::vector<int>{0, 1, 2}), order_of(nested_code));
    EXPECT_EQ((std::vector<int>{0, 1}), order_of(nested_code, EXCEPTION_NESTED_CALL, EXCEPTION_NESTED_CALL));
    EXPECT_EQ((std::vector<int>{0, 1, 2}), order_of(outer_code, 0xFFFFFFFF, 0));
    EXPECT_EQ((std::vector<uint32_t>{0}), outer_flags_seen_by_1);
    for (const call &k : calls)
        if (k.code == nested_code) {
            EXPECT_NE(c.at(0), k.head) << "N2: the dispatcher's record comes first";
            EXPECT_EQ(nullptr, k.record->ExceptionRecord) << "a new record, not chained";
        }
    behave = nullptr;
}

// N2 at any depth: a nested exception raised while a nested exception's
// handler runs names the highest record.
TEST(Nested, AtAnyDepthTheFlagHoldsThroughTheHighestRecordNamed)
{
    chain c;
    constexpr uint32_t third_code = 0xE0000012;
    behave = [](int index, EXCEPTION_RECORD *rec, void *, void *) {
        if (rec->ExceptionCode == outer_code && index == 2)
            RaiseException(nested_code, 0, 0, nullptr);
        if (rec->ExceptionCode == nested_code && index == 0)
            RaiseException(third_code, 0, 0, nullptr);
        return index == 3 ? uint32_t{ExceptionContinueExecution} : uint32_t{ExceptionContinueSearch};
    };
    RaiseException(outer_code, 0, 0, nullptr);
    // Through record 0 (the nested handler that raised) and record 2 (the
    // outer one): records 0 to 2 see the flag, record 3 does not.
    EXPECT_EQ((std::vector<int>{0, 1, 2}),
              order_of(third_code, EXCEPTION_NESTED_CALL, EXCEPTION_NESTED_CALL));
    EXPECT_EQ((std::vector<int>{3}), order_of(third_code, EXCEPTION_NESTED_CALL, 0));
    behave = nullptr;
}

// N4, N6: a record further out takes the nested exception: the unwind
// calls records 0 and 1 (whose first-pass call never returns) with the
// nested record, passes the dispatcher's records silently, and the outer
// dispatch is abandoned.
TEST(Nested, ANestedExceptionTakenFurtherOutUnwindsThroughTheRaisingHandler)
{
    chain c;
    behave = [](int index, EXCEPTION_RECORD *rec, void *frame, void *) {
        if (rec->ExceptionFlags & EXCEPTION_UNWIND)
            return uint32_t{ExceptionContinueSearch};
        if (rec->ExceptionCode == outer_code && index == 1)
            RaiseException(nested_code, 0, 0, nullptr);
        if (rec->ExceptionCode == nested_code && index == 3)
            return take(frame, rec);
        return uint32_t{ExceptionContinueSearch};
    };
    if (!setjmp(taken_here))
        RaiseException(outer_code, 0, 0, nullptr);
    EXPECT_EQ((std::vector<int>{0, 1, 2}),
              order_of(nested_code, EXCEPTION_UNWINDING, EXCEPTION_UNWINDING));
    EXPECT_EQ(c.at(3), get_seh_frame());
    behave = nullptr;
}

// The guard of an unwind lets an exception raised by an unwind handler
// through to the records beyond it: here the record being unwound takes it.
TEST(Dispatch, AnExceptionRaisedDuringAnUnwindIsDispatchedPastItsGuard)
{
    chain c;
    behave = [](int index, EXCEPTION_RECORD *rec, void *frame, void *) {
        if (rec->ExceptionCode == STATUS_UNWIND && index == 1)
            RaiseException(nested_code, 0, 0, nullptr);
        if (rec->ExceptionCode == nested_code && index == 2 &&
            !(rec->ExceptionFlags & EXCEPTION_UNWIND))
            return take(frame, rec);
        return uint32_t{ExceptionContinueSearch};
    };
    if (!setjmp(taken_here))
        RtlUnwind(&c.r[3], nullptr, nullptr, nullptr);
    EXPECT_EQ((std::vector<int>{1, 2}), order_of(nested_code, EXCEPTION_UNWIND, 0));
    EXPECT_EQ(c.at(2), get_seh_frame());
    behave = nullptr;
}

using DispatchDeathTest = testing::Test;

LONG WINAPI telling_filter(EXCEPTION_POINTERS *)
{
    fprintf(stderr, "the filter was called\n");
    return EXCEPTION_CONTINUE_SEARCH;
}

// D2: a record that fails the stack check ends the walk, neither its
// handler nor a later one called, with EXCEPTION_STACK_INVALID; the
// process ends with the code, and the top-level filter is not called.
TEST_F(DispatchDeathTest, ARecordOffTheStackEndsTheWalkAndTheProcess)
{
    static raw_record global_record = {SEH_CHAIN_END, chain_handler};
    const char *line = "^seh_platform: unhandled exception 0xe0000010 at 0x[0-9a-f]{8} in "
                       "thread [0-9]+: the walk stopped at the record 0x[0-9a-f]{8}, misaligned, "
                       "off the stack or not above the one before it "
                       "\\(EXCEPTION_STACK_INVALID\\)\n$";
    for (int how = 0; how < 3; ++how)
        EXPECT_EXIT(
            {
                SetUnhandledExceptionFilter(telling_filter);
                chain c;
                if (how == 0)
                    c.r[1].Next = seh_addr(&global_record);
                else if (how == 1)
                    c.r[1].Next = c.at(2) + 2;
                else
                    c.r[1].Next = c.at(0); // a loop
                RaiseException(outer_code, 0, 0, nullptr);
            },
            testing::ExitedWithCode(0x10), line)
            << how;
}

} // namespace
