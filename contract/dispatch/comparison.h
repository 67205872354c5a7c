/* The comparison of one situation, split by the families of the promises
 * it judges: the calls of the walk (compare_walk.cpp), what the raise
 * hands them (compare_raise.cpp), how it ends (compare_end.cpp) and
 * threads (compare_threads.cpp). The first call that is not the predicted
 * one is the one difference of the walk, and nothing after it is judged
 * but what it cannot have caused. */
#ifndef CONTRACT_DISPATCH_COMPARISON_H
#define CONTRACT_DISPATCH_COMPARISON_H

#include <string>

#include "compare.h"
#include "format.h"

class comparison {
public:
    comparison(const situation &s, const prediction &p, const observation &o,
               const child_end &end)
        : s_(s), p_(p), o_(o), end_(end)
    {
    }

    findings run(void);
    // After run: how far the walk follows the prediction, the calls that
    // agree from the first, then whether it ends where the prediction does.
    size_t followed(void) const { return 2 * agree_ + walk_agrees_; }

private:
    const situation &s_;
    const prediction &p_;
    const observation &o_;
    const child_end &end_;
    findings found_;
    size_t agree_ = 0; // calls that agree with the model, from the first
    bool walk_agrees_ = false;

    void add(promise which, const std::string &what, bool reference = false)
    {
        found_.add(which, what, reference);
    }

    // ---- names (compare.cpp)
    std::string call_words(const seen_call &c) const;
    std::string expected_words(const expected_call &e) const;
    std::string name_at(uint32_t addr) const;
    uint32_t address_of(int node) const { return o_.addresses[node]; }
    std::string ending_words(void) const;
    std::string fault_words(const seen_call &c) const;
    bool ours(uint32_t addr) const;

    // ---- the walk (compare_walk.cpp)
    void calls(void);
    bool raise_flags_taken_for_unwind(const expected_call &e, const seen_call &c) const;
    bool tested_seen(void) const;
    bool never_raised(size_t i) const;
    bool step_missed(size_t i) const;
    promise stop_promise(void) const;
    void pointers(void);
    void call_fields(const expected_call &e, const seen_call &c);

    // ---- what the raise hands the handlers (compare_raise.cpp)
    void raised(const expected_call &e, const seen_call &c);
    void software(const expected_call &e, const seen_call &c);
    void rtl(const seen_call &c);
    void processor(const seen_call &c);
    void status(const expected_dispatch &d, const seen_call &c);
    void stepped(const seen_call &c);
    std::string emulator_note(const seen_call &c) const;
    bool x87_untried(void);

    // ---- the end (compare_end.cpp)
    void resume(void);
    void landing(void);
    void ending(void);
    void apis(void);

    // ---- threads (compare_threads.cpp)
    void threads(void);
};

#endif
