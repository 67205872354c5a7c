#include "observe.h"

#include <stdio.h>

#include "process.h"
#include "report.h"
#include "stack_bounds.h"

sight sights[max_sights];
int sight_count = 0;
uint32_t (*answer)(const sight &seen) = nullptr;

namespace {

EXCEPTION_REGISTRATION_RECORD *installed = nullptr;
int installed_count = 0;
uint32_t head_before = SEH_CHAIN_END;

// The installed records that can be reached from the head, as a bit mask,
// following Next while it stays on the stack.
uint32_t reachable(uint32_t head)
{
    uint32_t mask = 0, at = head;
    for (int steps = 0; steps < 64; ++steps) {
        if (at == SEH_CHAIN_END || !word_aligned(at) || !on_stack(at, 8))
            break;
        int i = index_of(at);
        if (i >= 0)
            mask |= 1u << i;
        at = reinterpret_cast<const EXCEPTION_REGISTRATION_RECORD *>(at)->Next;
    }
    return mask;
}

uint32_t observe(int index, EXCEPTION_RECORD *record, void *frame,
                 void *dispatcher)
{
    if (sight_count == max_sights) {
        report_fail("handlers called more than %d times", max_sights);
        end_process(0);
    }
    sight &s = sights[sight_count++];
    s.index = index;
    s.frame = seh_addr(frame);
    s.record = record;
    if (record) {
        s.fields = *record;
    } else {
        report_fail("a handler got a null ExceptionRecord");
        s.fields = EXCEPTION_RECORD{};
    }
    s.dispatcher = dispatcher;
    s.head = get_seh_frame();
    s.on_chain = reachable(s.head);
    return answer ? answer(s) : ExceptionContinueSearch;
}

template <int I>
uint32_t observer(EXCEPTION_RECORD *record, void *frame, void *, void *dispatcher)
{
    return observe(I, record, frame, dispatcher);
}

const EXCEPTION_ROUTINE observers[max_records] = {
    observer<0>, observer<1>, observer<2>, observer<3>, observer<4>, observer<5>,
};

} // namespace

void install(EXCEPTION_REGISTRATION_RECORD *records, int count)
{
    installed = records;
    installed_count = count;
    head_before = get_seh_frame();
    for (int i = 0; i < count; ++i) {
        records[i].Next = i + 1 < count ? seh_addr(&records[i + 1]) : head_before;
        records[i].Handler = observers[i];
    }
    set_seh_frame(seh_addr(&records[0]));
}

uint32_t old_head(void) { return head_before; }

uint32_t record_at(int index) { return seh_addr(&installed[index]); }

int index_of(uint32_t frame)
{
    for (int i = 0; i < installed_count; ++i)
        if (frame == seh_addr(&installed[i]))
            return i;
    return -1;
}

int calls_of(int index)
{
    int n = 0;
    for (int i = 0; i < sight_count; ++i)
        n += sights[i].index == index;
    return n;
}

const char *name_of(uint32_t frame)
{
    static char text[40];
    int i = index_of(frame);
    if (i >= 0) {
        snprintf(text, sizeof text, "record %d", i + 1);
        return text;
    }
    if (frame == SEH_CHAIN_END)
        return "the end marker";
    if (frame == 0)
        return "null";
    if (frame == head_before)
        return "the head from before the check";
    return "a record not of this check";
}

void expect_sights(void)
{
    if (sight_count == 0)
        report_fail("no handler was called");
}

void uninstall(void) { set_seh_frame(head_before); }

unwind_call unwind(uint32_t target_frame, EXCEPTION_RECORD *record,
                   uint32_t target_ip, uint32_t return_value)
{
    unwind_call c = {};
    c.target_frame = target_frame;
    c.target_ip = target_ip;
    c.exception_record = seh_addr(record);
    c.return_value = return_value;
    call_rtl_unwind(&c);
    return c;
}
