/* What the machinery needs of each target (process_posix.cpp,
 * process_win32.cpp): memory shared with child processes, the children
 * themselves, threads, time, and the extent of a thread's stack. */
#ifndef CONTRACT_PROCESS_H
#define CONTRACT_PROCESS_H

#include <stddef.h>
#include <stdint.h>

// `size` bytes of zeroed memory that the children started afterwards share
// with this process; null when the system has none to give.
void *shared_memory(size_t size);

struct child_process {
    uintptr_t handle;
};

// Starts a child that runs the situations from `from` on (child_main) in
// `shared`, memory that shared_memory gave, with its standard output and
// error going nowhere; false when it cannot.
bool start_child(void *shared, uint32_t from, child_process *out);

enum class child_state { running, exited, signalled };
// Whether the child still runs; when it has ended, its exit code or signal.
child_state poll_child(child_process &child, uint32_t *code);
// Ends the child and waits for it.
void end_child(child_process &child);

// A child's work, when the program was started as one (win32): runs it
// and never returns; false when argv is not a child's.
bool run_as_child(int argc, char **argv);

// The child's side: runs the situations of the shared memory from `from` on.
[[noreturn]] void child_main(void *shared, uint32_t from);

void sleep_milliseconds(unsigned ms);
// Between a parent and its child, through a word of the memory they share:
// waits until the other side wakes this one (wake_other_side) or a while
// has passed (a few milliseconds), unless *word no longer holds `value`;
// may return early: the caller looks again.
void wait_on_other_side(const uint32_t *word, uint32_t value);
void wake_other_side(const uint32_t *word);
double now_seconds(void);
// A monotonic clock in whole milliseconds, reckoned without the x87: for
// code that runs within a check's handlers, where the program may have left
// the x87's exceptions unmasked (an inexact division would raise one).
uint64_t now_milliseconds(void);
// Sleeps until another thread wakes those waiting on `word` (wake_waiters)
// or `ms` milliseconds have passed, unless *word no longer holds `value`;
// may return early for no reason: the caller looks again.
void wait_on(const uint32_t *word, uint32_t value, unsigned ms);
void wake_waiters(const uint32_t *word);

// Runs fn(index, arg) on `count` new threads at once, as the platform's
// users start threads, and waits for them; false when they could not all be
// started.
bool run_threads(int count, void (*fn)(int index, void *arg), void *arg);

// The extent of the calling thread's stack as the system maps it: the
// lowest address it may grow down to, and one past its highest. Read once
// for each thread unless `anew`: where the stack grows by mappings of its
// own (valgrind's main stack), what lies beyond the first reading calls
// for another.
bool stack_extent(uint32_t *low, uint32_t *high, bool anew = false);

// The lowest address of its stack that the calling thread may use before
// the system takes it to have overflowed: what lies below is the system's,
// its guard and the room it keeps for dispatching the overflow.
uint32_t stack_floor(void);

// Under Windows and Wine, the floor lies this far above the start of the
// stack's reservation. The system keeps the lowest pages: one never
// committed and the guard page that reports the overflow (8 KiB in all,
// Wine's StackLimit lies just above them), and any room that
// SetThreadStackGuarantee asks for, which the checks never do; this leaves
// a page more to any system.
constexpr uint32_t reservation_kept = 16 * 1024;

#endif
