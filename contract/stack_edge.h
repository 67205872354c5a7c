/* Records at the edges of a thread's stack, or off it: where such a record
 * lies, and how a check writes it there. Only the words that lie inside
 * the stack are written (what lies beyond a bound is the platform's), and
 * the words it overwrote are put back when the situation ends. */
#ifndef CONTRACT_STACK_EDGE_H
#define CONTRACT_STACK_EDGE_H

#include <stdint.h>

#include <string>

// Where a record lies: the edge of the stack it is measured from.
enum class edge {
    none,  // where the check's other records lie
    data,  // a static record, off the stack
    word,  // on the stack, `offset` bytes past a word boundary
    limit, // StackLimit + offset
    base,  // StackBase + offset
};

inline bool at_a_bound(edge from) { return from == edge::limit || from == edge::base; }

// A place at offset from a bound: "StackBase", "StackLimit - 4", ...
std::string bound_place(edge from, int32_t offset);
// Where the Handler of a record at offset from a bound lies.
inline std::string handler_word_place(edge from, int32_t offset)
{
    return bound_place(from, offset + 4);
}

// The address of a record at a bound of the calling thread's stack.
uint32_t bound_address(edge from, int32_t offset);

// Whether StackLimit..StackBase reach beyond the stack that the system
// maps for the calling thread.
bool bounds_reach_beyond_stack(void);

// Whether StackLimit..StackBase hold the calling thread's stack, and
// nothing beyond it: records can be placed at its bounds.
bool bounds_hold_stack(void);

// Whether the word at addr lies inside the calling thread's stack.
bool word_on_stack(uint32_t addr);

// Maps the calling thread's stack down to `limit` (its StackLimit), as a
// deep call would, so that the words there can be written.
void grow_stack_to(uint32_t limit);

// Calls fn(arg) with `room` bytes of the stack left above stack_floor()
// below its frame: the stack grows down there as in a deep call. False,
// calling nothing, where the floor is not below the caller's frame or lies
// farther than any stack reaches.
bool call_with_stack_left(uint32_t room, void (*fn)(void *), void *arg);

// The words a record at a bound overwrote on the stack, to put back.
struct overwritten {
    uint32_t at[2], saved[2];
    uint32_t count;
};

// Writes the record's two words (Next, Handler) at `at`: when it lies at a
// bound, only those inside the stack, keeping what they overwrite in
// `kept`.
void write_record(uint32_t at, const uint32_t words[2], bool at_bound, overwritten &kept);

// Puts back what write_record overwrote, and forgets it.
void put_back(overwritten &kept);

#endif
