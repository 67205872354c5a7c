/* The situations a contract program tries, generated from its dimensions:
 * each value in the smallest situation that can hold it, and every
 * combination of values of the dimensions of each interaction that some
 * situation can hold (a covering array); no situation is one that makes no
 * sense. */
#ifndef CONTRACT_COVER_H
#define CONTRACT_COVER_H

#include <vector>

#include "dimension.h"

// Whether a situation makes sense. Given a partial one (values of -1), it
// answers false only when the values it has rule out every completion, so
// that the generator can stop early; given a whole one, it answers exactly.
using validity = bool (*)(const situation &);

struct coverage {
    // The combinations to cover, as lists of dimensions (by index): pairs,
    // triples, ...
    std::vector<std::vector<int>> interactions;
    // The order in which a situation's values are chosen: the dimensions
    // on which validity depends most come first, so that what makes no
    // sense is found with few values chosen.
    std::vector<int> order;
};

// Every pair of dimensions, for coverage::interactions.
std::vector<std::vector<int>> every_pair(int dimension_count);

// The situations, smallest (by weight) first; the same list, in the same
// order, on every run and every target.
std::vector<situation> cover(const dimensions &dims, const coverage &what, validity valid);

// Up to `count` situations that make sense, drawn evenly from every one
// there is by a generator seeded with `seed`, for trying the model where
// no generated list looks.
std::vector<situation> sample(const dimensions &dims, validity valid, unsigned count,
                              uint32_t seed);

#endif
