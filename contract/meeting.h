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
    // when some have not come within 3 s.
    bool meet(void)
    {
        if (broken_.load())
            return false;
        const int generation = generation_.load();
        if (arrived_.fetch_add(1) + 1 == Count) {
            arrived_.store(0);
            generation_.fetch_add(1);
            return true;
        }
        const double deadline = now_seconds() + 3.0;
        while (generation_.load() == generation) {
            if (now_seconds() > deadline || broken_.load()) {
                broken_.store(true);
                return false;
            }
            yield_now();
        }
        return true;
    }

private:
    std::atomic<int> arrived_{0};
    std::atomic<int> generation_{0};
    std::atomic<bool> broken_{false};
};

#endif
