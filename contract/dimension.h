/* A contract program's situations: each is one value of every dimension,
 * and each dimension is a table of rows whose first fields are the value's
 * name as printed (empty: the value is left out of the situation's name)
 * and its weight (how much it adds to the situation: smaller situations
 * are run and reported first). The rest of a row is the program's own: how
 * the value is staged and what the model takes from it. */
#ifndef CONTRACT_DIMENSION_H
#define CONTRACT_DIMENSION_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

constexpr int max_dimensions = 8;
// The values of a dimension, numbered as an int8_t can number them.
constexpr int most_values = 127;

// One value of each dimension, by its row (at most most_values of them);
// -1 where a partial situation has no value yet.
struct situation {
    int8_t v[max_dimensions];
};

bool operator==(const situation &a, const situation &b);
bool operator<(const situation &a, const situation &b);

struct dimension {
    const char *name; // the dimension's own name, for messages
    std::vector<const char *> values;
    std::vector<int> weights;

    int size(void) const { return static_cast<int>(values.size()); }
};

// A dimension from its table of rows.
template <class Row, size_t N>
dimension dimension_of(const char *name, const Row (&rows)[N])
{
    dimension d{name, {}, {}};
    for (const Row &row : rows) {
        d.values.push_back(row.name);
        d.weights.push_back(row.weight);
    }
    return d;
}

using dimensions = std::vector<dimension>;

// "3-above/to-record/own/answers-4/top": the names of the values, joined
// with '/', those without a name left out.
std::string name_of(const dimensions &dims, const situation &s);

// The situation that a name describes, whether or not it makes sense;
// false when the name is not one that name_of gives.
bool parse_situation(const dimensions &dims, const std::string &name, situation *out);

// The sum of the weights of s's values.
int weight_of(const dimensions &dims, const situation &s);

#endif
