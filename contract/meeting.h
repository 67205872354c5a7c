/* Threads that wait for one another at a point of their work, so that
 * what they do next runs at once. */
#ifndef CONTRACT_MEETING_H
#define CONTRACT_MEETING_H

#include <atomic>

#include "process.h"

template <int Count>
class meeting_point {
public:
    // Waits until all have come; false, and no more waiting at this point,
    // when some have not come within 3 s. Those that wait sleep: spinning,
    // they would take the processors from those still on their way. It
    // runs within handlers, with the x87 as the program left it: integers
    // alone.
    bool meet(void)
    {
        if (broken_.load())
            return false;
        const uint32_t generation = __atomic_load_n(&generation_, __ATOMIC_SEQ_CST);
        if (arrived_.fetch_add(1) + 1 == Count) {
            arrived_.store(0);
            __atomic_fetch_add(&generation_, 1, __ATOMIC_SEQ_CST);
            wake_waiters(&generation_);
            return true;
        }
        const uint64_t deadline = now_milliseconds() + 3000;
        while (__atomic_load_n(&generation_, __ATOMIC_SEQ_CST) == generation) {
            if (now_milliseconds() > deadline || broken_.load()) {
                broken_.store(true);
                return false;
            }
            wait_on(&generation_, generation, 100);
        }
        return true;
    }

private:
    std::atomic<int> arrived_{0};
    uint32_t generation_ = 0;
    std::atomic<bool> broken_{false};
};

#endif
