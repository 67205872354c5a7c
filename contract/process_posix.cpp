// Child processes and threads on linux-i386: a child is a fork of the
// program, sharing an anonymous mapping with it.
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include "process.h"
#include "stack_bounds.h"

void *shared_memory(size_t size)
{
    void *memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

// A child is a fork of the program: it shares the mapping at the same
// address.
bool start_child(void *shared, uint32_t from, child_process *out)
{
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2); // what the platform says, its exit status says
        }
        child_main(shared, from);
    }
    out->handle = static_cast<uintptr_t>(pid);
    return true;
}

child_state poll_child(child_process &child, uint32_t *code)
{
    int status = 0;
    if (waitpid(static_cast<pid_t>(child.handle), &status, WNOHANG) == 0)
        return child_state::running;
    if (WIFEXITED(status)) {
        *code = static_cast<uint32_t>(WEXITSTATUS(status));
        return child_state::exited;
    }
    *code = static_cast<uint32_t>(WTERMSIG(status));
    return child_state::signalled;
}

void end_child(child_process &child)
{
    kill(static_cast<pid_t>(child.handle), SIGKILL);
    waitpid(static_cast<pid_t>(child.handle), nullptr, 0);
}

bool run_as_child(int, char **) { return false; }

void sleep_milliseconds(unsigned ms) { usleep(ms * 1000); }

// A futex of the shared mapping: a wait that only a wake ends early costs
// nothing while the other side works (a child runs for as long as a
// situation takes; a parent judges one as it ends).
void wait_on_other_side(const uint32_t *word, uint32_t value)
{
    const timespec most{0, 10 * 1000000};
    syscall(SYS_futex, word, FUTEX_WAIT, value, &most, nullptr, 0);
}

void wake_other_side(const uint32_t *word)
{
    syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

double now_seconds(void)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

uint64_t now_milliseconds(void)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec / 1000000);
}

void wait_on(const uint32_t *word, uint32_t value, unsigned ms)
{
    const timespec most{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, value, &most, nullptr, 0);
}

void wake_waiters(const uint32_t *word)
{
    syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// From /proc/self/maps: the writable mappings that meet end to end around
// this frame are the stack, and below them it may grow down to the end of
// the mapping under them. Valgrind maps its client's stack in parts: each
// part it grows by, and the top that holds the arguments, is a mapping of
// its own (a guard page, which cannot be written, ends the stack).
namespace {

// A hexadecimal number at *text, up to `end`; false when there is none.
bool hex_at(const char **text, char end, unsigned long *out)
{
    unsigned long value = 0;
    const char *p = *text;
    for (; *p && *p != end; ++p) {
        const char c = *p;
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<unsigned long>(digit);
    }
    if (*p != end || p == *text)
        return false;
    *text = p + 1;
    *out = value;
    return true;
}

} // namespace

bool stack_extent(uint32_t *low, uint32_t *high, bool anew)
{
    static thread_local uint32_t known_low, known_high;
    if (known_high && !anew) {
        *low = known_low;
        *high = known_high;
        return true;
    }
    FILE *maps = fopen("/proc/self/maps", "r");
    if (!maps)
        return false;
    const unsigned long here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    unsigned long start, end, before = 0, floor = 0;
    bool before_writable = false, found = false;
    char line[512];
    while (fgets(line, sizeof line, maps)) {
        // "start-end perms ...", the rest of an overlong line skipped
        const char *p = line;
        if (!hex_at(&p, '-', &start) || !hex_at(&p, ' ', &end))
            continue;
        const bool writable = p[0] == 'r' && p[1] == 'w';
        const bool joined = start == before && before_writable && writable;
        if (found && !joined)
            break;
        if (!joined)
            floor = before;
        if (found)
            *high = static_cast<uint32_t>(end);
        else if (here >= start && here < end) {
            *low = static_cast<uint32_t>(floor);
            *high = static_cast<uint32_t>(end);
            found = true;
        }
        before = end;
        before_writable = writable;
    }
    fclose(maps);
    if (found) {
        known_low = *low;
        known_high = *high;
    }
    return found;
}

bool run_threads(int count, void (*fn)(int index, void *arg), void *arg)
{
    struct start {
        void (*fn)(int, void *);
        void *arg;
        int index;
    } starts[16];
    pthread_t threads[16];
    int started = 0;
    for (; started < count && started < 16; ++started) {
        starts[started] = {fn, arg, started};
        auto entry = [](void *p) -> void * {
            auto *s = static_cast<start *>(p);
            s->fn(s->index, s->arg);
            return nullptr;
        };
        if (pthread_create(&threads[started], nullptr, entry, &starts[started]) != 0)
            break;
    }
    for (int i = 0; i < started; ++i)
        pthread_join(threads[i], nullptr);
    return started == count;
}

// The layer keeps its guard and the overflow's room right below StackLimit.
uint32_t stack_floor(void) { return stack_limit(); }
