/* The comparison of one situation, split by the families of the promises
 * it judges: the walk (compare_walk.cpp), the arguments (compare_arguments.cpp),
 * the end (compare_end.cpp) and threads (compare_threads.cpp). Within a
 * promise only the first difference counts, and a walk that goes astray is
 * one difference, never a cascade. */
#ifndef CONTRACT_UNWIND_COMPARISON_H
#define CONTRACT_UNWIND_COMPARISON_H

#include <string>

#include "compare.h"
#include "format.h"

// How an unwind of the observation ended, with the child's end given to
// the innermost one that was still running.
struct seen_end {
    enum kind { none, returned, raised, faulted, at_target_ip, left, exited, signalled, hung, gone };
    kind how = none;
    uint32_t code = 0;
};

class comparison {
public:
    comparison(const situation &s, const prediction &p, const observation &o,
               const child_end &end)
        : s_(s), p_(p), o_(o), end_(end)
    {
    }

    findings run(void);
    // What the walk's one difference is when it goes astray at the i-th
    // handler call, the calls before it being the predicted ones.
    findings astray_at(size_t i)
    {
        astray(i);
        return found_;
    }

private:
    const situation &s_;
    const prediction &p_;
    const observation &o_;
    const child_end &end_;
    findings found_;

    void add(promise which, const std::string &what, bool reference = false)
    {
        found_.add(which, what, reference);
    }

    // ---- names (compare.cpp)
    const char *name(int n) const { return node_name(n, s_); }
    int node_at(uint32_t addr) const;
    std::string name_at(uint32_t addr) const;
    bool ours_at(uint32_t addr) const;
    uint32_t address_of(int n) const;

    // ---- the walk (compare_walk.cpp)
    bool asked(void);
    bool calls(void);
    void astray(size_t i);
    int later_call(size_t i, const seen_call &c) const;
    bool follows(int n, int m) const;
    bool called_before(size_t i, const seen_call &c) const;
    void unexpected(size_t i, const seen_call &c);
    bool collided_record(int role, int n) const;
    bool named_by_collision(size_t i, int role, int n) const;
    void missing_at_end(const expected_call &e, bool first);
    void fields(const expected_call &e, const seen_call &c);
    void context(const expected_call &e, const seen_call &c);

    // ---- the arguments (compare_arguments.cpp)
    promise reach_promise(int role) const;
    void record(const expected_call &e, const seen_call &c);
    void callers_record_after(int role);

    // ---- the end (compare_end.cpp)
    seen_end end_seen(int role) const;
    void end(int role);
    void returned(int role, const expected_end &want, const seen_end &got);
    void raised_status(int role, const expected_end &want, const seen_end &got);
    void raised_record(int role, const seen_end &got);
    bool raised_further_on(const expected_call &e, uint32_t status) const;
    promise promise_of_status(const seen_end &end, int role) const;
    std::string ending_words(const seen_end &end) const;
    std::string fault_words(void) const;
    std::string raise_reason(const expected_end &e) const;

    // ---- threads (compare_threads.cpp)
    void threads(void);
    void rounds_apart(void);
};

#endif
