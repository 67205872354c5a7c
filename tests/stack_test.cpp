// The stack that RtlUnwind checks records against: small thread stacks,
// runaway nesting, an alternate signal stack, and what a fatal error leaves
// behind on a piped stdout.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "capture.h"
#include "nt_tib.h"
#include "qarvel.h"

namespace {

int handler_calls;
uint32_t counting_handler(EXCEPTION_RECORD *, void *, void *, void *)
{
    ++handler_calls;
    return ExceptionContinueSearch;
}

// Three records and a target on the current stack, unwound through
// do_unwind as a harness run does; true when all went as it should.
uint32_t run_target, run_resume;
void unwind_to_run_target() { do_unwind(run_target, run_resume); }

bool harness_run_unwinds(void)
{
    raw_record records[4];
    const uint32_t old_head = get_seh_frame();
    for (int i = 0; i < 4; ++i) {
        records[i].Next = i < 3 ? seh_addr(&records[i + 1]) : old_head;
        records[i].Handler = counting_handler;
    }
    set_seh_frame(seh_addr(&records[0]));
    handler_calls = 0;
    run_target = seh_addr(&records[3]);
    invoke_callback_resumable(unwind_to_run_target, &run_resume);
    const bool ok = handler_calls == 3 && get_seh_frame() == seh_addr(&records[3]);
    set_seh_frame(old_head);
    return ok;
}

// Runs fn on a new thread with a stack of `size` bytes.
void on_thread_with_stack(size_t size, void *(*fn)(void *), void *arg)
{
    pthread_attr_t attr;
    ASSERT_EQ(0, pthread_attr_init(&attr));
    ASSERT_EQ(0, pthread_attr_setstacksize(&attr, size));
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(&thread, &attr, fn, arg));
    pthread_attr_destroy(&attr);
    ASSERT_EQ(0, pthread_join(thread, nullptr));
}

TEST(Stack, SmallValidThreadStacksUnwind)
{
    for (size_t size : {size_t{PTHREAD_STACK_MIN}, size_t{32 * 1024}}) {
        bool ok = false;
        on_thread_with_stack(
            size,
            [](void *p) -> void * {
                *static_cast<bool *>(p) = harness_run_unwinds();
                return nullptr;
            },
            &ok);
        EXPECT_TRUE(ok) << "stack of " << size << " bytes";
    }
}

// Each call installs a record with this same handler and unwinds to the
// record below it: nested unwinds without end, each one handler deeper.
uint32_t runaway_handler(EXCEPTION_RECORD *, void *, void *, void *)
{
    const uint32_t below = get_seh_frame();
    raw_record record{below, runaway_handler};
    set_seh_frame(seh_addr(&record));
    RtlUnwind(reinterpret_cast<void *>(below), nullptr, nullptr, nullptr);
    return ExceptionContinueSearch;
}

void *run_away(void *)
{
    runaway_handler(nullptr, nullptr, nullptr, nullptr);
    return nullptr;
}

using StackDeathTest = testing::Test;

TEST_F(StackDeathTest, RunawayNestingEndsWithStackOverflowEvenOnASmallStack)
{
    const auto overflow = testing::ExitedWithCode(STATUS_STACK_OVERFLOW & 0xFF);
    const char *line = "RtlUnwind: STATUS_STACK_OVERFLOW \\(0xc00000fd\\) at record 0x";
    EXPECT_EXIT(run_away(nullptr), overflow, line);
    EXPECT_EXIT(on_thread_with_stack(PTHREAD_STACK_MIN, run_away, nullptr), overflow, line);
}

// A harness run inside a signal handler that runs on an alternate stack.
bool signal_run_ok;
void *signal_stack_low, *signal_stack_high;
void on_signal(int)
{
    const uint32_t here = seh_addr(&here);
    signal_run_ok = here >= seh_addr(signal_stack_low) &&
                    here < seh_addr(signal_stack_high) && harness_run_unwinds();
}

