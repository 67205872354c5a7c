// Every thread that the program starts gets its own block: std::thread and
// plain pthread_create threads alike, whoever started them and whenever their
// creator ends, and the block lasts until the thread's last destructor.
#include <gtest/gtest.h>

#include <limits.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sched.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "nt_tib.h"

namespace {

uint32_t continue_handler(EXCEPTION_RECORD *, void *, void *, void *)
{
    return ExceptionContinueSearch;
}

struct first_look {
    uint32_t head = 0;
    bool own = false;
    bool bounds_hold_a_local = false;
    bool base_below_descriptor = false;
    const NT_TIB *block = nullptr;
};

thread_local int tls_word;

first_look look(void)
{
    first_look seen;
    seen.head = get_seh_frame();
    seen.block = tib_current();
    seen.own = tib_is_own(seen.block);
    const uint32_t local = seh_addr(&seen);
    const uint32_t base = seh_addr(seen.block->StackBase);
    seen.bounds_hold_a_local = seh_addr(seen.block->StackLimit) < local && local < base;
    // The top of a new thread's block holds its static TLS and descriptor
    // (the kernel writes the descriptor's rseq area): no part of its stack.
    seen.base_below_descriptor = base <= seh_addr(reinterpret_cast<void *>(pthread_self())) &&
                                 base <= seh_addr(&tls_word);
    return seen;
}

void expect_fresh(const first_look &seen, const NT_TIB *creator)
{
    EXPECT_EQ(SEH_CHAIN_END, seen.head);
    EXPECT_TRUE(seen.own);
    EXPECT_TRUE(seen.bounds_hold_a_local);
    EXPECT_TRUE(seen.base_below_descriptor);
    EXPECT_NE(creator, seen.block);
}

TEST(ThreadBlock, StdThreadAndPthreadThreadStartWithAnEmptyChainOfTheirOwn)
{
    // The creator's chain is not empty: a thread that shared it would see it.
    raw_record mine{get_seh_frame(), nullptr};
    set_seh_frame(seh_addr(&mine));
    first_look by_std, by_pthread;
    std::thread([&] { by_std = look(); }).join();
    on_new_thread([&] { by_pthread = look(); });
    set_seh_frame(mine.Next);
    expect_fresh(by_std, tib_current());
    expect_fresh(by_pthread, tib_current());
}

// A thread started by another thread keeps its own block after its creator
// has ended and its stack has gone back to the C library.
TEST(ThreadBlock, ChildOutlivesItsCreator)
{
    static sem_t creator_gone;
    static pthread_t child;
    static first_look seen;
    static uint32_t head_after_unwind;
    ASSERT_EQ(0, sem_init(&creator_gone, 0, 0));
    const NT_TIB *creator_block = nullptr;
    std::thread creator([&] {
        creator_block = tib_current();
        pthread_create(
            &child, nullptr,
            [](void *) -> void * {
                while (sem_wait(&creator_gone) != 0) {
                }
                seen = look();
                raw_record records[2];
                records[0] = {seh_addr(&records[1]), continue_handler};
                records[1] = {SEH_CHAIN_END, continue_handler};
                set_seh_frame(seh_addr(&records[0]));
                RtlUnwind(reinterpret_cast<void *>(SEH_CHAIN_END), nullptr, nullptr, nullptr);
                head_after_unwind = get_seh_frame();
                return nullptr;
            },
            nullptr);
    });
    creator.join();
    // Another thread may now reuse the creator's stack; its writes must not
    // reach the child's chain.
    std::thread([] { set_seh_frame(0x1234); }).join();
    sem_post(&creator_gone);
    ASSERT_EQ(0, pthread_join(child, nullptr));
    expect_fresh(seen, creator_block);
    EXPECT_EQ(SEH_CHAIN_END, head_after_unwind);
    sem_destroy(&creator_gone);
}

// Destructors that run as a thread ends, after its start routine: each
// installs a record and unwinds it, and counts what it saw.
int destructor_unwinds;
uint32_t counting_handler(EXCEPTION_RECORD *, void *, void *, void *)
{
    ++destructor_unwinds;
    return ExceptionContinueSearch;
}

void unwind_one_record(void)
{
    raw_record record{get_seh_frame(), counting_handler};
    set_seh_frame(seh_addr(&record));
    RtlUnwind(reinterpret_cast<void *>(record.Next), nullptr, nullptr, nullptr);
    if (get_seh_frame() != record.Next)
        destructor_unwinds = -1000;
}

struct unwinds_at_exit {
    ~unwinds_at_exit() { unwind_one_record(); }
};

TEST(ThreadBlock, DestructorsAtThreadExitStillFindTheirChain)
{
    static pthread_key_t key;
    ASSERT_EQ(0, pthread_key_create(&key, [](void *) { unwind_one_record(); }));
    destructor_unwinds = 0;
    std::thread([] {
        thread_local unwinds_at_exit first, second;
        (void)first;
        (void)second;
        pthread_setspecific(key, &key);
    }).join();
    on_new_thread([] {
        thread_local unwinds_at_exit one;
        (void)one;
        pthread_setspecific(key, &key);
    });
    EXPECT_EQ(5, destructor_unwinds); // three thread_local objects, two keys
    pthread_key_delete(key);
}

// The directory of this program, where the suite's other programs lie.
std::string bin_dir(void)
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "";
    std::string exe(path, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/'));
}

// The main thread's bounds are the C library's, which it reads from
// /proc/self/maps (gtest runs every test on the main thread). A parent that
// set the stack's limit for this run names it in STACK_LIMIT, so that a
// limit lost on the way (an emulator that keeps its own) cannot pass
// unseen.
TEST(ThreadBlock, MainThreadBoundsAreTheCLibrarys)
{
    pthread_attr_t attr;
    void *low;
    size_t size;
    ASSERT_EQ(0, pthread_getattr_np(pthread_self(), &attr));
    ASSERT_EQ(0, pthread_attr_getstack(&attr, &low, &size));
    pthread_attr_destroy(&attr);
    const NT_TIB *block = tib_current();
    EXPECT_EQ(seh_addr(low), seh_addr(block->StackLimit));
    EXPECT_EQ(seh_addr(low) + size, seh_addr(block->StackBase));
    if (const char *named = getenv("STACK_LIMIT")) {
        struct rlimit limit;
        ASSERT_EQ(0, getrlimit(RLIMIT_STACK, &limit));
        EXPECT_EQ(std::string(named), limit.rlim_cur == RLIM_INFINITY
                                          ? "unlimited"
                                          : std::to_string(limit.rlim_cur / 1024));
    }
}

// The same in runs with other stack limits (ulimit -s, in KiB): the small
// limit of the transcript's test, limits that the layer's bounds are
// derived from, and limits above 16 MiB and none, for which it reads the
// file. Each run is this program again, in a shell that sets the limit,
// with an environment that puts pages of strings above the stack's top;
// limits above the hard limit cannot be set, and are left out.
TEST(ThreadBlock, MainThreadBoundsAreTheCLibrarysUnderEveryStackLimit)
{
    const std::string self = bin_dir() + "/unit_tests";
    struct rlimit hard;
    ASSERT_EQ(0, getrlimit(RLIMIT_STACK, &hard));
    for (const char *limit : {"40", "1024", "8192", "16384", "65536", "unlimited"}) {
        const rlim_t wanted = strcmp(limit, "unlimited") == 0 ? RLIM_INFINITY
                                                               : std::stoul(limit) * 1024;
        if (hard.rlim_max != RLIM_INFINITY && wanted > hard.rlim_max)
            continue;
        const std::string command =
            "ulimit -S -s " + std::string(limit) + " && STACK_LIMIT=" + limit +
            " PADDING=\"$(printf %9000s .)\" exec '" + self +
            "' --gtest_brief=1 --gtest_filter=ThreadBlock.MainThreadBoundsAreTheCLibrarys";
        std::string said;
        FILE *run = popen(command.c_str(), "r");
        ASSERT_NE(nullptr, run);
        char buffer[512];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, run)) > 0;)
            said.append(buffer, n);
        const int status = pclose(run);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "ulimit -s " << limit << ":\n" << said;
    }
}

