// Many threads, each unwinding its own records over and over through
// do_unwind with a resume pair of its own: the chains must stay apart. Half
// of them are std::threads, half plain pthread_create threads, as users
// start them.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "capture.h"
#include "nt_tib.h"
#include "qarvel.h"

namespace {

constexpr int thread_count = 16;
constexpr int cycles = 20000;
constexpr int max_depth = 4;

struct thread_state {
    uint32_t target;      // record to unwind to
    uint32_t resume;      // frame pointer recorded by invoke_callback
    uint32_t lowest;      // this cycle's records: [lowest, highest]
    uint32_t highest;
    long handler_calls;
    long stray_calls;     // handler calls for records not of this cycle
    long flagless_calls;  // handler calls without EXCEPTION_UNWINDING
    bool nest;            // first handler starts a nested unwind
    uint32_t nested_target;
};
thread_local thread_state state;

uint32_t stress_handler(EXCEPTION_RECORD *rec, void *frame, void *, void *)
{
    ++state.handler_calls;
    const uint32_t at = seh_addr(frame);
    if (at < state.lowest || at > state.highest)
        ++state.stray_calls;
    if (!(rec->ExceptionFlags & EXCEPTION_UNWINDING))
        ++state.flagless_calls;
    if (state.nest) {
        state.nest = false;
        do_unwind(state.nested_target, state.resume);
    }
    return ExceptionContinueSearch;
}

void unwind_to_target() { do_unwind(state.target, state.resume); }

struct result {
    long expected_calls = 0;
    long bad_heads = 0;
    uint32_t first_head = 0;
    bool own_block = false;
};

void *worker(void *p)
{
    auto *out = static_cast<result *>(p);
    std::mt19937 random(static_cast<unsigned>(seh_addr(p)));
    const uint32_t empty = get_seh_frame();
    out->first_head = empty;
    out->own_block = tib_is_own(tib_current());
    for (int cycle = 0; cycle < cycles; ++cycle) {
        // records[depth] is the target; records[0..depth-1] lie above it.
        raw_record records[max_depth + 1];
        const int depth = static_cast<int>(random() % (max_depth + 1));
        for (int i = 0; i <= depth; ++i) {
            records[i].Next = i < depth ? seh_addr(&records[i + 1]) : get_seh_frame();
            records[i].Handler = stress_handler;
        }
        state.lowest = seh_addr(&records[0]);
        state.highest = seh_addr(&records[depth]);
        state.target = seh_addr(&records[depth]);
        // With two or more records above the target, the first handler may
        // divert the unwind to the record just below it, as test 5 does.
        state.nest = depth >= 2 && random() % 2;
        state.nested_target = seh_addr(&records[1]);
        uint32_t expect_head = state.nest ? state.nested_target : state.target;
        out->expected_calls += state.nest ? 1 : depth;
        set_seh_frame(seh_addr(&records[0]));

        invoke_callback_resumable(unwind_to_target, &state.resume);

        if (get_seh_frame() != expect_head)
            ++out->bad_heads;
        set_seh_frame(records[depth].Next);
        if (get_seh_frame() != empty)
            ++out->bad_heads;
    }
    return nullptr;
}

TEST(ThreadStress, ChainsOfManyThreadsStayApartUnderLoad)
{
    pthread_t threads[thread_count / 2];
    std::thread std_threads[thread_count / 2];
    result results[thread_count];
    thread_state seen[thread_count];
    struct job {
        result *out;
        thread_state *seen;
    } jobs[thread_count];
    auto run = [](void *p) -> void * {
        auto *j = static_cast<job *>(p);
        worker(j->out);
        *j->seen = state;
        return nullptr;
    };
    for (int t = 0; t < thread_count; ++t) {
        jobs[t] = {&results[t], &seen[t]};
        if (t % 2)
            std_threads[t / 2] = std::thread(run, &jobs[t]);
        else
            ASSERT_EQ(0, pthread_create(&threads[t / 2], nullptr, run, &jobs[t]));
    }
    for (pthread_t thread : threads)
        ASSERT_EQ(0, pthread_join(thread, nullptr));
    for (std::thread &thread : std_threads)
        thread.join();
    for (int t = 0; t < thread_count; ++t) {
        SCOPED_TRACE("thread " + std::to_string(t));
        EXPECT_EQ(SEH_CHAIN_END, results[t].first_head);
        EXPECT_TRUE(results[t].own_block);
        EXPECT_EQ(0, results[t].bad_heads);
        EXPECT_EQ(results[t].expected_calls, seen[t].handler_calls);
        EXPECT_EQ(0, seen[t].stray_calls);
        EXPECT_EQ(0, seen[t].flagless_calls);
        EXPECT_GT(results[t].expected_calls, cycles / 2);
    }
}

} // namespace
