/* The situations of the dispatcher's contract: one exception raised, the
 * handlers it can reach and what each answers. Each dimension is a table of
 * rows, one per value: its name in the situation's name, its weight, how
 * it is staged and what the model takes from it. A situation's name joins
 * the names of its values with '/', the unnamed ones left out:
 * "raise/first/continues/top". */
#ifndef CONTRACT_DISPATCH_SITUATION_H
#define CONTRACT_DISPATCH_SITUATION_H

#include <stdint.h>

#include <string>
#include <vector>

#include "cover.h"
#include "dimension.h"
#include "stack_edge.h"
#include "promise.h"

enum dispatch_dimension {
    dim_raise,    // how the exception is raised
    dim_regs,     // the raise point's registers besides their sentinels
    dim_vectored, // the vectored handlers
    dim_chain,    // the records, and the answers before the answering one
    dim_answer,   // what the answering record does
    dim_place,    // where the exception is raised
    dim_filter,   // the top-level filter
    dim_count,
};

enum class raise_kind {
    software,  // RaiseException
    rtl,       // RtlRaiseException with a caller's record
    processor, // an instruction the processor refuses
};

// The processor exceptions, each by an instruction of the raise point.
enum class fault : uint8_t {
    none, int3, read, write, call, jump, divide, overflow, illegal, privileged, step, stack,
    x87_invalid, x87_denormal, x87_divide, x87_overflow, x87_underflow, x87_inexact, x87_stack,
};

// An x87 exception unmasked by the raise point: the control word it
// loads, the flags of the status word its operation must set (the first
// of them by the x87's order names the code) and their name, the operand
// it reads from the stack (an integer, or a double's two words), and the
// operation in words.
struct x87_row {
    fault how;
    uint16_t control;
    uint16_t flags;
    const char *flag;
    uint32_t operand[2];
    const char *words;
};

// The row of an x87 exception, or null for any other fault.
const x87_row *x87_of(fault how);

struct raise_row {
    const char *name;
    int weight;
    raise_kind kind;
    uint32_t code;  // the code raised, or the code the processor exception must have
    uint32_t flags; // dwExceptionFlags, or the caller's record's flags
    uint32_t count; // nNumberOfArguments
    bool null_arguments;
    fault how;
    promise x; // the promise of a processor exception
    // continuing the context unchanged runs the instruction again: a
    // handler that continues moves Eip past it
    bool restarts;
    bool code_open; // the code is not judged (X5's quotient overflow)
};

// What the stack below the raise point holds before the raise: this byte,
// over this many bytes (the raise's own frames, the record and context a
// RaiseException builds among them).
constexpr uint8_t dirty_stack_byte = 0xA5;
constexpr uint32_t dirty_stack_size = 4096;

struct regs_row {
    const char *name;
    int weight;
    uint32_t misalign; // ESP at the raise, modulo 16
    bool df;           // the direction flag set at the faulting instruction
    bool little;       // raised with little_stack_room left of the stack
};

// What is left of the stack below the raise point of a raise with little
// stack left: room for the dispatcher, the check's handlers and an unwind,
// as the system leaves when it reports an overflow (X9), and no more.
constexpr uint32_t little_stack_room = 12 * 1024;

struct vectored_row {
    const char *name;
    int weight;
    int count;     // added and kept: a (First 0), b (First 0), c (First 1)
    int continuer; // the node that answers EXCEPTION_CONTINUE_EXECUTION, or -1
    bool removed;  // one more, added and removed before the raise
    bool in_call;  // a adds a handler and removes it again during each of its calls
};

enum class chain_kind {
    answered, // records before the answering one, which search, and after it
    none,     // no record answers: the exception reaches the end of the chain
    odd,      // a record that fails the walk's check before the answering one
};

struct chain_row {
    const char *name;
    int weight;
    chain_kind kind;
    int before, after;
    uint32_t invalid;  // nonzero: what the first record before answers, once
    // Where the odd record lies (off the stack, misaligned, across or
    // beyond a bound), or, answered, the answering record (at a bound, or
    // with the others: edge::none).
    edge from;
    int32_t offset;
};

// Whether s's record at a bound of the stack, odd or answering, lies there.
bool at_a_bound(const situation &s);

enum class answer_kind {
    continues, // ExceptionContinueExecution, with the change
    invalid,   // a value that is no answer
    unwinds,   // RtlUnwind to its own record, then on in its function (H5)
};

// A field of the CONTEXT that the answering handler changes.
// trap: the trap flag set and Eip at the stepped site (raise_point.h).
enum class field { none, eax, ebx, ecx, edx, esi, edi, ebp, esp, eip, eflags, trap };

struct answer_row {
    const char *name;
    int weight;
    answer_kind kind;
    field what;
    uint32_t value; // the new value; eflags: the bits flipped; esp: how far down
};

enum class place_kind {
    top, in_handler, in_handler_2, in_vectored, in_unwind, in_filter, thread, threads,
};

struct place_row {
    const char *name;
    int weight;
    place_kind kind;
};

enum class filter_kind { none, continues, executes, searches };

struct filter_row {
    const char *name;
    int weight;
    filter_kind kind;
};

extern const raise_row raise_rows[];
extern const regs_row regs_rows[];
extern const vectored_row vectored_rows[];
extern const chain_row chain_rows[];
extern const answer_row answer_rows[];
extern const place_row place_rows[];
extern const filter_row filter_rows[];

inline const raise_row &raise_of(const situation &s) { return raise_rows[s.v[dim_raise]]; }
inline const regs_row &regs_of(const situation &s) { return regs_rows[s.v[dim_regs]]; }
inline const vectored_row &vectored_of(const situation &s) { return vectored_rows[s.v[dim_vectored]]; }
inline const chain_row &chain_of(const situation &s) { return chain_rows[s.v[dim_chain]]; }
inline const answer_row &answer_of(const situation &s) { return answer_rows[s.v[dim_answer]]; }
inline const place_row &place_of(const situation &s) { return place_rows[s.v[dim_place]]; }
inline const filter_row &filter_of(const situation &s) { return filter_rows[s.v[dim_filter]]; }

// The value a context field holds after the change of `answer`.
uint32_t changed_value(const answer_row &answer, uint32_t was, uint32_t alternate_site);

// Whether the exception of s is noncontinuable.
bool noncontinuable(const situation &s);
// Whether the raise is nested in the first pass of another dispatch or an
// unwind, rather than at the top of a thread's work.
bool nested_place(const situation &s);
// Whether s ends the process (an exception that nobody takes).
bool ends_process(const situation &s);

const dimensions &dispatch_dimensions(void);
const coverage &dispatch_coverage(void);

std::string name_of(const situation &s);

// Whether s makes sense (see validity in cover.h).
bool makes_sense(const situation &s);

// The situations to try, generated, smallest first.
const std::vector<situation> &dispatch_situations(void);

#endif