// Runs argv in a child with a mount namespace of its own where /proc is an
// empty tmpfs; its stdout goes to *out. Returns its wait status, or -1 when
// no such namespace could be made (not privileged enough).
int run_without_proc(const std::vector<std::string> &argv, std::string *out)
{
    int fds[2], ready[2];
    if (pipe(fds) != 0 || pipe(ready) != 0)
        return -2;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        close(ready[0]);
        const bool made =
            (unshare(CLONE_NEWNS) == 0 ||
             unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0) &&
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount("none", "/proc", "tmpfs", 0, nullptr) == 0 &&
            access("/proc/self/maps", F_OK) != 0;
        const char verdict = made ? 'y' : 'n';
        if (write(ready[1], &verdict, 1) != 1 || !made)
            _exit(0);
        // The loader cannot resolve $ORIGIN without /proc.
        const std::string program = argv[0];
        setenv("LD_LIBRARY_PATH", program.substr(0, program.rfind('/')).c_str(), 1);
        dup2(fds[1], 1);
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    close(ready[1]);
    char verdict = 'n';
    if (read(ready[0], &verdict, 1) != 1)
        verdict = 'n';
    close(ready[0]);
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        out->append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return verdict == 'y' ? status : -1;
}

TEST(ThreadBlock, WithoutProcTheMainThreadStillGetsBoundsThatHold)
{
    const std::string dir = bin_dir();
    ASSERT_NE("", dir);
    std::string transcript;
    const int status = run_without_proc({dir + "/ostrevin"}, &transcript);
    if (status == -1)
        GTEST_SKIP() << "cannot make a mount namespace without /proc here";
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ("test 1\ntest 2 (should complain of a mismatch)\n"
              "exception frame mismatch on callback return.\ntest 3\ntest 4\ntest 5\n"
              "should get here.\nshould get here.\nTests complete.\n",
              transcript);
    // The tests of the block and of RtlUnwind, there: the bounds hold the
    // stack that the main thread uses, and unwinds within them work.
    std::string report;
    const int tests = run_without_proc(
        {dir + "/unit_tests", "--gtest_filter=Chain.*:RtlUnwind.*:Harness.*"}, &report);
    ASSERT_TRUE(WIFEXITED(tests)) << report;
    EXPECT_EQ(0, WEXITSTATUS(tests)) << report;
}

} // namespace
