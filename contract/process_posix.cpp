// Child processes and threads on linux-i386: a child is a fork of the
// program, sharing an anonymous mapping with it, and sees whatever the
// platform raises as raises.cpp says.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "process.h"
#include "situation.h"
#include "stage.h"

namespace {

// A situation that takes longer than this has hung.
constexpr double hang_seconds = 10;

[[noreturn]] void child(shared_runs *runs, observation *seen, uint32_t from)
{
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, 1);
        dup2(null, 2); // the layer's own line says what its exit status says
    }
    observe_raises();
    const auto &all = all_situations();
    for (uint32_t i = from; i < runs->count; ++i) {
        __atomic_store_n(&runs->current, i, __ATOMIC_SEQ_CST);
        run_situation(all[runs->indexes[i]], seen[i]);
        __atomic_store_n(&runs->done, i + 1, __ATOMIC_SEQ_CST);
    }
    _exit(0);
}

} // namespace

double now_seconds(void)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

void yield_now(void) { sched_yield(); }

// From /proc/self/maps: the mapping that holds this frame ends the stack;
// below it the stack may grow down to the end of the mapping under it.
// Writable mappings that meet end to end are one stack: where valgrind
// grows the stack, each part it adds is a mapping of its own (a guard page,
// which cannot be written, ends the stack).
bool stack_extent(uint32_t *low, uint32_t *high)
{
    FILE *maps = fopen("/proc/self/maps", "r");
    if (!maps)
        return false;
    const unsigned long here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    unsigned long start, end, before = 0, floor = 0;
    bool before_writable = false, found = false;
    char line[512], access[5];
    while (!found && fgets(line, sizeof line, maps)) {
        if (sscanf(line, "%lx-%lx %4s", &start, &end, access) != 3)
            continue;
        const bool writable = access[0] == 'r' && access[1] == 'w';
        if (start != before || !before_writable || !writable)
            floor = before;
        if (here >= start && here < end) {
            *low = static_cast<uint32_t>(floor);
            *high = static_cast<uint32_t>(end);
            found = true;
        }
        before = end;
        before_writable = writable;
    }
    fclose(maps);
    return found;
}

observation *run_in_children(const uint32_t *indexes, uint32_t count)
{
    size_t header;
    const size_t size = shared_size(count, &header);
    void *memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        fprintf(stderr, "unwind-contract: cannot map %zu bytes to share with its children\n", size);
        exit(2);
    }
    auto *runs = static_cast<shared_runs *>(memory);
    runs->count = count;
    memcpy(runs->indexes, indexes, 4 * count);
    observation *seen = observations_of(runs);
    fflush(stdout);
    for (uint32_t from = 0; from < count;) {
        runs->current = from;
        runs->done = from;
        const pid_t pid = fork();
        if (pid < 0) {
            for (uint32_t i = from; i < count; ++i)
                seen[i].process = observation::not_started;
            break;
        }
        if (pid == 0)
            child(runs, seen, from);
        uint32_t progress = from;
        double since = now_seconds();
        int status = 0;
        bool hung = false;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            const uint32_t done = __atomic_load_n(&runs->done, __ATOMIC_SEQ_CST);
            if (done != progress) {
                progress = done;
                since = now_seconds();
            } else if (now_seconds() - since > hang_seconds) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                hung = true;
                break;
            }
            usleep(1000);
        }
        const uint32_t done = __atomic_load_n(&runs->done, __ATOMIC_SEQ_CST);
        if (done >= count)
            break;
        const uint32_t current = __atomic_load_n(&runs->current, __ATOMIC_SEQ_CST);
        observation &o = seen[current];
        if (hung) {
            o.process = observation::hung;
        } else if (WIFEXITED(status)) {
            o.process = observation::exited;
            o.process_code = static_cast<uint32_t>(WEXITSTATUS(status));
        } else {
            o.process = observation::signalled;
            o.process_code = static_cast<uint32_t>(WTERMSIG(status));
        }
        from = current + 1;
    }
    return seen;
}

bool run_as_child(int, char **) { return false; }

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
