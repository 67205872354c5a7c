// Vectored exception handlers (V1-V5, V8): their order, their handles,
// their answers, and what they may do while they run.
#include <gtest/gtest.h>

#include <pthread.h>

#include <string>
#include <vector>

#include "capture.h"

namespace {

std::string order;
LONG answer_of_c = EXCEPTION_CONTINUE_SEARCH;

LONG WINAPI a(EXCEPTION_POINTERS *) { order += 'a'; return EXCEPTION_CONTINUE_SEARCH; }
LONG WINAPI b(EXCEPTION_POINTERS *) { order += 'b'; return EXCEPTION_CONTINUE_EXECUTION; }
LONG WINAPI c(EXCEPTION_POINTERS *) { order += 'c'; return answer_of_c; }

struct added {
    PVOID handle;
    added(ULONG first, PVECTORED_EXCEPTION_HANDLER h) : handle(AddVectoredExceptionHandler(first, h)) {}
    ~added() { RemoveVectoredExceptionHandler(handle); }
};

// V1: c added First after a and b comes first; V3: b continues and nothing
// after it is called; other answers go on.
TEST(Vectored, CalledInTheOrderTheirFirstArgumentMakesUntilOneContinues)
{
    added ha(0, a), hb(0, b), hc(1, c);
    order.clear();
    RaiseException(0xE0000020, 0, 0, nullptr);
    EXPECT_EQ("cab", order);
    answer_of_c = 7; // neither answer: goes on
    order.clear();
    RaiseException(0xE0000020, 0, 0, nullptr);
    EXPECT_EQ("cab", order);
    answer_of_c = EXCEPTION_CONTINUE_EXECUTION;
    order.clear();
    RaiseException(0xE0000020, 0, 0, nullptr);
    EXPECT_EQ("c", order);
    answer_of_c = EXCEPTION_CONTINUE_SEARCH;
}

// V4: non-null handles; a removed handler is not called again, and its
// handle is refused from then on.
TEST(Vectored, RemovedHandlersAreNotCalledAndTheirHandlesAreRefused)
{
    added hb(0, b);
    PVOID ha = AddVectoredExceptionHandler(1, a);
    ASSERT_NE(nullptr, ha);
    EXPECT_NE(hb.handle, ha);
    EXPECT_EQ(1u, RemoveVectoredExceptionHandler(ha));
    EXPECT_EQ(0u, RemoveVectoredExceptionHandler(ha));
    EXPECT_EQ(0u, RemoveVectoredExceptionHandler(nullptr));
    EXPECT_EQ(nullptr, AddVectoredExceptionHandler(1, nullptr));
    order.clear();
    RaiseException(0xE0000021, 0, 0, nullptr);
    EXPECT_EQ("b", order);
}

// V5: process-wide, called on the raising thread.
pthread_t called_on;
LONG WINAPI note_thread(EXCEPTION_POINTERS *)
{
    called_on = pthread_self();
    return EXCEPTION_CONTINUE_EXECUTION;
}

TEST(Vectored, CalledOnTheThreadThatRaises)
{
    added h(1, note_thread);
    pthread_t raiser{};
    on_new_thread([&raiser] {
        raiser = pthread_self();
        RaiseException(0xE0000022, 0, 0, nullptr);
    });
    EXPECT_TRUE(pthread_equal(raiser, called_on));
}

// V8: no lock is held while a handler runs: it may raise (the nested
// exception calls the handlers again), add a handler, and remove one,
// itself included; one removed while it runs is called no more.
PVOID self_handle, added_inside;
int self_calls;
LONG WINAPI removes_itself_and_raises(EXCEPTION_POINTERS *x)
{
    ++self_calls;
    if (x->ExceptionRecord->ExceptionCode == 0xE0000023) {
        EXPECT_EQ(1u, RemoveVectoredExceptionHandler(self_handle));
        added_inside = AddVectoredExceptionHandler(0, a);
        RaiseException(0xE0000024, 0, 0, nullptr); // not called for it: removed
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

TEST(Vectored, AHandlerMayRaiseAddAndRemoveWhileItRuns)
{
    added hb(0, b);
    self_handle = AddVectoredExceptionHandler(1, removes_itself_and_raises);
    self_calls = 0;
    order.clear();
    RaiseException(0xE0000023, 0, 0, nullptr);
    EXPECT_EQ(1, self_calls);
    // The nested exception: b continues it before a, added after it; then
    // the outer one: b again.
    EXPECT_EQ("bb", order);
    order.clear();
    RaiseException(0xE0000025, 0, 0, nullptr);
    EXPECT_EQ(1, self_calls);
    EXPECT_EQ("b", order);
    EXPECT_EQ(1u, RemoveVectoredExceptionHandler(added_inside));
}

// Removed on another thread while it runs, a handler is freed only once
// its call has returned (memcheck sees a use after free otherwise).
volatile int running_stage;
LONG WINAPI waits_to_be_removed(EXCEPTION_POINTERS *)
{
    running_stage = 1;
    while (running_stage != 2)
        sched_yield();
    return EXCEPTION_CONTINUE_EXECUTION;
}

TEST(Vectored, AHandlerRemovedWhileItRunsOnAnotherThreadFinishesItsCall)
{
    PVOID handle = AddVectoredExceptionHandler(1, waits_to_be_removed);
    running_stage = 0;
    pthread_t raiser;
    ASSERT_EQ(0, pthread_create(&raiser, nullptr, [](void *) -> void * {
        RaiseException(0xE0000026, 0, 0, nullptr);
        return nullptr;
    }, nullptr));
    while (running_stage != 1)
        sched_yield();
    EXPECT_EQ(1u, RemoveVectoredExceptionHandler(handle));
    running_stage = 2;
    pthread_join(raiser, nullptr);
    EXPECT_EQ(0u, RemoveVectoredExceptionHandler(handle));
}

} // namespace
