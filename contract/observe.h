/* Records whose handlers note what they see. A check links a few of them
 * (newest first, at rising addresses, as a program's nested frames would),
 * unwinds, and then reads the sights: which handler ran, in which order,
 * with which arguments and flags, and how the chain looked meanwhile. */
#ifndef CONTRACT_OBSERVE_H
#define CONTRACT_OBSERVE_H

#include <stdint.h>

#include "seh_frame.h"
#include "unwind_call.h"

constexpr int max_records = 6;
constexpr int max_sights = 64;

struct sight {
    int index;          // the record whose handler this is, 0 = newest
    uint32_t frame;     // EstablisherFrame
    EXCEPTION_RECORD *record;
    EXCEPTION_RECORD fields; // *record as the handler saw it
    void *dispatcher;   // DispatcherContext
    uint32_t head;      // the chain head during the call
    uint32_t on_chain;  // bit i: record i can be reached from the head
};

extern sight sights[max_sights];
extern int sight_count;

// What a record's handler answers; by default ExceptionContinueSearch. A
// check may set its own, called after the sight was taken.
extern uint32_t (*answer)(const sight &seen);

// Links records[0..count-1] in front of the current head, records[0] at the
// head, each with an observing handler.
void install(EXCEPTION_REGISTRATION_RECORD *records, int count);
// The head before install.
uint32_t old_head(void);
uint32_t record_at(int index);
// The index of one of the installed records, or -1.
int index_of(uint32_t frame);
// How many times record `index`'s handler was called.
int calls_of(int index);
// "record 2", "the end marker", "null" or "a record not of this check".
const char *name_of(uint32_t frame);
// Reports a failure if no handler was called at all.
void expect_sights(void);
// Puts the head back as it was before install.
void uninstall(void);

// RtlUnwind(target_frame, target_ip, record, return_value) through
// call_rtl_unwind; what came back.
unwind_call unwind(uint32_t target_frame, EXCEPTION_RECORD *record = nullptr,
                   uint32_t target_ip = 0, uint32_t return_value = 0);

#endif
