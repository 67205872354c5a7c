// Threads: each its own chain and stack bounds (T1, T2), and unwinds on
// several at once that do not disturb one another (T3).
#include "comparison.h"

namespace {

const char *thread_words(uint32_t fault)
{
    static const char *const words[] = {
        "",
        "the new thread's chain held null",
        "the new thread's chain held the main thread's record",
        "the new thread's chain held a record off its stack",
        "StackLimit was not below StackBase",
        "a local variable lay outside StackLimit..StackBase",
        "the new thread's bounds held its creator's stack",
        "StackLimit..StackBase reached beyond the stack that the system maps for the thread",
        "the thread's stack could not grow down to StackLimit: touching it there faulted",
        "the main thread's head changed while the new thread unwound",
        "the main thread's record was relinked while the new thread unwound",
        "the new thread could not be started",
    };
    return words[fault];
}

} // namespace

void comparison::threads(void)
{
    if (o_.bounds_fault)
        add(promise::T2, thread_words(o_.bounds_fault));
    if (!o_.on_thread)
        return;
    if (o_.first_head_fault)
        add(promise::T1, thread_words(o_.first_head_fault));
    if (o_.main_chain_fault)
        add(promise::T1, thread_words(o_.main_chain_fault));
    if (place_of(s_).kind != place_kind::threads)
        return;
    if (o_.threads_difference[0])
        add(promise::T3, o_.threads_difference);
    rounds_apart();
    if (o_.threads_missed)
        add(promise::T3, "the threads' unwinds never ran at once: some thread's handler was not "
                         "reached within 3 s of the others'");
}

// In each round, the eight threads' actors got records and contexts of
// their own.
void comparison::rounds_apart(void)
{
    for (int round = 0; round < rounds; ++round)
        for (int a = 0; a < thread_count; ++a)
            for (int b = a + 1; b < thread_count; ++b) {
                const uint32_t *records = o_.round_records[round];
                const uint32_t *contexts = o_.round_contexts[round];
                if (records[a] && records[a] == records[b])
                    add(promise::T3, "two threads unwinding at once handed their handlers the "
                                     "same exception record");
                if (contexts[a] && contexts[a] == contexts[b])
                    add(promise::T3, "two threads unwinding at once handed their handlers the "
                                     "same context");
            }
}
