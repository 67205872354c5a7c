#include "supervisor.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "process.h"
#include "progress.h"

namespace {

// A child's first situation may wait longer than the program's time for a
// hang, for the child to start.
constexpr double start_seconds = 30;
// A situation that goes on making progress for this many times the
// program's time for a hang never ends.
constexpr double endless_times = 12;
// Observations in flight: a child may run this many situations ahead of
// the parent's judging.
constexpr uint32_t slot_count = 4;

struct shared_header {
    uint32_t count;     // situations to run
    uint32_t slot_size; // bytes of one observation's slot
    uint32_t started;   // situations a child has begun
    uint32_t finished;  // situations a child has ended
    uint32_t consumed;  // situations the parent has judged, whose slots are free
    uint32_t progress;  // bumped as a child works
    uint32_t handed_on; // the child ended to leave what is next to a new one
};

// The program that the children of this process run, and in a child the
// memory it shares.
const contract_program *running_program;
shared_header *shared_in_child;

uint32_t load(const uint32_t &word) { return __atomic_load_n(&word, __ATOMIC_SEQ_CST); }
void store(uint32_t &word, uint32_t value) { __atomic_store_n(&word, value, __ATOMIC_SEQ_CST); }

size_t header_size(uint32_t count)
{
    return (sizeof(shared_header) + count * sizeof(situation) + 15) & ~size_t{15};
}

situation *list_of(shared_header *h)
{
    return reinterpret_cast<situation *>(reinterpret_cast<char *>(h) + sizeof *h);
}

void *slot_of(shared_header *h, uint32_t i)
{
    return reinterpret_cast<char *>(h) + header_size(h->count) +
           static_cast<size_t>(i % slot_count) * h->slot_size;
}

} // namespace

void run_program(const contract_program &program) { running_program = &program; }

void note_progress(void)
{
    if (shared_in_child)
        __atomic_fetch_add(&shared_in_child->progress, 1, __ATOMIC_SEQ_CST);
}

void child_main(void *shared, uint32_t from)
{
    auto *h = static_cast<shared_header *>(shared);
    shared_in_child = h;
    running_program->prepare_child();
    for (uint32_t i = from; i < h->count; ++i) {
        if (i > from && running_program->spent && running_program->spent()) {
            store(h->handed_on, 1);
            _exit(0);
        }
        for (uint32_t consumed; i - (consumed = load(h->consumed)) >= slot_count;)
            wait_on_other_side(&h->consumed, consumed);
        void *slot = slot_of(h, i);
        memset(slot, 0, running_program->cleared_size);
        store(h->started, i + 1);
        note_progress();
        running_program->run(list_of(h)[i], slot);
        store(h->finished, i + 1);
        note_progress();
        wake_other_side(&h->finished);
    }
    _exit(0);
}

bool run_supervised(const contract_program &program, const std::vector<situation> &list,
                    check_sink sink, void *arg)
{
    const uint32_t count = static_cast<uint32_t>(list.size());
    const uint32_t slot_size = static_cast<uint32_t>((program.observation_size + 15) & ~size_t{15});
    auto *h = static_cast<shared_header *>(
        shared_memory(header_size(count) + static_cast<size_t>(slot_count) * slot_size));
    if (!h)
        return false;
    h->count = count;
    h->slot_size = slot_size;
    memcpy(list_of(h), list.data(), count * sizeof(situation));

    auto judge = [&](uint32_t i, const child_end &end) {
        const situation &s = list[i];
        const findings found = program.judge(s, slot_of(h, i), end);
        sink(s, checks_of(program.tried(s), found), arg);
        store(h->consumed, i + 1);
        wake_other_side(&h->consumed);
    };
    while (load(h->consumed) < count) {
        // Read before the child starts, which may note progress at once.
        uint32_t progress = load(h->progress), started = load(h->started);
        child_process child;
        if (!start_child(h, load(h->consumed), &child)) {
            for (uint32_t i = load(h->consumed); i < count; ++i)
                judge(i, child_end{child_end::not_started, 0});
            break;
        }
        double since = now_seconds(), situation_since = since;
        bool first = true;
        for (;;) {
            const uint32_t finished = load(h->finished);
            while (load(h->consumed) < finished)
                judge(load(h->consumed), child_end{});
            uint32_t code = 0;
            if (load(h->consumed) == count) {
                // Done: the child ends by itself, or is ended.
                const double done = now_seconds();
                while (poll_child(child, &code) == child_state::running) {
                    if (now_seconds() - done > program.hang_seconds) {
                        end_child(child);
                        break;
                    }
                    sleep_milliseconds(1);
                }
                break;
            }
            const child_state state = poll_child(child, &code);
            if (state != child_state::running) {
                while (load(h->consumed) < load(h->finished))
                    judge(load(h->consumed), child_end{});
                if (load(h->handed_on)) {
                    store(h->handed_on, 0);
                    break;
                }
                if (load(h->consumed) < count)
                    judge(load(h->consumed),
                          child_end{state == child_state::exited ? child_end::exited
                                                                 : child_end::signalled,
                                    code});
                break;
            }
            if (load(h->started) != started) {
                started = load(h->started);
                situation_since = now_seconds();
            }
            // Hung: no progress for the program's time, or progress without
            // end (handlers called over and over) for many times that.
            uint32_t hung = 0;
            if (load(h->progress) != progress) {
                progress = load(h->progress);
                since = now_seconds();
                first = false;
            } else if (now_seconds() - since >
                       program.hang_seconds + (first ? start_seconds : 0)) {
                hung = child_end::no_progress;
            }
            if (now_seconds() - situation_since > endless_times * program.hang_seconds +
                                                      (first ? start_seconds : 0))
                hung = child_end::endless;
            if (hung) {
                end_child(child);
                while (load(h->consumed) < load(h->finished))
                    judge(load(h->consumed), child_end{});
                if (load(h->consumed) < count)
                    judge(load(h->consumed), child_end{child_end::hung, hung});
                break;
            }
            wait_on_other_side(&h->finished, finished);
        }
    }
    return true;
}
