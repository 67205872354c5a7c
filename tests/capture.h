// Helpers shared by the unit tests.
#ifndef TESTS_CAPTURE_H
#define TESTS_CAPTURE_H

#include <functional>
#include <string>

#include "seh_frame.h"

// A registration record as raw words: its Next a chain address, its Handler
// a cdecl handler of the tests' own kind (the platform restores ESP after
// every handler it calls, so either convention works).
using test_handler = uint32_t (*)(EXCEPTION_RECORD *, void *, void *, void *);
struct raw_record {
    uint32_t Next;
    test_handler Handler;
};
static_assert(sizeof(raw_record) == sizeof(EXCEPTION_REGISTRATION_RECORD), "raw_record");

// RtlUnwind, returning EAX as it comes back (ReturnValue, or what a handler
// put in the context).
uint32_t rtl_unwind_value(void *target, EXCEPTION_RECORD *record, uint32_t value);

// What a vectored handler saw of the first exception that fn raised, which
// it left by longjmp; seen is false when fn returned without one.
struct raised {
    bool seen;
    uint32_t code, flags;
    const EXCEPTION_RECORD *record, *chained;
    uint32_t chained_code;
    uint32_t parameters, information[2];
    uint32_t address;
};
raised raised_by(const std::function<void()> &fn);

// Of a fixed series of cases, those a test tries: all, or where a case costs
// far more (memcheck, which sets FUZZ_DIVISOR), the first 1/FUZZ_DIVISOR.
unsigned share_of(unsigned cases);

// Everything that fn prints to stdout.
std::string captured_stdout(const std::function<void()> &fn);

// Runs fn on a new thread started with pthread_create, and waits.
void on_new_thread(const std::function<void()> &fn);

// "0x%08lx" of a 32-bit address.
std::string hex(uint32_t value);

#endif
