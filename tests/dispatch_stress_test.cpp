// 8 threads raising, continuing and unwinding at once, 10,000 rounds each
// (D5, V5): each exception reaches its own thread's records and the
// process's vectored handler on its thread, every round's answer is the
// right one, and nothing is lost.
#include <gtest/gtest.h>

#include <setjmp.h>

#include <atomic>
#include <thread>
#include <vector>

#include "capture.h"

namespace {

constexpr int thread_count = 8;

struct tally {
    unsigned raised, continued_by_record, continued_by_vectored, taken, unwound, wrong;
};
tally tallies[thread_count];

// The thread's index, the code of the exception it raises now, and how the
// round ends: 0 the inner record continues it, 1 the outer record takes it,
// 2 the vectored handler continues it.
thread_local int index_of_thread;
thread_local uint32_t expected_code;
thread_local int how;
thread_local jmp_buf taken;

bool mine(const EXCEPTION_RECORD *rec)
{
    const bool right = rec->ExceptionCode == expected_code && rec->NumberParameters == 1 &&
                       rec->ExceptionInformation[0] == static_cast<ULONG_PTR>(index_of_thread);
    if (!right)
        ++tallies[index_of_thread].wrong;
    return right;
}

LONG WINAPI vectored(EXCEPTION_POINTERS *x)
{
    if (!mine(x->ExceptionRecord) || how != 2)
        return EXCEPTION_CONTINUE_SEARCH;
    ++tallies[index_of_thread].continued_by_vectored;
    return EXCEPTION_CONTINUE_EXECUTION;
}

uint32_t inner(EXCEPTION_RECORD *rec, void *, void *, void *)
{
    if (rec->ExceptionFlags & EXCEPTION_UNWIND) {
        ++tallies[index_of_thread].unwound;
        return ExceptionContinueSearch;
    }
    if (!mine(rec) || how != 0)
        return ExceptionContinueSearch;
    ++tallies[index_of_thread].continued_by_record;
    return ExceptionContinueExecution;
}

uint32_t outer(EXCEPTION_RECORD *rec, void *frame, void *, void *)
{
    if ((rec->ExceptionFlags & EXCEPTION_UNWIND) || !mine(rec) || how != 1) {
        ++tallies[index_of_thread].wrong;
        return ExceptionContinueSearch;
    }
    RtlUnwind(frame, nullptr, rec, nullptr);
    longjmp(taken, 1);
}

void one_round(int index, unsigned round, uint32_t empty)
{
    raw_record records[2];
    records[1] = {empty, outer};
    records[0] = {seh_addr(&records[1]), inner};
    set_seh_frame(seh_addr(&records[0]));
    how = static_cast<int>(round % 3);
    expected_code = 0xE0000000u | static_cast<uint32_t>(index) << 16 | (round & 0xFFFF);
    const ULONG_PTR argument = static_cast<ULONG_PTR>(index);
    ++tallies[index].raised;
    if (!setjmp(taken)) {
        RaiseException(expected_code, how == 1 ? EXCEPTION_NONCONTINUABLE : 0, 1, &argument);
        if (how == 1 || get_seh_frame() != seh_addr(&records[0]))
            ++tallies[index].wrong;
    } else {
        ++tallies[index].taken;
        if (get_seh_frame() != seh_addr(&records[1]))
            ++tallies[index].wrong;
    }
    set_seh_frame(empty);
}

void rounds_on_thread(int index, unsigned rounds)
{
    index_of_thread = index;
    const uint32_t empty = get_seh_frame();
    for (unsigned round = 0; round < rounds; ++round)
        one_round(index, round, empty);
}

TEST(DispatchStress, EightThreadsRaiseContinueAndUnwindAtOnce)
{
    const unsigned rounds = share_of(10000);
    PVOID handle = AddVectoredExceptionHandler(1, vectored);
    std::vector<std::thread> threads;
    for (int i = 0; i < thread_count; ++i) {
        tallies[i] = {};
        threads.emplace_back(rounds_on_thread, i, rounds);
    }
    for (std::thread &t : threads)
        t.join();
    RemoveVectoredExceptionHandler(handle);
    const unsigned each = (rounds + 2) / 3; // rounds of one ending, or one fewer
    for (int i = 0; i < thread_count; ++i) {
        SCOPED_TRACE(i);
        const tally &t = tallies[i];
        EXPECT_EQ(0u, t.wrong);
        EXPECT_EQ(rounds, t.raised);
        EXPECT_EQ(rounds, t.continued_by_record + t.continued_by_vectored + t.taken);
        EXPECT_EQ(t.taken, t.unwound) << "the inner record, once per round taken outside it";
        EXPECT_LE(each - 1, t.taken);
        EXPECT_LE(each - 1, t.continued_by_vectored);
        EXPECT_LE(each - 1, t.continued_by_record);
    }
}

} // namespace
