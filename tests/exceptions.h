// A vectored exception handler for a test: it keeps a copy of what each
// exception handed it, and answers as the test says.
#ifndef TESTS_EXCEPTIONS_H
#define TESTS_EXCEPTIONS_H

#include <stdint.h>

#include <functional>
#include <vector>

#include "seh_platform.h"

struct seen_exception {
    EXCEPTION_RECORD record;
    CONTEXT context;
    const EXCEPTION_RECORD *record_at;
    CONTEXT *context_at;
    uint32_t flags_on_entry; // EFLAGS as the handler was entered
};

// Added first (V1) while it lives; answer gets the pointers and the copy
// just kept. One at a time, on any thread.
class handling {
public:
    using answer_fn = std::function<LONG(EXCEPTION_POINTERS *, const seen_exception &)>;
    explicit handling(answer_fn answer);
    ~handling();
    handling(const handling &) = delete;
    handling &operator=(const handling &) = delete;

    std::vector<seen_exception> seen;
    answer_fn answer;

private:
    PVOID handle_;
};

// Answers: resume the context at `eip` (EXCEPTION_CONTINUE_EXECUTION).
LONG resume_at(EXCEPTION_POINTERS *x, const void *eip);
// Return to the caller of the function that faulted at its entry's stack
// (a ret from the context), with EAX = value.
LONG return_from_fault(EXCEPTION_POINTERS *x, uint32_t value);

#endif