void harness_run_on_signal_stack(void)
{
    const size_t size = 64 * 1024;
    void *memory = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, memory);
    signal_stack_low = memory;
    signal_stack_high = static_cast<char *>(memory) + size;
    stack_t alternate = {}, old;
    alternate.ss_sp = memory;
    alternate.ss_size = size;
    ASSERT_EQ(0, sigaltstack(&alternate, &old));
    struct sigaction action = {}, old_action;
    action.sa_handler = on_signal;
    action.sa_flags = SA_ONSTACK;
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, &old_action));
    signal_run_ok = false;
    raise(SIGUSR1);
    sigaction(SIGUSR1, &old_action, nullptr);
    sigaltstack(&old, nullptr);
    munmap(memory, size);
    EXPECT_TRUE(signal_run_ok);
    // Back on the thread's stack, its bounds are the thread's again.
    EXPECT_TRUE(harness_run_unwinds());
}

// On a thread of its own, the newest one: under qemu-i386, a thread that
// returns from a signal handler comes back with the segment bases of the
// thread that set its descriptors last.
TEST(Stack, HarnessRunInASignalHandlerOnTheAlternateStack)
{
    on_new_thread(harness_run_on_signal_stack);
}

// With stdout a pipe (fully buffered), what was printed before the layer
// ends the process reaches the pipe, whichever error ends it: an exception
// that nobody takes, raised or the processor's, or a thread the layer
// cannot serve.
struct ending {
    int status;
    std::string out, err;
};

template <class F> ending end_with_stdout_a_pipe(F fn)
{
    int out[2], err[2];
    ending result{-1, "", ""};
    if (pipe(out) != 0 || pipe(err) != 0)
        return result;
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        printf("printed before\n");
        fn();
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        result.out.append(buffer, static_cast<size_t>(n));
    for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;)
        result.err.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    return result;
}

TEST(Stack, EveryFatalErrorFlushesStdoutFirst)
{
    const ending bad_stack = end_with_stdout_a_pipe([] {
        set_seh_frame(seh_addr(&handler_calls)); // not on the stack
        RtlUnwind(nullptr, nullptr, nullptr, nullptr);
    });
    EXPECT_EQ(static_cast<int>(STATUS_BAD_STACK & 0xFF), bad_stack.status);
    EXPECT_EQ("printed before\n", bad_stack.out);
    EXPECT_EQ(0u, bad_stack.err.rfind("seh_platform: unhandled exception 0xc0000028 "
                                      "(STATUS_BAD_STACK)", 0))
        << bad_stack.err;

    const ending raised = end_with_stdout_a_pipe([] {
        set_seh_frame(SEH_CHAIN_END);
        RtlUnwind(nullptr, nullptr, nullptr, nullptr);
    });
    EXPECT_EQ(static_cast<int>(STATUS_UNWIND & 0xFF), raised.status);
    EXPECT_EQ("printed before\n", raised.out);

    const ending no_block = end_with_stdout_a_pipe([] {
        using create_fn = int(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
        auto *create = reinterpret_cast<create_fn *>(dlvsym(
            dlopen("libc.so.6", RTLD_NOLOAD | RTLD_LAZY), "pthread_create", "GLIBC_2.34"));
        pthread_t raw;
        create(&raw, nullptr, [](void *) -> void * {
            RtlUnwind(nullptr, nullptr, nullptr, nullptr);
            return nullptr;
        }, nullptr);
        pthread_join(raw, nullptr);
    });
    EXPECT_EQ(SEH_PLATFORM_EXIT_NO_BLOCK, no_block.status);
    EXPECT_EQ("printed before\n", no_block.out);

    const ending fault = end_with_stdout_a_pipe([] { __asm__ volatile("ud2"); });
    EXPECT_EQ(static_cast<int>(STATUS_ILLEGAL_INSTRUCTION & 0xFF), fault.status);
    EXPECT_EQ("printed before\n", fault.out);
}

} // namespace
